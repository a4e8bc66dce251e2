#include "msgdb/contacts.h"

#include "fixtures/address_book.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QFile>

namespace {

constexpr qint64 kBookTime = 1600000000;  // 2020-09-13

void setTime(const QString& path, qint64 secs)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::fromSecsSinceEpoch(secs, Qt::UTC), QFileDevice::FileModificationTime));
}

qint64 countRows(const QString& dbPath, const char* sql)
{
    Sqlite3DB db;
    db.openThrow(dbPath, 1);
    Sqlite3Cursor c = db.queryThrow(sql);
    return c.moveNext() ? c.getInt64(0) : -1;
}

// A person row the address book does not have: it survives only while the cache is not rebuilt.
void addMarker(const QString& cachePath)
{
    Sqlite3DB db;
    db.openThrow(cachePath, 2);
    db.executeThrow("insert into person(rowid, first) values(999, 'marker')");
}

class ContactsTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        m_source = homePath(QStringLiteral("source"));
        m_book = fixtures::writeAddressBook(m_source, fixtures::sampleAddressBook());
        setTime(m_book, kBookTime);
    }

    // Opens a fresh cache object on the source, as each message database does.
    ContactEntry lookUp(const QString& number)
    {
        IOSContactsMemDb db(QDir(m_source), QStringLiteral("214"));
        return db.findByNumber(number);
    }
    bool markerPresent()
    {
        IOSContactsMemDb db(QDir(m_source), QStringLiteral("214"));
        db.open();
        return countRows(db.cachePath(), "select count(*) from person where rowid=999") == 1;
    }
    // Temporary files of a rebuild still in the source folder.
    QStringList leftovers() const
    {
        return QDir(m_source).entryList({QStringLiteral("*.tmp")}, QDir::Files | QDir::Hidden);
    }
    QString cachePath() const { return QDir(m_source).absoluteFilePath(QStringLiteral("ct-phone.db")); }

    QString m_source;
    QString m_book;
};

}  // namespace

TEST_F(ContactsTest, FirstOpenBuildsTheCacheWithNormalisedNumbers)
{
    IOSContactsMemDb db(QDir(m_source), QStringLiteral("214"));
    const ContactEntry john = db.findByNumber(QStringLiteral("+34612345678"));
    EXPECT_EQ(IOSContactsMemDb::contactDisplayName(john), "John Smith");
    EXPECT_EQ(john.photo, QByteArray("\x89PNG john", 9));
    EXPECT_EQ(IOSContactsMemDb::contactDisplayName(db.findByNumber(QStringLiteral("+34699112233"))), "Smith");
    EXPECT_EQ(IOSContactsMemDb::contactDisplayName(db.findByNumber(QStringLiteral("+34699112234"))), "Smith");
    const ContactEntry ana = db.findByNumber(QStringLiteral("+34711222333"));
    EXPECT_EQ(IOSContactsMemDb::contactDisplayName(ana), "Ana María López");
    EXPECT_EQ(ana.photo, QByteArray("\xff\xd8 ana", 6));

    // Raw spellings, e-mail values and empty numbers find nobody.
    for (const char* miss : {"612345678", "john@example.com", ""}) {
        const ContactEntry none = db.findByNumber(QString::fromUtf8(miss));
        EXPECT_TRUE(none.first.isEmpty() && none.middle.isEmpty() && none.last.isEmpty() && none.photo.isEmpty())
            << miss;
        EXPECT_EQ(IOSContactsMemDb::contactDisplayName(none), "");
    }

    EXPECT_EQ(countRows(cachePath(), "select count(*) from tel where person_id=1"), 1);  // two spellings, one row
    EXPECT_EQ(countRows(cachePath(), "select count(*) from tel where number=''"), 0);
    EXPECT_EQ(IOSContactsMemDb::fileModifiedTime(cachePath()), kBookTime);
    EXPECT_EQ(leftovers(), QStringList());
}

TEST_F(ContactsTest, UnchangedSourceReusesTheCache)
{
    ASSERT_FALSE(markerPresent());
    addMarker(cachePath());
    setTime(cachePath(), kBookTime);
    EXPECT_TRUE(markerPresent());
}

TEST_F(ContactsTest, AnyOtherSourceTimeRebuilds)
{
    ASSERT_FALSE(markerPresent());
    addMarker(cachePath());
    setTime(cachePath(), kBookTime);
    setTime(m_book, kBookTime - 3600);  // replaced by an older copy
    EXPECT_FALSE(markerPresent());
    EXPECT_EQ(IOSContactsMemDb::fileModifiedTime(cachePath()), kBookTime - 3600);
}

TEST_F(ContactsTest, TheWalFileAloneDecides)
{
    const QString wal = m_book + "-wal";
    fixtures::writeTextFile(wal, QByteArray());
    setTime(wal, kBookTime - 60);
    ASSERT_FALSE(markerPresent());
    EXPECT_EQ(IOSContactsMemDb::fileModifiedTime(cachePath()), kBookTime - 60);

    addMarker(cachePath());
    setTime(cachePath(), kBookTime - 60);
    setTime(m_book, kBookTime + 60);  // a newer book does not count while the "-wal" is there
    EXPECT_TRUE(markerPresent());

    setTime(wal, kBookTime + 120);
    EXPECT_FALSE(markerPresent());
}

