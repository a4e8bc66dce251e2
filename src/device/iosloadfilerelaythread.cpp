#include "device/iosloadfilerelaythread.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "device/filerelay.h"
#include "device/servicesocket.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/messagedbfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <exception>

namespace {

const QString kTreeName = QString::fromLatin1(kFileRelayFolder);
const QString kArchiveName = kTreeName + QStringLiteral(".cpio");
const QString kStagingSuffix = QStringLiteral(".new");
constexpr int kCancelled = -1;

// Throws what the reading would say of the message database of the tree staged below stagingFolder.
void checkStagedMessageDb(const QString& stagingFolder)
{
    openMessageDbFolder(QDir(stagingFolder))->open();
}

}  // namespace

IOSLoadFileRelayThread::IOSLoadFileRelayThread(const IOSDevice* device, ProgressSink* sink, QObject* parent)
    : QThread(parent), m_device(device), m_sink(sink)
{
}

void IOSLoadFileRelayThread::run()
{
    ProgressSink::postUpdateProgress(m_sink, tr("IDS_LOADING_IOS_DATABASES"), 0, QString());
    int socket = -1;
    QString staging;  // this run's unpacked tree until it is in place
    runGuarded(
        m_sink, [&] { load(socket, staging); },
        [&] {
            Socket::close(socket);
            if (!staging.isEmpty())
                removeDirRecursive(staging);
        });
    m_buffer.clear();
}

void IOSLoadFileRelayThread::load(int& socket, QString& staging)
{
    try {
        m_buffer.resize(FileRelay::kBlockBytes);
        const QDir cache = m_device->cacheDir();
        socket = FileRelay::startService(m_device->amDevice);
        FileRelay::requestSources(socket, {QStringLiteral("UserDatabases")});
        const QString archivePath = cache.absoluteFilePath(kArchiveName);
        receiveArchive(socket, archivePath);
        Socket::close(socket);
        socket = -1;
        m_buffer.clear();
        const QString tree = cache.absoluteFilePath(kTreeName);
        staging = tree + kStagingSuffix;
        removeDirRecursive(staging);  // left by a run that was stopped
        const QString stagedTree = QDir(staging).absoluteFilePath(kTreeName);
        unpackFileRelayArchive(archivePath, stagedTree, m_sink);
        // A database the reading would refuse must not take the place of the last good one.
        checkStagedMessageDb(staging);
        FileRelay::swapInFolder(tree, stagedTree);
        removeDirRecursive(staging);
        staging.clear();
        QFile::remove(archivePath);
        ProgressSink::postSucceed(m_sink, QString());
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        throw;
    }
}

void IOSLoadFileRelayThread::receiveArchive(int socket, const QString& path)
{
    makePrivatePath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throwUtf8(QStringLiteral("create %1 failed. %2").arg(path, file.errorString()));
    makeFilePrivate(path);
    const auto cancelled = [this] { return ProgressSink::isCancelled(m_sink); };
    ThrottledSink posts(m_sink);
    qint64 total = 0;
    for (;;) {
        const int count = Socket::receiveAll(socket, m_buffer.data(), m_buffer.size(), m_silenceMs, cancelled);
        if (ProgressSink::isCancelled(m_sink))
            throw kCancelled;
        if (count < 1)
            break;
        total += count;
        posts.postUpdateProgress(QString(), 99, QStringLiteral("Received:%1KB").arg(FileRelay::kilobytes(total)));
        if (file.write(m_buffer.constData(), count) != count)
            throwUtf8(QStringLiteral("write %1 failed. %2").arg(path, file.errorString()));
        // A block left short ended in the device's close or its silence: waiting again would double it.
        if (count < m_buffer.size())
            break;
    }
    posts.flush();
    if (!file.flush())
        throwUtf8(QStringLiteral("write %1 failed. %2").arg(path, file.errorString()));
    if (total == 0)  // libarchive reads nothing as an empty archive
        throwUtf8(QStringLiteral("read %1 error. The device sent no archive.").arg(path));
}
