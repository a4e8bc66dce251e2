#pragma once
// The devices in the source tree: arrival and removal notifications, the virtual devices read from the
// data folder, and disconnecting a device on request.
#include "ui/commands/messagescope.h"

#include <QDir>
#include <QHash>
#include <QString>

#include <optional>

class CommandContext;
class IOSDevice;
class QObject;
class _IOSDeviceItemNode;

// Whether a backup of device may go ahead; when it may not, the user has been shown what to turn off.
bool checkBackupSettings(const IOSDevice& device, bool checkICloud, bool checkEncryption);

class DeviceCommands {
public:
    explicit DeviceCommands(CommandContext& context) : m_context(context), m_scope(context) {}
    // Ends the subscription, so no notification reaches a receiver on its way out.
    ~DeviceCommands();
    DeviceCommands(const DeviceCommands&) = delete;
    DeviceCommands& operator=(const DeviceCommands&) = delete;

    // Has the device library report to receiver's slots iosDeviceConnected and iosDeviceDisconnected;
    // a failure is shown to the user.
    void subscribeNotifications(QObject* receiver);
    // Arrivals are ignored until start-up has finished (a modal step of start-up must not run the
    // device reading inside its own loop).
    void setStartupFinished(bool finished) { m_startupFinished = finished; }
    // Reads the arriving device: its identity, its country (asking the user when the device does not
    // say), its message database copied into its cache folder, then adds its node with its
    // conversations and selects it. Whatever fails is shown, and then no node is added.
    void deviceConnected(void* handle);
    // Removes the first device node of the handle; virtual devices have none.
    void deviceDisconnected(void* device);
    // Removes the node of the tree's selected device.
    void unmountSelected();
    // One device node for each folder of the virtual-devices folder, read like a device.
    void loadVirtualDevices();
    // Writes the requested messages of the current source onto a connected iOS 6 (or later) device
    // the user chooses: its backup, the messages merged into it, the backup restored to the device.
    // No menu entry reaches it.
    void runRestoreToDevice(ScopeRequest request);

private:
    void settleCountryCode(IOSDevice& device);
    // Copies the device's message database into its cache folder: true once it is there.
    bool copyMessageDb(const IOSDevice& device);
    bool copyThroughBackup(const IOSDevice& device);
    // Backs device up under a progress dialog: the backup root, or nullopt when that did not succeed.
    std::optional<QDir> backUp(const IOSDevice& device);
    void restoreToDevice(MsgMessageList messages);
    // The connected device the user picks; null when none is picked or it has gone meanwhile.
    _IOSDeviceItemNode* chooseConnectedDevice();
    // Closes the connections of the nodes of the device, whose files are about to be replaced.
    void closeDatabasesOf(const QString& udid);
    void addDeviceNode(const IOSDevice& device);
    void loadVirtualDevice(const QString& folder);

    CommandContext& m_context;
    MessageScope m_scope;
    // The arrival each plugged device is being read for: a removal, handled in a dialog's loop while the
    // device is read, takes its entry, and the read then adds no node.
    QHash<void*, quint64> m_arrivals;
    quint64 m_lastArrival = 0;
    QObject* m_receiver = nullptr;  // what the subscription reports to
    bool m_startupFinished = false;
};
