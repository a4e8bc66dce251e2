#pragma once
// The C interface of libtmcf.so, our CoreFoundation stand-in: the functions and data symbols the device
// layer looks up by name, with the semantics it relies on.
//
// - Every object returned by a Create or Copy function is owned by the caller and released once with
//   CFRelease; values got from a container are borrowed. Reference counts are atomic.
// - Dictionaries made with the CFType callback tables retain their keys and values and compare keys by
//   value (strings by content, numbers by value); arrays made with the CFType table retain their items.
//   Other callback tables are not supported: the Create functions return null for them.
// - String lengths and ranges count UTF-16 units.
// - Absolute time is seconds since 2001-01-01 00:00:00 UTC.
// - Wrong or null arguments give null, 0 or false, never a crash; so does an index outside a range.
// - kCFBooleanTrue and kCFBooleanFalse are variables holding the two boolean objects, which are never
//   freed; the three callback-table symbols are the tables themselves.
#include <cstdint>

extern "C" {

using CFTypeRef = const void*;
using CFIndex = long;
using CFTypeID = unsigned long;
using CFOptionFlags = unsigned long;
using Boolean = unsigned char;
using UInt8 = uint8_t;
using CFStringEncoding = uint32_t;
using CFNumberType = CFIndex;
using CFPropertyListFormat = CFIndex;
using CFAbsoluteTime = double;
using CFTimeInterval = double;

using CFAllocatorRef = const struct TMCFAllocator*;  // always null: the default allocator
using CFErrorRef = struct TMCFError*;                // never made: error outputs are set to null
using CFBooleanRef = const struct TMCFBoolean*;
using CFNumberRef = const struct TMCFNumber*;
using CFStringRef = const struct TMCFString*;
using CFDataRef = const struct TMCFData*;
using CFDateRef = const struct TMCFDate*;
using CFTimeZoneRef = const struct TMCFTimeZone*;
using CFDictionaryRef = const struct TMCFDictionary*;
using CFMutableDictionaryRef = struct TMCFDictionary*;
using CFArrayRef = const struct TMCFArray*;
using CFMutableArrayRef = struct TMCFArray*;
using CFPropertyListRef = CFTypeRef;

struct CFRange {
    CFIndex location;
    CFIndex length;
};

struct CFGregorianDate {
    int32_t year;
    int8_t month;
    int8_t day;
    int8_t hour;
    int8_t minute;
    double second;
};

// Only the addresses of the CFType tables matter; their content is the library's own.
struct CFDictionaryKeyCallBacks {
    CFIndex version;
};
struct CFDictionaryValueCallBacks {
    CFIndex version;
};
struct CFArrayCallBacks {
    CFIndex version;
};

enum : CFNumberType {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,
    kCFNumberShortType = 8,
    kCFNumberIntType = 9,
    kCFNumberLongType = 10,
    kCFNumberLongLongType = 11,
    kCFNumberFloatType = 12,
    kCFNumberDoubleType = 13,
    kCFNumberCFIndexType = 14,
    kCFNumberNSIntegerType = 15,
    kCFNumberCGFloatType = 16,
};

constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;
constexpr CFPropertyListFormat kCFPropertyListXMLFormat_v1_0 = 100;
constexpr CFPropertyListFormat kCFPropertyListBinaryFormat_v1_0 = 200;
constexpr CFOptionFlags kCFPropertyListImmutable = 0;

extern const CFBooleanRef kCFBooleanTrue;
extern const CFBooleanRef kCFBooleanFalse;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;

// Lifetime and types.
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);  // the null type for null
CFTypeID CFNullGetTypeID();
CFTypeID CFBooleanGetTypeID();
CFTypeID CFNumberGetTypeID();
CFTypeID CFStringGetTypeID();
CFTypeID CFDataGetTypeID();
CFTypeID CFDateGetTypeID();
CFTypeID CFDictionaryGetTypeID();
CFTypeID CFArrayGetTypeID();

// Numbers. GetValue also reads a boolean (as 0 or 1) and returns false when the value does not fit the
// asked type exactly (the nearest value is stored). GetType answers one of the types 1 to 6.
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType type, const void* valuePtr);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePtr);
CFNumberType CFNumberGetType(CFNumberRef number);

// Strings (UTF-8 only). GetBytes returns the number of UTF-16 units converted; without a buffer it
// counts the bytes the whole range needs. CreateWithBytes returns null for bytes that are not UTF-8.
CFIndex CFStringGetLength(CFStringRef string);
CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean isExternalRepresentation, UInt8* buffer, CFIndex maxBufLen, CFIndex* usedBufLen);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef allocator, const UInt8* bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);

// Data.
CFIndex CFDataGetLength(CFDataRef data);
void CFDataGetBytes(CFDataRef data, CFRange range, UInt8* buffer);
CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8* bytes, CFIndex length);

// Dictionaries. Keys come out in the order they were first set.
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks);
const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key);
void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value);
CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary);
void CFDictionaryGetKeysAndValues(CFDictionaryRef dictionary, const void** keys, const void** values);

// Arrays.
CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity, const CFArrayCallBacks* callBacks);
void CFArrayAppendValue(CFMutableArrayRef array, const void* value);
CFIndex CFArrayGetCount(CFArrayRef array);
const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index);

// Property lists, XML (100) and binary (200), through libplist. Null for values a property list cannot
// hold (time zones, non-string keys) and for data that does not parse.
CFDataRef CFPropertyListCreateData(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags options, CFErrorRef* error);
CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef allocator, CFDataRef data, CFOptionFlags options,
                                               CFPropertyListFormat* format, CFErrorRef* error);

// Dates and time zones (a null zone is UTC).
CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date);
CFDateRef CFDateCreate(CFAllocatorRef allocator, CFAbsoluteTime at);
CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef zone);
CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate date, CFTimeZoneRef zone);
CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(CFAllocatorRef allocator, CFTimeInterval offset);
CFTimeZoneRef CFTimeZoneCreateWithName(CFAllocatorRef allocator, CFStringRef name, Boolean tryAbbreviation);

// Not CoreFoundation: the number of objects alive (booleans aside), for tests that count leaks.
long TMCF_LiveObjectCount();

}  // extern "C"
