#pragma once
// The error codes of libtmmd.so. Its callers show them to the user ("AMDevicePair(-19)"), so each one
// names its cause: lockdown codes pass unchanged (-1 to -256), idevice codes (-1 to -7) are moved by
// -1000 so they cannot be taken for lockdown ones, and our own failures have codes of their own. No
// failure gives 0. A call on a phone that is no longer attached fails with kAMErrorNoDevice.
#include "devicelibs/mobiledeviceapi.h"

#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

#include <cstdint>

namespace tmmd {

enum : int32_t {
    kIdeviceBase = -1000,
    kUnknownDevice = -2001,  // a null handle, or one this library never handed out
    kNotConnected = -2002,   // no connection, or no session where the call needs one
    kBadArgument = -2003,    // a name that is no string, a value a property list cannot hold
    kBridgeFailed = -2004,   // the socket pair or the threads of a service could not be made
};

int32_t fromIdevice(idevice_error_t error);
int32_t fromLockdown(lockdownd_error_t error);

}  // namespace tmmd
