// The pieces of libtmmd.so that need no device: error codes, device handles and the USB filter, and the
// values between libplist and the CoreFoundation stand-in.
#include "platform/cf/tmcfplist.h"
#include "platform/mobiledevice/cfnames.h"
#include "platform/mobiledevice/devicehandles.h"
#include "platform/mobiledevice/errorcodes.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(TmmdErrorCodes, TheTwoFamiliesAndOurOwnStayApartAndNoFailureReadsAsSuccess)
{
    EXPECT_EQ(tmmd::fromIdevice(IDEVICE_E_SUCCESS), 0);
    EXPECT_EQ(tmmd::fromLockdown(LOCKDOWN_E_SUCCESS), 0);
    std::set<int32_t> seen{tmmd::kUnknownDevice, tmmd::kNotConnected, tmmd::kBadArgument, tmmd::kBridgeFailed};
    for (int code = -1; code >= -39; --code) {
        EXPECT_EQ(tmmd::fromLockdown(lockdownd_error_t(code)), code);  // pairing's -17, -18, -19 among them
        EXPECT_TRUE(seen.insert(code).second);
    }
    EXPECT_EQ(tmmd::fromLockdown(LOCKDOWN_E_UNKNOWN_ERROR), -256);
    for (const idevice_error_t error : {IDEVICE_E_INVALID_ARG, IDEVICE_E_UNKNOWN_ERROR, IDEVICE_E_NO_DEVICE,
                                        IDEVICE_E_NOT_ENOUGH_DATA, IDEVICE_E_SSL_ERROR, IDEVICE_E_TIMEOUT}) {
        EXPECT_EQ(tmmd::fromIdevice(error), -1000 + error);
        EXPECT_TRUE(seen.insert(tmmd::fromIdevice(error)).second) << error;
    }
    EXPECT_LT(tmmd::fromIdevice(idevice_error_t(5)), 0);  // a code of the wrong sign is still a failure
    EXPECT_LT(tmmd::fromLockdown(lockdownd_error_t(5)), 0);
}

using Notes = std::vector<std::pair<void*, uint32_t>>;

void record(const TMDeviceNotificationInfo* info, void* context)
{
    static_cast<Notes*>(context)->emplace_back(info->device, info->msg);
}

TEST(TmmdDeviceHandles, OneHandlePerUdidForArrivalRemovalAndReArrivalOnUsbOnly)
{
    Notes notes;
    tmmd::setSubscriber(&record, &notes);
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
        {IDEVICE_DEVICE_ADD, "udid-c", idevice_connection_type(0)},
    };
    for (const idevice_event_t& event : events)
        tmmd::onIdeviceEvent(&event, nullptr);
    tmmd::setSubscriber(nullptr, nullptr);
    tmmd::onIdeviceEvent(&events[0], nullptr);  // no subscriber: nothing to call

    void* const a = tmmd::findDevice(tmmd::internDevice("udid-a"));
    void* const b = tmmd::internDevice("udid-b");
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(notes, (Notes{{a, 1}, {a, 2}, {a, 1}, {a, 3}, {b, 1}}));
    EXPECT_EQ(tmmd::findDevice(nullptr), nullptr);
    EXPECT_EQ(tmmd::findDevice(&notes), nullptr);
}

using tmmd::Plist;

std::string xmlOf(plist_t node)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(node, &xml, &length);
    const std::string text(xml ? xml : "", length);
    std::free(xml);
    return text;
}

TEST(TmmdValues, EveryPropertyListTypeSurvivesTheWayToTheProgramAndBack)
{
    const long liveAtStart = TMCF_LiveObjectCount();
    plist_t array = plist_new_array();
    plist_array_append_item(array, plist_new_string("Phone \"1\" <é>"));
    plist_array_append_item(array, plist_new_data("\0\1\2", 3));
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "Items", array);
    plist_dict_set_item(dict, "Empty", plist_new_dict());
    const plist_t nodes[] = {plist_new_bool(1), plist_new_bool(0), plist_new_uint(0),
                             plist_new_uint(UINT64_MAX), plist_new_real(-2.5), plist_new_string(""),
                             plist_new_data("", 0), plist_new_date(398000000, 250000), plist_new_array(), dict};
    for (const plist_t node : nodes) {
        const Plist owned(node);
        const CFTypeRef value = TMCF_CreateFromPlist(node);
        ASSERT_NE(value, nullptr) << xmlOf(node);
        const Plist back(TMCF_CopyToPlist(value));
        CFRelease(value);
        EXPECT_EQ(xmlOf(back.get()), xmlOf(node));
    }
    const Plist uid(plist_new_uid(7));
    EXPECT_EQ(TMCF_CreateFromPlist(uid.get()), nullptr);  // no object for it: a missing value, not a crash

    std::string text;
    const CFStringRef name = tmmd::newString("com.apple.mobile.backup");
    EXPECT_TRUE(tmmd::utf8Of(name, text));
    EXPECT_EQ(text, "com.apple.mobile.backup");
    EXPECT_FALSE(tmmd::utf8Of(nullptr, text));
    EXPECT_FALSE(tmmd::utf8Of(kCFBooleanTrue, text));
    CFRelease(name);
    EXPECT_EQ(TMCF_LiveObjectCount(), liveAtStart);
}

}  // namespace
