#include "flows/deviceflows.h"

#include "backup/backupmanifest.h"
#include "backup/ios6restoremessagesthread.h"
#include "core/errors.h"
#include "core/htmltext.h"
#include "device/iosdevice.h"
#include "device/iosloadfilerelaythread.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "device/mobiledevice.h"
#include "flows/backupcaching.h"
#include "flows/flowprompts.h"
#include "msgdb/country.h"
#include "msgdb/ios6messagedb.h"
#include "platform/webhost.h"

#include <QUrl>

#include <exception>

namespace {

// The identity of a connected device, read in one session; a value that is not text, or one the device
// has not got, reads as "". A read that failed ends the reading: the values left unread would send the
// phone down the wrong road, or ask the user about a phone that is gone.
IOSDevice readConnectedDevice(void* handle)
{
    const QStringList keys{QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
                           QStringLiteral("MobileSubscriberCountryCode"), QStringLiteral("ProductVersion"),
                           QStringLiteral("ProductType")};
    QList<CFType> values;
    try {
        values = MobileDevice::copyValues(handle, keys, QString());
    } catch (const MobileDevice::ValueReadError& error) {
        qWarning("reading the device's identity failed: %s", error.what());
        throwHtml(deviceDisconnectedText() + QStringLiteral("<br/><br/>Error code: ")
                  + htmlEscape(QString::fromUtf8(error.what())));
    }
    IOSDevice device;
    device.udid = values.value(0).toString();
    device.name = values.value(1).toString();
    device.countryCode = values.value(2).toString();
    device.productVersion = values.value(3).toString();
    device.productType = values.value(4).toString();
    device.amDevice = handle;
    return device;
}

// A code the library cannot look up counts as known: asking the user would not help.
bool isKnownCountryCode(const QString& mcc)
{
    try {
        bool found = false;
        CountryLibDb(QString()).countryByMcc(mcc, &found);
        return found;
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        return true;
    }
}

QString mainWindowText(const char* key)
{
    return QCoreApplication::translate("MainWindow", key);
}

}  // namespace

QString deviceDisconnectedText()
{
    return MobileDevice::disconnectedText();
}

bool checkBackupSettings(FlowPrompts& prompts, const IOSDevice& device, bool checkICloud, bool checkEncryption)
{
    const QString refusal = device.backupSettingsRefusal(checkICloud, checkEncryption);
    if (!refusal.isEmpty())
        prompts.warn(refusal);
    return refusal.isEmpty();
}

std::optional<QDir> backUpDevice(FlowPrompts& prompts, const IOSDevice& device)
{
    const std::unique_ptr<ProgressSink> progress = prompts.progress();
    IOSMobileBackupThread job(&device, progress.get());
    if (!prompts.runJob(*progress, job))
        return std::nullopt;
    return job.backupDir();
}

std::optional<IOSDevice> DeviceReading::read(void* handle)
{
    IOSDevice device = readConnectedDevice(handle);
    device.checkUdid();  // an identifier that cannot name a folder is refused before anything is done
    settleCountryCode(device);
    if (!copyMessageDb(device))
        return std::nullopt;
    return device;
}

void DeviceReading::settleCountryCode(IOSDevice& device)
{
    if (!device.countryCode.isEmpty() && isKnownCountryCode(device.countryCode))
        return;
    if (device.countryCode.isEmpty())
        m_prompts.inform(mainWindowText(QT_TRANSLATE_NOOP("MainWindow", "IDS_ANDROID_%1_CANT_READ_MMC_NUMBER")));
    if (const std::optional<QString> mcc = m_prompts.chooseCountry())
        device.countryCode = *mcc;
}

bool DeviceReading::copyMessageDb(const IOSDevice& device)
{
    if (!device.readsThroughFileRelay())
        return copyThroughBackup(device);
    m_releaseFiles(device.udid);
    const std::unique_ptr<ProgressSink> progress = m_prompts.progress();
    IOSLoadFileRelayThread job(&device, progress.get());
    return m_prompts.runJob(*progress, job);
}

