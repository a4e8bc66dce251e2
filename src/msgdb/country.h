#pragma once
// The country library: which country a mobile country code (MCC) stands for, and the rules that bring
// a phone number into one international form ("+" calling code national number) for that country.

#include "msgdb/absdb.h"

#include <QRegularExpression>
#include <QString>
#include <QVector>

class Sqlite3Cursor;

// One country of the library. A default-constructed Country has null texts and knows no numbers.
class Country {
public:
    Country() = default;
    // r1 is the pattern of valid national numbers without anchors; it must match the whole number.
    Country(QString sn, QString n, QString ln, QString pnum, QString mmc, QString numc, const QString& r1);

    // Reads the columns sn, n, ln, pnum, mmc, numc and r1 of the current row by name.
    static Country fromCursor(const Sqlite3Cursor& row);

    const QString& sn() const { return m_sn; }        // two-letter code, upper case
    const QString& n() const { return m_n; }          // English name
    const QString& ln() const { return m_ln; }        // name in the country's own language
    const QString& pnum() const { return m_pnum; }    // calling code, digits only
    const QString& mmc() const { return m_mmc; }      // comma-separated MCCs
    const QString& numc() const { return m_numc; }    // comma-separated allowed national lengths
    const QString& pattern() const { return m_pattern; }  // anchored pattern, "" when there is none

    // True when the whole number is a valid national number; false without a pattern.
    bool matches(const QString& number) const;
    // True when length is one of the allowed national lengths; never for a length below 1.
    bool isAllowedLength(int length) const;
    // The international form of number by this country's rules; texts with letters or "@" come back
    // lower-cased, numbers that already hold a "+" keep only their digits and plus signs.
    QString normalizeNumber(const QString& number) const;

private:
    QString m_sn, m_n, m_ln, m_pnum, m_mmc, m_numc, m_pattern;
    QRegularExpression m_regex;  // m_pattern, compiled once
    QVector<int> m_lengths;      // m_numc, parsed once
};

// The library itself: a copy of the shipped database in the data folder, opened on first use.
class CountryLibDb : public AbsDb {
public:
    explicit CountryLibDb(QString mcc);
    ~CountryLibDb() override = default;

    // Copies the shipped file into the data folder when missing, opens it and looks up the default
    // country. Any failure leaves the object closed, so the next call tries again.
    void open() override;

    const QString& mcc() const { return m_mcc; }
    // The country of this library's MCC; empty when the MCC is unknown.
    const Country& defaultCountry();
    // The country of an MCC, else a copy of the default country with *found false.
    Country countryByMcc(const QString& mcc, bool* found = nullptr);
    // The country of a two-letter code (any case), else a copy of the default country.
    Country countryBySn(const QString& sn, bool* found = nullptr);

    // Where the data-folder copy lives.
    static QString dataFilePath();

private:
    Country firstCountry(const Sqlite3Sql& sql, bool* found);

    QString m_mcc;
    Country m_defaultCountry;
};
