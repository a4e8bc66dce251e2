#include "devicelibs/tmmd/errorcodes.h"

#include <cstdlib>

namespace tmmd {

// The failures the program tells apart are these libraries' own.
static_assert(int32_t(LOCKDOWN_E_MUX_ERROR) == kAMErrorConnectionLost);
static_assert(int32_t(LOCKDOWN_E_INVALID_HOST_ID) == kAMErrorInvalidHostID);
static_assert(kIdeviceBase + int32_t(IDEVICE_E_UNKNOWN_ERROR) == kAMErrorConnectFailed);
static_assert(kIdeviceBase + int32_t(IDEVICE_E_NO_DEVICE) == kAMErrorNoDevice);

// Both libraries fail with negative codes; a code of any other sign still must not read as success.
int32_t fromIdevice(idevice_error_t error)
{
    return error == IDEVICE_E_SUCCESS ? 0 : kIdeviceBase - std::abs(int32_t(error));
}

int32_t fromLockdown(lockdownd_error_t error)
{
    return error == LOCKDOWN_E_SUCCESS ? 0 : -std::abs(int32_t(error));
}

}  // namespace tmmd
