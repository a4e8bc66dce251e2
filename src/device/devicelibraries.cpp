#include "device/devicelibraries.h"

#include "device/devicebackend.h"

namespace DeviceLibraries {

bool load(QString& error)
{
    if (deviceBackend().isLoaded()) {
        error.clear();
        return true;
    }
    return deviceBackend().load(error);
}

bool isLoaded()
{
    return deviceBackend().isLoaded();
}

}  // namespace DeviceLibraries
