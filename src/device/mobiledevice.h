#pragma once
// Device arrival and removal notifications. The backend reports them on a thread of its own; they reach
// the target only by invoking its named slots with the device handle as void*, with Qt's automatic
// connection, so the slots run in the target's thread.
#include <QByteArray>
#include <QPointer>

struct DeviceNotifyContext {
    QPointer<QObject> target;
    QByteArray connectedSlot;     // "iosDeviceConnected": slot(void*)
    QByteArray disconnectedSlot;  // "iosDeviceDisconnected": slot(void*)
};

namespace MobileDevice {

// Message codes of a notification.
constexpr int kDeviceConnected = 1;
constexpr int kDeviceDisconnected = 2;

// Loads the device libraries first when needed (std::runtime_error with their text on failure), then
// subscribes context with the backend.
void subscribeNotifications(DeviceNotifyContext* context);

// Called by backends from any thread: kDeviceConnected or kDeviceDisconnected invokes the matching slot
// with device; any other message, or a context whose target is gone, does nothing.
void deliverNotification(const DeviceNotifyContext& context, int message, void* device);

}  // namespace MobileDevice
