#include "devicelibs/tmmd/usbmuxdevents.h"

#include "devicelibs/tmmd/cfnames.h"
#include "devicelibs/tmmd/devicehandles.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace tmmd {

namespace {

// usbmuxd's framing: a header of four little-endian words (the whole length, the protocol version, the
// message type, a tag), then a property list.
constexpr uint32_t kHeaderBytes = 16;
constexpr uint32_t kPlistVersion = 1;
constexpr uint32_t kPlistMessage = 8;
constexpr uint32_t kMaxMessageBytes = 1 << 20;  // its messages are a few hundred bytes
constexpr int kAnswerTimeoutMs = 5000;          // for a Result, and for the rest of a begun message
constexpr size_t kMaxPhones = 256;               // attached at once: more is no usbmuxd of ours
constexpr auto kRetryPause = std::chrono::seconds(1);

class Socket {
public:
    explicit Socket(int fd = -1) : m_fd(fd) {}
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

    int fd() const { return m_fd; }

private:
    int m_fd;
};

Socket connectTo(int family, const sockaddr* address, socklen_t size)
{
    Socket socket(::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.fd() < 0 || ::connect(socket.fd(), address, size) != 0)
        return Socket();
    return socket;
}

Socket connectToPath(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return Socket();
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return connectTo(AF_UNIX, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}

// "<host>:<port>", the host of an IPv6 address in brackets.
Socket connectToHost(const std::string& hostAndPort)
{
    const size_t colon = hostAndPort.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return Socket();
    std::string host = hostAndPort.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), hostAndPort.c_str() + colon + 1, &hints, &found) != 0)
        return Socket();
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);
    for (const addrinfo* each = found; each; each = each->ai_next) {
        if (Socket socket = connectTo(each->ai_family, each->ai_addr, each->ai_addrlen); socket.fd() >= 0)
            return socket;
    }
    return Socket();
}

Socket connectToUsbmuxd()
{
    const char* const set = std::getenv("USBMUXD_SOCKET_ADDRESS");
    const std::string address = set && *set ? set : "UNIX:/var/run/usbmuxd";
    const std::string unixPrefix = "UNIX:";
    return address.compare(0, unixPrefix.size(), unixPrefix) == 0 ? connectToPath(address.substr(unixPrefix.size()))
                                                                  : connectToHost(address);
}

bool awaitData(int fd, int timeoutMs)
{
    pollfd ready{fd, POLLIN, 0};
    int polled = 0;
    do {
        polled = ::poll(&ready, 1, timeoutMs);
    } while (polled < 0 && errno == EINTR);
    return polled > 0;
}

