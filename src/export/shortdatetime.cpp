#include "export/shortdatetime.h"

#include "msgdb/msgutil.h"

#include <QDateTime>

namespace {

int repeatCount(const QString& format, int at)
{
    int end = at;
    while (end < format.size() && format.at(end) == format.at(at))
        ++end;
    return end - at;
}

// Text between quotes as QLocale reads it: "''" is one quote, inside quotes or out.
QString quotedText(const QString& format, int& at)
{
    ++at;
    if (at < format.size() && format.at(at) == QLatin1Char('\'')) {
        ++at;
        return QStringLiteral("'");
    }
    QString text;
    while (at < format.size()) {
        if (format.at(at) == QLatin1Char('\'')) {
            if (at + 1 < format.size() && format.at(at + 1) == QLatin1Char('\'')) {
                text += QLatin1Char('\'');
                at += 2;
                continue;
            }
            ++at;
            break;
        }
        text += format.at(at++);
    }
    return text;
}

// Whether hours are written on a 12-hour clock: an a or A outside quotes.
bool hasAmPm(const QString& format)
{
    for (int at = 0; at < format.size();) {
        if (format.at(at) == QLatin1Char('\'')) {
            quotedText(format, at);
            continue;
        }
        if (format.at(at).toLower() == QLatin1Char('a'))
            return true;
        ++at;
    }
    return false;
}

// Dates that between them show every month and weekday, hours on both sides of noon and midnight,
// and one- and two-digit days, months, hours, minutes and seconds.
std::vector<std::tm> probeDates()
{
    std::vector<std::tm> dates;
    const int hours[] = {0, 1, 9, 11, 12, 13, 22, 23};
    for (int month = 1; month <= 12; ++month) {
        std::tm t{};
        t.tm_year = 1999 + month - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = month * 2 + 7;  // 9 to 31
        t.tm_hour = hours[month % 8];
        t.tm_min = month * 5 - 1;
        t.tm_sec = 60 - month * 5;
        dates.push_back(t);
    }
    for (int day = 1; day <= 7; ++day) {
        std::tm t{};
        t.tm_year = 2069 - 1900;
        t.tm_mon = 0;
        t.tm_mday = day;
        t.tm_hour = hours[day];
        t.tm_min = day;
        t.tm_sec = day;
        dates.push_back(t);
    }
    for (std::tm& t : dates) {
        const QDate date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
        t.tm_wday = date.dayOfWeek() % 7;
    }
    return dates;
}

}  // namespace

ShortDateTimeFormat::ShortDateTimeFormat(const QLocale& locale) : m_locale(locale)
{
    const QString format = locale.dateTimeFormat(QLocale::ShortFormat);
    // Conservative: a "t" anywhere, even quoted, counts.
    m_showsZone = format.contains(QLatin1Char('t'));
    if (m_showsZone || !compile(format))
        return;
    m_zero = locale.zeroDigit();
    for (int i = 1; i <= 12; ++i) {
        m_monthShort << locale.monthName(i, QLocale::ShortFormat);
        m_monthLong << locale.monthName(i, QLocale::LongFormat);
    }
    for (int i = 1; i <= 7; ++i) {
        m_dayShort << locale.dayName(i, QLocale::ShortFormat);
        m_dayLong << locale.dayName(i, QLocale::LongFormat);
    }
    m_amLower = locale.amText().toLower();
    m_pmLower = locale.pmText().toLower();
    m_amUpper = locale.amText().toUpper();
    m_pmUpper = locale.pmText().toUpper();
    m_writesItself = true;
    for (const std::tm& date : probeDates()) {
        if (fromFields(date) != qtText(date)) {
            m_writesItself = false;
            return;
        }
    }
}

