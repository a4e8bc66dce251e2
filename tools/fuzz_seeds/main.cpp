// Writes the seed corpora of the fuzz targets from the test fixtures: small valid inputs the fuzzers
// mutate from. Run by hand when a fixture changes: fuzz_seeds <repo>/fuzz/corpus
#include "fixtures/backup_builder.h"
#include "fixtures/message_history.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <stdexcept>

namespace {

void writeSeed(const QDir& corpus, const QString& target, const QString& name, const QByteArray& content)
{
    QDir().mkpath(corpus.absoluteFilePath(target));
    QFile file(corpus.absoluteFilePath(target + QLatin1Char('/') + name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        throw std::runtime_error("cannot write seed " + name.toStdString());
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

void writeBackupSeeds(const QDir& corpus, const QTemporaryDir& scratch)
{
    fixtures::BackupBuilder builder;
    builder.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), QByteArray(64, 's'))
        .addFile(QStringLiteral("MediaDomain"), QStringLiteral("Library/SMS/Attachments/0a/00/photo.jpg"), "jpeg")
        .addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), "ab")
        .addFile(QStringLiteral("AppDomain-com.example.app"), QStringLiteral("Documents/a.txt"), "a");
    const QString folder = scratch.filePath(QStringLiteral("backup"));
    builder.write(folder);
    writeSeed(corpus, QStringLiteral("mbdb"), QStringLiteral("small.mbdb"),
              readAll(folder + QStringLiteral("/Manifest.mbdb")));

    for (const auto format : {fixtures::PlistFormat::Xml, fixtures::PlistFormat::Binary}) {
        const QByteArray plist = fixtures::BackupBuilder::manifestPlist(builder.device(), format);
        const QString name = format == fixtures::PlistFormat::Xml ? QStringLiteral("manifest.xml")
                                                                  : QStringLiteral("manifest.bplist");
        writeSeed(corpus, QStringLiteral("manifest_plist"), name, plist);
        writeSeed(corpus, QStringLiteral("plist"), name, plist);
    }
}

void writeMessageDbSeeds(const QDir& corpus, const QTemporaryDir& scratch)
{
    const QString path = scratch.filePath(QStringLiteral("sms.db"));
    fixtures::createIos6DeviceDb(path);
    fixtures::SampleHistoryOptions options;
    options.messages = 12;
    options.conversations = 3;
    fixtures::fillSampleHistory(path, options);
    writeSeed(corpus, QStringLiteral("message_db"), QStringLiteral("ios6.db"), readAll(path));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds <corpus folder>\n");
        return 2;
    }
    try {
        const QDir corpus(QString::fromLocal8Bit(argv[1]));
        QTemporaryDir scratch;
        writeBackupSeeds(corpus, scratch);
        writeMessageDbSeeds(corpus, scratch);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
