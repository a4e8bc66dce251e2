#pragma once
// The test controls of libtmmd-sim.so, the simulated MobileDevice library: a registry of devices (an
// identifier, values per domain, a paired flag) that tests plug and unplug, failures to inject, and a
// log of the MobileDevice calls it received. Tests reach these functions by name through the loaded
// library, like the program reaches the MobileDevice functions.
#include <cstdint>

extern "C" {

// The simulator's error codes (high bit set, so they read as negative numbers).
enum : int32_t {
    kSimNoDevice = int32_t(0xE8000001),     // null or unknown handle, or the device is unplugged
    kSimNotConnected = int32_t(0xE8000002),
    kSimNotPaired = int32_t(0xE8000003),
    kSimNoSession = int32_t(0xE8000004),    // a value or service asked for outside a session
    kSimBadArgument = int32_t(0xE8000005),
    kSimNoService = int32_t(0xE8000006),
};

// Forgets every device, failure, log entry and the subscription. Old handles become unknown.
void TMSim_Reset();
// The device with this identifier, registered unplugged and paired when new. Its handle never changes.
void* TMSim_AddDevice(const char* udid);
// Replaces a domain's values (null domain: the device's own) by the dictionary of a property list.
// False when the device is unknown or the bytes are no dictionary. With "Status" in its domain
// "com.apple.mobile.file_relay" a device serves that service: it keeps each framed request's body there
// as "Request"; one with the key "Sources" is answered {"Status": Status}, then "Archive" (data) follows
// with "PauseMs" after each 64 KiB; any other is answered {"Error": "InvalidSource"}; then it closes.
// "com.apple.afc" serves AFC over its "Files" (path: data for a file, or a type such as "S_IFDIR"),
// logging requests in "Requests" ("15:count" for reads, "16:bytes" for writes); every entry's st_mtime
// is 10^18 ns. "com.apple.mobile.house_arrest" maps application identifiers to such domains, vended by
// "VendContainer" ({"Error": ...} for an unknown one). "com.apple.mobilebackup2" and "com.apple.mobilesync"
// play the "Script" of {"Send": message} and {"Expect": name} steps (the latter receive one message and
// stop on another name), then receive until the end; what they receive goes to "Received" (its form,
// "binary" or "xml", to "Formats"), and "Done" is set once they have closed.
bool TMSim_SetDomain(const char* udid, const char* domain, const char* plist, uint32_t length);
void TMSim_SetPaired(const char* udid, bool paired);
// Every later call of the named MobileDevice function fails with code (null or none for the functions
// that return a value); code 0 ends that.
void TMSim_Fail(const char* function, int32_t code);
// The same after the next successes calls of the function have succeeded.
void TMSim_FailAfter(const char* function, int successes, int32_t code);
// Plugs the device in (adding it when new) and reports message 1, then message 3, to the subscriber
// from a thread of the simulator; returns the handle once both were delivered.
void* TMSim_Plug(const char* udid);
// Unplugs the device and reports message 2 the same way; false when it was not plugged.
bool TMSim_Unplug(const char* udid);
// The names of the MobileDevice functions called since the last take, one per line, in a buffer the
// caller frees with free(); the log starts again empty.
char* TMSim_TakeCallLog();

}  // extern "C"
