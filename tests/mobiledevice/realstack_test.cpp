// The real libtmmd.so, over Debian's libimobiledevice, libusbmuxd and OpenSSL, against a stand-in for usbmuxd
// and one phone's lockdownd (usbmuxd_standin.py): arrival, first pairing, a session in TLS, a TLS service
// carried through the bridge both ways, and the phone vanishing mid-session, which the process survives
// (SIGPIPE keeps its default here, as in any program that loads the library).
#include "device/devicelibraries.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"
#include "platform/mobiledeviceapi.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <vector>

namespace {

using DeviceLibraries::mobileDeviceFunction;

struct Events {
    std::mutex mutex;
    std::vector<std::pair<void*, uint32_t>> seen;
    // The device of the first event of msg within 10 s, else null.
    void* waitFor(uint32_t msg)
    {
        for (int tries = 0; tries < 500; ++tries, QThread::msleep(20)) {
            const std::lock_guard<std::mutex> lock(mutex);
            for (const auto& [device, message] : seen)
                if (message == msg)
                    return device;
        }
        return nullptr;
    }
};

TEST(TmmdRealStack, PairsRunsATlsSessionAndServiceAndSurvivesThePhoneVanishing)
{
    struct sigaction pipe {};  // default: the library's own writes must not raise it (QProcess writes would ignore it)
    ASSERT_TRUE(::sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler == SIG_DFL);
    QTemporaryDir folder;
    const QString socketPath = folder.filePath("usbmuxd");
    QProcess standIn;
    standIn.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    standIn.start("/usr/bin/python3", {TM_USBMUXD_STANDIN, socketPath});
    for (int tries = 0; tries < 500 && !QFileInfo::exists(socketPath); ++tries)
        QThread::msleep(20);
    ASSERT_TRUE(QFileInfo::exists(socketPath)) << "the stand-in did not start";
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + socketPath.toUtf8());
    qputenv("TALLOWMERE_MOBILEDEVICE_LIB", TM_MOBILEDEVICE_LIB);
    QString error;
    ASSERT_TRUE(DeviceLibraries::load(error)) << qPrintable(error);

    static Events events;
    mobileDeviceFunction<decltype(AMDeviceNotificationSubscribe)>("AMDeviceNotificationSubscribe")(
        [](const TMDeviceNotificationInfo* info, void*) {
            const std::lock_guard<std::mutex> lock(events.mutex);
            events.seen.emplace_back(info->device, info->msg);
        }, 0, 0, nullptr, nullptr);
    void* const device = events.waitFor(MobileDevice::kDeviceConnected);
    ASSERT_NE(device, nullptr);
    auto* const isPaired = mobileDeviceFunction<decltype(AMDeviceIsPaired)>("AMDeviceIsPaired");
    EXPECT_EQ(isPaired(device), 0);

    // Paired on the way; the values and the service come through TLS.
    EXPECT_EQ(MobileDevice::copyValues(device, {"DeviceName"}, QString()).value(0).toString(), "Stand-in");
    EXPECT_EQ(isPaired(device), 1);
    const int service = MobileDevice::startService(device, "com.example.echo");
    CFType message = CFType::dictionary();
    message.setValue(CFType(QStringLiteral("Echo")), CFType(QByteArray(100000, 'e')));
    mobiledevice_sendmsg(service, message, false, 5000);
    EXPECT_EQ(mobiledevice_recmsg(service, CFType(), 5000).toPlistData(kCFPropertyListXMLFormat_v1_0),
              message.toPlistData(kCFPropertyListXMLFormat_v1_0));

    // The phone goes mid-session, its service still open: calls fail, the service ends, the process stays.
    ASSERT_EQ(MobileDevice::openSession(device, error), 0) << qPrintable(error);
    ::kill(pid_t(standIn.processId()), SIGUSR1);
    EXPECT_EQ(events.waitFor(MobileDevice::kDeviceDisconnected), device);
    EXPECT_EQ(mobileDeviceFunction<decltype(AMDeviceCopyValue)>("AMDeviceCopyValue")(device, nullptr, nullptr), nullptr);
    MobileDevice::closeSession(device);
    EXPECT_THROW(mobiledevice_recmsg(service, CFType(), 5000), std::runtime_error);
    Socket::close(service);
    EXPECT_NE(MobileDevice::openSession(device, error), 0);
    standIn.kill();
    standIn.waitForFinished();
}

}  // namespace
