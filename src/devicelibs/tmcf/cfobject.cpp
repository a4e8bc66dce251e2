// Lifetime, types, value equality, numbers, strings, data and the two containers of libtmcf.so.
#include "devicelibs/tmcf/cfobject.h"

#include "platform/seededhash.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>

using tmcf::as;
using tmcf::asMutable;

namespace tmcf {

std::atomic<long>& liveObjects()
{
    static std::atomic<long> count{0};
    return count;
}

CFTypeRef retain(CFTypeRef ref)
{
    const auto* object = static_cast<const Object*>(ref);
    if (object && !object->immortal)
        object->refs.fetch_add(1, std::memory_order_relaxed);
    return ref;
}

namespace {

template <class T>
void destroyAs(const Object* object)
{
    delete static_cast<const T*>(object);
}

void destroy(const Object* object)
{
    switch (object->type) {
    case kNumberType: destroyAs<TMCFNumber>(object); break;
    case kStringType: destroyAs<TMCFString>(object); break;
    case kDataType: destroyAs<TMCFData>(object); break;
    case kDateType: destroyAs<TMCFDate>(object); break;
    case kTimeZoneType: destroyAs<TMCFTimeZone>(object); break;
    case kDictionaryType: destroyAs<TMCFDictionary>(object); break;
    case kArrayType: destroyAs<TMCFArray>(object); break;
    default: return;  // not ours to free
    }
    liveObjects().fetch_sub(1, std::memory_order_relaxed);
}

bool sameNumber(const TMCFNumber& a, const TMCFNumber& b)
{
    if (!a.isFloat && !b.isFloat)
        return a.integer == b.integer;
    // Compared as long double, which holds every 64-bit integer and every double exactly.
    const long double x = a.isFloat ? static_cast<long double>(a.real) : static_cast<long double>(a.integer);
    const long double y = b.isFloat ? static_cast<long double>(b.real) : static_cast<long double>(b.integer);
    return x == y || (std::isnan(x) && std::isnan(y));
}

constexpr double kTwoTo63 = 9223372036854775808.0;

// Seeded like the texts: a dictionary's keys may come from a phone.
size_t realHash(double value)
{
    if (value == 0)
        value = 0;  // -0.0 equals 0.0
    qint64 bits;
    std::memcpy(&bits, &value, sizeof bits);
    return size_t(seededHash(bits));
}

size_t numberHash(const TMCFNumber& n)
{
    if (!n.isFloat)
        return size_t(seededHash(n.integer));
    if (std::isnan(n.real))
        return 0x7ff8;
    // An integral float hashes like the integer it equals.
    if (n.real == std::trunc(n.real) && n.real >= -kTwoTo63 && n.real < kTwoTo63)
        return size_t(seededHash(qint64(n.real)));
    return realHash(n.real);
}

bool sameDictionary(const TMCFDictionary& a, const TMCFDictionary& b)
{
    if (a.entries.size() != b.entries.size())
        return false;
    for (const auto& [key, value] : a.entries) {
        if (!equal(value, b.find(key)))
            return false;
    }
    return true;
}

bool sameArray(const TMCFArray& a, const TMCFArray& b)
{
    return std::equal(a.items.begin(), a.items.end(), b.items.begin(), b.items.end(), equal);
}

}  // namespace

void release(CFTypeRef ref)
{
    const auto* object = static_cast<const Object*>(ref);
    if (!object || object->immortal)
        return;
    if (object->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        destroy(object);
}

bool equal(CFTypeRef a, CFTypeRef b)
{
    if (a == b)
        return true;
    const auto* x = static_cast<const Object*>(a);
    const auto* y = static_cast<const Object*>(b);
    if (!x || !y || x->type != y->type)
        return false;
    switch (x->type) {
    case kNumberType: return sameNumber(*as<TMCFNumber>(a), *as<TMCFNumber>(b));
    case kStringType: return as<TMCFString>(a)->text == as<TMCFString>(b)->text;
    case kDataType: return as<TMCFData>(a)->bytes == as<TMCFData>(b)->bytes;
    case kDateType: return as<TMCFDate>(a)->at == as<TMCFDate>(b)->at;
    case kTimeZoneType: return as<TMCFTimeZone>(a)->zone == as<TMCFTimeZone>(b)->zone;
    case kDictionaryType: return sameDictionary(*as<TMCFDictionary>(a), *as<TMCFDictionary>(b));
    case kArrayType: return sameArray(*as<TMCFArray>(a), *as<TMCFArray>(b));
    default: return false;  // the booleans are equal only to themselves
    }
}

size_t hash(CFTypeRef ref)
{
    const auto* object = static_cast<const Object*>(ref);
    if (!object)
        return 0;
    switch (object->type) {
    case kBooleanType: return as<TMCFBoolean>(ref)->value ? 1 : 2;
    case kNumberType: return numberHash(*as<TMCFNumber>(ref));
    // Seeded: a phone's property lists fill these dictionaries with keys of its choosing.
    case kStringType: return size_t(seededHash(as<TMCFString>(ref)->text));
    case kDataType: return size_t(seededHash(as<TMCFData>(ref)->bytes));
    case kDateType: return realHash(as<TMCFDate>(ref)->at);
    case kTimeZoneType: return size_t(seededHash(as<TMCFTimeZone>(ref)->zone.id()));
    case kDictionaryType: return as<TMCFDictionary>(ref)->entries.size();
    case kArrayType: return as<TMCFArray>(ref)->items.size();
    default: return 0;
    }
}

}  // namespace tmcf

TMCFDictionary::~TMCFDictionary()
{
    for (const auto& [key, value] : entries) {
        tmcf::release(key);
        tmcf::release(value);
    }
}

const void* TMCFDictionary::find(CFTypeRef key) const
{
    const auto found = index.find(key);
    return found == index.end() ? nullptr : entries[found->second].second;
}

void TMCFDictionary::set(CFTypeRef key, CFTypeRef value)
{
    tmcf::retain(value);
    const auto found = index.find(key);
    if (found != index.end()) {
        tmcf::release(std::exchange(entries[found->second].second, value));
        return;
    }
    entries.emplace_back(tmcf::retain(key), value);
    index.emplace(key, entries.size() - 1);
}

TMCFArray::~TMCFArray()
{
    for (CFTypeRef item : items)
        tmcf::release(item);
}

void TMCFArray::append(CFTypeRef value)
{
    items.push_back(tmcf::retain(value));
}

namespace {

constexpr TMCFBoolean kTrueObject(true);
constexpr TMCFBoolean kFalseObject(false);

// Numbers ------------------------------------------------------------------------------------------

struct NumberKind {
    CFNumberType normal;  // 1 to 6
    int size;
    bool isFloat;
};

std::optional<NumberKind> numberKind(CFNumberType type)
{
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType: return NumberKind{kCFNumberSInt8Type, 1, false};
    case kCFNumberSInt16Type:
    case kCFNumberShortType: return NumberKind{kCFNumberSInt16Type, 2, false};
    case kCFNumberSInt32Type:
    case kCFNumberIntType: return NumberKind{kCFNumberSInt32Type, 4, false};
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType: return NumberKind{kCFNumberSInt64Type, 8, false};
    case kCFNumberFloat32Type:
    case kCFNumberFloatType: return NumberKind{kCFNumberFloat32Type, 4, true};
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType: return NumberKind{kCFNumberFloat64Type, 8, true};
    default: return std::nullopt;
    }
}

template <class T>
T load(const void* from)
{
    T value;
    std::memcpy(&value, from, sizeof value);
    return value;
}

qint64 loadInteger(const void* from, int size)
{
    switch (size) {
    case 1: return load<int8_t>(from);
    case 2: return load<int16_t>(from);
    case 4: return load<int32_t>(from);
    default: return load<int64_t>(from);
    }
}

// The value a number or a boolean holds, as a float flag with an integer or a real.
struct NumberValue {
    bool isFloat;
    qint64 integer;
    double real;
};

std::optional<NumberValue> numberValue(CFTypeRef ref)
{
    if (const auto* number = as<TMCFNumber>(ref))
        return NumberValue{number->isFloat, number->integer, number->real};
    if (const auto* boolean = as<TMCFBoolean>(ref))
        return NumberValue{false, boolean->value ? 1 : 0, 0.0};
    return std::nullopt;
}

// Stores the value as integer type I: truncated towards zero and clamped; true when nothing was lost.
template <class I>
bool storeInteger(const NumberValue& v, void* out)
{
    using Limits = std::numeric_limits<I>;
    I value = 0;
    bool exact = false;
    if (!v.isFloat) {
        exact = v.integer >= Limits::min() && v.integer <= Limits::max();
        value = exact ? I(v.integer) : (v.integer < 0 ? Limits::min() : Limits::max());
    } else if (std::isnan(v.real)) {
        value = 0;
    } else if (v.real < double(Limits::min())) {
        value = Limits::min();
    } else if (v.real >= -double(Limits::min())) {
        value = Limits::max();
    } else {
        value = I(v.real);
        exact = double(value) == v.real;
    }
    std::memcpy(out, &value, sizeof value);
    return exact;
}

template <class F>
bool storeFloat(const NumberValue& v, void* out)
{
    F value = 0;
    bool exact = false;
    if (!v.isFloat) {
        value = F(v.integer);
        exact = static_cast<long double>(value) == static_cast<long double>(v.integer);
    } else if (std::isfinite(v.real) && std::fabs(v.real) > double(std::numeric_limits<F>::max())) {
        value = v.real > 0 ? std::numeric_limits<F>::max() : std::numeric_limits<F>::lowest();
    } else {
        value = F(v.real);
        exact = std::isnan(v.real) || double(value) == v.real;
    }
    std::memcpy(out, &value, sizeof value);
    return exact;
}

// Strings ------------------------------------------------------------------------------------------

bool isContinuation(UInt8 byte)
{
    return (byte & 0xC0) == 0x80;
}

// Strict UTF-8: overlong forms, surrogates, values above U+10FFFF and cut sequences are refused.
std::optional<QString> decodeUtf8(const UInt8* bytes, CFIndex size)
{
    QString text;
    text.reserve(int(size));
    for (CFIndex i = 0; i < size;) {
        const UInt8 lead = bytes[i];
        const int extra = lead < 0x80 ? 0 : lead < 0xC2 ? -1 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : lead < 0xF5 ? 3 : -1;
        if (extra < 0 || extra >= size - i)
            return std::nullopt;
        char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            if (!isContinuation(bytes[i + k]))
                return std::nullopt;
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return std::nullopt;
        if (code >= 0x10000) {
            text.append(QChar(QChar::highSurrogate(uint(code))));
            text.append(QChar(QChar::lowSurrogate(uint(code))));
        } else {
            text.append(QChar(ushort(code)));
        }
        i += extra + 1;
    }
    return text;
}

// Appends the UTF-8 form of code to out; returns its length.
int encodeUtf8(char32_t code, UInt8* out)
{
    if (code < 0x80) {
        out[0] = UInt8(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = UInt8(0xC0 | (code >> 6));
        out[1] = UInt8(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = UInt8(0xE0 | (code >> 12));
        out[1] = UInt8(0x80 | ((code >> 6) & 0x3F));
        out[2] = UInt8(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = UInt8(0xF0 | (code >> 18));
    out[1] = UInt8(0x80 | ((code >> 12) & 0x3F));
    out[2] = UInt8(0x80 | ((code >> 6) & 0x3F));
    out[3] = UInt8(0x80 | (code & 0x3F));
    return 4;
}

bool rangeInside(CFRange range, CFIndex size)
{
    return range.location >= 0 && range.length >= 0 && range.location <= size && range.length <= size - range.location;
}

// Containers ---------------------------------------------------------------------------------------

// True when target can be reached from ref (or the structure is too deep to tell): putting ref into
// target would then make a cycle that could never be freed or written out.
bool reaches(CFTypeRef ref, CFTypeRef target, int depth)
{
    if (ref == target || depth > tmcf::kMaxDepth)
        return true;
    if (const auto* dictionary = as<TMCFDictionary>(ref)) {
        for (const auto& [key, value] : dictionary->entries) {
            if (reaches(key, target, depth + 1) || reaches(value, target, depth + 1))
                return true;
        }
    } else if (const auto* array = as<TMCFArray>(ref)) {
        for (CFTypeRef item : array->items) {
            if (reaches(item, target, depth + 1))
                return true;
        }
    }
    return false;
}

}  // namespace

extern "C" {

const CFBooleanRef kCFBooleanTrue = &kTrueObject;
const CFBooleanRef kCFBooleanFalse = &kFalseObject;
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {0};
const CFArrayCallBacks kCFTypeArrayCallBacks = {0};

void CFRelease(CFTypeRef cf)
{
    tmcf::release(cf);
}

CFTypeID CFGetTypeID(CFTypeRef cf)
{
    return cf ? static_cast<const tmcf::Object*>(cf)->type : CFTypeID(tmcf::kNullType);
}

CFTypeID CFNullGetTypeID() { return tmcf::kNullType; }
CFTypeID CFBooleanGetTypeID() { return tmcf::kBooleanType; }
CFTypeID CFNumberGetTypeID() { return tmcf::kNumberType; }
CFTypeID CFStringGetTypeID() { return tmcf::kStringType; }
CFTypeID CFDataGetTypeID() { return tmcf::kDataType; }
CFTypeID CFDateGetTypeID() { return tmcf::kDateType; }
CFTypeID CFDictionaryGetTypeID() { return tmcf::kDictionaryType; }
CFTypeID CFArrayGetTypeID() { return tmcf::kArrayType; }

long TMCF_LiveObjectCount()
{
    return tmcf::liveObjects().load();
}

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType type, const void* valuePtr)
{
    const std::optional<NumberKind> kind = numberKind(type);
    if (!kind || !valuePtr)
        return nullptr;
    if (!kind->isFloat)
        return tmcf::create<TMCFNumber>(kind->normal, loadInteger(valuePtr, kind->size));
    const double real = kind->size == 4 ? double(load<float>(valuePtr)) : load<double>(valuePtr);
    return tmcf::create<TMCFNumber>(kind->normal, real);
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* valuePtr)
{
    const std::optional<NumberValue> value = numberValue(number);
    const std::optional<NumberKind> kind = numberKind(type);
    if (!value || !kind || !valuePtr)
        return false;
    switch (kind->normal) {
    case kCFNumberSInt8Type: return storeInteger<int8_t>(*value, valuePtr);
    case kCFNumberSInt16Type: return storeInteger<int16_t>(*value, valuePtr);
    case kCFNumberSInt32Type: return storeInteger<int32_t>(*value, valuePtr);
    case kCFNumberSInt64Type: return storeInteger<int64_t>(*value, valuePtr);
    case kCFNumberFloat32Type: return storeFloat<float>(*value, valuePtr);
    default: return storeFloat<double>(*value, valuePtr);
    }
}

CFNumberType CFNumberGetType(CFNumberRef number)
{
    const auto* object = as<TMCFNumber>(number);
    return object ? object->type : 0;
}

CFIndex CFStringGetLength(CFStringRef string)
{
    const auto* object = as<TMCFString>(string);
    return object ? object->text.size() : 0;
}

CFIndex CFStringGetBytes(CFStringRef string, CFRange range, CFStringEncoding encoding, UInt8 lossByte, Boolean,
                         UInt8* buffer, CFIndex maxBufLen, CFIndex* usedBufLen)
{
    const auto* object = as<TMCFString>(string);
    CFIndex used = 0;
    CFIndex converted = 0;
    if (object && encoding == kCFStringEncodingUTF8 && rangeInside(range, object->text.size())) {
        const QString& text = object->text;
        const CFIndex end = range.location + range.length;
        for (CFIndex i = range.location; i < end;) {
            const QChar unit = text.at(int(i));
            const bool pair = unit.isHighSurrogate() && i + 1 < end && text.at(int(i + 1)).isLowSurrogate();
            UInt8 bytes[4];
            int size = 0;
            if (pair)
                size = encodeUtf8(QChar::surrogateToUcs4(unit, text.at(int(i + 1))), bytes);
            else if (unit.isSurrogate() && lossByte)
                bytes[size++] = lossByte;
            else if (!unit.isSurrogate())
                size = encodeUtf8(unit.unicode(), bytes);
            if (size == 0 || (buffer && used + size > maxBufLen))
                break;  // an unpaired surrogate without a loss byte, or a full buffer
            if (buffer)
                std::memcpy(buffer + used, bytes, size_t(size));
            used += size;
            const CFIndex units = pair ? 2 : 1;
            converted += units;
            i += units;
        }
    }
    if (usedBufLen)
        *usedBufLen = used;
    return converted;
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes, CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean)
{
    if (encoding != kCFStringEncodingUTF8 || numBytes < 0 || (!bytes && numBytes > 0)
        || numBytes > std::numeric_limits<int>::max())
        return nullptr;
    std::optional<QString> text = decodeUtf8(bytes, numBytes);
    return text ? tmcf::create<TMCFString>(std::move(*text)) : nullptr;
}

CFIndex CFDataGetLength(CFDataRef data)
{
    const auto* object = as<TMCFData>(data);
    return object ? object->bytes.size() : 0;
}

void CFDataGetBytes(CFDataRef data, CFRange range, UInt8* buffer)
{
    const auto* object = as<TMCFData>(data);
    if (object && buffer && rangeInside(range, object->bytes.size()) && range.length > 0)
        std::memcpy(buffer, object->bytes.constData() + range.location, size_t(range.length));
}

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8* bytes, CFIndex length)
{
    if (length < 0 || (!bytes && length > 0) || length > std::numeric_limits<int>::max())
        return nullptr;
    return tmcf::create<TMCFData>(QByteArray(reinterpret_cast<const char*>(bytes), int(length)));
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef, CFIndex, const CFDictionaryKeyCallBacks* keyCallBacks,
                                                 const CFDictionaryValueCallBacks* valueCallBacks)
{
    if (keyCallBacks != &kCFTypeDictionaryKeyCallBacks || valueCallBacks != &kCFTypeDictionaryValueCallBacks)
        return nullptr;
    return tmcf::create<TMCFDictionary>(true);
}

const void* CFDictionaryGetValue(CFDictionaryRef dictionary, const void* key)
{
    const auto* object = as<TMCFDictionary>(dictionary);
    return object && key ? object->find(key) : nullptr;
}

void CFDictionarySetValue(CFMutableDictionaryRef dictionary, const void* key, const void* value)
{
    auto* object = asMutable<TMCFDictionary>(dictionary);
    if (!object || !object->mutableContent || !key || !value || reaches(key, object, 0) || reaches(value, object, 0))
        return;
    object->set(key, value);
}

CFIndex CFDictionaryGetCount(CFDictionaryRef dictionary)
{
    const auto* object = as<TMCFDictionary>(dictionary);
    return object ? CFIndex(object->entries.size()) : 0;
}

void CFDictionaryGetKeysAndValues(CFDictionaryRef dictionary, const void** keys, const void** values)
{
    const auto* object = as<TMCFDictionary>(dictionary);
    if (!object)
        return;
    for (size_t i = 0; i < object->entries.size(); ++i) {
        if (keys)
            keys[i] = object->entries[i].first;
        if (values)
            values[i] = object->entries[i].second;
    }
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex, const CFArrayCallBacks* callBacks)
{
    return callBacks == &kCFTypeArrayCallBacks ? tmcf::create<TMCFArray>(true) : nullptr;
}

void CFArrayAppendValue(CFMutableArrayRef array, const void* value)
{
    auto* object = asMutable<TMCFArray>(array);
    if (object && object->mutableContent && value && !reaches(value, object, 0))
        object->append(value);
}

CFIndex CFArrayGetCount(CFArrayRef array)
{
    const auto* object = as<TMCFArray>(array);
    return object ? CFIndex(object->items.size()) : 0;
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index)
{
    const auto* object = as<TMCFArray>(array);
    return object && index >= 0 && size_t(index) < object->items.size() ? object->items[size_t(index)] : nullptr;
}

}  // extern "C"
