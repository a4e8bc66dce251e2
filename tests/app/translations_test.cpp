// Every text the sources pass through translation must have a finished English text in the catalogue,
// under the same context: a missing one would show its raw key to the user.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QTranslator>
#include <QXmlStreamReader>
#include <gtest/gtest.h>

namespace {

struct TsMessage {
    QString context;
    QString source;
    QString translation;
    bool finished = true;
};

QList<TsMessage> readTs(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<TsMessage> messages;
    QXmlStreamReader xml(&file);
    QString context;
    TsMessage current;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("message")) {
            current = TsMessage{context, {}, {}, true};
        } else if (xml.name() == QLatin1String("source")) {
            current.source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const QString type = xml.attributes().value(QLatin1String("type")).toString();
            current.finished = type.isEmpty();
            current.translation = xml.readElementText();
            messages.append(current);
        }
    }
    return messages;
}

TEST(TranslationCatalogue, EveryTranslatedTextOfTheSourcesIsFinished)
{
    QTemporaryDir work;
    const QString scanned = work.filePath(QStringLiteral("scanned.ts"));
    QProcess lupdate;
    lupdate.start(QStringLiteral(TALLOWMERE_LUPDATE),
                  {QStringLiteral("-silent"), QStringLiteral("-locations"), QStringLiteral("none"),
                   QStringLiteral(TALLOWMERE_SOURCE_DIR "/src"), QStringLiteral("-ts"), scanned});
    ASSERT_TRUE(lupdate.waitForFinished(120000));
    ASSERT_EQ(lupdate.exitCode(), 0) << lupdate.readAllStandardError().constData();

    QHash<QPair<QString, QString>, TsMessage> catalogue;
    for (const TsMessage& m : readTs(QStringLiteral(TALLOWMERE_SOURCE_DIR "/resources/translations/en.ts")))
        catalogue.insert({m.context, m.source}, m);
    const QList<TsMessage> used = readTs(scanned);
    ASSERT_FALSE(used.isEmpty());
    for (const TsMessage& m : used) {
        const auto found = catalogue.constFind({m.context, m.source});
        ASSERT_NE(found, catalogue.constEnd()) << "missing: " << qPrintable(m.context) << " / " << qPrintable(m.source);
        EXPECT_TRUE(found->finished && !found->translation.isEmpty())
            << "unfinished: " << qPrintable(m.context) << " / " << qPrintable(m.source);
    }
}

TEST(TranslationCatalogue, EmbeddedCatalogueTranslatesKeys)
{
    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(":/en.qm")));
    EXPECT_EQ(translator.translate("ItemModelMain", "IDS_ROOT_LOCALDB"), QStringLiteral("Local Databases"));
    EXPECT_TRUE(translator.translate("QObject", "IDS_NONE_INSTALL_ITUNES").contains(QLatin1String("%1")));
}

}  // namespace
