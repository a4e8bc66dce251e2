#include "ui/commands/devicecommands.h"

#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "flows/deviceflows.h"
#include "device/mobiledevice.h"
#include "msgdb/ios5messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "ui/commands/commandcontext.h"
#include "ui/datasourceselform.h"
#include "ui/itemmodelmain.h"
#include "ui/messagebox.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <exception>

namespace {

// Filled once by the window that subscribes; the device library reports into it.
DeviceNotifyContext g_notifyContext;

}  // namespace

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
    if (m_reading.contains(handle)) {
        // It came in the progress loop of the phone's earlier read, whose job still writes the phone's
        // cache files: it is read once that read has ended.
        qWarning("device arrived again while it is read: read again afterwards");
        m_arrivedAgain.insert(handle);
        return;
    }
    m_reading.insert(handle);
    readArrival(handle);
    m_reading.remove(handle);
    if (m_arrivedAgain.remove(handle))
        deviceConnected(handle);
}

void DeviceCommands::readArrival(void* handle)
{
    showInfo(QStringLiteral("<p><b>Notes:</b> If your iPhone is protected with a passcode, please enter your "
                            "passcode on iPhone first.</p>"));
    const quint64 arrival = ++m_lastArrival;
    m_arrivals.insert(handle, arrival);
    try {
        const std::optional<IOSDevice> device =
            DeviceReading(m_prompts, [this](const QString& udid) { closeDatabasesOf(udid); }).read(handle);
        if (!device)
            return;
        if (m_arrivals.value(handle) != arrival) {
            qWarning("device %s went away while it was read: no node", qUtf8Printable(device->udid));
            return;
        }
        addDeviceNode(*device);
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        showError(errorRichText(error));
    }
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
        showWarning(QCoreApplication::translate("MainWindow", "IDS_CANT_RESTORE_IOS_VERSION_BELOW_60"));
        return;
    }
    const IOSDevice device = node->device;  // the node may go while the chain runs
    WriteBack(m_prompts).ontoDevice(device, messages);
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
    m_arrivedAgain.remove(device);  // the removal is the phone's last word
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
