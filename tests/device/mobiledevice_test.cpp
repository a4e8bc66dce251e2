// Loading the device libraries, and sessions, values and notifications against the simulated
// MobileDevice library.
#include "device/devicelibraries.h"
#include "device/mobiledevice.h"
#include "devicesim/simcontrol.h"
#include "devicelibs/sim/tmsim.h"
#include "devicelibs/mobiledeviceapi.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

const QString kMobileDeviceFailure = QStringLiteral("Failed to load (Mobile Device) framework.");

TEST(DeviceLibrariesLoad, FindsBothLibrariesOrSaysWhichOneFailed)
{
    const QString simulator = devicesim::simulatorPath();
    QTemporaryDir alone;
    ASSERT_TRUE(QFile::copy(simulator, alone.filePath(QStringLiteral("libtmmd-sim.so"))));
    const struct {
        QByteArray override;
        QString error;
    } cases[] = {
        {simulator.toUtf8(), QString()},  // a failure after a success: never the earlier load's answer
        {QByteArray(), kMobileDeviceFailure},  // no libtmmd.so beside the tests or below their prefix
        {alone.filePath(QStringLiteral("missing.so")).toUtf8(), kMobileDeviceFailure},
        // A library without the MobileDevice functions.
        {QFileInfo(simulator).dir().filePath(QStringLiteral("libtmcf.so")).toUtf8(), kMobileDeviceFailure},
        {alone.filePath(QStringLiteral("libtmmd-sim.so")).toUtf8(),
         QStringLiteral("Failed to load (CoreFoundation) framework.")},
        {simulator.toUtf8(), QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.override.toStdString());
        qputenv("TALLOWMERE_MOBILEDEVICE_LIB", c.override);
        QString error = QStringLiteral("stale");
        EXPECT_EQ(DeviceLibraries::load(error), c.error.isEmpty());
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(DeviceLibraries::isLoaded(), c.error.isEmpty());
        const QString failedFile = c.error.contains("CoreFoundation") ? "/libtmcf.so" : QFileInfo(c.override).fileName();
        EXPECT_TRUE(c.error.isEmpty() ? DeviceLibraries::lastFailure().isEmpty() : DeviceLibraries::lastFailure().contains(failedFile))
            << qPrintable(DeviceLibraries::lastFailure());
        if (!c.error.isEmpty()) {
            DeviceNotifyContext context;
            try {
                MobileDevice::subscribeNotifications(&context);
                ADD_FAILURE() << "subscribed without the libraries";
            } catch (const std::runtime_error& thrown) {
                EXPECT_EQ(QString::fromUtf8(thrown.what()), c.error);
            }
        }
    }
    EXPECT_NE(DeviceLibraries::resolveMobileDevice("AMDeviceConnect"), nullptr);
    EXPECT_EQ(DeviceLibraries::resolveMobileDevice("AMDeviceNoSuchFunction"), nullptr);
    EXPECT_NE(DeviceLibraries::resolveCoreFoundation("CFRelease"), nullptr);
}

const QStringList kIdentityKeys{QStringLiteral("UniqueDeviceID"), QStringLiteral("DeviceName"),
                                QStringLiteral("MobileSubscriberCountryCode"), QStringLiteral("ProductVersion"),
                                QStringLiteral("ProductType")};
const QStringList kSessionOpens{QStringLiteral("AMDeviceConnect"), QStringLiteral("AMDeviceIsPaired"),
                                QStringLiteral("AMDeviceValidatePairing"), QStringLiteral("AMDeviceStartSession")};
const QStringList kSessionCloses{QStringLiteral("AMDeviceStopSession"), QStringLiteral("AMDeviceDisconnect")};

class SessionTest : public devicesim::SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        device = devicesim::plug(QStringLiteral("udid-1"));
        devicesim::setDomain(QStringLiteral("udid-1"), QString(),
                             {{QStringLiteral("UniqueDeviceID"), QStringLiteral("udid-1")},
                              {QStringLiteral("DeviceName"), QStringLiteral("Phone <1>")},
                              {QStringLiteral("ProductVersion"), QStringLiteral("7.1.2")},
                              {QStringLiteral("ProductType"), 42}});
        devicesim::setDomain(QStringLiteral("udid-1"), QStringLiteral("com.apple.mobile.backup"),
                             {{QStringLiteral("CloudBackupEnabled"), true}, {QStringLiteral("WillEncrypt"), false}});
    }

    void* device = nullptr;
};

QString sessionText(const QString& call)
{
    if (call.contains("(-8)") || call.contains("(-1003)"))  // the phone went away
        return MobileDevice::disconnectedText() + "<br/><br/>Error code: " + call;
    return QStringLiteral("Please restart your iPhone and computer to try again. If a prompt message pops out on your "
                          "iPhone, please click \"Trust\".<br/><br/>Error code: ")
           + call + (call.startsWith("AMDeviceConnect") ? "" : "<br/><br/>After tapping \"Trust\" on the iPhone, unplug and plug in the phone again.");
}

