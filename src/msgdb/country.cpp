#include "msgdb/country.h"

#include "core/datadir.h"
#include "core/fileutil.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>

#include <stdexcept>

namespace {

const QString kResourcePath = QStringLiteral(":/res/countries.db");

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// E-mail addresses and alphanumeric senders are not phone numbers.
bool hasLetterOrAt(const QString& text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u == '@')
            return true;
    }
    return false;
}

QString digitsAndPlus(const QString& text)
{
    QString kept;
    kept.reserve(text.size());
    for (const QChar c : text) {
        if (isAsciiDigit(c) || c == QLatin1Char('+'))
            kept.append(c);
    }
    return kept;
}

// An unreadable part counts as 0, which no allowed length ever equals.
QVector<int> parseLengths(const QString& numc)
{
    QVector<int> lengths;
    for (const QString& part : numc.split(QLatin1Char(',')))
        lengths.append(part.toInt());
    return lengths;
}

Sqlite3Sql countryByMccSql(const QString& mcc)
{
    return Sqlite3Sql("select c.* from mmc_sn as m inner join countries as c on m.[sn] = c.sn and m.mmc=?")
        .addTextParam(mcc);
}

// Copies the shipped database to path under a temporary name and renames it into place, so no reader
// ever sees a partial file. Two threads racing here both write whole copies; either one may win.
void copyShippedDatabase(const QString& path)
{
    QFile resource(kResourcePath);
    if (!resource.exists())
        throw std::runtime_error("can not find :res/countries.db.");
    QSaveFile copy(path);
    const auto fail = [&path](const QString& why) {
        return std::runtime_error(QStringLiteral("can not create %1. %2").arg(path, why).toStdString());
    };
    if (!resource.open(QIODevice::ReadOnly))
        throw fail(resource.errorString());
    const QByteArray bytes = resource.readAll();
    if (!copy.open(QIODevice::WriteOnly) || copy.write(bytes) != bytes.size() || !copy.commit())
        throw fail(copy.errorString());
    // Resource files are read-only; the copy must stay replaceable by its owner, and like every file of
    // the data folder it is the owner's alone.
    makeFilePrivate(path);
}

}  // namespace

Country::Country(QString sn, QString n, QString ln, QString pnum, QString mmc, QString numc, const QString& r1)
    : m_sn(std::move(sn)),
      m_n(std::move(n)),
      m_ln(std::move(ln)),
      m_pnum(std::move(pnum)),
      m_mmc(std::move(mmc)),
      m_numc(std::move(numc)),
      m_lengths(parseLengths(m_numc))
{
    // The group keeps a top-level alternation ("A|B") from matching only a prefix or a suffix.
    if (!r1.isEmpty()) {
        m_pattern = QStringLiteral("^(?:") + r1 + QStringLiteral(")$");
        m_regex.setPattern(m_pattern);
        m_regex.optimize();
    }
}

Country Country::fromCursor(const Sqlite3Cursor& row)
{
    return Country(row.getText(QStringLiteral("sn")), row.getText(QStringLiteral("n")),
                   row.getText(QStringLiteral("ln")), row.getText(QStringLiteral("pnum")),
                   row.getText(QStringLiteral("mmc")), row.getText(QStringLiteral("numc")),
                   row.getText(QStringLiteral("r1")));
}

bool Country::matches(const QString& number) const
{
    // An invalid pattern from a damaged file matches nothing.
    return !m_pattern.isEmpty() && m_regex.match(number).hasMatch();
}

bool Country::isAllowedLength(int length) const
{
    return length > 0 && m_lengths.contains(length);
}

QString Country::normalizeNumber(const QString& number) const
{
    if (hasLetterOrAt(number))
        return number.toLower();
    const QString d = digitsAndPlus(number);
    if (d.isEmpty() || d.contains(QLatin1Char('+')))
        return d;
    const int length = d.size();
    const QString plusCode = QStringLiteral("+") + m_pnum;
    if (isAllowedLength(length) && matches(d))
        return plusCode + d;
    if (d.startsWith(QLatin1Char('0')) && isAllowedLength(length - 1)) {
        const QString national = d.mid(1);
        if (matches(national))
            return plusCode + national;
    }
    if (d.startsWith(m_pnum) && isAllowedLength(length - m_pnum.size()))
        return QStringLiteral("+") + d;
    return d;
}

CountryLibDb::CountryLibDb(QString mcc) : m_mcc(std::move(mcc)) {}

QString CountryLibDb::dataFilePath()
{
    return ::dataFilePath(DataFile::Countries);
}

void CountryLibDb::open()
{
    if (isOpen())
        return;
    const QString path = dataFilePath();
    if (!QFile::exists(path))
        copyShippedDatabase(path);
    openThrow(path, 2);
    try {
        bool found = false;
        Country country = firstCountry(
            countryByMccSql(m_mcc),
            &found);
        if (found)
            m_defaultCountry = std::move(country);
    } catch (...) {
        close();  // e.g. a file that is not a database: stay closed so the next call retries
        throw;
    }
}

const Country& CountryLibDb::defaultCountry()
{
    open();
    return m_defaultCountry;
}

Country CountryLibDb::countryByMcc(const QString& mcc, bool* found)
{
    open();
    return firstCountry(
        countryByMccSql(mcc),
        found);
}

Country CountryLibDb::countryBySn(const QString& sn, bool* found)
{
    open();
    return firstCountry(Sqlite3Sql("select * from countries where sn=?").addTextParam(sn.toUpper()), found);
}

Country CountryLibDb::firstCountry(const Sqlite3Sql& sql, bool* found)
{
    Sqlite3Cursor cursor = queryThrow(sql);
    const bool hit = cursor.moveNext();
    if (found)
        *found = hit;
    return hit ? Country::fromCursor(cursor) : m_defaultCountry;
}
