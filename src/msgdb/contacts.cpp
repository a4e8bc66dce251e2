#include "msgdb/contacts.h"

#include "msgdb/absdb.h"
#include "msgdb/country.h"
#include "msgdb/messagedbfolder.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtDebug>

#include <cstdio>
#include <optional>
#include <stdexcept>

namespace {

const char* const kAddressBookDir = "var/mobile/Library/AddressBook/";

const char* const kCacheSchema =
    "CREATE TABLE person(  rowid INTEGER PRIMARY KEY,  first TEXT,  last TEXT,  middle TEXT,  photo BLOB);"
    "CREATE TABLE tel(  person_id INTEGER,  number TEXT,  UNIQUE(person_id, number));"
    "CREATE INDEX index_tel_number on tel(number);";

constexpr int kPhoneProperty = 3;  // ABMultiValue.property of phone numbers

void copyPersons(Sqlite3DB& book, Sqlite3DB& cache)
{
    Sqlite3Cursor persons = book.queryThrow("select rowid, first, last, middle from ABPerson");
    while (persons.moveNext()) {
        cache.executeThrow(Sqlite3Sql("insert into person(rowid, first, last, middle) values(?,?,?,?)")
                               .addInt64Param(persons.getInt64(QStringLiteral("rowid")))
                               .addTextParam(persons.getText(QStringLiteral("first")))
                               .addTextParam(persons.getText(QStringLiteral("last")))
                               .addTextParam(persons.getText(QStringLiteral("middle"))));
    }
}

// An empty number would make every handle without an address look like this person.
void copyPhoneNumbers(Sqlite3DB& book, Sqlite3DB& cache, const Country& country)
{
    Sqlite3Cursor values = book.queryThrow(
        Sqlite3Sql("select record_id, value from ABMultiValue where property=?").addIntParam(kPhoneProperty));
    while (values.moveNext()) {
        const QString number = country.normalizeNumber(values.getText(QStringLiteral("value")));
        if (number.isEmpty())
            continue;
        cache.executeThrow(Sqlite3Sql("replace into tel(person_id, number) values(?,?)")
                               .addInt64Param(values.getInt64(QStringLiteral("record_id")))
                               .addTextParam(number));
    }
}

void copyThumbnails(const QString& imagesPath, Sqlite3DB& cache)
{
    Sqlite3DB images;
    limitOutsideDatabase(images);
    images.openThrow(imagesPath, 2);
    Sqlite3Cursor thumbnails = images.queryThrow("select record_id, data from ABThumbnailImage");
    while (thumbnails.moveNext()) {
        cache.executeThrow(Sqlite3Sql("update person set photo=? where rowid=?")
                               .addBlobParam(thumbnails.getBlob(QStringLiteral("data")))
                               .addInt64Param(thumbnails.getInt64(QStringLiteral("record_id"))));
    }
}

std::runtime_error rebuildError(const QString& why)
{
    return std::runtime_error(QStringLiteral("create IOSContactsMemDb error. %1").arg(why).toStdString());
}

bool setModifiedTime(const QString& path, qint64 secs)
{
    QFile file(path);
    const QDateTime time = QDateTime::fromSecsSinceEpoch(secs, Qt::UTC);
    return file.open(QIODevice::ReadWrite) && file.setFileTime(time, QFileDevice::FileAccessTime) &&
           file.setFileTime(time, QFileDevice::FileModificationTime);
}

// rename(2) replaces the target in one step, so readers see the old cache or the new one.
bool replaceFile(const QString& from, const QString& to)
{
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

}  // namespace

IOSContactsMemDb::IOSContactsMemDb(const QDir& dir, QString mcc) : m_dir(dir), m_mcc(std::move(mcc)) {}

QString IOSContactsMemDb::cachePath() const
{
    return m_dir.absoluteFilePath(QStringLiteral("ct-phone.db"));
}

QString IOSContactsMemDb::addressBookPath() const
{
    return fileRelayDir(m_dir).absoluteFilePath(QLatin1String(kAddressBookDir) + QStringLiteral("AddressBook.sqlitedb"));
}

QString IOSContactsMemDb::addressBookWalPath() const
{
    return addressBookPath() + QStringLiteral("-wal");
}

QString IOSContactsMemDb::imagesPath() const
{
    return fileRelayDir(m_dir).absoluteFilePath(QLatin1String(kAddressBookDir) + QStringLiteral("AddressBookImages.sqlitedb"));
}

qint64 IOSContactsMemDb::fileModifiedTime(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() ? info.lastModified().toSecsSinceEpoch() : 0;
}

// When a "-wal" file exists it holds the latest writes, so its time alone decides.
qint64 IOSContactsMemDb::sourceTime() const
{
    const QString wal = addressBookWalPath();
    return fileModifiedTime(QFile::exists(wal) ? wal : addressBookPath());
}

void IOSContactsMemDb::open()
{
    if (isOpen())
        return;
    const QString cache = cachePath();
    // The cache carries the source time as its own, so equal times mean up to date. Any other time
    // rebuilds, also an older one: the copy may have been replaced from an older backup.
    const bool stale = !QFile::exists(cache) || fileModifiedTime(cache) != sourceTime();
    if (QFile::exists(addressBookPath()) && stale) {
        qDebug() << "rebuild IOSContactsMemDb.";
        // A name of its own, so two objects rebuilding the same source never write one file.
        QTemporaryFile temp(cache + QStringLiteral(".XXXXXX.tmp"));
        if (!temp.open())
            throw rebuildError(temp.errorString());
        temp.close();  // kept, empty, until the rename or the destructor removes it
        rebuild(temp.fileName());
        if (!replaceFile(temp.fileName(), cache))
            throw rebuildError(QStringLiteral("can not replace %1.").arg(cache));
    }
    openThrow(cache, 1);
}

void IOSContactsMemDb::rebuild(const QString& tempPath)
{
    CountryLibDb countries(m_mcc);
    const Country country = countries.defaultCountry();
    {
        Sqlite3DB cache;
        cache.openThrow(tempPath, 6);
        QString error;
        if (cache.exec(QLatin1String(kCacheSchema), error) != 0)
            throw rebuildError(error);
        cache.beginTran();
        {
            Sqlite3DB book;
            limitOutsideDatabase(book);
            book.openThrow(addressBookPath(), 2);
            copyPersons(book, cache);
            copyPhoneNumbers(book, cache, country);
        }
        if (QFile::exists(imagesPath()))
            copyThumbnails(imagesPath(), cache);
        cache.commitTran();
    }
    // Read after the book is closed: closing may fold its "-wal" into the book, which changes the
    // times the next open compares with.
    const qint64 stamp = sourceTime();
    if (!setModifiedTime(tempPath, stamp))
        throw rebuildError(QStringLiteral("can not set the time of %1.").arg(tempPath));
}

ContactEntry IOSContactsMemDb::findByNumber(const QString& number)
{
    open();
    ContactEntry entry;
    if (number.isEmpty())
        return entry;
    // Asked once for every handle a history holds, and most numbers belong to no contact: the
    // look-up is a statement kept prepared, and only a match reads its person.
    const std::optional<qint64> person = queryFirstInt64(
        Sqlite3Sql("select p.rowid from person as p inner join tel as t on p.rowid=t.person_id and t.number=?")
            .addTextParam(number));
    if (!person)
        return entry;
    Sqlite3Cursor cursor =
        queryThrow(Sqlite3Sql("select first, middle, last, photo from person where rowid=?").addInt64Param(*person));
    if (cursor.moveNext()) {
        entry.first = cursor.getText(0);
        entry.middle = cursor.getText(1);
        entry.last = cursor.getText(2);
        entry.photo = cursor.getBlob(3);
    }
    return entry;
}

QString IOSContactsMemDb::contactDisplayName(const ContactEntry& entry)
{
    QString name = entry.first;
    for (const QString& part : {entry.middle.trimmed(), entry.last.trimmed()}) {
        if (!part.isEmpty())
            name += QLatin1Char(' ') + part;
    }
    return name.trimmed();
}
