// libtmmd.so without a device: its error codes, device handles and the USB filter, the values between
// libplist and the CoreFoundation stand-in, and the library as the program loads it where usbmuxd does not
// run.
#include "core/plistnode.h"
#include "device/devicelibraries.h"
#include "device/mobiledevice.h"
#include "devicelibs/tmcf/tmcfplist.h"
#include "devicelibs/tmmd/cfnames.h"
#include "devicelibs/tmmd/devicehandles.h"
#include "devicelibs/tmmd/errorcodes.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

namespace {

TEST(TmmdErrorCodes, TheTwoFamiliesAndOurOwnStayApartAndNoFailureReadsAsSuccess)
{
    std::set<int32_t> codes{0, tmmd::kUnknownDevice, tmmd::kNotConnected, tmmd::kBadArgument, tmmd::kBridgeFailed};
    for (int code = -1; code >= -39; --code)  // the pairing answers -17, -18 and -19 among them, unchanged
        EXPECT_TRUE(codes.insert(tmmd::fromLockdown(lockdownd_error_t(code))).second && codes.count(code));
    for (const int code : {-1, -2, -3, -4, -6, -7, 5})  // 5: a code of the wrong sign is still a failure
        EXPECT_TRUE(codes.insert(tmmd::fromIdevice(idevice_error_t(code))).second);
    EXPECT_TRUE(tmmd::fromIdevice(IDEVICE_E_NO_DEVICE) == -1003 && tmmd::fromLockdown(lockdownd_error_t(5)) < 0 &&
                tmmd::fromIdevice(IDEVICE_E_SUCCESS) == 0 && tmmd::fromLockdown(LOCKDOWN_E_SUCCESS) == 0);
}

using Notes = std::vector<std::pair<void*, uint32_t>>;

TEST(TmmdDeviceHandles, OneHandlePerUdidForArrivalRemovalAndReArrivalOnUsbOnly)
{
    Notes notes;
    tmmd::setSubscriber([](const TMDeviceNotificationInfo* info, void* to) {
        static_cast<Notes*>(to)->emplace_back(info->device, info->msg);
    }, &notes);
    const idevice_event_t events[] = {
        {IDEVICE_DEVICE_ADD, "udid-a", CONNECTION_USBMUXD},
        {IDEVICE_DEVICE_ADD, "udid-a", CONNECTION_NETWORK},  // the same phone over Wi-Fi
        {IDEVICE_DEVICE_REMOVE, "udid-a", CONNECTION_USBMUXD},
        {IDEVICE_DEVICE_REMOVE, "udid-a", CONNECTION_NETWORK},
        {IDEVICE_DEVICE_ADD, "udid-a", CONNECTION_USBMUXD},
        {IDEVICE_DEVICE_PAIRED, "udid-a", CONNECTION_USBMUXD},
        {IDEVICE_DEVICE_ADD, "udid-b", CONNECTION_USBMUXD},
        {IDEVICE_DEVICE_ADD, nullptr, CONNECTION_USBMUXD},
        {IDEVICE_DEVICE_ADD, "", CONNECTION_USBMUXD},
    };
    for (const idevice_event_t& event : events)
        tmmd::onIdeviceEvent(&event, nullptr);
    tmmd::setSubscriber(nullptr, nullptr);
    tmmd::onIdeviceEvent(&events[0], nullptr);  // nobody to tell

    void* const a = tmmd::findDevice(tmmd::internDevice("udid-a"));
    void* const b = tmmd::internDevice("udid-b");
    EXPECT_NE(a, b);
    EXPECT_EQ(notes, (Notes{{a, 1}, {a, 2}, {a, 1}, {a, 3}, {b, 1}}));
    EXPECT_TRUE(tmmd::findDevice(nullptr) == nullptr && tmmd::findDevice(&notes) == nullptr);
}

TEST(TmmdValues, EveryPropertyListTypeSurvivesTheWayToTheProgramAndBack)
{
    const long liveAtStart = TMCF_LiveObjectCount();
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "Name", plist_new_string("Phone \"1\" <é>"));
    plist_dict_set_item(dict, "Items", plist_new_array());
    plist_array_append_item(plist_dict_get_item(dict, "Items"), plist_new_data("\0\1\2", 3));
    for (const plist_t node : {plist_new_bool(1), plist_new_bool(0), plist_new_uint(0), plist_new_uint(UINT64_MAX),
                               plist_new_real(-2.5), plist_new_string(""), plist_new_data("", 0),
                               plist_new_date(398000000, 250000), plist_new_array(), dict}) {
        const PlistNode sent(node, true);
        const CFTypeRef value = TMCF_CreateFromPlist(node);
        EXPECT_EQ(PlistNode(TMCF_CopyToPlist(value), true).toXml(), sent.toXml());
        CFRelease(value);
    }
    EXPECT_EQ(TMCF_CreateFromPlist(PlistNode(plist_new_uid(7), true).node()), nullptr);  // a missing value

    std::string text;
    const CFStringRef name = tmmd::newString("com.apple.mobile.backup");
    EXPECT_TRUE(tmmd::utf8Of(name, text) && text == "com.apple.mobile.backup" && !tmmd::utf8Of(kCFBooleanTrue, text));
    CFRelease(name);
    EXPECT_EQ(TMCF_LiveObjectCount(), liveAtStart);
}

TEST(TmmdSmoke, LoadsSubscribesWithoutUsbmuxdAndReportsNoDevice)
{
    using DeviceLibraries::mobileDeviceFunction;
    // libusbmuxd looks for usbmuxd at a socket that does not exist, not at one that may run here.
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/tallowmere-test/usbmuxd");
    qputenv("TALLOWMERE_MOBILEDEVICE_LIB", TM_MOBILEDEVICE_LIB);
    QString error;
    ASSERT_TRUE(DeviceLibraries::load(error)) << qPrintable(error);

    // A handle of no device (a virtual device has none) gives error codes, never a crash.
    for (void* handle : {static_cast<void*>(nullptr), static_cast<void*>(&error)}) {
        EXPECT_EQ(MobileDevice::openSession(handle, error), -2001);
        EXPECT_TRUE(error.contains(QLatin1String("AMDeviceConnect(-2001)"))) << qPrintable(error);
        for (const char* name : {"AMDevicePair", "AMDeviceValidatePairing", "AMDeviceStartSession",
                                 "AMDeviceStopSession", "AMDeviceDisconnect"})
            EXPECT_EQ(mobileDeviceFunction<decltype(AMDevicePair)>(name)(handle), -2001) << name;
        EXPECT_EQ(mobileDeviceFunction<decltype(AMDeviceIsPaired)>("AMDeviceIsPaired")(handle), 0);
        EXPECT_EQ(mobileDeviceFunction<decltype(AMDeviceCopyValue)>("AMDeviceCopyValue")(handle, nullptr, nullptr), nullptr);
        int socket = 7;
        EXPECT_EQ(mobileDeviceFunction<decltype(AMDeviceStartService)>("AMDeviceStartService")(handle, nullptr, &socket, nullptr), -2001);
        EXPECT_EQ(socket, -1);
    }

    static std::atomic<int> reported{0};
    EXPECT_EQ(mobileDeviceFunction<decltype(AMDeviceNotificationSubscribe)>("AMDeviceNotificationSubscribe")(
                  [](const TMDeviceNotificationInfo*, void*) { ++reported; }, 0, 0, nullptr, nullptr),
              0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(reported, 0);
}

}  // namespace
