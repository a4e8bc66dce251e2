// What a device's AFC and DeviceLink services send: the input is the stream a peer wrote before it went
// quiet, read once by the AFC requests and once by the DeviceLink, mobilebackup2 and mobilesync calls.
// Each call must end with a result or an error; nothing may be written past what a read asked for, and
// every CoreFoundation object made for an input must be freed again, once.
#include "device/afcclient.h"
#include "device/devicelibraries.h"
#include "device/devicelink.h"
#include "device/mobilebackup2.h"
#include "device/mobilesync.h"
#include "device/servicesocket.h"
#include "fuzz_support.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>

namespace {

// A connection whose peer has sent input and shut its sending side; what the client sends stays unread.
class Peer {
public:
    explicit Peer(const QByteArray& input)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, m_ends) != 0
            || Socket::sendAll(m_ends[1], input.constData(), input.size(), 1000) != input.size())
            std::abort();
        ::shutdown(m_ends[1], SHUT_WR);
    }
    ~Peer() { Socket::close(m_ends[0]), Socket::close(m_ends[1]); }
    int socket() const { return m_ends[0]; }

private:
    int m_ends[2] = {-1, -1};
};

template <class Work>
void attempt(Work work)
{
    try {
        work();
    } catch (const std::exception&) {
        // A reply that cannot be read is an error: the expected answer.
    }
}

void readAfc(const QByteArray& input)
{
    const Peer peer(input);
    const int s = peer.socket();
    attempt([&] { AfcRequest::readDirectory(s, QStringLiteral("/")); });
    attempt([&] { AfcRequest::getFileInfo(s, QStringLiteral("/a")); });
    attempt([&] { AfcRequest::fileOpen(s, QStringLiteral("/a"), Afc::ReadOnly); });
    QByteArray buffer(70000, '\0');  // exactly what is asked, so that an overrun is seen
    attempt([&] { AfcRequest::fileRead(s, 1, buffer.data(), buffer.size()); });
    attempt([&] { AfcRequest::fileWrite(s, 1, buffer.constData(), 100); });  // the peer reads nothing
    attempt([&] { AfcRequest::fileLock(s, 1, 2); });
    attempt([&] { AfcRequest::fileClose(s, 1); });
}

void readDeviceLink(const QByteArray& input)
{
    const Peer peer(input);
    const int s = peer.socket();
    attempt([&] { mobiledevice_link_sc_version_exchange(s); });
    attempt([&] {
        CFType message;
        QString name;
        mobiledevice_link_sc_recv_dlmessaeg(s, message, name, CFType());
    });
    attempt([&] { mobiledevice_link_sc_recv_process_message(s, CFType()); });
    const double versions[] = {2.0, 2.1};
    attempt([&] { mobiledevice_backup2_version_exchange(s, versions, 2); });
    attempt([&] { mobiledevice_backup2_enable_cloud_backup(s, QStringLiteral("udid"), true); });
    attempt([&] { mobiledevice_sync_get_all_records(s, QStringLiteral("Contacts")); });
    attempt([&] { mobiledevice_sync_process_changes(s, CFType::dictionary(), QStringLiteral("Contacts"), CFType::dictionary()); });
    attempt([&] { mobiledevice_sync_clear_all_records(s, QStringLiteral("Contacts")); });
}

long liveObjects()
{
    static auto* count = DeviceLibraries::coreFoundationFunction<long()>("TMCF_LiveObjectCount");
    return count();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    // CFType reaches the CoreFoundation stand-in only through a MobileDevice library beside it.
    qputenv("TALLOWMERE_MOBILEDEVICE_LIB", TM_DEVICESIM_LIB);
    QString error;
    if (!DeviceLibraries::load(error) || !DeviceLibraries::coreFoundationFunction<long()>("TMCF_LiveObjectCount"))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = fuzz::bytes(data, std::min<size_t>(size, 1 << 16));  // what a socket holds unread
    readAfc(input);
    const long liveBefore = liveObjects();
    readDeviceLink(input);
    if (liveObjects() != liveBefore)
        std::abort();  // an object leaked or was freed twice
    return 0;
}
