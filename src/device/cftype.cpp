#include "device/cftype.h"

#include "device/devicelibraries.h"
#include "platform/plistparse.h"

#include <QFile>

#include <atomic>
#include <cmath>
#include <vector>

using DeviceLibraries::coreFoundationData;
using DeviceLibraries::coreFoundationFunction;

namespace {

constexpr qint64 kUnixSecondsAt2001 = 978307200;

// The callback tables, kept once found (a table the library has not got yet is looked up again).
template <class T>
const T* keptTable(std::atomic<const T*>& kept, const char* name)
{
    const T* table = kept.load(std::memory_order_acquire);
    if (!table) {
        table = coreFoundationData<T>(name);
        kept.store(table, std::memory_order_release);
    }
    return table;
}

const CFDictionaryKeyCallBacks* dictionaryKeyCallBacks()
{
    static std::atomic<const CFDictionaryKeyCallBacks*> kept{nullptr};
    return keptTable(kept, "kCFTypeDictionaryKeyCallBacks");
}

const CFDictionaryValueCallBacks* dictionaryValueCallBacks()
{
    static std::atomic<const CFDictionaryValueCallBacks*> kept{nullptr};
    return keptTable(kept, "kCFTypeDictionaryValueCallBacks");
}

const CFArrayCallBacks* arrayCallBacks()
{
    static std::atomic<const CFArrayCallBacks*> kept{nullptr};
    return keptTable(kept, "kCFTypeArrayCallBacks");
}

CFTypeRef createNumber(CFNumberType type, const void* value)
{
    auto* create = coreFoundationFunction<decltype(CFNumberCreate)>("CFNumberCreate");
    return create ? create(nullptr, type, value) : nullptr;
}

CFBooleanRef boolean(bool value)
{
    const CFBooleanRef* object = coreFoundationData<CFBooleanRef>(value ? "kCFBooleanTrue" : "kCFBooleanFalse");
    return object ? *object : nullptr;
}

CFTypeRef createString(const QString& value)
{
    auto* create = coreFoundationFunction<decltype(CFStringCreateWithBytes)>("CFStringCreateWithBytes");
    const QByteArray utf8 = value.toUtf8();
    return create ? create(nullptr, reinterpret_cast<const UInt8*>(utf8.constData()), utf8.size(),
                           kCFStringEncodingUTF8, false)
                  : nullptr;
}

CFTypeRef createData(const QByteArray& value)
{
    auto* create = coreFoundationFunction<decltype(CFDataCreate)>("CFDataCreate");
    return create ? create(nullptr, reinterpret_cast<const UInt8*>(value.constData()), value.size()) : nullptr;
}

// The instant to the whole second, made from its UTC calendar fields.
CFTypeRef createDate(const QDateTime& value)
{
    auto* absolute = coreFoundationFunction<decltype(CFGregorianDateGetAbsoluteTime)>("CFGregorianDateGetAbsoluteTime");
    auto* create = coreFoundationFunction<decltype(CFDateCreate)>("CFDateCreate");
    if (!value.isValid() || !absolute || !create)
        return nullptr;
    const QDateTime utc = value.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    const CFGregorianDate fields{int32_t(date.year()), int8_t(date.month()), int8_t(date.day()),
                                 int8_t(time.hour()), int8_t(time.minute()), double(time.second())};
    return create(nullptr, absolute(fields, nullptr));
}

template <class T>
bool numberValue(CFTypeRef ref, CFNumberType type, T& out)
{
    auto* get = coreFoundationFunction<decltype(CFNumberGetValue)>("CFNumberGetValue");
    return get && get(static_cast<CFNumberRef>(ref), type, &out);
}

}  // namespace

CFHolder::~CFHolder()
{
    if (!ref || !owned)
        return;
    if (auto* release = coreFoundationFunction<decltype(CFRelease)>("CFRelease"))
        release(ref);
}

CFType::CFType() : holder(QSharedPointer<CFHolder>::create(nullptr, true)) {}

CFType::CFType(CFTypeRef ref, bool owned) : holder(QSharedPointer<CFHolder>::create(ref, owned)) {}

CFType::CFType(bool value) : CFType(boolean(value), false) {}

CFType::CFType(qint8 value) : CFType(createNumber(kCFNumberSInt8Type, &value), true) {}

