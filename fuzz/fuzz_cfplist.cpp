// Property lists a device sends, read by the CoreFoundation stand-in: parse, walk every value through
// the functions the program calls, write both formats and read them back. Every object made for an
// input must be freed again, once.
#include "fuzz_support.h"
#include "devicelibs/corefoundation.h"

#include <vector>

namespace {

void walk(CFTypeRef value, int depth)
{
    if (depth > 64)
        return;
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        const auto string = static_cast<CFStringRef>(value);
        const CFIndex length = CFStringGetLength(string);
        CFIndex needed = 0;
        CFStringGetBytes(string, {0, length}, kCFStringEncodingUTF8, '?', false, nullptr, 0, &needed);
        std::vector<UInt8> bytes(size_t(needed) + 1);
        CFStringGetBytes(string, {0, length}, kCFStringEncodingUTF8, '?', false, bytes.data(), needed, &needed);
    } else if (type == CFNumberGetTypeID() || type == CFBooleanGetTypeID()) {
        double real = 0;
        int32_t integer = 0;
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberFloat64Type, &real);
        CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &integer);
    } else if (type == CFDateGetTypeID()) {
        CFAbsoluteTimeGetGregorianDate(CFDateGetAbsoluteTime(static_cast<CFDateRef>(value)), nullptr);
    } else if (type == CFDictionaryGetTypeID()) {
        const auto dictionary = static_cast<CFDictionaryRef>(value);
        std::vector<const void*> keys(size_t(CFDictionaryGetCount(dictionary)));
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), nullptr);
        for (const void* key : keys) {
            walk(key, depth + 1);
            walk(CFDictionaryGetValue(dictionary, key), depth + 1);
        }
    } else if (type == CFArrayGetTypeID()) {
        const auto array = static_cast<CFArrayRef>(value);
        for (CFIndex i = 0; i < CFArrayGetCount(array); ++i)
            walk(CFArrayGetValueAtIndex(array, i), depth + 1);
    }
}

// Reads bytes as a property list, walks it and returns it (owned), or null.
CFPropertyListRef readAndWalk(const UInt8* bytes, CFIndex size)
{
    CFDataRef data = CFDataCreate(nullptr, bytes, size);
    CFPropertyListRef value = CFPropertyListCreateWithData(nullptr, data, 0, nullptr, nullptr);
    CFRelease(data);
    if (value)
        walk(value, 0);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const long liveBefore = TMCF_LiveObjectCount();
    CFPropertyListRef value = readAndWalk(data, CFIndex(size));
    for (const CFPropertyListFormat format : {kCFPropertyListXMLFormat_v1_0, kCFPropertyListBinaryFormat_v1_0}) {
        CFDataRef written = value ? CFPropertyListCreateData(nullptr, value, format, 0, nullptr) : nullptr;
        if (written) {
            std::vector<UInt8> bytes(size_t(CFDataGetLength(written)));
            CFDataGetBytes(written, {0, CFIndex(bytes.size())}, bytes.data());
            CFRelease(readAndWalk(bytes.data(), CFIndex(bytes.size())));
            CFRelease(written);
        }
    }
    CFRelease(value);
    if (TMCF_LiveObjectCount() != liveBefore)
        std::abort();  // an object leaked or was freed twice
    return 0;
}
