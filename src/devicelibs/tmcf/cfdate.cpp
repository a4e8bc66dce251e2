// Dates, calendar fields and time zones of libtmcf.so. Calendar arithmetic is proleptic Gregorian on
// plain integers; QTimeZone answers a zone's offset at an instant.
#include "devicelibs/tmcf/cfobject.h"

#include <QDateTime>

#include <cmath>

using tmcf::as;

namespace {

constexpr qint64 kSecondsPerDay = 86400;
constexpr qint64 kUnixDaysAt2001 = 11323;  // 1970-01-01 to 2001-01-01
// Beyond some 300,000 years either way the fields are not computed (they would not fit).
constexpr double kLargestTime = 1e13;

qint64 floorDiv(qint64 value, qint64 divisor)
{
    const qint64 quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

// Days since 1970-01-01 of a date, and back (month 1 to 12).
qint64 daysFromCivil(qint64 year, int month, int day)
{
    year -= month <= 2;
    const qint64 era = floorDiv(year, 400);
    const qint64 yearOfEra = year - era * 400;
    const qint64 dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const qint64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

CFGregorianDate civilFromDays(qint64 days)
{
    days += 719468;
    const qint64 era = floorDiv(days, 146097);
    const qint64 dayOfEra = days - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 monthIndex = (5 * dayOfYear + 2) / 153;
    const int month = int(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    CFGregorianDate date{};
    date.year = int32_t(yearOfEra + era * 400 + (month <= 2));
    date.month = int8_t(month);
    date.day = int8_t(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    return date;
}

bool computable(double at)
{
    return std::isfinite(at) && std::fabs(at) <= kLargestTime;
}

// The zone's offset from UTC at the instant, in seconds; 0 without a zone.
int offsetAt(CFTimeZoneRef zone, CFAbsoluteTime at)
{
    const auto* object = as<TMCFTimeZone>(zone);
    if (!object || !computable(at))
        return 0;
    const qint64 unixMs = qint64(std::floor(at)) * 1000 + kUnixDaysAt2001 * kSecondsPerDay * 1000;
    return object->zone.offsetFromUtc(QDateTime::fromMSecsSinceEpoch(unixMs, Qt::UTC));
}

}  // namespace

extern "C" {

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef date)
{
    const auto* object = as<TMCFDate>(date);
    return object ? object->at : 0.0;
}

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at)
{
    return tmcf::create<TMCFDate>(at);
}

CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef zone)
{
    if (!computable(at))
        return CFGregorianDate{};
    const double local = at + offsetAt(zone, at);
    const double whole = std::floor(local);
    const auto seconds = qint64(whole);
    const qint64 days = floorDiv(seconds, kSecondsPerDay);
    const qint64 ofDay = seconds - days * kSecondsPerDay;
    CFGregorianDate date = civilFromDays(days + kUnixDaysAt2001);
    date.hour = int8_t(ofDay / 3600);
    date.minute = int8_t(ofDay % 3600 / 60);
    date.second = double(ofDay % 60) + (local - whole);
    return date;
}

CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate date, CFTimeZoneRef zone)
{
    // Months outside 1 to 12 carry into the year; days, hours and minutes simply add up.
    const qint64 monthIndex = qint64(date.month) - 1;
    const qint64 year = qint64(date.year) + floorDiv(monthIndex, 12);
    const int month = int(monthIndex - floorDiv(monthIndex, 12) * 12) + 1;
    const qint64 days = daysFromCivil(year, month, 1) - kUnixDaysAt2001 + (date.day - 1);
    const double local = double(days * kSecondsPerDay + date.hour * 3600 + date.minute * 60) + date.second;
    // The offset that applies to this local time: the one at the instant it names.
    return local - offsetAt(zone, local - offsetAt(zone, local));
}

CFTimeZoneRef CFTimeZoneCreateWithTimeIntervalFromGMT(CFAllocatorRef, CFTimeInterval offset)
{
    if (!std::isfinite(offset) || std::fabs(offset) > 18 * 3600)
        return nullptr;
    const QTimeZone zone(int(std::lround(offset)));
    return zone.isValid() ? tmcf::create<TMCFTimeZone>(zone) : nullptr;
}

CFTimeZoneRef CFTimeZoneCreateWithName(CFAllocatorRef, CFStringRef name, Boolean)
{
    const auto* object = as<TMCFString>(name);
    if (!object || object->text.isEmpty())
        return nullptr;
    const QTimeZone zone(object->text.toUtf8());
    return zone.isValid() ? tmcf::create<TMCFTimeZone>(zone) : nullptr;
}

}  // extern "C"