CFType::CFType(qint16 value) : CFType(createNumber(kCFNumberSInt16Type, &value), true) {}

CFType::CFType(qint32 value) : CFType(createNumber(kCFNumberSInt32Type, &value), true) {}

CFType::CFType(qint64 value) : CFType(createNumber(kCFNumberSInt64Type, &value), true) {}

CFType::CFType(float value) : CFType(createNumber(kCFNumberFloat32Type, &value), true) {}

CFType::CFType(double value) : CFType(createNumber(kCFNumberFloat64Type, &value), true) {}

CFType::CFType(CFIndexValue value) : CFType(createNumber(kCFNumberCFIndexType, &value.value), true) {}

CFType::CFType(const QString& value) : CFType(createString(value), true) {}

CFType::CFType(const QByteArray& value) : CFType(createData(value), true) {}

CFType::CFType(const QDateTime& value) : CFType(createDate(value), true) {}

CFType::~CFType() = default;

CFType CFType::dictionary()
{
    auto* create = coreFoundationFunction<decltype(CFDictionaryCreateMutable)>("CFDictionaryCreateMutable");
    return CFType(create ? create(nullptr, 0, dictionaryKeyCallBacks(), dictionaryValueCallBacks()) : nullptr, true);
}

CFType CFType::array()
{
    auto* create = coreFoundationFunction<decltype(CFArrayCreateMutable)>("CFArrayCreateMutable");
    return CFType(create ? create(nullptr, 0, arrayCallBacks()) : nullptr, true);
}

CFType CFType::fromPlistData(const QByteArray& bytes)
{
    auto* parse = coreFoundationFunction<decltype(CFPropertyListCreateWithData)>("CFPropertyListCreateWithData");
    const CFType data(bytes);
    if (!parse || !data.isData())
        return CFType();
    CFPropertyListFormat format = 0;
    CFErrorRef error = nullptr;
    return CFType(parse(nullptr, static_cast<CFDataRef>(data.ref()), kCFPropertyListImmutable, &format, &error), true);
}

CFType CFType::fromPlistFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return CFType();
    return fromPlistData(file.read(qint64(kMaxPropertyListBytes) + 1));
}

CFType CFType::clone() const
{
    return fromPlistData(toPlistData(kCFPropertyListXMLFormat_v1_0));
}

CFTypeRef CFType::ref() const
{
    return holder ? holder->ref : nullptr;
}

CFTypeID CFType::typeId() const
{
    auto* getType = coreFoundationFunction<decltype(CFGetTypeID)>("CFGetTypeID");
    auto* nullType = coreFoundationFunction<decltype(CFNullGetTypeID)>("CFNullGetTypeID");
    if (ref() && getType)
        return getType(ref());
    return nullType ? nullType() : 0;
}

bool CFType::isKind(const char* typeIdFunction) const
{
    auto* kindId = coreFoundationFunction<CFTypeID()>(typeIdFunction);
    return ref() && kindId && typeId() == kindId();
}

bool CFType::isNumber() const { return isKind("CFNumberGetTypeID"); }
bool CFType::isBoolean() const { return isKind("CFBooleanGetTypeID"); }
bool CFType::isString() const { return isKind("CFStringGetTypeID"); }
bool CFType::isData() const { return isKind("CFDataGetTypeID"); }
bool CFType::isDate() const { return isKind("CFDateGetTypeID"); }
bool CFType::isDictionary() const { return isKind("CFDictionaryGetTypeID"); }
bool CFType::isArray() const { return isKind("CFArrayGetTypeID"); }

bool CFType::toBool(bool defaultValue) const
{
    if (!isBoolean())
        return defaultValue;
    UInt8 byte = defaultValue ? 1 : 0;
    numberValue(ref(), kCFNumberSInt8Type, byte);
    return byte != 0;
}

int CFType::toInt(int defaultValue) const
{
    int32_t value = 0;
    return isNumber() && numberValue(ref(), kCFNumberSInt32Type, value) ? value : defaultValue;
}

qint64 CFType::toInt64(qint64 defaultValue) const
{
    int64_t value = 0;
    return isNumber() && numberValue(ref(), kCFNumberSInt64Type, value) ? value : defaultValue;
}

