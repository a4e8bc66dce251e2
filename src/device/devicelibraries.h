#pragma once
// Loading of the device libraries, through the installed device backend.
#include <QString>

namespace DeviceLibraries {

// Loads them when not loaded yet; false with a text for the user when that fails.
bool load(QString& error);
bool isLoaded();

}  // namespace DeviceLibraries