bool DeviceReading::copyThroughBackup(const IOSDevice& device)
{
    // Its backup could not be read: refused before hours of backing up and gigabytes in the data folder.
    if (device.backsUpWithManifestDb())
        throwUtf8(QStringLiteral("This iPhone has iOS %1. Messages cannot be read from an iPhone with iOS 10 or "
                                 "later; nothing was copied from it.")
                      .arg(device.productVersion.left(20)));
    if (!checkBackupSettings(m_prompts, device, true, false))
        return false;
    const std::optional<QDir> backupRoot = backUpDevice(m_prompts, device);
    if (!backupRoot)
        return false;
    CacheTarget target;
    target.cacheDir = device.cacheDir();
    target.releaseFiles = [this, &device] { m_releaseFiles(device.udid); };
    return BackupCaching(m_prompts)
        .cacheFolder(QDir(backupRoot->absoluteFilePath(device.udid)), EncryptedBackup::Unlock, target)
        .has_value();
}

QString WriteBack::restoreResultText(int merged, int skipped)
{
    if (skipped > 0)
        return tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER").arg(merged).arg(skipped);
    return tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(merged);
}

std::optional<WriteBack::Merge> WriteBack::merge(const QString& mcc, const MsgMessageList& messages,
                                                 const QDir& cacheDir, const QDir& backupDir)
{
    // The merge job refuses a database that is not in the iOS 6 layout before it changes anything.
    IOS6MessageDb target(cacheDir, mcc, false);
    const std::unique_ptr<ProgressSink> progress = m_prompts.progress();
    IOS6RestoreMessagesThread job(mcc, &messages, &target, backupDir, progress.get());
    if (!m_prompts.runJob(*progress, job))
        return std::nullopt;
    return Merge{job.mergedCount(), job.skippedCount()};
}

void WriteBack::intoBackup(const MsgMessageList& messages)
{
    try {
        const std::optional<CachedBackup> backup = BackupCaching(m_prompts).cacheChosen(EncryptedBackup::Refuse);
        if (!backup)
            return;
        if (const std::optional<Merge> done = merge(QString(), messages, backup->cacheDir, backup->manifest->backupDir))
            m_prompts.inform(restoreResultText(done->merged, done->skipped));
    } catch (const std::exception& error) {
        showFlowError(m_prompts, error);
    }
}

void WriteBack::ontoDevice(const IOSDevice& device, const MsgMessageList& messages)
{
    if (!checkBackupSettings(m_prompts, device, true, true))
        return;
    if (!device.productType.startsWith(QLatin1String("iPhone"), Qt::CaseInsensitive)
        && !m_prompts.confirm(QStringLiteral("You can recover iMessage only to an iPad/iPod. Want to continue?")))
        return;
    const QUrl help = webHostUrl(QStringLiteral("guides/how-to-disable-find-my-iphone.html"));
    const QString findMyIphoneOff =
        mainWindowText(QT_TRANSLATE_NOOP("MainWindow", "IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF"));
    if (!m_prompts.confirm(findMyIphoneOff.arg(htmlEscape(help.toString(QUrl::FullyEncoded)))))
        return;
    const std::optional<QDir> backupRoot = backUpDevice(m_prompts, device);
    if (!backupRoot)
        return;
    try {
        // The backup was made with encryption off; one that is encrypted all the same is not written to.
        const std::optional<CachedBackup> backup = BackupCaching(m_prompts).cacheFolder(
            QDir(backupRoot->absoluteFilePath(device.udid)), EncryptedBackup::Refuse);
        if (!backup)
            return;
        const std::optional<Merge> done =
            merge(device.countryCode, messages, backup->cacheDir, backup->manifest->backupDir);
        if (!done)
            return;
        const std::unique_ptr<ProgressSink> progress = m_prompts.progress();
        IOSMobileRestoreThread job(&device, *backupRoot, progress.get());
        if (m_prompts.runJob(*progress, job))
            m_prompts.inform(restoreResultText(done->merged, done->skipped));
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        m_prompts.error(errorRichText(error));
    }
}