double CFType::toDouble(double defaultValue) const
{
    double value = 0.0;
    return isNumber() && numberValue(ref(), kCFNumberFloat64Type, value) ? value : defaultValue;
}

CFIndex CFType::stringLength() const
{
    auto* length = coreFoundationFunction<decltype(CFStringGetLength)>("CFStringGetLength");
    return isString() && length ? length(static_cast<CFStringRef>(ref())) : 0;
}

QString CFType::toString() const
{
    auto* getBytes = coreFoundationFunction<decltype(CFStringGetBytes)>("CFStringGetBytes");
    if (!isString() || !getBytes)
        return QString();
    const auto string = static_cast<CFStringRef>(ref());
    const CFRange all{0, stringLength()};
    constexpr UInt8 kLossByte = '?';
    CFIndex needed = 0;
    if (getBytes(string, all, kCFStringEncodingUTF8, kLossByte, false, nullptr, 0, &needed) == 0)
        return QString();
    QByteArray utf8(int(needed), '\0');
    CFIndex used = 0;
    if (getBytes(string, all, kCFStringEncodingUTF8, kLossByte, false, reinterpret_cast<UInt8*>(utf8.data()),
                 needed, &used) == 0)
        return QString();
    return QString::fromUtf8(utf8.constData(), int(used));
}

CFIndex CFType::dataLength() const
{
    auto* length = coreFoundationFunction<decltype(CFDataGetLength)>("CFDataGetLength");
    return isData() && length ? length(static_cast<CFDataRef>(ref())) : 0;
}

QByteArray CFType::toByteArray() const
{
    auto* getBytes = coreFoundationFunction<decltype(CFDataGetBytes)>("CFDataGetBytes");
    const CFIndex length = dataLength();
    if (!getBytes || length <= 0)
        return QByteArray();
    QByteArray bytes(int(length), '\0');
    getBytes(static_cast<CFDataRef>(ref()), CFRange{0, length}, reinterpret_cast<UInt8*>(bytes.data()));
    return bytes;
}

QDateTime CFType::dateTimeIn(CFTimeZoneRef zone) const
{
    auto* absolute = coreFoundationFunction<decltype(CFDateGetAbsoluteTime)>("CFDateGetAbsoluteTime");
    auto* fields = coreFoundationFunction<decltype(CFAbsoluteTimeGetGregorianDate)>("CFAbsoluteTimeGetGregorianDate");
    if (!isDate() || !absolute || !fields)
        return QDateTime();
    const CFAbsoluteTime at = absolute(static_cast<CFDateRef>(ref()));
    const CFGregorianDate calendar = fields(at, zone);
    const QDate date(calendar.year, calendar.month, calendar.day);
    const QTime time(calendar.hour, calendar.minute, int(calendar.second));
    if (!date.isValid() || !time.isValid())
        return QDateTime();
    if (!zone)
        return QDateTime(date, time, Qt::UTC);
    // The fields read as UTC lie the zone's offset away from the instant.
    const qint64 offset = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch() - (qint64(std::floor(at)) + kUnixSecondsAt2001);
    return QDateTime(date, time, Qt::OffsetFromUTC, int(offset));
}

QDateTime CFType::toDateTime(CFTimeZoneRef zone) const
{
    return dateTimeIn(zone);
}

QDateTime CFType::toDateTime(int offsetSeconds) const
{
    auto* create = coreFoundationFunction<decltype(CFTimeZoneCreateWithTimeIntervalFromGMT)>(
        "CFTimeZoneCreateWithTimeIntervalFromGMT");
    const CFType zone(create ? create(nullptr, offsetSeconds) : nullptr, true);
    return zone.ref() ? dateTimeIn(static_cast<CFTimeZoneRef>(zone.ref())) : QDateTime();
}

QDateTime CFType::toDateTime(const QString& zoneName) const
{
    if (zoneName.isEmpty())
        return dateTimeIn(nullptr);
    auto* create = coreFoundationFunction<decltype(CFTimeZoneCreateWithName)>("CFTimeZoneCreateWithName");
    const CFType name(zoneName);
    const CFType zone(create ? create(nullptr, static_cast<CFStringRef>(name.ref()), true) : nullptr, true);
    return zone.ref() ? dateTimeIn(static_cast<CFTimeZoneRef>(zone.ref())) : QDateTime();
}

