#include "core/datadir.h"
#include "device/devicebackend.h"
#include "device/devicelibraries.h"
#include "device/iosdevice.h"
#include "device/mobiledevice.h"
#include "fixtures/temp_home.h"

#include <QCoreApplication>
#include <QThread>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

class IOSDeviceTest : public TempHomeTest {};

TEST(IOSDeviceVersion, NumbersOfTheProductVersion)
{
    IOSDevice device;
    device.productVersion = QStringLiteral("7.1.2");
    EXPECT_EQ(device.versionNumbers(), (QList<int>{7, 1, 2}));
    device.productVersion = QStringLiteral("10.3");
    EXPECT_EQ(device.versionNumbers(), (QList<int>{10, 3}));
    device.productVersion.clear();
    EXPECT_TRUE(device.versionNumbers().isEmpty());
}

TEST(IOSDeviceUdid, OnlyPlainIdentifiersNameFolders)
{
    EXPECT_TRUE(IOSDevice::isValidUdid(QStringLiteral("0123456789abcdef0123456789ABCDEF01234567")));
    EXPECT_TRUE(IOSDevice::isValidUdid(QStringLiteral("00008030-001A2B3C4D5E6F70")));
    for (const char* bad : {"", "../../..", "a/b", "a b", "x\n", "/abs"})
        EXPECT_FALSE(IOSDevice::isValidUdid(QString::fromUtf8(bad))) << bad;
    EXPECT_FALSE(IOSDevice::isValidUdid(QString(65, QLatin1Char('a'))));
}

TEST_F(IOSDeviceTest, CacheFolderIsBelowTheDataFolderAndCreated)
{
    IOSDevice device;
    device.udid = QStringLiteral("abc123");
    const QDir cache = device.cacheDir();
    EXPECT_TRUE(cache.exists());
    EXPECT_EQ(cache.absolutePath(), dataDir().absoluteFilePath(QStringLiteral("ios_cache/abc123")));
}

TEST_F(IOSDeviceTest, HostileIdentifierNamesNoFolder)
{
    IOSDevice device;
    device.udid = QStringLiteral("../../escape");
    EXPECT_THROW(device.cacheDir(), std::runtime_error);
    EXPECT_FALSE(QDir(dataDir().absoluteFilePath(QStringLiteral("escape"))).exists());
}

TEST_F(IOSDeviceTest, VirtualDeviceCachesInItsOwnFolder)
{
    const QString folder = homePath(QStringLiteral("virtual/dev1"));
    IOSDevice device;
    device.udid = folder;
    device.virtualFolder = folder;
    EXPECT_EQ(device.cacheDir().absolutePath(), folder);
    EXPECT_FALSE(QDir(dataDir().absoluteFilePath(QStringLiteral("ios_cache"))).exists());
}

// Counts the device slots' calls and the thread they ran in.
class Receiver : public QObject {
    Q_OBJECT
public:
    int connected = 0;
    int disconnected = 0;
    void* lastDevice = nullptr;
    bool ranInOwnThread = true;
public slots:
    void iosDeviceConnected(void* device) { record(device, connected); }
    void iosDeviceDisconnected(void* device) { record(device, disconnected); }

private:
    void record(void* device, int& counter)
    {
        ++counter;
        lastDevice = device;
        ranInOwnThread = ranInOwnThread && QThread::currentThread() == thread();
    }
};

TEST(DeviceNotifications, ReachTheTargetInItsThreadOncePerMessage)
{
    Receiver receiver;
    DeviceNotifyContext context{&receiver, "iosDeviceConnected", "iosDeviceDisconnected"};
    int handle = 0;
    std::thread backendThread([&] {
        MobileDevice::deliverNotification(context, MobileDevice::kDeviceConnected, &handle);
        MobileDevice::deliverNotification(context, MobileDevice::kDeviceDisconnected, &handle);
        MobileDevice::deliverNotification(context, 3, &handle);
    });
    backendThread.join();
    EXPECT_EQ(receiver.connected, 0);  // queued until the event loop runs
    QCoreApplication::processEvents();
    EXPECT_EQ(receiver.connected, 1);
    EXPECT_EQ(receiver.disconnected, 1);
    EXPECT_EQ(receiver.lastDevice, &handle);
    EXPECT_TRUE(receiver.ranInOwnThread);
}

class FailingBackend : public DeviceBackend {
public:
    bool load(QString& error) override
    {
        error = QStringLiteral("Failed to load (Mobile Device) framework.");
        return false;
    }
    bool isLoaded() const override { return false; }
    void subscribe(DeviceNotifyContext*) override { FAIL() << "subscribed without libraries"; }
};

TEST(DeviceLibraries, DefaultBackendCountsAsLoaded)
{
    QString error = QStringLiteral("x");
    EXPECT_TRUE(DeviceLibraries::load(error));
    EXPECT_TRUE(error.isEmpty());
    EXPECT_TRUE(DeviceLibraries::isLoaded());
    DeviceNotifyContext context;
    EXPECT_NO_THROW(MobileDevice::subscribeNotifications(&context));
}

TEST(DeviceLibraries, FailedLoadStopsTheSubscription)
{
    setDeviceBackend(std::make_unique<FailingBackend>());
    DeviceNotifyContext context;
    try {
        MobileDevice::subscribeNotifications(&context);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Failed to load (Mobile Device) framework.");
    }
    EXPECT_FALSE(DeviceLibraries::isLoaded());
    setDeviceBackend(nullptr);
}

}  // namespace

#include "device_test.moc"