// All of size bytes, each part within the timeout.
bool receiveAll(int fd, char* data, size_t size, int timeoutMs)
{
    while (size > 0) {
        if (!awaitData(fd, timeoutMs))
            return false;
        const ssize_t received = ::recv(fd, data, size, 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return false;
        data += received;
        size -= size_t(received);
    }
    return true;
}

uint32_t littleEndian(const unsigned char* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

// The next message's dictionary, waiting up to firstByteTimeoutMs for it to begin (-1: for ever); null
// for a connection that ended, stalled or sent anything else.
Plist receiveMessage(int fd, int firstByteTimeoutMs)
{
    unsigned char header[kHeaderBytes];
    if (!awaitData(fd, firstByteTimeoutMs)
        || !receiveAll(fd, reinterpret_cast<char*>(header), kHeaderBytes, kAnswerTimeoutMs))
        return nullptr;
    const uint32_t length = littleEndian(header);
    if (length < kHeaderBytes || length - kHeaderBytes > kMaxMessageBytes || littleEndian(header + 4) != kPlistVersion
        || littleEndian(header + 8) != kPlistMessage)
        return nullptr;
    std::string body(length - kHeaderBytes, '\0');
    if (!receiveAll(fd, body.data(), body.size(), kAnswerTimeoutMs))
        return nullptr;
    // usbmuxd answers in XML; a binary list is refused rather than handed to libplist's binary reader,
    // which mishandles text holding a NUL.
    plist_t parsed = nullptr;
    plist_from_xml(body.data(), uint32_t(body.size()), &parsed);
    Plist message(parsed);
    if (message && plist_get_node_type(message.get()) != PLIST_DICT)
        message.reset();
    return message;
}

void putLittleEndian(uint32_t value, std::string& to)
{
    for (int shift = 0; shift < 32; shift += 8)
        to.push_back(char((value >> shift) & 0xFF));
}

bool sendListen(int fd)
{
    const Plist request(plist_new_dict());
    plist_dict_set_item(request.get(), "MessageType", plist_new_string("Listen"));
    plist_dict_set_item(request.get(), "ClientVersionString", plist_new_string("tallowmere"));
    plist_dict_set_item(request.get(), "ProgName", plist_new_string("tallowmere"));
    plist_dict_set_item(request.get(), "kLibUSBMuxVersion", plist_new_uint(3));
    char* xml = nullptr;
    uint32_t size = 0;
    plist_to_xml(request.get(), &xml, &size);
    const std::unique_ptr<char, decltype(&plist_to_xml_free)> owned(xml, &plist_to_xml_free);
    if (!xml)
        return false;
    std::string message;
    for (const uint32_t word : {kHeaderBytes + size, kPlistVersion, kPlistMessage, uint32_t(1)})
        putLittleEndian(word, message);
    message.append(xml, size);
    return ::send(fd, message.data(), message.size(), MSG_NOSIGNAL) == ssize_t(message.size());
}

std::string textOf(plist_t dict, const char* key)
{
    std::string text;
    return plistText(plist_dict_get_item(dict, key), text) ? text : std::string();
}

// A number of the dictionary; false when it has none.
bool numberOf(plist_t dict, const char* key, uint64_t& number)
{
    const plist_t node = plist_dict_get_item(dict, key);
    if (!node || plist_get_node_type(node) != PLIST_UINT)
        return false;
    plist_get_uint_val(node, &number);
    return true;
}

bool listenAccepted(int fd)
{
    const Plist answer = receiveMessage(fd, kAnswerTimeoutMs);
    uint64_t result = 1;
    return answer && textOf(answer.get(), "MessageType") == "Result" && numberOf(answer.get(), "Number", result)
           && result == 0;
}

struct Attached {
    std::string udid;
    idevice_connection_type type;
};

// The phones of the current connection by usbmuxd's number for them. Never destroyed, like the thread.
struct Watch {
    std::mutex mutex;
    std::map<uint64_t, Attached> attached;
};

Watch& watch()
{
    static auto* instance = new Watch;
    return *instance;
}

void report(idevice_event_type type, const Attached& phone)
{
    const idevice_event_t event{type, phone.udid.c_str(), phone.type};
    onIdeviceEvent(&event, nullptr);
}

// One event; the reports are made with the watch locked, so a new subscriber's arrivals cannot cross them.
void handle(plist_t message)
{
    const std::string kind = textOf(message, "MessageType");
    uint64_t id = 0;
    if (!numberOf(message, "DeviceID", id))
        return;
    const std::lock_guard<std::mutex> lock(watch().mutex);
    auto& attached = watch().attached;
    const auto known = attached.find(id);
    if (kind == "Attached" && known == attached.end() && attached.size() < kMaxPhones) {
        const plist_t properties = plist_dict_get_item(message, "Properties");
        if (!properties || plist_get_node_type(properties) != PLIST_DICT)
            return;
        const bool usb = textOf(properties, "ConnectionType") == "USB";
        const Attached phone{textOf(properties, "SerialNumber"), usb ? CONNECTION_USBMUXD : CONNECTION_NETWORK};
        report(IDEVICE_DEVICE_ADD, attached.emplace(id, phone).first->second);
    } else if (kind == "Detached" && known != attached.end()) {
        report(IDEVICE_DEVICE_REMOVE, known->second);
        attached.erase(known);
    } else if (kind == "Paired" && known != attached.end()) {
        report(IDEVICE_DEVICE_PAIRED, known->second);
    }
}

void forgetAttached()
{
    const std::lock_guard<std::mutex> lock(watch().mutex);
    for (const auto& entry : watch().attached)
        report(IDEVICE_DEVICE_REMOVE, entry.second);
    watch().attached.clear();
}

[[noreturn]] void followForEver()
{
    for (;;) {
        {
            const Socket usbmuxd = connectToUsbmuxd();
            if (usbmuxd.fd() >= 0 && sendListen(usbmuxd.fd()) && listenAccepted(usbmuxd.fd())) {
                while (const Plist event = receiveMessage(usbmuxd.fd(), -1))
                    handle(event.get());
            }
        }
        forgetAttached();
        std::this_thread::sleep_for(kRetryPause);
    }
}

}  // namespace

void followUsbmuxd()
{
    static std::once_flag started;
    bool first = false;
    std::call_once(started, [&first] {
        first = true;
        std::thread(&followForEver).detach();
    });
    if (first)
        return;
    const std::lock_guard<std::mutex> lock(watch().mutex);
    for (const auto& entry : watch().attached)
        report(IDEVICE_DEVICE_ADD, entry.second);
}

}  // namespace tmmd