bool ShortDateTimeFormat::compile(const QString& format)
{
    const bool twelveHours = hasAmPm(format);
    for (int at = 0; at < format.size();) {
        const QChar c = format.at(at);
        if (c == QLatin1Char('\'')) {
            m_parts.push_back({Field::Literal, quotedText(format, at)});
            continue;
        }
        int repeat = repeatCount(format, at);
        Field field = Field::Literal;
        switch (c.unicode()) {
        case 'y':
            if (repeat < 2) {
                m_parts.push_back({Field::Literal, QString(c)});
                ++at;
                continue;
            }
            repeat = repeat >= 4 ? 4 : 2;
            field = repeat == 4 ? Field::Year4 : Field::Year2;
            break;
        case 'M':
            repeat = qMin(repeat, 4);
            field = repeat == 1 ? Field::Month : repeat == 2 ? Field::Month2 : repeat == 3 ? Field::MonthShort : Field::MonthLong;
            break;
        case 'd':
            repeat = qMin(repeat, 4);
            field = repeat == 1 ? Field::Day : repeat == 2 ? Field::Day2 : repeat == 3 ? Field::DayShort : Field::DayLong;
            break;
        case 'h':
            repeat = qMin(repeat, 2);
            field = twelveHours ? (repeat == 1 ? Field::Hour12 : Field::Hour12Padded) : (repeat == 1 ? Field::Hour : Field::Hour2);
            break;
        case 'H':
            repeat = qMin(repeat, 2);
            field = repeat == 1 ? Field::Hour : Field::Hour2;
            break;
        case 'm':
            repeat = qMin(repeat, 2);
            field = repeat == 1 ? Field::Minute : Field::Minute2;
            break;
        case 's':
            repeat = qMin(repeat, 2);
            field = repeat == 1 ? Field::Second : Field::Second2;
            break;
        case 'a':
        case 'A': {
            const QChar p = c == QLatin1Char('a') ? QLatin1Char('p') : QLatin1Char('P');
            repeat = at + 1 < format.size() && format.at(at + 1) == p ? 2 : 1;
            field = c == QLatin1Char('a') ? Field::AmPmLower : Field::AmPmUpper;
            break;
        }
        case 'z':
        case 't':
            return false;  // milliseconds and zones: left to Qt
        default:
            m_parts.push_back({Field::Literal, QString(repeat, c)});
            at += repeat;
            continue;
        }
        m_parts.push_back({field, QString()});
        at += repeat;
    }
    return true;
}

void ShortDateTimeFormat::appendNumber(QString& out, int value, int width) const
{
    QChar digits[12];
    int count = 0;
    do {
        digits[count++] = QChar(m_zero.unicode() + value % 10);
        value /= 10;
    } while (value > 0);
    for (int i = count; i < width; ++i)
        out += m_zero;
    while (count > 0)
        out += digits[--count];
}

QString ShortDateTimeFormat::fromFields(const std::tm& t) const
{
    QString out;
    appendFields(out, t);
    return out;
}

void ShortDateTimeFormat::appendFields(QString& out, const std::tm& t) const
{
    const int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
    const int weekday = (t.tm_wday + 6) % 7;  // Monday first
    for (const Part& part : m_parts) {
        switch (part.field) {
        case Field::Literal: out += part.literal; break;
        case Field::Day: appendNumber(out, t.tm_mday, 1); break;
        case Field::Day2: appendNumber(out, t.tm_mday, 2); break;
        case Field::DayShort: out += m_dayShort.at(weekday); break;
        case Field::DayLong: out += m_dayLong.at(weekday); break;
        case Field::Month: appendNumber(out, t.tm_mon + 1, 1); break;
        case Field::Month2: appendNumber(out, t.tm_mon + 1, 2); break;
        case Field::MonthShort: out += m_monthShort.at(t.tm_mon); break;
        case Field::MonthLong: out += m_monthLong.at(t.tm_mon); break;
        case Field::Year2: appendNumber(out, (t.tm_year + 1900) % 100, 2); break;
        case Field::Year4: appendNumber(out, t.tm_year + 1900, 4); break;
        case Field::Hour12: appendNumber(out, hour12, 1); break;
        case Field::Hour12Padded: appendNumber(out, hour12, 2); break;
        case Field::Hour: appendNumber(out, t.tm_hour, 1); break;
        case Field::Hour2: appendNumber(out, t.tm_hour, 2); break;
        case Field::Minute: appendNumber(out, t.tm_min, 1); break;
        case Field::Minute2: appendNumber(out, t.tm_min, 2); break;
        case Field::Second: appendNumber(out, t.tm_sec, 1); break;
        case Field::Second2: appendNumber(out, t.tm_sec, 2); break;
        case Field::AmPmLower: out += t.tm_hour < 12 ? m_amLower : m_pmLower; break;
        case Field::AmPmUpper: out += t.tm_hour < 12 ? m_amUpper : m_pmUpper; break;
        }
    }
}

QString ShortDateTimeFormat::qtText(const std::tm& local) const
{
    // The local wall-clock time held in a UTC value prints the same fields, and printing it looks no
    // time zone up: a local QDateTime would, for every message. Only the zone's name would differ.
    const QDateTime wallClock(QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                              QTime(local.tm_hour, local.tm_min, local.tm_sec), Qt::UTC);
    return m_locale.toString(wallClock, QLocale::ShortFormat);
}

void ShortDateTimeFormat::append(QString& out, int appleSeconds) const
{
    std::tm local{};
    if (m_showsZone || !appleLocalTime(appleSeconds, local))
        out += m_locale.toString(appleTimeToDateTime(appleSeconds), QLocale::ShortFormat);
    else if (m_writesItself)
        appendFields(out, local);
    else
        out += qtText(local);
}

QString ShortDateTimeFormat::text(int appleSeconds) const
{
    QString out;
    append(out, appleSeconds);
    return out;
}
