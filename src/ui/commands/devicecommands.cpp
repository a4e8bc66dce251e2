#include "ui/commands/devicecommands.h"

#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "device/mobiledevice.h"
#include "msgdb/messagedbfolder.h"
#include "ui/commands/commandcontext.h"
#include "ui/itemmodelmain.h"
#include "ui/messagebox.h"

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

void DeviceCommands::deviceConnected(void* device)
{
    if (!m_startupFinished) {
        qWarning("device arrival ignored during start-up");
        return;
    }
    showInfo(QStringLiteral("<p><b>Notes:</b> If your iPhone is protected with a passcode, please enter your "
                            "passcode on iPhone first.</p>"));
    try {
        // Its messages are not read yet: the node stands for the device until it is unplugged.
        ItemModelMain* model = m_context.mainModel();
        model->addIOSDevice({}, readConnectedDevice(device));
        m_context.expandTreeNode(model->deviceRoot());
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        showError(QString::fromUtf8(error.what()));  // the device layer's own texts
    }
}

void DeviceCommands::deviceDisconnected(void* device)
{
    if (!device)
        return;  // virtual devices have no handle: a null one must not remove them
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
        db->chats(node->store);
        model->loadChats(node);
    } catch (const std::exception& error) {
        showError(htmlEscape(QString::fromUtf8(error.what())));
    }
    m_context.expandTreeNode(model->deviceRoot());
}
