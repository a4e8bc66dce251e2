#include "msgdb/country.h"

#include "core/datadir.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <atomic>
#include <thread>

namespace {

// Spain as the tests see it: nine-digit numbers, mobiles start with 6.
Country handMadeSpain(const QString& r1 = QStringLiteral("6\\d{8}"))
{
    return Country(QStringLiteral("ES"), QStringLiteral("Spain"), QStringLiteral("España"), QStringLiteral("34"),
                   QStringLiteral("214"), QStringLiteral("9"), r1);
}

const char* const kFixtureCountries =
    "create table countries(sn char(2) primary key, ln text, pnum text, mmc text, numc text, u2 text,"
    " r1 text, r2 text, r3 text, r4 text, mnc_rx text, n text);"
    "create table mmc_sn(mmc char(3) primary key, sn char(2));"
    "insert into countries(sn, ln, pnum, mmc, numc, r1, n) values"
    " ('ES', 'España', '34', '214', '9', '6\\d{8}', 'Spain'),"
    " ('FR', 'France', '33', '208', '9', '[67]\\d{8}', 'France');"
    "insert into mmc_sn values ('214', 'ES'), ('208', 'FR');";

}  // namespace

TEST(CountryNormalize, NationalNumbersGainTheCallingCode)
{
    const Country es = handMadeSpain();
    EXPECT_EQ(es.normalizeNumber("612345678"), "+34612345678");                 // valid national number
    EXPECT_EQ(es.normalizeNumber("0612345678"), "+34612345678");                // trunk prefix dropped
    EXPECT_EQ(es.normalizeNumber("34912345678"), "+34912345678");               // calling code, no pattern test
    EXPECT_EQ(es.normalizeNumber(" (612) 34-56 78 "), "+34612345678");          // blanks, dashes, parentheses
    EXPECT_EQ(es.normalizeNumber("912345678"), "912345678");                    // pattern rejects, no prefix
    EXPECT_EQ(es.normalizeNumber("61234567"), "61234567");                      // wrong length
}

TEST(CountryNormalize, PlusLettersAndEmptyInput)
{
    const Country es = handMadeSpain();
    EXPECT_EQ(es.normalizeNumber("+33 6 12-34"), "+3361234");
    EXPECT_EQ(es.normalizeNumber("0612+345678"), "0612+345678");  // a plus anywhere leaves the digits alone
    EXPECT_EQ(es.normalizeNumber("John.Doe@Mail.ES"), "john.doe@mail.es");
    EXPECT_EQ(es.normalizeNumber("MyBank 24"), "mybank 24");
    EXPECT_EQ(es.normalizeNumber(""), "");
    EXPECT_EQ(es.normalizeNumber(" - ()"), "");
    // An unknown country used to turn an empty number into a lone "+".
    EXPECT_EQ(Country().normalizeNumber(""), "");
    EXPECT_EQ(Country().normalizeNumber("612 345 678"), "612345678");
}

TEST(CountryNormalize, WithoutPatternOnlyTheCallingCodeAddsPlus)
{
    const Country es = handMadeSpain(QString());
    EXPECT_TRUE(es.pattern().isEmpty());
    EXPECT_FALSE(es.matches("612345678"));
    EXPECT_EQ(es.normalizeNumber("612345678"), "612345678");
    EXPECT_EQ(es.normalizeNumber("0612345678"), "0612345678");
    EXPECT_EQ(es.normalizeNumber("34612345678"), "+34612345678");
    EXPECT_EQ(es.normalizeNumber("34"), "34");  // a calling code alone has no national number
}

TEST(CountryNormalize, AlternativesMatchTheWholeNumber)
{
    // Unanchored alternatives would accept "6" followed by anything, or anything ending in "7".
    const Country c = handMadeSpain(QStringLiteral("6\\d{8}|7\\d{8}"));
    EXPECT_TRUE(c.matches("612345678"));
    EXPECT_TRUE(c.matches("712345678"));
    EXPECT_FALSE(c.matches("6123456789"));
    EXPECT_FALSE(c.matches("5712345678"));
    EXPECT_EQ(c.pattern(), "^(?:6\\d{8}|7\\d{8})$");
}

TEST(CountryNormalize, AllowedLengths)
{
    const Country c(QStringLiteral("XX"), {}, {}, QStringLiteral("99"), {}, QStringLiteral("7,x,,10"), {});
    EXPECT_TRUE(c.isAllowedLength(7));
    EXPECT_TRUE(c.isAllowedLength(10));
    EXPECT_FALSE(c.isAllowedLength(8));
    EXPECT_FALSE(c.isAllowedLength(0));  // unreadable parts never allow an empty national number
    EXPECT_EQ(c.normalizeNumber("99"), "99");
}

class CountryLibDbTest : public TempHomeTest {};

