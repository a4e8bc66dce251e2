#include "devicelibs/tmmd/devicehandles.h"

#include <map>
#include <memory>

namespace tmmd {

namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<Device>> byUdid;
};

// Never destroyed: the event thread of libusbmuxd may still report while the process ends.
Registry& registry()
{
    static auto* instance = new Registry;
    return *instance;
}

struct Subscriber {
    std::mutex mutex;
    AMDeviceNotificationCallback callback = nullptr;
    void* context = nullptr;
};

Subscriber& subscriber()
{
    static auto* instance = new Subscriber;
    return *instance;
}

}  // namespace

Device* internDevice(const std::string& udid)
{
    const std::lock_guard<std::mutex> lock(registry().mutex);
    std::unique_ptr<Device>& device = registry().byUdid[udid];
    if (!device)
        device = std::make_unique<Device>(udid);
    return device.get();
}

Device* findDevice(AMDeviceRef handle)
{
    if (!handle)
        return nullptr;
    const std::lock_guard<std::mutex> lock(registry().mutex);
    for (const auto& entry : registry().byUdid) {
        if (entry.second.get() == handle)
            return entry.second.get();
    }
    return nullptr;
}

bool notificationFor(const idevice_event_t& event, TMDeviceNotificationInfo& info)
{
    if (event.conn_type != CONNECTION_USBMUXD || !event.udid || !*event.udid)
        return false;
    info = {internDevice(event.udid), uint32_t(event.event)};
    return true;
}

void setSubscriber(AMDeviceNotificationCallback callback, void* context)
{
    const std::lock_guard<std::mutex> lock(subscriber().mutex);
    subscriber().callback = callback;
    subscriber().context = context;
}

void onIdeviceEvent(const idevice_event_t* event, void*)
{
    TMDeviceNotificationInfo info{};
    if (!event || !notificationFor(*event, info))
        return;
    AMDeviceNotificationCallback callback = nullptr;
    void* context = nullptr;
    {
        const std::lock_guard<std::mutex> lock(subscriber().mutex);
        callback = subscriber().callback;
        context = subscriber().context;
    }
    if (callback)
        callback(&info, context);
}

}  // namespace tmmd