TEST_F(SessionTest, EachFailingStepIsReportedAndOnlyAFailedStartDisconnects)
{
    const QString connect = QStringLiteral("AMDeviceConnect");
    const QString isPaired = QStringLiteral("AMDeviceIsPaired");
    const QString pair = QStringLiteral("AMDevicePair");
    const QString validate = QStringLiteral("AMDeviceValidatePairing");
    const QString start = QStringLiteral("AMDeviceStartSession");
    const QString disconnect = kSessionCloses[1];
    const QStringList repair{connect, pair, validate};  // after a pair record the phone has forgotten
    const QStringList kept{isPaired};                   // whether that pairing left a record
    const struct {
        QString function;
        int code;
        bool paired;
        QString call;
        QStringList log;
    } cases[] = {
        {connect, int(0xE8000010), true, QStringLiteral("AMDeviceConnect(-402653168)"), {connect}},
        {connect, -1003, true, QStringLiteral("AMDeviceConnect(-1003)"), {connect}},
        {pair, -19, false, QStringLiteral("AMDevicePair(-19)"), {connect, isPaired, pair}},
        {pair, -8, false, QStringLiteral("AMDevicePair(-8)"), {connect, isPaired, pair}},
        {validate, 5, true, QStringLiteral("AMDeviceValidatePairing(5)"), {connect, isPaired, validate}},
        {validate, -21, true, QStringLiteral("AMDeviceValidatePairing(-21)"),
         QStringList{connect, isPaired, validate, disconnect} + repair + kept},
        {start, 7, true, QStringLiteral("AMDeviceStartSession(7)"), kSessionOpens + QStringList{disconnect}},
        {start, -21, true, QStringLiteral("AMDeviceStartSession(-21)"),
         kSessionOpens + QStringList{disconnect} + repair + QStringList{start, disconnect} + kept},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.call.toStdString());
        devicesim::setPaired(QStringLiteral("udid-1"), c.paired);
        devicesim::fail(c.function.toUtf8().constData(), c.code);
        QString error;
        EXPECT_EQ(MobileDevice::openSession(device, error), c.code);
        EXPECT_EQ(error, sessionText(c.call));
        try {
            MobileDevice::copyValues(device, kIdentityKeys, QString());
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& thrown) {
            EXPECT_EQ(QString::fromUtf8(thrown.what()), sessionText(c.call));
        }
        EXPECT_EQ(devicesim::takeCallLog(), c.log + c.log);
        devicesim::fail(c.function.toUtf8().constData(), 0);
    }
    // Unpaired: paired on the way.
    devicesim::setPaired(QStringLiteral("udid-1"), false);
    EXPECT_EQ(MobileDevice::copyDeviceIdentifier(device), QStringLiteral("udid-1"));
    EXPECT_EQ(devicesim::takeCallLog(), (QStringList{connect, isPaired, pair, validate, start,
                                                     QStringLiteral("AMDeviceCopyDeviceIdentifier")}
                                         + kSessionCloses));
}

TEST_F(SessionTest, ValuesOfTheDeviceAndOfADomainInOneSession)
{
    const QList<CFType> identity = MobileDevice::copyValues(device, kIdentityKeys, QString());
    ASSERT_EQ(identity.size(), 5);
    EXPECT_EQ(identity[0].toString(), QStringLiteral("udid-1"));
    EXPECT_EQ(identity[1].toString(), QStringLiteral("Phone <1>"));
    EXPECT_TRUE(identity[2].isNull());         // not reported by this device
    EXPECT_EQ(identity[4].toString(), QString());  // not text
    QStringList copies;
    for (int i = 0; i < 5; ++i)
        copies.append(QStringLiteral("AMDeviceReadValue"));
    EXPECT_EQ(devicesim::takeCallLog(), kSessionOpens + copies + kSessionCloses);

    const QList<CFType> backup = MobileDevice::copyValues(device, {QString()}, QStringLiteral("com.apple.mobile.backup"));
    ASSERT_EQ(backup.size(), 1);
    EXPECT_EQ(backup[0].count(), 2);
    EXPECT_TRUE(backup[0].value(QStringLiteral("CloudBackupEnabled")).toBool());
    EXPECT_FALSE(backup[0].value(QStringLiteral("WillEncrypt")).toBool(true));

    const QString sync = QStringLiteral("com.apple.mobile.tethered_sync");
    EXPECT_EQ(MobileDevice::setValue(device, sync, QStringLiteral("Count"), CFType(qint32(3))), 0);
    EXPECT_EQ(MobileDevice::copyValues(device, {QStringLiteral("Count")}, sync).value(0).toInt(), 3);
}

