#pragma once
// The devices in the source tree: arrival and removal notifications, the virtual devices read from the
// data folder, and disconnecting a device on request.
#include <QString>

class CommandContext;
class QObject;

class DeviceCommands {
public:
    explicit DeviceCommands(CommandContext& context) : m_context(context) {}
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
    // Reads the arriving device's identity and adds its node; a device that cannot be read is shown as
    // an error and gets no node.
    void deviceConnected(void* device);
    // Removes the first device node of the handle; virtual devices have none.
    void deviceDisconnected(void* device);
    // Removes the node of the tree's selected device.
    void unmountSelected();
    // One device node for each folder of the virtual-devices folder, read like a device.
    void loadVirtualDevices();

private:
    void loadVirtualDevice(const QString& folder);

    CommandContext& m_context;
    QObject* m_receiver = nullptr;  // what the subscription reports to
    bool m_startupFinished = false;
};
