// The real libtmmd.so (over Debian's libimobiledevice, libusbmuxd and OpenSSL) against usbmuxd_standin.py:
// arrival, first pairing, a TLS session, values missing and a session dropped while values are read, a
// TLS 1.2+ service through the bridge both ways, and the phone vanishing mid-session, which the process
// survives with SIGPIPE at its default; a pair record the phone has forgotten, and a phone unplugged while
// asked to pair; a phone without a version, pair records usbmuxd cannot keep, and a usbmuxd that closes
// the event connection unanswered.
#include "device/devicelibraries.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"
#include "devicelibs/mobiledeviceapi.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <QDir>

#include <atomic>
#include <csignal>

namespace {

std::atomic<void*> g_events[3];  // the device of the last arrival [1] and removal [2]

void* waitFor(int message, int tries = 500)
{
    for (; tries > 0 && !g_events[message]; --tries)
        QThread::msleep(20);
    return g_events[message];
}

// The stand-in, its phone in conditions, with libtmmd.so subscribed to it; ends with the test.
struct StandIn {
    QTemporaryDir folder;
    QProcess process;
    ~StandIn() { process.kill(), process.waitForFinished(); }

    void* start(const QStringList& conditions = {})  // the phone's handle
    {
        launch(conditions);
        return waitFor(MobileDevice::kDeviceConnected);
    }

    void launch(const QStringList& conditions)
    {
        process.start("/usr/bin/python3", QStringList{TM_USBMUXD_STANDIN, folder.filePath("usbmuxd")} + conditions);
        for (int tries = 0; tries < 500 && !QFileInfo::exists(folder.filePath("usbmuxd")); ++tries)
            QThread::msleep(20);
        qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + folder.filePath("usbmuxd").toUtf8());
        qputenv("TALLOWMERE_MOBILEDEVICE_LIB", TM_MOBILEDEVICE_LIB);
        QString error;
        EXPECT_TRUE(DeviceLibraries::load(error)) << qPrintable(error);
        DeviceLibraries::mobileDeviceFunction<decltype(AMDeviceNotificationSubscribe)>("AMDeviceNotificationSubscribe")(
            [](const TMDeviceNotificationInfo* info, void*) { g_events[info->msg % 3] = info->device; }, 0, 0, nullptr, nullptr);
    }
};

// The text a session that does not open gives the user.
QString sessionError(void* device)
{
    QString error;
    MobileDevice::openSession(device, error);
    return error;
}

TEST(TmmdRealStack, PairsRunsATlsSessionAndServiceAndSurvivesThePhoneVanishing)
{
    struct sigaction pipe {};  // QProcess ignores SIGPIPE once it writes to a child: the stand-in gets a signal
    ASSERT_TRUE(::sigaction(SIGPIPE, nullptr, &pipe) == 0 && pipe.sa_handler == SIG_DFL);
    StandIn standIn;
    QString error;
    void* const device = standIn.start();
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
    ::kill(pid_t(standIn.process.processId()), SIGUSR1);
    EXPECT_EQ(waitFor(MobileDevice::kDeviceDisconnected), device);
    EXPECT_THROW(MobileDevice::copyValues(device, {"DeviceName"}, QString()), std::runtime_error);
    EXPECT_THROW(mobiledevice_recmsg(service, CFType(), 5000), std::runtime_error);
    Socket::close(service);
}

TEST(TmmdRealStack, APhoneThatForgotItsPairingAsksForTrustAgainAndIsReadAfterIt)
{
    // usbmuxd still holds the record of a pairing the phone no longer knows (it was reset); the first
    // pairing request shows "Trust", which the user taps only afterwards.
    StandIn standIn;
    void* const device = standIn.start({"stale-record", "trust-pending"});
    ASSERT_NE(device, nullptr);
    EXPECT_TRUE(sessionError(device).contains("Error code: AMDevicePair(-19)<br/><br/>After tapping \"Trust\""))
        << qPrintable(sessionError(device));
    EXPECT_EQ(MobileDevice::copyValues(device, {"DeviceName"}, QString()).value(0).toString(), "Stand-in");
}

TEST(TmmdRealStack, APhoneUnpluggedWhileAskedToPairIsToldDisconnected)
{
    StandIn standIn;
    void* const device = standIn.start({"gone-at-pair"});
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(sessionError(device).toStdString(),
              (MobileDevice::disconnectedText() + "<br/><br/>Error code: AMDevicePair(-1003)").toStdString());
}

TEST(TmmdRealStack, APhoneWithoutAVersionIsReadAndPairRecordsUsbmuxdCannotKeepAreSaidSo)
{
    const QString notKept = MobileDevice::pairingNotKeptText() + "<br/><br/>Error code: AMDeviceStartSession(";
    const std::pair<const char*, QString> cases[] = {
        {"no-version", QString()}, {"records-unreadable", notKept}, {"records-a-folder", notKept}};
    for (const auto& [condition, error] : cases) {
        StandIn standIn;
        void* const device = standIn.start({condition});
        ASSERT_NE(device, nullptr);
        const QString shown = sessionError(device);
        EXPECT_TRUE(error.isEmpty() ? shown.isEmpty() : shown.startsWith(error)) << condition << qPrintable(shown);
    }
}

TEST(TmmdRealStack, AUsbmuxdThatClosesTheEventConnectionUnansweredShowsNoPhoneUntilItAnswers)
{
    const auto openFiles = [] {
        return QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size();
    };
    StandIn standIn;
    standIn.launch({"close-listen"});
    g_events[MobileDevice::kDeviceConnected] = nullptr;
    const int filesAtStart = openFiles();
    EXPECT_EQ(waitFor(MobileDevice::kDeviceConnected, 150), nullptr);
    EXPECT_LE(openFiles(), filesAtStart + 1);
    ::kill(pid_t(standIn.process.processId()), SIGUSR2);  // usbmuxd answers from now on
    EXPECT_NE(waitFor(MobileDevice::kDeviceConnected), nullptr);
}

}  // namespace
