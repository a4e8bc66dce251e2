// A message database file from a device or a backup: the layout probe, then every conversation and
// message read through the reader the probe picks (iOS 6 tables, or else the iOS 5 reader).
#include "fuzz_support.h"
#include "msgdb/messagedbfolder.h"

#include <QFile>
#include <QFileInfo>

#include <exception>

namespace {

QDir sourceFolder()
{
    static const QDir folder = [] {
        const QDir source(QString::fromUtf8(qgetenv("HOME")) + QStringLiteral("/source"));
        QDir().mkpath(QFileInfo(messageDbPath(source)).absolutePath());
        return source;
    }();
    return folder;
}

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

// Removes what the previous input left: SQLite's side files and the MMS parts the iOS 5 reader copies
// out, which would otherwise pile up over a long run.
void clearLeftovers(const QDir& folder, const QString& dbPath)
{
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        QFile::remove(dbPath + QLatin1String(suffix));
    QDir(QFileInfo(dbPath).absoluteDir().absoluteFilePath(QStringLiteral("Parts"))).removeRecursively();
    QFile::remove(folder.absoluteFilePath(QStringLiteral("recycle.db")));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QDir folder = sourceFolder();
    const QString dbPath = messageDbPath(folder);
    clearLeftovers(folder, dbPath);
    if (!writeFile(dbPath, fuzz::bytes(data, size)))
        return 0;
    try {
        const QSharedPointer<AbsIOSMessageDb> db = openMessageDbFolder(folder, QStringLiteral("310"));
        _MsgStore store;
        db->chats(store);
        db->messages(store, 0);
        for (const _MsgMessage* message : store.messageList())
            (void)message->visibleText();
    } catch (const std::exception&) {
        // Damaged databases are reported as errors; that is the expected answer.
    }
    return 0;
}
