#include "device/devicelibraries.h"

#include "core/assetdir.h"

#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <initializer_list>

namespace {

constexpr char kMobileDeviceOverride[] = "TALLOWMERE_MOBILEDEVICE_LIB";

// Everything the program calls: a library without one of them is not the one we need.
const std::initializer_list<const char*> kMobileDeviceSymbols = {
    "AMDeviceNotificationSubscribe", "AMDeviceConnect", "AMDeviceIsPaired", "AMDevicePair",
    "AMDeviceValidatePairing", "AMDeviceStartSession", "AMDeviceStopSession", "AMDeviceDisconnect",
    "AMDeviceCopyValue", "AMDeviceStartService", "AMDeviceCopyDeviceIdentifier", "AMDeviceSetValue",
};

const std::initializer_list<const char*> kCoreFoundationSymbols = {
    "CFRelease", "CFGetTypeID", "CFNullGetTypeID", "CFNumberGetTypeID", "CFBooleanGetTypeID",
    "CFStringGetTypeID", "CFDataGetTypeID", "CFDateGetTypeID", "CFDictionaryGetTypeID", "CFArrayGetTypeID",
    "CFNumberCreate", "CFNumberGetValue", "CFNumberGetType", "CFStringGetLength", "CFStringGetBytes",
    "CFStringCreateWithBytes", "CFDataGetLength", "CFDataGetBytes", "CFDataCreate", "CFDictionaryCreateMutable",
    "CFDictionaryGetValue", "CFDictionarySetValue", "CFDictionaryGetCount", "CFDictionaryGetKeysAndValues",
    "CFArrayCreateMutable", "CFArrayAppendValue", "CFArrayGetCount", "CFArrayGetValueAtIndex",
    "CFPropertyListCreateData", "CFPropertyListCreateWithData", "CFDateGetAbsoluteTime",
    "CFAbsoluteTimeGetGregorianDate", "CFGregorianDateGetAbsoluteTime", "CFDateCreate",
    "CFTimeZoneCreateWithTimeIntervalFromGMT", "CFTimeZoneCreateWithName", "kCFBooleanTrue", "kCFBooleanFalse",
    "kCFTypeDictionaryKeyCallBacks", "kCFTypeDictionaryValueCallBacks", "kCFTypeArrayCallBacks",
};

// Process-wide and never unloaded: values and handles of the libraries live as long as the process.
QLibrary& mobileDeviceLibrary()
{
    static QLibrary library;
    return library;
}

QLibrary& coreFoundationLibrary()
{
    static QLibrary library;
    return library;
}

// Whether the last load() found both libraries: QLibrary::isLoaded() also answers true for a file that
// another QLibrary of the process loaded, whatever became of our own load.
bool& loadSucceeded()
{
    static bool loaded = false;
    return loaded;
}

// The file the last load() failed on, and why.
QString& loadFailure()
{
    static QString failure;
    return failure;
}

QString mobileDevicePath()
{
    return programLibraryPath(QStringLiteral("libtmmd.so"), kMobileDeviceOverride);
}

bool loadWithSymbols(QLibrary& library, const QString& path, std::initializer_list<const char*> symbols)
{
    library.setFileName(path);
    if (!library.load()) {
        // QLibrary's text for a missing file names variants it also tried, not the file.
        loadFailure() = QFileInfo::exists(path) ? library.errorString() : path + QStringLiteral(": no such file");
        qWarning("cannot load %s: %s", qUtf8Printable(path), qUtf8Printable(loadFailure()));
        return false;
    }
    for (const char* symbol : symbols) {
        if (!library.resolve(symbol)) {
            loadFailure() = path + QStringLiteral(" has no ") + QLatin1String(symbol);
            qWarning("%s", qUtf8Printable(loadFailure()));
            library.unload();
            return false;
        }
    }
    return true;
}

}  // namespace

namespace DeviceLibraries {

bool load(QString& error)
{
    error.clear();
    loadSucceeded() = false;
    loadFailure().clear();
    const QString mobileDevice = mobileDevicePath();
    if (!loadWithSymbols(mobileDeviceLibrary(), mobileDevice, kMobileDeviceSymbols)) {
        error = QStringLiteral("Failed to load (Mobile Device) framework.");
        return false;
    }
    const QString coreFoundation = QFileInfo(mobileDevice).absoluteDir().filePath(QStringLiteral("libtmcf.so"));
    if (!loadWithSymbols(coreFoundationLibrary(), coreFoundation, kCoreFoundationSymbols)) {
        error = QStringLiteral("Failed to load (CoreFoundation) framework.");
        return false;
    }
    loadSucceeded() = true;
    return true;
}

bool isLoaded()
{
    return loadSucceeded();
}

QString lastFailure()
{
    return loadFailure();
}

QFunctionPointer resolveMobileDevice(const char* name)
{
    return mobileDeviceLibrary().isLoaded() ? mobileDeviceLibrary().resolve(name) : nullptr;
}

QFunctionPointer resolveCoreFoundation(const char* name)
{
    return coreFoundationLibrary().isLoaded() ? coreFoundationLibrary().resolve(name) : nullptr;
}

}  // namespace DeviceLibraries