QString CFType::toText() const
{
    if (isString())
        return toString();
    if (isNumber()) {
        auto* numberType = coreFoundationFunction<decltype(CFNumberGetType)>("CFNumberGetType");
        switch (numberType ? numberType(static_cast<CFNumberRef>(ref())) : 0) {
        case kCFNumberFloat32Type:
        case kCFNumberFloat64Type:
        case kCFNumberFloatType:
        case kCFNumberDoubleType: return QString::number(toDouble(0), 'g', 6);
        case kCFNumberSInt64Type:
        case kCFNumberLongLongType: return QString::number(toInt64(0));
        default: return QString::number(toInt(0));
        }
    }
    if (isBoolean())
        return toBool() ? QStringLiteral("1") : QStringLiteral("0");
    if (isDate())
        return toDateTime().toString(Qt::TextDate);
    if (isData())
        return QString::fromUtf8(toByteArray());
    return QString();
}

CFIndex CFType::count() const
{
    auto* count = coreFoundationFunction<decltype(CFDictionaryGetCount)>("CFDictionaryGetCount");
    return isDictionary() && count ? count(static_cast<CFDictionaryRef>(ref())) : 0;
}

CFIndex CFType::size() const
{
    auto* count = coreFoundationFunction<decltype(CFArrayGetCount)>("CFArrayGetCount");
    return isArray() && count ? count(static_cast<CFArrayRef>(ref())) : 0;
}

CFType CFType::borrowed(CFTypeRef item) const
{
    if (!item)
        return CFType();
    CFType result;
    result.holder = QSharedPointer<CFHolder>::create(item, false, holder);
    return result;
}

CFType CFType::value(const CFType& key) const
{
    auto* get = coreFoundationFunction<decltype(CFDictionaryGetValue)>("CFDictionaryGetValue");
    if (!isDictionary() || !get || !key.ref())
        return CFType();
    return borrowed(get(static_cast<CFDictionaryRef>(ref()), key.ref()));
}

CFType CFType::value(const QString& key) const
{
    return isDictionary() ? value(CFType(key)) : CFType();
}

CFType CFType::valueAt(CFIndex index) const
{
    auto* get = coreFoundationFunction<decltype(CFArrayGetValueAtIndex)>("CFArrayGetValueAtIndex");
    if (!get || index < 0 || index >= size())
        return CFType();
    return borrowed(get(static_cast<CFArrayRef>(ref()), index));
}

QList<CFType> CFType::keys() const
{
    auto* get = coreFoundationFunction<decltype(CFDictionaryGetKeysAndValues)>("CFDictionaryGetKeysAndValues");
    const CFIndex entries = count();
    if (!get || entries <= 0)
        return {};
    std::vector<const void*> buffer(size_t(entries), nullptr);
    get(static_cast<CFDictionaryRef>(ref()), buffer.data(), nullptr);
    QList<CFType> result;
    for (const void* key : buffer)
        result.append(borrowed(key));
    return result;
}

CFType& CFType::append(const CFType& item)
{
    auto* add = coreFoundationFunction<decltype(CFArrayAppendValue)>("CFArrayAppendValue");
    if (isArray() && add && item.ref()) {
        const CFType kept = item;  // copied first: item may be this array, whose list is about to grow
        keptElements.append(kept);
        add(static_cast<CFMutableArrayRef>(const_cast<void*>(ref())), item.ref());
    }
    return *this;
}

CFType& CFType::setValue(const CFType& key, const CFType& value)
{
    auto* set = coreFoundationFunction<decltype(CFDictionarySetValue)>("CFDictionarySetValue");
    if (isDictionary() && set && key.ref() && value.ref()) {
        keptEntries[key.holder] = value.holder;
        set(static_cast<CFMutableDictionaryRef>(const_cast<void*>(ref())), key.ref(), value.ref());
    }
    return *this;
}

CFType CFType::toPlist(CFPropertyListFormat format) const
{
    auto* create = coreFoundationFunction<decltype(CFPropertyListCreateData)>("CFPropertyListCreateData");
    if (!ref() || !create)
        return CFType();
    CFErrorRef error = nullptr;
    return CFType(create(nullptr, ref(), format, 0, &error), true);
}

QByteArray CFType::toPlistData(CFPropertyListFormat format) const
{
    return toPlist(format).toByteArray();
}
