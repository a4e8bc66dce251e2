// Prints "<two-letter code>\t<country name in its own language>" for every country Qt's locale data
// knows, one per line, in code order. The country database generator reads this output.
#include <QLocale>
#include <QMap>
#include <QTextStream>

namespace {

// Two-letter code -> country, from the names ("ll_CC" or "ll_Ssss_CC") of every known locale.
QMap<QString, QLocale::Country> countriesByCode()
{
    QMap<QString, QLocale::Country> byCode;
    const auto all = QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyCountry);
    for (const QLocale& locale : all) {
        const QString code = locale.name().section(QLatin1Char('_'), -1);
        if (code.size() == 2 && code.at(0).isUpper())
            byCode.insert(code, locale.country());
    }
    return byCode;
}

// The country's main locale (its most likely language), else the first locale that names it.
QLocale mainLocale(QLocale::Country country)
{
    const QLocale likely(QLocale::AnyLanguage, country);
    if (likely.country() == country)
        return likely;
    const auto matching = QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, country);
    return matching.isEmpty() ? QLocale::c() : matching.first();
}

}  // namespace

int main()
{
    QTextStream out(stdout);
    out.setCodec("UTF-8");
    const auto byCode = countriesByCode();
    for (auto it = byCode.cbegin(); it != byCode.cend(); ++it) {
        const QString name = mainLocale(it.value()).nativeCountryName();
        if (!name.isEmpty())
            out << it.key() << '\t' << name << '\n';
    }
    return 0;
}
