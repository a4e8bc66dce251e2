#include "devicelibs/tmmd/errorcodes.h"

#include <cstdlib>

namespace tmmd {

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
