#pragma once
// The C interface of the MobileDevice libraries (libtmmd.so for real devices, the simulator in the
// tests), which the device layer looks up by name. A device handle is the pointer the notification
// callback delivers; it stays the same for a device's arrival and its removal. Results are 0 on success,
// otherwise an error code; a null or unknown handle gives an error code.
#include "devicelibs/corefoundation.h"

#include <cstdint>

extern "C" {

using AMDeviceRef = void*;

// What the notification callback receives: the device and the message.
struct TMDeviceNotificationInfo {
    AMDeviceRef device;
    uint32_t msg;  // 1 connected, 2 disconnected; others are to be ignored
};

enum : uint32_t {
    kAMDeviceConnected = 1,
    kAMDeviceDisconnected = 2,
};

// Called on a thread of the library, for each device attached at subscription time too.
using AMDeviceNotificationCallback = void (*)(const TMDeviceNotificationInfo* info, void* context);

int32_t AMDeviceNotificationSubscribe(AMDeviceNotificationCallback callback, uint32_t unused0, uint32_t unused1,
                                      void* context, void** notification);

// Failures the program tells apart; a library gives them with these meanings, and other codes besides.
enum : int32_t {
    kAMErrorConnectionLost = -8,    // the connection to the phone broke mid-call
    kAMErrorInvalidHostID = -21,    // the phone no longer knows the pair record this computer holds
    kAMErrorConnectFailed = -1002,  // no connection to the phone could be made
    kAMErrorNoDevice = -1003,       // the phone is not attached (any more)
};

// A session: Connect, IsPaired (non-zero when paired), Pair when not, ValidatePairing, StartSession;
// StopSession, Disconnect to close it. Where ValidatePairing or StartSession fails with
// kAMErrorInvalidHostID, the program pairs once more (Disconnect, Connect, Pair) and goes on.
int32_t AMDeviceConnect(AMDeviceRef device);
int32_t AMDeviceIsPaired(AMDeviceRef device);
int32_t AMDevicePair(AMDeviceRef device);
int32_t AMDeviceValidatePairing(AMDeviceRef device);
int32_t AMDeviceStartSession(AMDeviceRef device);
int32_t AMDeviceStopSession(AMDeviceRef device);
int32_t AMDeviceDisconnect(AMDeviceRef device);

// Inside a session. CopyValue: an owned value or null; a null domain reads the device's own values, a
// null key a whole domain as a dictionary. StartService: a socket of the service that stays usable after
// the session ends.
CFTypeRef AMDeviceCopyValue(AMDeviceRef device, CFStringRef domain, CFStringRef key);
// CopyValue that tells a failed read from a missing value, which CopyValue's null cannot: 0 with *value
// the owned value, or null when the device has no value by that name; an error code, with *value null,
// when the read itself failed (no session, the device gone or no longer answering).
int32_t AMDeviceReadValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef* value);
int32_t AMDeviceSetValue(AMDeviceRef device, CFStringRef domain, CFStringRef key, CFTypeRef value);
int32_t AMDeviceStartService(AMDeviceRef device, CFStringRef name, int* socket, void* unused);
CFStringRef AMDeviceCopyDeviceIdentifier(AMDeviceRef device);

}  // extern "C"
