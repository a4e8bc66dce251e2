// A copied address book (AddressBook.sqlitedb from a device or a backup): the cache rebuilt from it,
// then lookups of the numbers and addresses the sample book holds.
#include "fuzz_support.h"
#include "msgdb/contacts.h"

#include <QFile>
#include <QFileInfo>

#include <exception>

namespace {

QDir sourceFolder()
{
    static const QDir folder = [] {
        const QString path = QString::fromUtf8(qgetenv("HOME")) + QStringLiteral("/source");
        QDir().mkpath(path);
        return QDir(path);
    }();
    return folder;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    IOSContactsMemDb contacts(sourceFolder(), QStringLiteral("214"));
    const QString book = contacts.addressBookPath();
    // Every input rebuilds the cache from scratch.
    QFile::remove(contacts.cachePath());
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        QFile::remove(book + QLatin1String(suffix));
    QDir().mkpath(QFileInfo(book).absolutePath());
    if (!writeFile(book, fuzz::bytes(data, size)))
        return 0;
    try {
        for (const char* number : {"+34612345678", "+34699112233", "john@example.com", ""})
            (void)IOSContactsMemDb::contactDisplayName(contacts.findByNumber(QString::fromLatin1(number)));
    } catch (const std::exception&) {
        // A damaged address book is reported as an error; that is the expected answer.
    }
    return 0;
}
