#pragma once
// The two device libraries, loaded at start-up and then called by name: the MobileDevice library and,
// beside it, libtmcf.so, our CoreFoundation stand-in. The MobileDevice library is the file named by
// $TALLOWMERE_MOBILEDEVICE_LIB when that is set (the tests point it at the simulator), else libtmmd.so
// beside the program, else in <prefix>/lib/tallowmere. Both are loaded by absolute path, so the process
// holds one CoreFoundation instance: the one the MobileDevice library itself uses. The choice comes from
// the environment only, never from a file: loading a library runs its code.
#include <QString>
#include <QtGlobal>

namespace DeviceLibraries {

// Loads both libraries (again, on every call); false with "Failed to load (Mobile Device) framework."
// or "Failed to load (CoreFoundation) framework." when one cannot be loaded or lacks a function the
// program calls. A CoreFoundation failure leaves the MobileDevice library loaded. GUI thread only.
bool load(QString& error);
// True when the last load() succeeded.
bool isLoaded();
// What the last load() failed on: the file and the loader's reason (QLibrary names the file, or a
// dependency it lacks); "" after a success.
QString lastFailure();

// The address of the named symbol, or null. Any thread.
QFunctionPointer resolveMobileDevice(const char* name);
QFunctionPointer resolveCoreFoundation(const char* name);

// The named function with its declared type, or null:
//   mobileDeviceFunction<decltype(AMDeviceConnect)>("AMDeviceConnect")
template <class F>
F* mobileDeviceFunction(const char* name)
{
    return reinterpret_cast<F*>(resolveMobileDevice(name));
}

template <class F>
F* coreFoundationFunction(const char* name)
{
    return reinterpret_cast<F*>(resolveCoreFoundation(name));
}

// The named data symbol of CoreFoundation as a pointer to T, or null.
template <class T>
const T* coreFoundationData(const char* name)
{
    return reinterpret_cast<const T*>(resolveCoreFoundation(name));
}

}  // namespace DeviceLibraries