TEST_F(CountryLibDbTest, FirstUseCopiesTheShippedFileAndKeepsItWritable)
{
    const QString path = CountryLibDb::dataFilePath();
    ASSERT_FALSE(QFile::exists(path));
    CountryLibDb lib(QStringLiteral("214"));
    EXPECT_EQ(lib.defaultCountry().sn(), "ES");
    EXPECT_TRUE(QFileInfo(path).isWritable());
    EXPECT_FALSE(QFile::exists(path + ".tmp"));

    // Later objects reuse the copy as it is.
    fixtures::createSqliteFile(path, kFixtureCountries);
    CountryLibDb again(QStringLiteral("208"));
    EXPECT_EQ(again.defaultCountry().n(), "France");
}

TEST_F(CountryLibDbTest, ThreadsRacingOnAFreshDataFolderAllSucceed)
{
    dataDir();  // resolve the folder once, as the program does before any job runs
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&failures] {
            try {
                CountryLibDb lib(QStringLiteral("310"));
                if (lib.defaultCountry().sn() != QLatin1String("US"))
                    ++failures;
            } catch (...) {
                ++failures;
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(CountryLibDbTest, LookupsByMccAndCodeFallBackToTheDefault)
{
    fixtures::createSqliteFile(CountryLibDb::dataFilePath(), kFixtureCountries);
    CountryLibDb lib(QStringLiteral("214"));
    bool found = false;
    const Country fr = lib.countryByMcc(QStringLiteral("208"), &found);
    EXPECT_TRUE(found);
    EXPECT_EQ(fr.sn(), "FR");
    EXPECT_EQ(fr.ln(), "France");
    EXPECT_EQ(fr.normalizeNumber("0712345678"), "+33712345678");

    EXPECT_EQ(lib.countryBySn(QStringLiteral("fr"), &found).pnum(), "33");
    EXPECT_TRUE(found);
    EXPECT_EQ(lib.countryBySn(QStringLiteral("zz"), &found).sn(), "ES");
    EXPECT_FALSE(found);
    EXPECT_EQ(lib.countryByMcc(QStringLiteral("999"), &found).sn(), "ES");
    EXPECT_FALSE(found);
    EXPECT_EQ(lib.countryByMcc(QStringLiteral("208")).sn(), "FR");  // found may be null

    CountryLibDb unknown(QStringLiteral("999"));
    EXPECT_TRUE(unknown.defaultCountry().sn().isNull());
    EXPECT_EQ(unknown.defaultCountry().normalizeNumber("612 345 678"), "612345678");
}

TEST_F(CountryLibDbTest, AFailedOpenStaysClosedAndRetries)
{
    fixtures::writeTextFile(CountryLibDb::dataFilePath(), QByteArray(4096, 'x'));
    CountryLibDb lib(QStringLiteral("214"));
    EXPECT_ANY_THROW(lib.defaultCountry());
    EXPECT_FALSE(lib.isOpen());

    fixtures::createSqliteFile(CountryLibDb::dataFilePath(), kFixtureCountries);
    EXPECT_EQ(lib.defaultCountry().sn(), "ES");
}

TEST_F(CountryLibDbTest, ShippedDataCoversTheCountriesAndNumbers)
{
    CountryLibDb lib(QStringLiteral("214"));
    lib.open();
    const auto count = [&lib](const char* sql) {
        Sqlite3Cursor c = lib.queryThrow(sql);
        return c.moveNext() ? c.getInt64(0) : -1;
    };
    EXPECT_GE(count("select count(*) from countries"), 240);
    EXPECT_GE(count("select count(*) from mmc_sn"), 230);
    EXPECT_GE(count("select count(distinct sn) from mmc_sn"), 220);
    EXPECT_EQ(count("select count(*) from mmc_sn where sn not in (select sn from countries)"), 0);
    EXPECT_LE(count("select count(*) from countries where r1 = ''"), 3);

    const Country& es = lib.defaultCountry();
    EXPECT_EQ(es.sn(), "ES");
    EXPECT_EQ(es.ln(), "España");
    EXPECT_EQ(es.normalizeNumber("612 34 56 78"), "+34612345678");
    EXPECT_EQ(es.normalizeNumber("912 34 56 78"), "912345678");  // a fixed line is not a mobile number

    bool found = false;
    const Country us = lib.countryByMcc(QStringLiteral("310"), &found);
    ASSERT_TRUE(found);
    EXPECT_EQ(us.sn(), "US");
    EXPECT_EQ(us.pnum(), "1");
    EXPECT_EQ(us.normalizeNumber("(201) 555-0123"), "+12015550123");
    EXPECT_EQ(us.normalizeNumber("1 201 555 0123"), "+12015550123");
    EXPECT_EQ(lib.countryByMcc(QStringLiteral("234")).sn(), "GB");
    EXPECT_EQ(lib.countryByMcc(QStringLiteral("262")).normalizeNumber("0151 23456789"), "+4915123456789");
}
