// A message database file from a device or a backup: the layout probe, then every conversation and
// message read through the reader the probe picks.
#include "fuzz_support.h"
#include "msgdb/ios6_message_db.h"

#include <QFile>

#include <exception>

namespace {

QDir sourceFolder()
{
    static const QDir folder = [] {
        const QString path = QString::fromUtf8(qgetenv("HOME")) + QStringLiteral("/source");
        QDir().mkpath(path + QStringLiteral("/file-relay/var/mobile/Library/SMS"));
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
    const QDir folder = sourceFolder();
    const QString dbPath = folder.absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
    for (const char* suffix : {"-wal", "-shm", "-journal"})
        QFile::remove(dbPath + QLatin1String(suffix));
    if (!writeFile(dbPath, fuzz::bytes(data, size)))
        return 0;
    try {
        if (!AbsIOSMessageDb::isIOS6Layout(dbPath))
            return 0;
        IOS6MessageDb db(folder, QStringLiteral("310"), false);
        _MsgStore store;
        db.chats(store);
        db.messages(store, 0);
        for (const _MsgMessage* message : store.messageList())
            (void)message->visibleText();
    } catch (const std::exception&) {
        // Damaged databases are reported as errors; that is the expected answer.
    }
    return 0;
}
