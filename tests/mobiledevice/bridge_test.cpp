// The service bridge with a socket pair standing in for the device connection: traffic both ways at once,
// and the ends a user causes (cancel closes the program's end) or a device does (unplugged).
#include "platform/mobiledevice/servicebridge.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

namespace {

class SocketStream final : public tmmd::DeviceStream {
public:
    SocketStream(int fd, bool serialised) : m_fd(fd), m_serialised(serialised) {}
    ~SocketStream() override { ::close(m_fd); }
    int pollFd() const override { return m_fd; }
    bool serialised() const override { return m_serialised; }
    long receive(char* buffer, size_t size) override { return long(::recv(m_fd, buffer, size, 0)); }
    bool sendAll(const char* data, size_t size) override
    {
        return writeAll(m_fd, std::string(data, size));
    }
    static bool writeAll(int fd, const std::string& bytes)
    {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        return true;
    }

private:
    const int m_fd;
    const bool m_serialised;
};

std::string readToEnd(int fd)
{
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        bytes.append(buffer, size_t(n));
    return bytes;
}

std::string pattern(size_t size, char seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = char(seed + i * 31 + i / 251);
    return bytes;
}

bool bridgesEnd()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (tmmd::liveBridges() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return tmmd::liveBridges() == 0;
}

// Returns the program's end; device is the far end of the stand-in connection.
int bridge(bool serialised, int& device)
{
    int pair[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    device = pair[1];
    return tmmd::startBridge(std::make_unique<SocketStream>(pair[0], serialised));
}

TEST(TmmdServiceBridge, CarriesTrafficBothWaysAtOnceAndEndsCleanly)
{
    for (const bool serialised : {false, true}) {
        for (size_t round = 0; round < 25; ++round) {
            SCOPED_TRACE(testing::Message() << "serialised " << serialised << " round " << round);
            int device = -1;
            const int program = bridge(serialised, device);
            ASSERT_GE(program, 0);
            const std::string up = pattern(round * 12007 % 300000 + 1, 'u');
            const std::string down = pattern(round * 7919 % 200000, 'd');
            std::string gotUp;
            std::string gotDown;
            std::thread deviceReader([&] { gotUp.assign(readToEnd(device)); });
            std::thread programReader([&] { gotDown.assign(readToEnd(program)); });
            std::thread deviceWriter([&] {
                EXPECT_TRUE(SocketStream::writeAll(device, down));
                ::shutdown(device, SHUT_WR);  // the service's answer ends
            });
            EXPECT_TRUE(SocketStream::writeAll(program, up));
            deviceWriter.join();
            programReader.join();
            EXPECT_EQ(gotDown, down);
            ::close(program);  // the device sees the end of the request once the bridge closes
            deviceReader.join();
            EXPECT_EQ(gotUp, up);
            ::close(device);
            ASSERT_TRUE(bridgesEnd());
        }
    }
}

TEST(TmmdServiceBridge, CancelAndUnplugEndBothPumps)
{
    const struct {
        const char* what;
        bool cancel;       // the program closes its end; else the device goes away mid-request
        bool deviceTalks;  // the device sends until it is cut off
    } cases[] = {{"cancel while the device talks", true, true},
                 {"cancel while the device waits", true, false},
                 {"unplugged while the program sends", false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int device = -1;
        const int program = bridge(true, device);
        ASSERT_GE(program, 0);
        const std::string chunk = pattern(65536, 'x');
        std::thread deviceSide([&] {
            while (c.deviceTalks && SocketStream::writeAll(device, chunk)) {}
            if (!c.cancel)
                ::shutdown(device, SHUT_RDWR);
        });
        std::thread programSide([&] {  // writes until the bridge stops taking the request
            while (!c.cancel && SocketStream::writeAll(program, chunk)) {}
        });
        if (c.cancel) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ::shutdown(program, SHUT_RDWR);  // as close() does, without freeing the number under the threads
        } else {
            readToEnd(program);  // the program reads the end of the service
        }
        const bool ended = bridgesEnd();
        ::shutdown(program, SHUT_RDWR);  // frees a side still blocked if the bridge did not end
        ::shutdown(device, SHUT_RDWR);
        programSide.join();
        deviceSide.join();
        ::close(program);
        ::close(device);
        EXPECT_TRUE(ended);
    }
}

}  // namespace
