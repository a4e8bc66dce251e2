#include "devicelibs/tmmd/servicebridge.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tmmd {

namespace {

// Larger than the largest SSL record, so one receive takes a whole record and none stays buffered
// inside SSL where polling the connection cannot see it.
constexpr size_t kChunk = 64 * 1024;
// How long the reader waits for the device before it looks again whether the bridge is ending.
constexpr int kPollMs = 100;

std::atomic<int>& liveCount()
{
    static std::atomic<int> count{0};
    return count;
}

struct Bridge {
    Bridge(std::unique_ptr<DeviceStream> deviceStream, int bridgeEnd) : stream(std::move(deviceStream)), end(bridgeEnd)
    {
        ++liveCount();
    }
    ~Bridge()
    {
        stream.reset();
        ::close(end);
        --liveCount();
    }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    // Held around each receive and send of a stream that must not do both at once.
    std::unique_lock<std::mutex> turn()
    {
        return stream->serialised() ? std::unique_lock<std::mutex>(order) : std::unique_lock<std::mutex>();
    }

    std::unique_ptr<DeviceStream> stream;
    const int end;  // the bridge's end of the socket pair
    std::mutex order;
    std::atomic<bool> deviceFailed{false};
};

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::send(fd, data, size, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

enum class Wait { Quiet, Data, Closed };

// Whether the device has data (or its end) to receive within a poll, or the program closed its end.
Wait waitForDevice(const Bridge& bridge)
{
    pollfd fds[] = {{bridge.stream->pollFd(), POLLIN, 0}, {bridge.end, 0, 0}};
    const int ready = ::poll(fds, 2, kPollMs);
    if (ready < 0)
        return errno == EINTR ? Wait::Quiet : Wait::Closed;
    if (fds[1].revents & (POLLHUP | POLLERR))
        return Wait::Closed;
    return fds[0].revents ? Wait::Data : Wait::Quiet;
}

void pumpFromDevice(const std::shared_ptr<Bridge>& bridge)
{
    std::vector<char> buffer(kChunk);
    while (!bridge->deviceFailed) {
        const Wait wait = waitForDevice(*bridge);
        if (wait == Wait::Closed)
            break;
        if (wait == Wait::Quiet)
            continue;
        long received = 0;
        {
            const auto turn = bridge->turn();
            received = bridge->stream->receive(buffer.data(), buffer.size());
        }
        if (received == kNoDataYet)
            continue;
        if (received <= 0 || !writeAll(bridge->end, buffer.data(), size_t(received)))
            break;
    }
    ::shutdown(bridge->end, SHUT_WR);  // the program reads the end of the service
}

void pumpToDevice(const std::shared_ptr<Bridge>& bridge)
{
    std::vector<char> buffer(kChunk);
    for (;;) {
        const ssize_t received = ::recv(bridge->end, buffer.data(), buffer.size(), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return;  // closed by the program, or shut for writing: the reader goes on until it closes
        const auto turn = bridge->turn();
        if (!bridge->stream->sendAll(buffer.data(), size_t(received))) {
            bridge->deviceFailed = true;
            return;
        }
    }
}

}  // namespace

SigpipeGuard::SigpipeGuard()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    m_wasPending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe, &m_previousMask);
}

SigpipeGuard::~SigpipeGuard()
{
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    sigset_t pending;
    if (!m_wasPending && sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec now{0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) < 0 && errno == EINTR) {}
    }
    pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
}

int startBridge(std::unique_ptr<DeviceStream> stream)
{
    if (!stream || stream->pollFd() < 0)
        return -1;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return -1;
    const auto bridge = std::make_shared<Bridge>(std::move(stream), ends[0]);
    // The pumps inherit SIGPIPE held back for their whole life, the device connection's close (which
    // may write, and runs when the last pump lets the bridge go) included.
    const SigpipeGuard guard;
    try {
        std::thread(pumpFromDevice, bridge).detach();
        std::thread(pumpToDevice, bridge).detach();
    } catch (const std::system_error&) {
        ::close(ends[1]);  // a pump already running sees the program's end closed and finishes
        return -1;
    }
    return ends[1];
}

int liveBridges()
{
    return liveCount();
}

}  // namespace tmmd
