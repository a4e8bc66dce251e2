// libtmmd-sim.so: the MobileDevice functions over simulated devices, for the tests. Values are kept as
// libplist trees and handed out through libtmcf.so's plist conversion, so nothing here shares code with
// the device layer it is used to test. Sessions are checked the way a device checks them: values and
// services only inside a session, a session only on a connected, paired device.
#include "devicelibs/sim/tmsim.h"
#include "devicelibs/tmcf/tmcfplist.h"
#include "devicelibs/mobiledeviceapi.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace devicesim {  // services.cpp
void serveAfc(int fd, plist_t domain, std::mutex& mutex);
void serveHouseArrest(int fd, plist_t domain, std::mutex& mutex);
void serveScript(int fd, plist_t domain, std::mutex& mutex);
}  // namespace devicesim

namespace {

struct PlistFree {
    void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<void, PlistFree>;

struct Device {
    std::string udid;
    bool retired = false;  // forgotten by a reset; its handle stays unknown for good
    bool plugged = false;
    bool paired = true;
    bool connected = false;
    bool inSession = false;
    std::map<std::string, Plist> domains;  // "" holds the device's own values
};

struct Subscription {
    AMDeviceNotificationCallback callback = nullptr;
    void* context = nullptr;
};

struct Simulator {
    std::mutex mutex;
    std::vector<std::unique_ptr<Device>> devices;  // handles are never freed, only retired
    Subscription subscription;
    struct Failure {
        int32_t code = 0;
        int successesFirst = 0;  // calls that still succeed before the failures begin
    };
    std::map<std::string, Failure> failures;
    std::string log;
};

Simulator& simulator()
{
    static Simulator instance;
    return instance;
}

// Everything below runs with the simulator's mutex held, except the notification callbacks.
using Lock = std::lock_guard<std::mutex>;

Device* deviceOf(AMDeviceRef handle)
{
    for (const auto& device : simulator().devices) {
        if (device.get() == handle && !device->retired)
            return device.get();
    }
    return nullptr;
}

Device* deviceNamed(const char* udid)
{
    for (const auto& device : simulator().devices) {
        if (udid && device->udid == udid && !device->retired)
            return device.get();
    }
    return nullptr;
}

Device* addDevice(const char* udid)
{
    if (Device* known = deviceNamed(udid))
        return known;
    simulator().devices.push_back(std::make_unique<Device>());
    Device* device = simulator().devices.back().get();
    device->udid = udid ? udid : "";
    return device;
}

// Logs the call; its injected failure, or 0.
int32_t enter(const char* function)
{
    simulator().log.append(function).append("\n");
    const auto found = simulator().failures.find(function);
    if (found == simulator().failures.end())
        return 0;
    Simulator::Failure& failure = found->second;
    return failure.successesFirst > 0 && failure.successesFirst-- > 0 ? 0 : failure.code;
}

// The text of a string object, or false for anything else.
bool textOf(CFTypeRef value, std::string& text)
{
    const Plist node(value ? TMCF_CopyToPlist(value) : nullptr);
    if (!node || plist_get_node_type(node.get()) != PLIST_STRING)
        return false;
    char* chars = nullptr;
    plist_get_string_val(node.get(), &chars);
    text = chars ? chars : "";
    std::free(chars);
    return true;
}

constexpr char kFileRelay[] = "com.apple.mobile.file_relay";

// One file-relay session on fd, as a device serves it, configured by a copy of the device's file-relay
// domain (see tmsim.h).
void serveFileRelay(int fd, Device* device, Plist config)
{
    uint32_t length = 0;
    std::string request(::recv(fd, &length, 4, MSG_WAITALL) == 4 ? std::min(ntohl(length), 1u << 20) : 0, '\0');
    request.resize(size_t(std::max<ssize_t>(::recv(fd, &request[0], request.size(), MSG_WAITALL), 0)));
    if (const Lock lock(simulator().mutex); const Plist& domain = device->domains[kFileRelay])
        plist_dict_set_item(domain.get(), "Request", plist_new_string(request.c_str()));
    char *status = nullptr, *archive = nullptr;
    uint64_t size = 0, pauseMs = 0;
    plist_get_string_val(plist_dict_get_item(config.get(), "Status"), &status);
    plist_get_data_val(plist_dict_get_item(config.get(), "Archive"), &archive, &size);
    plist_get_uint_val(plist_dict_get_item(config.get(), "PauseMs"), &pauseMs);
    const bool ok = request.find("<key>Sources</key>") != std::string::npos;
    const std::string answer = std::string("<plist version=\"1.0\"><dict><key>") + (ok ? "Status" : "Error")
                               + "</key><string>" + (ok && status ? status : "InvalidSource") + "</string></dict></plist>";
    const uint32_t answerLength = htonl(uint32_t(answer.size()));
    const auto send = [fd](const void* bytes, size_t count) { return ::send(fd, bytes, count, MSG_NOSIGNAL) == ssize_t(count); };
    bool open = send(&answerLength, 4) && send(answer.data(), answer.size()) && ok;
    for (uint64_t sent = 0, piece = 64 << 10; open && sent < size; sent += piece) {
        open = send(archive + sent, size_t(std::min(piece, size - sent)));
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    std::free(status);
    std::free(archive);
    ::close(fd);
}

// The services a device serves when its domain of that name is set (see tmsim.h).
const std::map<std::string, void (*)(int, plist_t, std::mutex&)> kServers{
    {kFileRelay, nullptr},
    {"com.apple.afc", devicesim::serveAfc},
    {"com.apple.mobile.house_arrest", devicesim::serveHouseArrest},
    {"com.apple.mobilebackup2", devicesim::serveScript},
    {"com.apple.mobilesync", devicesim::serveScript}};

void notify(const Subscription& subscription, AMDeviceRef device, uint32_t message)
{
    if (!subscription.callback)
        return;
    // From a thread of our own, as a device library reports.
    std::thread([subscription, device, message] {
        const TMDeviceNotificationInfo info{device, message};
        subscription.callback(&info, subscription.context);
    }).join();
}

// What a step needs of the device, as the error it gives without it.
int32_t needsNothing(const Device&) { return 0; }
int32_t needsConnection(const Device& device) { return device.connected ? 0 : kSimNotConnected; }
int32_t needsPairing(const Device& device) { return !device.connected ? kSimNotConnected : !device.paired ? kSimNotPaired : 0; }
int32_t needsSession(const Device& device) { return device.inSession ? 0 : kSimNoSession; }

// One call on a device: logged, then the device of handle, an injected failure and the state the call
// needs decide; otherwise act runs and gives the result.
template <class Act>
int32_t onDevice(const char* function, AMDeviceRef handle, int32_t (*needs)(const Device&), Act act)
{
    const Lock lock(simulator().mutex);
    const int32_t injected = enter(function);
    Device* device = deviceOf(handle);
    if (!device || !device->plugged)
        return kSimNoDevice;
    if (injected)
        return injected;
    if (const int32_t missing = needs(*device))
        return missing;
    return act(*device);
}

}  // namespace

extern "C" {

void TMSim_Reset()
{
    const Lock lock(simulator().mutex);
    for (const auto& device : simulator().devices) {
        device->retired = true;
        device->domains.clear();
    }
    simulator().subscription = {};
    simulator().failures.clear();
    simulator().log.clear();
}

void* TMSim_AddDevice(const char* udid)
{
    const Lock lock(simulator().mutex);
    return addDevice(udid);
}

bool TMSim_SetDomain(const char* udid, const char* domain, const char* plist, uint32_t length)
{
    const Lock lock(simulator().mutex);
    Device* device = deviceNamed(udid);
    plist_t parsed = nullptr;
    if (plist && length > 8 && std::memcmp(plist, "bplist00", 8) == 0)
        plist_from_bin(plist, length, &parsed);
    else if (plist)
        plist_from_xml(plist, length, &parsed);
    Plist values(parsed);
    if (!device || !values || plist_get_node_type(values.get()) != PLIST_DICT)
        return false;
    device->domains[domain ? domain : ""] = std::move(values);
    return true;
}

void TMSim_SetPaired(const char* udid, bool paired)
{
    const Lock lock(simulator().mutex);
    if (Device* device = deviceNamed(udid))
        device->paired = paired;
}

void TMSim_Fail(const char* function, int32_t code)
{
    TMSim_FailAfter(function, 0, code);
}

void TMSim_FailAfter(const char* function, int successes, int32_t code)
{
    const Lock lock(simulator().mutex);
    if (code)
        simulator().failures[function] = {code, successes};
    else
        simulator().failures.erase(function);
}

void* TMSim_Plug(const char* udid)
{
    Subscription subscription;
    Device* device = nullptr;
    {
        const Lock lock(simulator().mutex);
        device = addDevice(udid);
        device->plugged = true;
        subscription = simulator().subscription;
    }
    notify(subscription, device, kAMDeviceConnected);
    notify(subscription, device, 3);  // a message the program must ignore
    return device;
}

bool TMSim_Unplug(const char* udid)
{
    Subscription subscription;
    Device* device = nullptr;
    {
        const Lock lock(simulator().mutex);
        device = deviceNamed(udid);
        if (!device || !device->plugged)
            return false;
        device->plugged = false;
        device->connected = false;
        device->inSession = false;
        subscription = simulator().subscription;
    }
    notify(subscription, device, kAMDeviceDisconnected);
    return true;
}

char* TMSim_TakeCallLog()
{
    const Lock lock(simulator().mutex);
    char* copy = strdup(simulator().log.c_str());
    simulator().log.clear();
    return copy;
}

int32_t AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, uint32_t, uint32_t, void* context,
                                      void** notification)
{
    std::vector<AMDeviceRef> attached;
    Subscription subscription;
    {
        const Lock lock(simulator().mutex);
        if (const int32_t injected = enter("AMDeviceNotificationSubscribe"))
            return injected;
        if (!callback)
            return kSimBadArgument;
        simulator().subscription = {callback, context};
        subscription = simulator().subscription;
        for (const auto& device : simulator().devices) {
            if (device->plugged && !device->retired)
                attached.push_back(device.get());
        }
    }
    if (notification)
        *notification = &simulator();
    // Devices plugged in before the subscription are reported too.
    for (AMDeviceRef device : attached)
        notify(subscription, device, kAMDeviceConnected);
    return 0;
}

int32_t AMDeviceConnect(AMDeviceRef handle)
{
    return onDevice("AMDeviceConnect", handle, needsNothing, [](Device& device) {
        device.connected = true;
        return 0;
    });
}

int32_t AMDeviceIsPaired(AMDeviceRef handle)
{
    const Lock lock(simulator().mutex);
    enter("AMDeviceIsPaired");
    const Device* device = deviceOf(handle);
    return device && device->paired ? 1 : 0;
}

int32_t AMDevicePair(AMDeviceRef handle)
{
    return onDevice("AMDevicePair", handle, needsConnection, [](Device& device) {
        device.paired = true;
        return 0;
    });
}

int32_t AMDeviceValidatePairing(AMDeviceRef handle)
{
    return onDevice("AMDeviceValidatePairing", handle, needsPairing, [](Device&) { return 0; });
}

int32_t AMDeviceStartSession(AMDeviceRef handle)
{
    return onDevice("AMDeviceStartSession", handle, needsPairing, [](Device& device) {
        device.inSession = true;
        return 0;
    });
}

int32_t AMDeviceStopSession(AMDeviceRef handle)
{
    return onDevice("AMDeviceStopSession", handle, needsSession, [](Device& device) {
        device.inSession = false;
        return 0;
    });
}

int32_t AMDeviceDisconnect(AMDeviceRef handle)
{
    return onDevice("AMDeviceDisconnect", handle, needsNothing, [](Device& device) {
        device.connected = false;
        device.inSession = false;
        return 0;
    });
}

}  // extern "C"

namespace {

// The value of key in domain (both null or strings) of the device, the way both reading calls see it.
int32_t readValue(const char* function, AMDeviceRef handle, CFStringRef domain, CFStringRef key, CFTypeRef& result)
{
    result = nullptr;
    return onDevice(function, handle, needsSession, [&](Device& device) -> int32_t {
        std::string domainName;
        std::string keyName;
        if ((domain && !textOf(domain, domainName)) || (key && !textOf(key, keyName)))
            return kSimBadArgument;
        const auto found = device.domains.find(domainName);
        if (found == device.domains.end())
            return 0;
        plist_t value = key ? plist_dict_get_item(found->second.get(), keyName.c_str()) : found->second.get();
        result = value ? TMCF_CreateFromPlist(value) : nullptr;
        return 0;
    });
}

}  // namespace

extern "C" {

CFTypeRef AMDeviceCopyValue(AMDeviceRef handle, CFStringRef domain, CFStringRef key)
{
    CFTypeRef result = nullptr;
    readValue("AMDeviceCopyValue", handle, domain, key, result);
    return result;
}

int32_t AMDeviceReadValue(AMDeviceRef handle, CFStringRef domain, CFStringRef key, CFTypeRef* value)
{
    return value ? readValue("AMDeviceReadValue", handle, domain, key, *value) : kSimBadArgument;
}

int32_t AMDeviceSetValue(AMDeviceRef handle, CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    return onDevice("AMDeviceSetValue", handle, needsSession, [&](Device& device) -> int32_t {
        std::string domainName;
        std::string keyName;
        Plist node(value ? TMCF_CopyToPlist(value) : nullptr);
        if (!node || !textOf(domain, domainName) || !textOf(key, keyName))
            return kSimBadArgument;
        Plist& values = device.domains[domainName];
        if (!values)
            values.reset(plist_new_dict());
        plist_dict_set_item(values.get(), keyName.c_str(), node.release());
        return 0;
    });
}

int32_t AMDeviceStartService(AMDeviceRef handle, CFStringRef name, int* socket, void*)
{
    return onDevice("AMDeviceStartService", handle, needsSession, [&](Device& device) -> int32_t {
        std::string service;
        if (!socket || !textOf(name, service))
            return kSimBadArgument;
        const auto found = device.domains.find(service);
        const auto server = kServers.find(service);
        int ends[2];
        if (found == device.domains.end() || !found->second || server == kServers.end()
            || (service == kFileRelay && !plist_dict_get_item(found->second.get(), "Status"))
            || ::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
            return kSimNoService;
        if (service == kFileRelay)
            std::thread(serveFileRelay, ends[1], &device, Plist(plist_copy(found->second.get()))).detach();
        else
            std::thread(server->second, ends[1], found->second.get(), std::ref(simulator().mutex)).detach();
        *socket = ends[0];
        return 0;
    });
}

CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef handle)
{
    CFStringRef result = nullptr;
    onDevice("AMDeviceCopyDeviceIdentifier", handle, needsNothing, [&](Device& device) {
        const Plist udid(plist_new_string(device.udid.c_str()));
        result = static_cast<CFStringRef>(TMCF_CreateFromPlist(udid.get()));
        return 0;
    });
    return result;
}

}  // extern "C"
