#pragma once
// A locale's short date and time of a message, as QLocale::toString(dateTime, ShortFormat) writes it,
// at a fraction of the cost: the format is read once, names and digits are taken from the locale
// once, and each date is written from its local wall-clock fields without a QDateTime.
//
// Writing it ourselves is only done where it is known to give Qt's very text: formats with parts we
// do not write (time zones, milliseconds) and any locale where a set of test dates covering every
// month, weekday, AM and PM and one- and two-digit field comes out differently use Qt all along.
#include <QLocale>
#include <QString>
#include <QStringList>

#include <ctime>
#include <vector>

class ShortDateTimeFormat {
public:
    explicit ShortDateTimeFormat(const QLocale& locale = QLocale::system());

    QString text(int appleSeconds) const;
    void append(QString& out, int appleSeconds) const;
    // True when dates are written by this class rather than by QLocale.
    bool writesItself() const { return m_writesItself; }

private:
    enum class Field { Literal, Day, Day2, DayShort, DayLong, Month, Month2, MonthShort, MonthLong,
                       Year2, Year4, Hour12, Hour12Padded, Hour, Hour2, Minute, Minute2, Second, Second2,
                       AmPmLower, AmPmUpper };
    struct Part {
        Field field;
        QString literal;
    };

    bool compile(const QString& format);
    void appendNumber(QString& out, int value, int width) const;
    QString fromFields(const std::tm& local) const;
    void appendFields(QString& out, const std::tm& local) const;
    QString qtText(const std::tm& local) const;

    QLocale m_locale;
    std::vector<Part> m_parts;
    bool m_writesItself = false;
    bool m_showsZone = false;
    QChar m_zero;
    QStringList m_monthShort, m_monthLong, m_dayShort, m_dayLong;  // months 1-12, days Monday=0
    QString m_amLower, m_pmLower, m_amUpper, m_pmUpper;
};
