// libtmmd.so as the program loads it, on a machine where usbmuxd is not running (the test points
// libusbmuxd at a socket that does not exist, so a usbmuxd that does run is not reached).
#include "device/devicelibraries.h"
#include "device/mobiledevice.h"
#include "platform/mobiledeviceapi.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class Slots : public QObject {
    Q_OBJECT
public slots:
    void iosDeviceConnected(void* device) { devices.append(device); }
    void iosDeviceDisconnected(void* device) { devices.append(device); }

public:
    QList<void*> devices;
};

template <class F>
F* function(const char* name)
{
    return DeviceLibraries::mobileDeviceFunction<F>(name);
}

TEST(TmmdSmoke, LoadsSubscribesWithoutUsbmuxdAndReportsNoDevice)
{
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/tallowmere-test/usbmuxd");
    qputenv("TALLOWMERE_MOBILEDEVICE_LIB", TM_MOBILEDEVICE_LIB);
    QString error;
    ASSERT_TRUE(DeviceLibraries::load(error)) << qPrintable(error);

    // A handle of no device (a virtual device has none) gives error codes, never a crash.
    int dummy = 0;
    for (void* handle : {static_cast<void*>(nullptr), static_cast<void*>(&dummy)}) {
        EXPECT_EQ(MobileDevice::openSession(handle, error), -2001);
        EXPECT_TRUE(error.contains(QLatin1String("AMDeviceConnect(-2001)"))) << qPrintable(error);
        EXPECT_THROW(MobileDevice::copyValues(handle, {QString()}, QString()), std::runtime_error);
        EXPECT_THROW(MobileDevice::startService(handle, QStringLiteral("com.apple.afc")), std::runtime_error);
        EXPECT_EQ(function<decltype(AMDeviceIsPaired)>("AMDeviceIsPaired")(handle), 0);
        for (const char* name : {"AMDevicePair", "AMDeviceValidatePairing", "AMDeviceStartSession",
                                 "AMDeviceStopSession", "AMDeviceDisconnect"})
            EXPECT_EQ(function<decltype(AMDevicePair)>(name)(handle), -2001) << name;
        EXPECT_EQ(function<decltype(AMDeviceCopyValue)>("AMDeviceCopyValue")(handle, nullptr, nullptr), nullptr);
        EXPECT_EQ(function<decltype(AMDeviceSetValue)>("AMDeviceSetValue")(handle, nullptr, nullptr, nullptr), -2001);
        int socket = 7;
        EXPECT_EQ(function<decltype(AMDeviceStartService)>("AMDeviceStartService")(handle, nullptr, &socket, nullptr), -2001);
        EXPECT_EQ(socket, -1);
        EXPECT_EQ(function<decltype(AMDeviceCopyDeviceIdentifier)>("AMDeviceCopyDeviceIdentifier")(handle), nullptr);
    }

    Slots target;
    static DeviceNotifyContext context;  // the library may report for as long as the process lives
    context = {&target, "iosDeviceConnected", "iosDeviceDisconnected"};
    EXPECT_EQ(MobileDevice::subscribeNotifications(&context), 0);
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(target.devices.isEmpty());
}

}  // namespace

#include "smoke_test.moc"
