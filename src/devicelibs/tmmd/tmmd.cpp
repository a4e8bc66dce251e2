// libtmmd.so: the MobileDevice functions for real iPhones, over libimobiledevice and usbmuxd. Devices are
// reached on USB only. A session is a lockdown client: a plain one from Connect (enough to pair), one
// with the pair record's session from StartSession. Values travel as libplist trees and reach the program
// as objects of libtmcf.so. Every call on a device holds that device's lock.
#include "devicelibs/tmcf/tmcfplist.h"
#include "devicelibs/tmmd/cfnames.h"
#include "devicelibs/tmmd/devicehandles.h"
#include "devicelibs/tmmd/errorcodes.h"
#include "devicelibs/tmmd/servicebridge.h"
#include "devicelibs/tmmd/usbmuxdevents.h"
#include "devicelibs/mobiledeviceapi.h"

#include <usbmuxd.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

using tmmd::Device;
using tmmd::Plist;

namespace {

constexpr char kLabel[] = "tallowmere";
// Pairing is validated before a session only below this major version; later ones do without.
constexpr int kFirstVersionWithoutValidation = 7;

// A failure of libimobiledevice or lockdown while the phone is no longer attached on USB (or usbmuxd,
// which ends after the last phone, is gone) is the phone going away, whatever the broken connection
// read as: a mux error, lockdown's unknown error, a failed connect. Answers of a phone still there, and
// our own failures, stay as they are.
int32_t settleFailure(const Device& device, int32_t code)
{
    if (code == 0 || code <= tmmd::kUnknownDevice || code == kAMErrorNoDevice)
        return code;
    usbmuxd_device_info_t attached{};
    return usbmuxd_get_device_by_udid(device.udid.c_str(), &attached) == 1 ? code : kAMErrorNoDevice;
}

// Runs work on the device of handle with its lock held; kUnknownDevice for a handle of no device.
template <class Work>
int32_t onDevice(AMDeviceRef handle, Work work)
{
    Device* device = tmmd::findDevice(handle);
    if (!device)
        return tmmd::kUnknownDevice;
    const std::lock_guard<std::mutex> lock(device->mutex);
    const tmmd::SigpipeGuard guard;  // a device gone mid-call gives an error code, not the end of the process
    return settleFailure(*device, work(*device));
}

void dropLockdown(Device& device)
{
    if (device.lockdown)
        lockdownd_client_free(device.lockdown);
    device.lockdown = nullptr;
    device.inSession = false;
}

void dropConnection(Device& device)
{
    dropLockdown(device);
    device.idevice.reset();  // freed once the services started through it have ended too
}

// The major number of the device's "ProductVersion" ("6.1.3" gives 6), 0 when it has none: a phone that
// answers it has no such value is one of unknown version, not a failed read.
int32_t readMajorVersion(lockdownd_client_t lockdown, int& major)
{
    plist_t value = nullptr;
    const lockdownd_error_t error = lockdownd_get_value(lockdown, nullptr, "ProductVersion", &value);
    const Plist version(value);
    const int32_t code = error == LOCKDOWN_E_MISSING_VALUE ? 0 : tmmd::fromLockdown(error);
    std::string text;
    const long parsed = tmmd::plistText(version.get(), text) ? std::strtol(text.c_str(), nullptr, 10) : 0;
    major = int(std::clamp(parsed, 0L, 1000L));  // the device's text: no overflow
    return code;
}

// The domain and key of a call as lockdown takes them: null stands for the device's own values or a
// whole domain, and so does an empty name.
class LockdownNames {
public:
    LockdownNames() = default;
    LockdownNames(const LockdownNames&) = delete;  // the names point into the texts
    LockdownNames& operator=(const LockdownNames&) = delete;

    // False when either is an object other than a string.
    bool read(CFStringRef domainName, CFStringRef keyName)
    {
        return readName(domainName, m_domainText, domain) && readName(keyName, m_keyText, key);
    }

    const char* domain = nullptr;
    const char* key = nullptr;

private:
    static bool readName(CFStringRef name, std::string& text, const char*& out)
    {
        out = nullptr;
        if (!name)
            return true;
        if (!tmmd::utf8Of(name, text))
            return false;
        out = text.empty() ? nullptr : text.c_str();
        return true;
    }

    std::string m_domainText;
    std::string m_keyText;
};

// A service connection made through the session's device object, which it keeps alive: the connection
// points to it, and the service goes on after the session's Disconnect.
class IdeviceStream final : public tmmd::DeviceStream {
public:
    IdeviceStream(tmmd::SharedIdevice device, idevice_connection_t connection, bool ssl)
        : m_device(std::move(device)), m_connection(connection), m_ssl(ssl)
    {
    }
    ~IdeviceStream() override { idevice_disconnect(m_connection); }
    IdeviceStream(const IdeviceStream&) = delete;
    IdeviceStream& operator=(const IdeviceStream&) = delete;

