#pragma once
// Devices as the program sees them. A device's handle is made the first time its UDID is seen and kept
// for the life of the process, so an arrival, its removal and a later arrival all carry the same pointer
// (the program finds the device to remove by that pointer). Events of usbmuxd, in libimobiledevice's form,
// become the program's notifications here; only devices on USB are reported, so a phone that usbmuxd also
// sees over Wi-Fi appears once.
#include "devicelibs/mobiledeviceapi.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

namespace tmmd {

// A libimobiledevice device object, shared by the session that made it and the services started in it:
// libimobiledevice limits TLS by the iOS version the session's handshake stored in it, and a fresh one
// knows none (every service would then be held to TLS 1.0).
using SharedIdevice = std::shared_ptr<std::remove_pointer_t<idevice_t>>;

// What a handle points to. The connection and the lockdown client (plain, or with a session once one is
// started) belong to the calls on the device, which hold mutex while they use them.
struct Device {
    explicit Device(std::string id) : udid(std::move(id)) {}
    const std::string udid;
    std::mutex mutex;
    SharedIdevice idevice;
    lockdownd_client_t lockdown = nullptr;
    bool inSession = false;
};

// The device of udid, made on first sight. Any thread.
Device* internDevice(const std::string& udid);
// The device behind handle; null for null or a pointer this library never handed out. Any thread.
Device* findDevice(AMDeviceRef handle);

// The notification for event (its message and the device's handle); false when it is dropped: a device
// that is not on USB, or an event without a UDID.
bool notificationFor(const idevice_event_t& event, TMDeviceNotificationInfo& info);

// The program's callback, which replaces an earlier one.
void setSubscriber(AMDeviceNotificationCallback callback, void* context);
// Where the events of usbmuxd arrive: each event that is not dropped reaches the subscriber, on the
// thread the event came on.
void onIdeviceEvent(const idevice_event_t* event, void* unused);

}  // namespace tmmd
