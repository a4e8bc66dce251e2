// The service bridge with a socket pair standing in for the device connection: traffic both ways at once,
// and the ends a user causes (cancel closes the program's end) or a device does (unplugged).
#include "fixtures/socket_stream.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

std::string readToEnd(int fd)
{
    std::string bytes;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        bytes.append(buffer, size_t(n));
    return bytes;
}

// True once every bridge has ended, within 5 s.
bool bridgesEnd()
{
    for (int waited = 0; tmmd::liveBridges() > 0 && waited < 1000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return tmmd::liveBridges() == 0;
}

TEST(TmmdServiceBridge, CarriesTrafficBothWaysAtOnceAndEndsCleanly)
{
    for (size_t round = 0; round < 50; ++round) {
        SCOPED_TRACE(round);
        int device = -1;
        const int program = fixtures::startSocketBridge(round % 2, device);
        const std::string up(round * 12007 % 300000 + 1, 'u');  // each way its own byte: no mix-up passes
        const std::string down(round * 7919 % 200000, 'd');
        std::string gotUp, gotDown;
        std::thread deviceReader([&] { gotUp = readToEnd(device); });
        std::thread programReader([&] { gotDown = readToEnd(program); });
        std::thread deviceWriter([&] {
            fixtures::writeAll(device, down);
            ::shutdown(device, SHUT_WR);  // the answer ends
        });
        EXPECT_TRUE(fixtures::writeAll(program, up));
        deviceWriter.join();
        programReader.join();
        ::close(program);  // the device reads the end of the request once the bridge has closed
        deviceReader.join();
        ::close(device);
        EXPECT_TRUE(gotDown == down && gotUp == up);
        ASSERT_TRUE(bridgesEnd());
    }
}

TEST(TmmdServiceBridge, CancelAndUnplugEndBothPumps)
{
    // Whether the program cancels (closes its end), else the device goes away mid-request; whether the
    // device sends until it is cut off.
    const struct {
        bool cancel, deviceTalks;
    } modes[] = {{true, true}, {true, false}, {false, false}};
    for (const auto& m : modes) {
        SCOPED_TRACE(testing::Message() << "cancel " << m.cancel << ", device talks " << m.deviceTalks);
        int device = -1;
        const int program = fixtures::startSocketBridge(true, device);
        const std::string chunk(65536, 'x');
        std::thread deviceSide([&] {
            while (m.deviceTalks && fixtures::writeAll(device, chunk)) {}
            if (!m.cancel)
                ::shutdown(device, SHUT_RDWR);
        });
        std::thread programSide([&] { while (!m.cancel && fixtures::writeAll(program, chunk)) {} });
        if (m.cancel) {
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
