#include "ui/commands/devicecommands.h"

#include "backup/backupmanifest.h"
#include "backup/ios6restoremessagesthread.h"
#include "backup/itunescachesmsthread.h"
#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "device/iosloadfilerelaythread.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "device/mobiledevice.h"
#include "msgdb/country.h"
#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "platform/webhost.h"
#include "ui/commands/commandcontext.h"
#include "ui/commands/importcommands.h"
#include "ui/countryselform.h"
#include "ui/datasourceselform.h"
#include "ui/interaction.h"
#include "ui/itemmodelmain.h"
#include "ui/jobrunner.h"
#include "ui/messagebox.h"
#include "ui/passcodedlg.h"
#include "ui/progressform.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <exception>

namespace {

// Filled once by the window that subscribes; the device library reports into it.
DeviceNotifyContext g_notifyContext;

// The identity of a connected device, read in one session; a value that is not text reads as "".
IOSDevice readConnectedDevice(void* handle)
{
    const QStringList keys{QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
                           QStringLiteral("MobileSubscriberCountryCode"), QStringLiteral("ProductVersion"),
                           QStringLiteral("ProductType")};
    const QList<CFType> values = MobileDevice::copyValues(handle, keys, QString());
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

bool checkBackupSettings(const IOSDevice& device, bool checkICloud, bool checkEncryption)
{
    const QString refusal = device.backupSettingsRefusal(checkICloud, checkEncryption);
    if (!refusal.isEmpty())
        showWarning(refusal);
    return refusal.isEmpty();
}

DeviceCommands::~DeviceCommands()
{
    if (g_notifyContext.target == m_receiver)
        g_notifyContext.target = nullptr;
}

void DeviceCommands::subscribeNotifications(QObject* receiver)
{
    m_receiver = receiver;
    g_notifyContext.target = receiver;
    g_notifyContext.connectedSlot = "iosDeviceConnected";
    g_notifyContext.disconnectedSlot = "iosDeviceDisconnected";
    try {
        MobileDevice::subscribeNotifications(&g_notifyContext);
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        showError(QString::fromUtf8(error.what()));
    }
}

void DeviceCommands::deviceConnected(void* handle)
{
    if (!m_startupFinished) {
        qWarning("device arrival ignored during start-up");
        return;
    }
    showInfo(QStringLiteral("<p><b>Notes:</b> If your iPhone is protected with a passcode, please enter your "
                            "passcode on iPhone first.</p>"));
    const quint64 arrival = ++m_lastArrival;
    m_arrivals.insert(handle, arrival);
    try {
        IOSDevice device = readConnectedDevice(handle);
        device.cacheDir();  // refuses an identifier that cannot name a folder before anything is done
        settleCountryCode(device);
        if (!copyMessageDb(device))
            return;
        if (m_arrivals.value(handle) != arrival) {
            qWarning("device %s went away while it was read: no node", qUtf8Printable(device.udid));
            return;
        }
        addDeviceNode(device);
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        showError(errorRichText(error));
    }
}

void DeviceCommands::settleCountryCode(IOSDevice& device)
{
    if (!device.countryCode.isEmpty() && isKnownCountryCode(device.countryCode))
        return;
    if (device.countryCode.isEmpty())
        showInfo(mainWindowText(QT_TRANSLATE_NOOP("MainWindow", "IDS_ANDROID_%1_CANT_READ_MMC_NUMBER")));
    CountrySelForm chooser(m_context.dialogParent());
    if (execDialog(chooser) == QDialog::Accepted)
        device.countryCode = chooser.selectedMcc();
}

bool DeviceCommands::copyMessageDb(const IOSDevice& device)
{
    if (!device.readsThroughFileRelay())
        return copyThroughBackup(device);
    closeDatabasesOf(device.udid);
    QWidget* parent = m_context.dialogParent();
    ProgressForm form(QString(), parent);
    IOSLoadFileRelayThread job(&device, &form, parent);
    return runJob(form, job);
}

bool DeviceCommands::copyThroughBackup(const IOSDevice& device)
{
    // Its backup could not be read: refused before hours of backing up and gigabytes in the data folder.
    if (device.backsUpWithManifestDb())
        throwUtf8(QLatin1String(BackupManifest::kNewerBackupFormatText)
                  + QStringLiteral(" This phone has iOS %1: no backup of it is made.").arg(device.productVersion.left(20)));
    if (!checkBackupSettings(device, true, false))
        return false;
    const std::optional<QDir> backupRoot = backUp(device);
    if (!backupRoot)
        return false;
    QWidget* parent = m_context.dialogParent();
    ProgressForm form(QString(), parent);
    BackupManifest manifest(QDir(backupRoot->absoluteFilePath(device.udid)));
    if (BackupManifest::isNewerFormat(manifest.backupDir))
        throw std::runtime_error(BackupManifest::kNewerBackupFormatText);
    manifest.loadManifestPlist();
    if (manifest.deviceInfo.isEncrypted) {
        PasscodeDlg passcode(&manifest, parent);
        if (execDialog(passcode) != QDialog::Accepted)
            return false;
    }
    manifest.loadMbdb();
    closeDatabasesOf(device.udid);
    ITunesCacheSMSThread job(&manifest, device.cacheDir(), &form, parent);
    return runJob(form, job);
}

std::optional<QDir> DeviceCommands::backUp(const IOSDevice& device)
{
    QWidget* parent = m_context.dialogParent();
    ProgressForm form(QString(), parent);
    IOSMobileBackupThread job(&device, &form, parent);
    if (!runJob(form, job))
        return std::nullopt;
    return job.backupDir();
}

void DeviceCommands::runRestoreToDevice(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { restoreToDevice(messages); });
}

_IOSDeviceItemNode* DeviceCommands::chooseConnectedDevice()
{
    // Only a connected device can be written to: virtual devices are folders.
    const auto connectedNodes = [this] {
        QList<_IOSDeviceItemNode*> nodes;
        for (const auto& child : m_context.mainModel()->deviceRoot()->children) {
            auto* node = child->type == kNodeIOSDevice ? static_cast<_IOSDeviceItemNode*>(child.get()) : nullptr;
            if (node && node->device.amDevice)
                nodes << node;
        }
        return nodes;
    };
    QList<DataSourceEntry> entries;
    for (_IOSDeviceItemNode* node : connectedNodes())
        entries.append({QStringLiteral(":res/iphone.png"), node->device.name, qintptr(node)});
    DataSourceSelForm chooser(m_context.dialogParent());
    const qintptr chosen =
        chooser.setDataSources(QCoreApplication::translate("QObject", "IDS_SEL_ONE_IOS_DEVICE"), entries);
    // The chooser's loop may have seen the device go: only a node still in the tree is used.
    for (_IOSDeviceItemNode* node : connectedNodes()) {
        if (chosen != 0 && qintptr(node) == chosen)
            return node;
    }
    return nullptr;
}

void DeviceCommands::restoreToDevice(MsgMessageList messages)
{
    const _AbsDBItemNode* source = ItemModelMain::databaseNodeOf(m_context.currentTreeNode());
    if (!source)
        return;
    const _MsgStore keepAlive = source->store;  // the source node may go while the chain runs
    const _IOSDeviceItemNode* node = chooseConnectedDevice();
    if (!node)
        return;
    const QSharedPointer<AbsIOSMessageDb> deviceDb = node->db.dynamicCast<AbsIOSMessageDb>();
    if (!deviceDb || deviceDb->iosVersion() != 6) {
        showWarning(mainWindowText(QT_TRANSLATE_NOOP("MainWindow", "IDS_CANT_RESTORE_IOS_VERSION_BELOW_60")));
        return;
    }
    const IOSDevice device = node->device;  // the node may go while the chain runs
    if (!checkBackupSettings(device, true, true))
        return;
    if (!device.productType.startsWith(QLatin1String("iPhone"), Qt::CaseInsensitive)
        && !askQuestion(QStringLiteral("You can recover iMessage only to an iPad/iPod. Want to continue?")))
        return;
    const QUrl help = webHostUrl(QStringLiteral("guides/how-to-disable-find-my-iphone.html"));
    if (!askQuestion(mainWindowText(QT_TRANSLATE_NOOP("MainWindow", "IDS_RESTORE_IOS_TIPS_FIND_MY_IPHONE_MUST_OFF"))
                         .arg(htmlEscape(help.toString(QUrl::FullyEncoded)))))
        return;
    const std::optional<QDir> backupRoot = backUp(device);
    if (!backupRoot)
        return;
    try {
        QWidget* parent = m_context.dialogParent();
        BackupManifest manifest(QDir(backupRoot->absoluteFilePath(device.udid)));
        manifest.loadManifestPlist();
        manifest.loadMbdb();
        QDir cacheDir;
        {
            ProgressForm form(QString(), parent);
            ITunesCacheSMSThread job(&manifest, &form, parent);
            if (!runJob(form, job))
                return;
            cacheDir = job.cacheDir();
        }
        IOS6MessageDb target(cacheDir, device.countryCode, false);
        int merged = 0;
        int skipped = 0;
        {
            ProgressForm form(QString(), parent);
            IOS6RestoreMessagesThread job(device.countryCode, &messages, &target, manifest.backupDir, &form, parent);
            if (!runJob(form, job))
                return;
            merged = job.mergedCount();
            skipped = job.skippedCount();
        }
        ProgressForm form(QString(), parent);
        IOSMobileRestoreThread job(&device, *backupRoot, &form, parent);
        if (runJob(form, job))
            showInfo(ImportCommands::restoreResultText(merged, skipped));
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        showError(errorRichText(error));
    }
}

void DeviceCommands::closeDatabasesOf(const QString& udid)
{
    for (const auto& child : m_context.mainModel()->deviceRoot()->children) {
        auto* node = child->type == kNodeIOSDevice ? static_cast<_IOSDeviceItemNode*>(child.get()) : nullptr;
        if (node && node->db && node->device.udid == udid)
            node->db->close();
    }
}

void DeviceCommands::addDeviceNode(const IOSDevice& device)
{
    const QSharedPointer<AbsIOSMessageDb> db = openMessageDbFolder(device.cacheDir(), device.countryCode);
    _MsgStore store;
    db->chats(store);  // before the node exists: a database that cannot be read adds none
    ItemModelMain* model = m_context.mainModel();
    _IOSDeviceItemNode* node = model->addIOSDevice(db, device);
    node->store = store;
    model->loadChats(node);
    m_context.expandTreeNode(model->deviceRoot());
    m_context.selectTreeNode(node);
}

void DeviceCommands::deviceDisconnected(void* device)
{
    if (!device)
        return;  // virtual devices have no handle: a null one must not remove them
    m_arrivals.remove(device);
    for (const auto& child : m_context.mainModel()->deviceRoot()->children) {
        if (child->type == kNodeIOSDevice
            && static_cast<_IOSDeviceItemNode*>(child.get())->device.amDevice == device) {
            m_context.removeTreeNode(child.get());
            return;
        }
    }
}

void DeviceCommands::unmountSelected()
{
    AbsTreeItemModel::_ItemNode* node = m_context.selectedTreeNode();
    if (node && node->type == kNodeIOSDevice)
        m_context.removeTreeNode(node);
}

void DeviceCommands::loadVirtualDevices()
{
    const QDir root = dataFolder(DataFolder::VirtualDevices);
    for (const QString& name : subfolderNames(root))
        loadVirtualDevice(root.absoluteFilePath(name));
}

void DeviceCommands::loadVirtualDevice(const QString& folder)
{
    IOSDevice device;
    device.name = QFileInfo(folder).fileName();
    device.udid = folder;
    device.virtualFolder = folder;
    const QSharedPointer<AbsMessageDb> db = makeLocalMessageDb(folder);
    ItemModelMain* model = m_context.mainModel();
    _IOSDeviceItemNode* node = model->addIOSDevice(db, device);
    try {
        // A virtual folder mirrors a device: never create an empty database inside it.
        const QString path = messageDbPath(QDir(folder));
        if (!QFileInfo::exists(path))
            throwUtf8(QStringLiteral("Cannot find ") + path);
        // The folder may hold a database as an iOS 5 device writes it: that one needs its own reader.
        if (!AbsIOSMessageDb::isIOS6Layout(path))
            node->db = QSharedPointer<AbsMessageDb>(new IOS5MessageDb(QDir(folder), QString()));
        node->db->chats(node->store);
        model->loadChats(node);
    } catch (const std::exception& error) {
        // Several folders may be read at start: say which one failed.
        showError(htmlEscape(QString::fromUtf8(error.what())) + QStringLiteral("<br/>Folder: ") + htmlEscape(folder));
    }
    m_context.expandTreeNode(model->deviceRoot());
}
