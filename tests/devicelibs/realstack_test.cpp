// The real libtmmd.so (over Debian's libimobiledevice, libusbmuxd and OpenSSL) against usbmuxd_standin.py:
// arrival, first pairing, a TLS session, values missing and a session dropped while values are read, a
// TLS 1.2+ service through the bridge both ways, and the phone vanishing mid-session, which the process
// survives with SIGPIPE at its default.
#include "device/devicelibraries.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"
#include "devicelibs/mobiledeviceapi.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>

namespace {

std::atomic<void*> g_events[3];  // the device of the last arrival [1] and removal [2]

void* waitFor(int message)
{
    for (int tries = 0; tries < 500 && !g_events[message]; ++tries)
        QThread::msleep(20);
    return g_events[message];
}

TEST(TmmdRealStack, PairsRunsATlsSessionAndServiceAndSurvivesThePhoneVanishing)
{
    struct sigaction pipe {};  // QProcess ignores SIGPIPE once it writes to a child: the stand-in gets a signal
    ASSERT_TRUE(::sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler == SIG_DFL);
    QTemporaryDir folder;
    QProcess standIn;
    standIn.start("/usr/bin/python3", {TM_USBMUXD_STANDIN, folder.filePath("usbmuxd")});
    for (int tries = 0; tries < 500 && !QFileInfo::exists(folder.filePath("usbmuxd")); ++tries)
        QThread::msleep(20);
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + folder.filePath("usbmuxd").toUtf8());
    qputenv("TALLOWMERE_MOBILEDEVICE_LIB", TM_MOBILEDEVICE_LIB);
    QString error;
    ASSERT_TRUE(DeviceLibraries::load(error)) << qPrintable(error);
    DeviceLibraries::mobileDeviceFunction<decltype(AMDeviceNotificationSubscribe)>("AMDeviceNotificationSubscribe")(
        [](const TMDeviceNotificationInfo* info, void*) { g_events[info->msg % 3] = info->device; }, 0, 0, nullptr, nullptr);
    void* const device = waitFor(MobileDevice::kDeviceConnected);
    ASSERT_NE(device, nullptr);

    // Paired on the way; values and service through TLS.
    EXPECT_EQ(MobileDevice::copyValues(device, {"DeviceName"}, QString()).value(0).toString(), "Stand-in");

    // A value the phone has not got is no failure; a read in a session that dropped is.
    EXPECT_TRUE(MobileDevice::copyValues(device, {"ProductType"}, QString()).value(0).isNull());
    EXPECT_THROW(MobileDevice::copyValues(device, {"DeviceName", "MobileSubscriberCountryCode"}, QString()),
                 MobileDevice::ValueReadError);
    const int service = MobileDevice::startService(device, "com.example.echo");
    CFType message = CFType::dictionary();
    message.setValue(CFType(QStringLiteral("Echo")), CFType(QByteArray(100000, 'e')));
    mobiledevice_sendmsg(service, message, false, 5000);
    EXPECT_EQ(mobiledevice_recmsg(service, CFType(), 5000).toPlistData(kCFPropertyListXMLFormat_v1_0),
              message.toPlistData(kCFPropertyListXMLFormat_v1_0));

    // Gone mid-session with the service open: calls fail, the service ends, the process stays.
    ASSERT_EQ(MobileDevice::openSession(device, error), 0) << qPrintable(error);
    ::kill(pid_t(standIn.processId()), SIGUSR1);
    EXPECT_EQ(waitFor(MobileDevice::kDeviceDisconnected), device);
    EXPECT_THROW(MobileDevice::copyValues(device, {"DeviceName"}, QString()), std::runtime_error);
    EXPECT_THROW(mobiledevice_recmsg(service, CFType(), 5000), std::runtime_error);
    Socket::close(service);
    standIn.kill();
    standIn.waitForFinished();
}

}  // namespace