TEST_F(SessionTest, AServiceThatDoesNotStartClosesTheSessionBeforeTheError)
{
    try {
        MobileDevice::startService(device, QStringLiteral("com.apple.mobile.file_relay"));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& thrown) {
        EXPECT_EQ(QString::fromUtf8(thrown.what()),
                  QStringLiteral("Please turn off Wifi Sync on iTunes to try again.<br/>To do this:  Launch iTunes -&gt; "
                                 "Connect your device -&gt; Go Summary -&gt; Options -&gt; Uncheck Sync with this device "
                                 "over Wi-Fi.<br/><br/>Error code: AMDeviceStartService(com.apple.mobile.file_relay)=")
                      + QString::number(kSimNoService));
    }
    EXPECT_EQ(devicesim::takeCallLog(), kSessionOpens + QStringList{QStringLiteral("AMDeviceStartService")} + kSessionCloses);
    devicesim::fail("AMDeviceStartService", -1002);  // the phone went away before the service connected
    try {
        MobileDevice::startService(device, QStringLiteral("com.apple.mobile.file_relay"));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& thrown) {
        EXPECT_EQ(QString::fromUtf8(thrown.what()), MobileDevice::disconnectedText() + "<br/><br/>Error code: "
                                                        "AMDeviceStartService(com.apple.mobile.file_relay)=-1002");
    }
}

TEST_F(SessionTest, NullAndUnknownHandlesGetErrorCodes)
{
    int unknown = 0;
    for (void* handle : {static_cast<void*>(nullptr), static_cast<void*>(&unknown)}) {
        const auto md = [](const char* name) { return DeviceLibraries::resolveMobileDevice(name); };
        const std::function<int32_t()> calls[] = {
            [&] { return reinterpret_cast<decltype(&AMDeviceConnect)>(md("AMDeviceConnect"))(handle); },
            [&] { return reinterpret_cast<decltype(&AMDevicePair)>(md("AMDevicePair"))(handle); },
            [&] { return reinterpret_cast<decltype(&AMDeviceValidatePairing)>(md("AMDeviceValidatePairing"))(handle); },
            [&] { return reinterpret_cast<decltype(&AMDeviceStartSession)>(md("AMDeviceStartSession"))(handle); },
            [&] { return reinterpret_cast<decltype(&AMDeviceStopSession)>(md("AMDeviceStopSession"))(handle); },
            [&] { return reinterpret_cast<decltype(&AMDeviceDisconnect)>(md("AMDeviceDisconnect"))(handle); },
            [&] { return reinterpret_cast<decltype(&AMDeviceSetValue)>(md("AMDeviceSetValue"))(handle, nullptr, nullptr, nullptr); },
            [&] {
                int socket = -1;
                return reinterpret_cast<decltype(&AMDeviceStartService)>(md("AMDeviceStartService"))(handle, nullptr, &socket, nullptr);
            },
        };
        for (const auto& call : calls)
            EXPECT_EQ(call(), kSimNoDevice);
        EXPECT_EQ(reinterpret_cast<decltype(&AMDeviceIsPaired)>(md("AMDeviceIsPaired"))(handle), 0);
        EXPECT_EQ(reinterpret_cast<decltype(&AMDeviceCopyValue)>(md("AMDeviceCopyValue"))(handle, nullptr, nullptr), nullptr);
        EXPECT_EQ(reinterpret_cast<decltype(&AMDeviceCopyDeviceIdentifier)>(md("AMDeviceCopyDeviceIdentifier"))(handle),
                  nullptr);
        QString error;
        EXPECT_EQ(MobileDevice::openSession(handle, error), kSimNoDevice);
    }
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

TEST_F(SessionTest, NotificationsReachTheTargetInItsThreadOncePerDevice)
{
    Receiver receiver;
    DeviceNotifyContext context{&receiver, "iosDeviceConnected", "iosDeviceDisconnected"};
    EXPECT_EQ(MobileDevice::subscribeNotifications(&context), 0);
    EXPECT_EQ(receiver.connected, 0);  // queued until the event loop runs
    QCoreApplication::processEvents();
    EXPECT_EQ(receiver.connected, 1);  // plugged in before the subscription
    EXPECT_EQ(receiver.lastDevice, device);

    void* second = devicesim::plug(QStringLiteral("udid-2"));  // messages 1 and 3
    QCoreApplication::processEvents();
    EXPECT_EQ(receiver.connected, 2);
    EXPECT_EQ(receiver.lastDevice, second);
    ASSERT_TRUE(devicesim::unplug(QStringLiteral("udid-2")));
    QCoreApplication::processEvents();
    EXPECT_EQ(receiver.disconnected, 1);
    EXPECT_EQ(receiver.lastDevice, second);  // the same handle as its arrival
    EXPECT_TRUE(receiver.ranInOwnThread);
}

}  // namespace

#include "mobiledevice_test.moc"