TEST_F(ContactsTest, ACopiedWalBookIsReadAndStaysUpToDate)
{
    // Copy the book while a writer holds unmerged changes in its "-wal", as a copy off a device does.
    const QString copySource = homePath(QStringLiteral("copy"));
    const QString copyBook = fixtures::writeAddressBook(copySource, {});
    {
        Sqlite3DB writer;
        writer.openThrow(m_book, 2);
        writer.executeThrow("pragma journal_mode=wal");
        writer.executeThrow("insert into ABPerson(ROWID, First) values(50, 'Late')");
        writer.executeThrow("insert into ABMultiValue(record_id, property, value) values(50, 3, '600 000 050')");
        for (const QString& suffix : {QString(), QStringLiteral("-wal")}) {
            QFile::remove(copyBook + suffix);
            ASSERT_TRUE(QFile::copy(m_book + suffix, copyBook + suffix));
            setTime(copyBook + suffix, kBookTime);
        }
    }
    IOSContactsMemDb first(QDir(copySource), QStringLiteral("214"));
    EXPECT_EQ(first.findByNumber(QStringLiteral("+34600000050")).first, "Late");
    const qint64 stamped = IOSContactsMemDb::fileModifiedTime(first.cachePath());
    addMarker(first.cachePath());
    setTime(first.cachePath(), stamped);

    // Reading folded the "-wal" into the book; the cache carries the time that left behind.
    IOSContactsMemDb second(QDir(copySource), QStringLiteral("214"));
    second.open();
    EXPECT_EQ(countRows(second.cachePath(), "select count(*) from person where rowid=999"), 1);
}

TEST_F(ContactsTest, AFailedRebuildKeepsTheOldCache)
{
    ASSERT_FALSE(markerPresent());
    addMarker(cachePath());
    setTime(cachePath(), kBookTime);

    fixtures::createSqliteFile(m_book, QStringLiteral("create table Unrelated(x);"));  // no ABPerson
    setTime(m_book, kBookTime + 10);
    IOSContactsMemDb db(QDir(m_source), QStringLiteral("214"));
    EXPECT_ANY_THROW(db.open());
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(leftovers(), QStringList());
    EXPECT_EQ(IOSContactsMemDb::fileModifiedTime(cachePath()), kBookTime);
    EXPECT_EQ(countRows(cachePath(), "select count(*) from person where rowid=999"), 1);

    // Once the book is readable again, the next open rebuilds.
    fixtures::writeAddressBook(m_source, fixtures::sampleAddressBook());
    setTime(m_book, kBookTime + 20);
    EXPECT_EQ(lookUp(QStringLiteral("+34612345678")).first, "John");
    EXPECT_EQ(countRows(cachePath(), "select count(*) from person where rowid=999"), 0);
}

// The address book comes from the same backup as the messages, with the same limits.
TEST_F(ContactsTest, ABookPastTheSchemaLimitsIsRefused)
{
    QString columns = QStringLiteral("c0");
    for (int i = 1; i < 401; ++i)
        columns += QStringLiteral(",c") + QString::number(i);
    Sqlite3DB book;
    book.openThrow(m_book, 2);
    book.executeThrow("create table Wide(" + columns + ")");
    book.close();
    setTime(m_book, kBookTime + 10);
    IOSContactsMemDb db(QDir(m_source), QStringLiteral("214"));
    EXPECT_ANY_THROW(db.open());
}

TEST_F(ContactsTest, WithoutImagesEveryPhotoIsEmpty)
{
    fixtures::writeAddressBook(m_source, fixtures::sampleAddressBook(), false);
    const ContactEntry john = lookUp(QStringLiteral("+34612345678"));
    EXPECT_EQ(john.first, "John");
    EXPECT_TRUE(john.photo.isEmpty());
}

TEST_F(ContactsTest, NoBookUsesTheCacheAndNoCacheThrows)
{
    ASSERT_EQ(lookUp(QStringLiteral("+34612345678")).first, "John");
    QFile::remove(m_book);
    EXPECT_EQ(lookUp(QStringLiteral("+34612345678")).first, "John");

    QFile::remove(cachePath());
    IOSContactsMemDb db(QDir(m_source), QStringLiteral("214"));
    EXPECT_ANY_THROW(db.open());
}

TEST(ContactsNames, DisplayNameJoinsTrimmedParts)
{
    EXPECT_EQ(IOSContactsMemDb::contactDisplayName({"John", "", "Smith", {}}), "John Smith");
    EXPECT_EQ(IOSContactsMemDb::contactDisplayName({"", "", "Smith", {}}), "Smith");
    EXPECT_EQ(IOSContactsMemDb::contactDisplayName({" Ana", " M. ", " López ", {}}), "Ana M. López");
    EXPECT_EQ(IOSContactsMemDb::fileModifiedTime("/nonexistent/file"), 0);
}