    int pollFd() const override
    {
        int fd = -1;
        return idevice_connection_get_fd(m_connection, &fd) == IDEVICE_E_SUCCESS ? fd : -1;
    }
    bool serialised() const override { return m_ssl; }
    long receive(char* buffer, size_t size) override
    {
        uint32_t received = 0;
        const idevice_error_t error = idevice_connection_receive(m_connection, buffer, uint32_t(size), &received);
        if (error == IDEVICE_E_SUCCESS && received > 0) {
            m_emptyReads = 0;
            return long(received);
        }
        // SSL reads nothing when a record carries no data (TLS 1.3 sends session tickets after the
        // handshake, before the service says anything): a connection still open is waited on, a
        // few times in a row.
        return m_ssl && isOpen() && ++m_emptyReads <= kMaxEmptyReads ? tmmd::kNoDataYet : -1;
    }
    bool sendAll(const char* data, size_t size) override
    {
        uint32_t sent = 0;
        return idevice_connection_send(m_connection, data, uint32_t(size), &sent) == IDEVICE_E_SUCCESS && sent == size;
    }

private:
    static constexpr int kMaxEmptyReads = 16;

    // False once the device has closed its side or the socket failed.
    bool isOpen() const
    {
        char byte = 0;
        const ssize_t peeked = ::recv(pollFd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return peeked > 0 || (peeked < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
    }

    const tmmd::SharedIdevice m_device;
    const idevice_connection_t m_connection;
    const bool m_ssl;
    int m_emptyReads = 0;
};

// Connects to port of the device, with SSL when the service asks for it.
int32_t openServiceStream(const tmmd::SharedIdevice& device, const lockdownd_service_descriptor& service,
                          std::unique_ptr<tmmd::DeviceStream>& stream)
{
    idevice_connection_t connection = nullptr;
    if (const idevice_error_t error = idevice_connect(device.get(), service.port, &connection))
        return tmmd::fromIdevice(error);
    auto opened = std::make_unique<IdeviceStream>(device, connection, service.ssl_enabled != 0);
    if (service.ssl_enabled) {
        if (const idevice_error_t error = idevice_connection_enable_ssl(connection))
            return tmmd::fromIdevice(error);
    }
    stream = std::move(opened);
    return 0;
}

}  // namespace

extern "C" {

int32_t AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, uint32_t, uint32_t, void* context,
                                      void** notification)
{
    if (notification)
        *notification = nullptr;
    if (!callback)
        return tmmd::kBadArgument;
    tmmd::setSubscriber(callback, context);
    // Devices already attached are reported as arrivals; without usbmuxd running, none arrive until it
    // starts.
    tmmd::followUsbmuxd();
    return 0;
}

int32_t AMDeviceConnect(AMDeviceRef handle)
{
    return onDevice(handle, [](Device& device) -> int32_t {
        dropConnection(device);  // one left by a failed pairing is stale by now
        idevice_t made = nullptr;
        if (const idevice_error_t error = idevice_new_with_options(&made, device.udid.c_str(), IDEVICE_LOOKUP_USBMUX))
            return tmmd::fromIdevice(error);
        device.idevice.reset(made, &idevice_free);
        if (const lockdownd_error_t error = lockdownd_client_new(made, &device.lockdown, kLabel)) {
            device.lockdown = nullptr;
            dropConnection(device);
            return tmmd::fromLockdown(error);
        }
        return 0;
    });
}

int32_t AMDeviceIsPaired(AMDeviceRef handle)
{
    Device* device = tmmd::findDevice(handle);
    if (!device)
        return 0;
    // usbmuxd keeps the pair records; the UDID does not change, so no lock is needed.
    char* record = nullptr;
    uint32_t size = 0;
    const tmmd::SigpipeGuard guard;  // usbmuxd may be gone
    const bool paired = usbmuxd_read_pair_record(device->udid.c_str(), &record, &size) == 0;
    std::free(record);
    return paired ? 1 : 0;
}

int32_t AMDevicePair(AMDeviceRef handle)
{
    // A trust prompt still open, a refusal or a passcode lock come back as lockdown's -19, -18 and -17.
    return onDevice(handle, [](Device& device) -> int32_t {
        return device.lockdown ? tmmd::fromLockdown(lockdownd_pair(device.lockdown, nullptr)) : tmmd::kNotConnected;
    });
}

int32_t AMDeviceValidatePairing(AMDeviceRef handle)
{
    return onDevice(handle, [](Device& device) -> int32_t {
        if (!device.lockdown)
            return tmmd::kNotConnected;
        int major = 0;
        if (const int32_t code = readMajorVersion(device.lockdown, major))
            return code;
        if (major >= kFirstVersionWithoutValidation)
            return 0;
        return tmmd::fromLockdown(lockdownd_validate_pair(device.lockdown, nullptr));
    });
}

int32_t AMDeviceStartSession(AMDeviceRef handle)
{
    return onDevice(handle, [](Device& device) -> int32_t {
        if (!device.idevice)
            return tmmd::kNotConnected;
        dropLockdown(device);
        lockdownd_client_t session = nullptr;
        if (const lockdownd_error_t error = lockdownd_client_new_with_handshake(device.idevice.get(), &session, kLabel))
            return tmmd::fromLockdown(error);
        device.lockdown = session;
        device.inSession = true;
        return 0;
    });
}

int32_t AMDeviceStopSession(AMDeviceRef handle)
{
    return onDevice(handle, [](Device& device) -> int32_t {
        if (!device.inSession)
            return tmmd::kNotConnected;
        dropLockdown(device);
        return 0;
    });
}

int32_t AMDeviceDisconnect(AMDeviceRef handle)
{
    return onDevice(handle, [](Device& device) -> int32_t {
        dropConnection(device);
        return 0;
    });
}

int32_t AMDeviceReadValue(AMDeviceRef handle, CFStringRef domain, CFStringRef key, CFTypeRef* value)
{
    if (!value)
        return tmmd::kBadArgument;
    *value = nullptr;
    return onDevice(handle, [&](Device& device) -> int32_t {
        LockdownNames names;
        if (!device.lockdown)
            return tmmd::kNotConnected;
        if (!names.read(domain, key))
            return tmmd::kBadArgument;
        plist_t node = nullptr;
        const lockdownd_error_t error = lockdownd_get_value(device.lockdown, names.domain, names.key, &node);
        const Plist owned(node);
        // The device's answer that it has no such value is no failure of the read.
        if (error != LOCKDOWN_E_SUCCESS && error != LOCKDOWN_E_MISSING_VALUE)
            return tmmd::fromLockdown(error);
        *value = owned ? TMCF_CreateFromPlist(owned.get()) : nullptr;
        return 0;
    });
}

CFTypeRef AMDeviceCopyValue(AMDeviceRef handle, CFStringRef domain, CFStringRef key)
{
    CFTypeRef value = nullptr;
    AMDeviceReadValue(handle, domain, key, &value);
    return value;
}

int32_t AMDeviceSetValue(AMDeviceRef handle, CFStringRef domain, CFStringRef key, CFTypeRef value)
{
    return onDevice(handle, [&](Device& device) -> int32_t {
        LockdownNames names;
        if (!device.lockdown)
            return tmmd::kNotConnected;
        Plist node(value ? TMCF_CopyToPlist(value) : nullptr);
        if (!node || !names.read(domain, key))
            return tmmd::kBadArgument;
        // lockdown takes the node over
        return tmmd::fromLockdown(lockdownd_set_value(device.lockdown, names.domain, names.key, node.release()));
    });
}

int32_t AMDeviceStartService(AMDeviceRef handle, CFStringRef name, int* socket, void*)
{
    if (socket)
        *socket = -1;
    return onDevice(handle, [&](Device& device) -> int32_t {
        std::string service;
        if (!device.inSession)
            return tmmd::kNotConnected;
        if (!socket || !tmmd::utf8Of(name, service))
            return tmmd::kBadArgument;
        lockdownd_service_descriptor_t descriptor = nullptr;
        const int32_t started = tmmd::fromLockdown(lockdownd_start_service(device.lockdown, service.c_str(), &descriptor));
        const std::unique_ptr<lockdownd_service_descriptor, decltype(&lockdownd_service_descriptor_free)> owned(
            descriptor, &lockdownd_service_descriptor_free);
        if (started != 0)
            return started;
        if (!owned)
            return tmmd::fromLockdown(LOCKDOWN_E_UNKNOWN_ERROR);
        std::unique_ptr<tmmd::DeviceStream> stream;
        if (const int32_t code = openServiceStream(device.idevice, *owned, stream))
            return code;
        const int end = tmmd::startBridge(std::move(stream));
        if (end < 0)
            return tmmd::kBridgeFailed;
        *socket = end;
        return 0;
    });
}

CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef handle)
{
    // The UDID as usbmuxd knows it, the form its tools take.
    const Device* device = tmmd::findDevice(handle);
    return device ? tmmd::newString(device->udid) : nullptr;
}

}  // extern "C"
