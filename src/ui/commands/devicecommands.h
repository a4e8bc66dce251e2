#pragma once
// The devices in the source tree: arrival and removal notifications, the virtual devices read from the
// data folder, and disconnecting a device on request.
#include "ui/commands/guiprompts.h"
#include "ui/commands/messagescope.h"

#include <QHash>
#include <QSet>
#include <QString>

class CommandContext;
class IOSDevice;
class QObject;
class _IOSDeviceItemNode;

class DeviceCommands {
public:
    explicit DeviceCommands(CommandContext& context) : m_context(context), m_scope(context), m_prompts(context) {}
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
    // Reads the arriving device (flows/deviceflows.h), then adds its node with its conversations and
    // selects it. Whatever fails is shown, and then no node is added. One read per device at a time: an
    // arrival during the device's read is read after it.
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
    void readArrival(void* handle);
    void restoreToDevice(MsgMessageList messages);
    // The connected device the user picks; null when none is picked or it has gone meanwhile.
    _IOSDeviceItemNode* chooseConnectedDevice();
    // Closes the connections of the nodes of the device, whose files are about to be replaced.
    void closeDatabasesOf(const QString& udid);
    void addDeviceNode(const IOSDevice& device);
    void loadVirtualDevice(const QString& folder);

    CommandContext& m_context;
    MessageScope m_scope;
    GuiPrompts m_prompts;
    // The arrival each plugged device is being read for: a removal, handled in a dialog's loop while the
    // device is read, takes its entry, and the read then adds no node.
    QHash<void*, quint64> m_arrivals;
    quint64 m_lastArrival = 0;
    QSet<void*> m_reading;       // devices whose read is under way
    QSet<void*> m_arrivedAgain;  // of those, the ones that arrived again meanwhile

    QObject* m_receiver = nullptr;  // what the subscription reports to
    bool m_startupFinished = false;
};
