#include "device/iosmobilebackupthread.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "core/jobguard.h"
#include "core/plistnode.h"
#include "core/progresssink.h"
#include "core/safepath.h"
#include "device/iosdevice.h"
#include "device/tempbackupdir.h"

#include <QFile>
#include <QFileInfo>

namespace {

constexpr int kCancelled = -1;
const QString kFinished = QStringLiteral("finished");

PlistNode readPlist(const QDir& folder, const char* name)
{
    QFile file(folder.absoluteFilePath(QLatin1String(name)));
    if (!file.open(QIODevice::ReadOnly))
        return PlistNode();
    return PlistNode::fromData(file.read(qint64(PlistNode::kMaxInputBytes) + 1));
}

}  // namespace

QString backupSnapshotState(const QDir& folder)
{
    return readPlist(folder, "Status.plist").value(QStringLiteral("SnapshotState")).toString();
}

bool isReusableBackup(const QDir& folder, const QString& productVersion)
{
    for (const char* name : {"Status.plist", "Manifest.plist", "Manifest.mbdb"}) {
        if (!QFileInfo(folder.absoluteFilePath(QLatin1String(name))).isFile())
            return false;
    }
    const PlistNode lockdown = readPlist(folder, "Manifest.plist").value(QStringLiteral("Lockdown"));
    const QString version = lockdown.value(QStringLiteral("ProductVersion")).toString();
    return backupSnapshotState(folder) == kFinished && version == productVersion;
}

IOSMobileBackupThread::IOSMobileBackupThread(const IOSDevice* device, ProgressSink* sink, QObject* parent)
    : BackupToolJob(device, chooseTempBackupDir(), sink, parent)
{
}

void IOSMobileBackupThread::run()
{
    ProgressSink::postUpdateProgress(m_sink, tr("IDS_BACKING_UP_IOS"), 0, QString());
    QString folder;              // the device's backup, once its name is known to be safe
    bool removeFolder = false;   // whether an ending other than success removes it
    runGuarded(
        m_sink, [&] { backUp(folder, removeFolder); },
        [&] {
            if (removeFolder && !folder.isEmpty())
                removeDirRecursive(folder);
        });
}

void IOSMobileBackupThread::backUp(QString& folder, bool& removeFolder)
{
    try {
        const std::optional<QString> contained =
            IOSDevice::isValidUdid(m_device->udid) ? resolveContained(m_backupRoot.absolutePath(), m_device->udid)
                                                   : std::nullopt;
        if (!contained)
            throwUtf8(IOSDevice::udidRefusal(m_device->udid));
        folder = *contained;
        if (QFileInfo::exists(folder) && !isReusableBackup(QDir(folder), m_device->productVersion))
            removeDirRecursive(folder);
        removeFolder = !QFileInfo::exists(folder);  // a cancel takes away only what this run made
        if (!runTool(BackupToolOptions::Backup))
            throw kCancelled;
        // A tool that ends quietly without a whole backup has failed all the same.
        if (backupSnapshotState(QDir(folder)) != kFinished)
            throwUtf8(QStringLiteral("error: the backup did not finish (its Status.plist does not say \"finished\")."));
        ProgressSink::postSucceed(m_sink, QString());
    } catch (int) {
        throw;
    } catch (const std::exception& error) {
        removeFolder = true;  // a later run starts afresh
        throwHtml(errorRichText(error) + QLatin1String(kRestartDeviceNote));
    } catch (...) {
        removeFolder = true;
        throwHtml(QStringLiteral("error: the backup failed.") + QLatin1String(kRestartDeviceNote));
    }
}
