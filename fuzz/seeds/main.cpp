// Writes the seed corpora of the fuzz targets from the test fixtures: small valid inputs the fuzzers
// mutate from. Run by hand when a fixture changes: fuzz_seeds <repo>/fuzz/corpus
#include "core/plistnode.h"
#include "fixtures/address_book.h"
#include "fixtures/backup_builder.h"
#include "fixtures/deleted_records.h"
#include "fixtures/device_archive.h"
#include "fixtures/ios5_history.h"
#include "fixtures/message_history.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QVariantMap>
#include <QtEndian>

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

void writeSeed(const QDir& corpus, const QString& target, const QString& name, const QByteArray& content)
{
    QDir().mkpath(corpus.absoluteFilePath(target));
    QFile file(corpus.absoluteFilePath(target + QLatin1Char('/') + name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        throw std::runtime_error("cannot write seed " + name.toStdString());
}

// A property list for both readers: the program's values and the CoreFoundation stand-in's.
void writePlistSeed(const QDir& corpus, const QString& name, const QByteArray& content)
{
    writeSeed(corpus, QStringLiteral("plist"), name, content);
    writeSeed(corpus, QStringLiteral("cfplist"), name, content);
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read " + path.toStdString());
    return file.readAll();
}

// Small pages and no free space: a seed of a few kilobytes lets the fuzzer run many more inputs.
void runScript(const QString& path, const char* script)
{
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    if (opened != SQLITE_OK || sqlite3_exec(db.get(), script, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error("cannot change " + path.toStdString() + ": " + sqlite3_errmsg(db.get()));
}

void compactDatabase(const QString& path)
{
    runScript(path, "PRAGMA journal_mode=DELETE; PRAGMA page_size=512; VACUUM;");
}

fixtures::SampleHistoryOptions fewRows()
{
    fixtures::SampleHistoryOptions options;
    options.messages = 12;
    options.conversations = 3;
    return options;
}

void writeContactsSeeds(const QDir& corpus, const QTemporaryDir& scratch)
{
    const QString book = fixtures::writeAddressBook(scratch.filePath(QStringLiteral("contacts")),
                                                    fixtures::sampleAddressBook(), false);
    compactDatabase(book);
    writeSeed(corpus, QStringLiteral("contacts"), QStringLiteral("address_book.db"), readAll(book));
}

void writeKeyBagSeeds(const QDir& corpus)
{
    const fixtures::BackupEncryption encryption;
    const QByteArray keyBag = encryption.keyBag();
    // A file key of class 3 at the end, where the harness takes the key it unwraps.
    writeSeed(corpus, QStringLiteral("keybag"), QStringLiteral("keybag.bin"),
              keyBag + fixtures::storedFileKey(3, encryption.classKeys.value(3), QByteArray(32, 'f')).mid(4));

    fixtures::BackupBuilder builder;
    builder.setEncryption(encryption);
    const QByteArray manifest =
        fixtures::BackupBuilder::manifestPlist(builder.device(), fixtures::PlistFormat::Binary);
    writeSeed(corpus, QStringLiteral("manifest_plist"), QStringLiteral("encrypted.bplist"), manifest);
    writePlistSeed(corpus, QStringLiteral("encrypted.bplist"), manifest);
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
        writePlistSeed(corpus, name, plist);
    }
}

void writeMessageDbSeeds(const QDir& corpus, const QTemporaryDir& scratch)
{
    const QString ios6 = scratch.filePath(QStringLiteral("ios6/sms.db"));
    fixtures::createIos6DeviceDb(ios6);
    fixtures::fillSampleHistory(ios6, fewRows());
    compactDatabase(ios6);
    writeSeed(corpus, QStringLiteral("message_db"), QStringLiteral("ios6.db"), readAll(ios6));

    const QString ios5 = scratch.filePath(QStringLiteral("ios5/sms.db"));
    fixtures::createIos5DeviceDb(ios5);
    fixtures::fillSampleHistory(ios5, fewRows());
    compactDatabase(ios5);
    writeSeed(corpus, QStringLiteral("message_db"), QStringLiteral("ios5.db"), readAll(ios5));

    // Hostile: the message table behind a view that never ends, which once hung the reader.
    runScript(ios5,
              "ALTER TABLE message RENAME TO message_rows;"
              "CREATE VIEW message AS WITH RECURSIVE r(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r)"
              " SELECT message_rows.* FROM message_rows, r; VACUUM;");
    writeSeed(corpus, QStringLiteral("message_db"), QStringLiteral("endless_view.db"), readAll(ios5));
}

// What a device answers for its own values: every kind of value, negative numbers and an early date.
void writeDeviceValueSeeds(const QDir& corpus)
{
    PlistNode values = PlistNode::newDict();
    values.setValue(QStringLiteral("DeviceName"), PlistNode::fromString(QStringLiteral("Zoë's \U0001F4F1")));
    values.setValue(QStringLiteral("Offset"), PlistNode::fromUInt64(quint64(-7200)));
    values.setValue(QStringLiteral("Ratio"), PlistNode::fromDouble(0.5));
    values.setValue(QStringLiteral("CloudBackupEnabled"), PlistNode::fromBool(false));
    values.setValue(QStringLiteral("Token"), PlistNode::fromByteArray(QByteArray("\0\x01\xfe", 3)));
    values.setValue(QStringLiteral("Activated"), PlistNode::fromDateTime(QDateTime(QDate(1999, 1, 2), QTime(3, 4, 5), Qt::UTC)));
    PlistNode list = PlistNode::newArray();
    list.append(PlistNode::fromString(QStringLiteral("com.apple.mobile.file_relay")));
    values.setValue(QStringLiteral("Services"), list);
    writeSeed(corpus, QStringLiteral("cfplist"), QStringLiteral("device_values.xml"), values.toXml().toUtf8());
    writeSeed(corpus, QStringLiteral("cfplist"), QStringLiteral("device_values.bplist"), values.toBinary());
}

// What a device's file relay sends: its folders and a small database, and the same with entries that
// must never be unpacked (names leading outside, a link, a device node).
void writeArchiveSeeds(const QDir& corpus)
{
    const QList<fixtures::ArchiveEntry> plain = fixtures::deviceDbEntries(QByteArray(600, 's'));
    writeSeed(corpus, QStringLiteral("filerelay_archive"), QStringLiteral("device_db.cpio.gz"), fixtures::makeArchive(plain));
    const QList<fixtures::ArchiveEntry> hostile{{QStringLiteral("../outside"), S_IFREG, "x"},
                                                {QStringLiteral("/tmp/outside"), S_IFREG, "x"},
                                                {QStringLiteral("./var/link"), S_IFLNK, "/etc"},
                                                {QStringLiteral("./var/link/passwd"), S_IFREG, "x"},
                                                {QStringLiteral("./var/dev"), S_IFCHR, {}}};
    writeSeed(corpus, QStringLiteral("filerelay_archive"), QStringLiteral("hostile.cpio.gz"),
              fixtures::makeArchive(plain + hostile));
}

// Small pages with deleted messages in freeblocks, gaps, overflow chains and freelist leaves.
void writeRawSqliteSeeds(const QDir& corpus, const QTemporaryDir& scratch)
{
    fixtures::DeletedRecordsOptions options;
    options.pageSize = 512;
    options.messages = 24;
    options.longMessages = 1;
    const QString ios6 = scratch.filePath(QStringLiteral("raw/ios6.db"));
    fixtures::createDeletedRecordsDb(ios6, options);
    writeSeed(corpus, QStringLiteral("raw_sqlite"), QStringLiteral("ios6_deleted.db"), readAll(ios6));

    options.layout = fixtures::DeviceLayout::IOS5;
    options.longMessages = 0;
    options.deletePercent = 100;
    const QString ios5 = scratch.filePath(QStringLiteral("raw/ios5.db"));
    fixtures::createDeletedRecordsDb(ios5, options);
    writeSeed(corpus, QStringLiteral("raw_sqlite"), QStringLiteral("ios5_emptied.db"), readAll(ios5));
}

// An AFC reply as the simulated device sends it: the header, then the payload.
QByteArray afcReply(quint64 operation, const QByteArray& payload)
{
    QByteArray packet("CFA6LPAA");
    for (const quint64 field : {quint64(40 + payload.size()), quint64(40 + payload.size()), quint64(0), operation})
        packet += QByteArray(reinterpret_cast<const char*>(&field), 8);  // little-endian hosts only
    return packet + payload;
}

// A framed DeviceLink array of strings, with a dictionary after them when given.
QByteArray deviceLinkMessage(const QStringList& strings, const QVariantMap& values = {})
{
    PlistNode message = PlistNode::newArray();
    for (const QString& text : strings)
        message.append(PlistNode::fromString(text));
    PlistNode dictionary = PlistNode::newDict();
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        dictionary.setValue(it.key(), it.value().userType() == QMetaType::Double ? PlistNode::fromDouble(it.value().toDouble())
                                      : it.value().userType() == QMetaType::Int ? PlistNode::fromUInt64(it.value().toUInt())
                                                                                : PlistNode::fromString(it.value().toString()));
    if (!values.isEmpty())
        message.append(dictionary);
    const QByteArray body = message.toXml().toUtf8();
    const quint32 length = qToBigEndian(quint32(body.size()));
    return QByteArray(reinterpret_cast<const char*>(&length), 4) + body;
}

// The replies of the simulated device's AFC service and of its scripted DeviceLink peers, in the order
// the fuzz target asks for them.
void writeServiceReplySeeds(const QDir& corpus)
{
    const QByteArray status0 = afcReply(1, QByteArray(8, '\0'));
    writeSeed(corpus, QStringLiteral("service_replies"), QStringLiteral("afc.bin"),
              afcReply(2, QByteArray(".\0..\0a.bin\0", 11))
                  + afcReply(2, QByteArray("st_size\0" "5\0st_ifmt\0S_IFREG\0st_mtime\0" "1000000000000000000\0", 55))
                  + afcReply(14, QByteArray("\1\0\0\0\0\0\0\0", 8)) + afcReply(2, "hello") + afcReply(2, {})
                  + status0 + status0 + status0 + status0 + status0);
    const QVariantMap response{{QStringLiteral("MessageName"), QStringLiteral("Response")}, {QStringLiteral("ErrorCode"), 0}};
    QVariantMap hello = response;
    hello.insert(QStringLiteral("ProtocolVersion"), 2.1);
    writeSeed(corpus, QStringLiteral("service_replies"), QStringLiteral("devicelink.bin"),
              deviceLinkMessage({QStringLiteral("DLMessageVersionExchange")}) + deviceLinkMessage({QStringLiteral("DLMessageDeviceReady")})
                  + deviceLinkMessage({QStringLiteral("DLMessagePing")})
                  + deviceLinkMessage({QStringLiteral("DLMessageProcessMessage")}, {{QStringLiteral("a"), QStringLiteral("1")}})
                  + deviceLinkMessage({QStringLiteral("DLMessageProcessMessage")}, hello)
                  + deviceLinkMessage({QStringLiteral("DLMessageProcessMessage")}, response)
                  + deviceLinkMessage({QStringLiteral("SDMessageProcessChanges"), QStringLiteral("Contacts")}, {{QStringLiteral("a"), QStringLiteral("1")}})
                  + deviceLinkMessage({QStringLiteral("SDMessageDeviceReadyToReceiveChanges")})
                  + deviceLinkMessage({QStringLiteral("SDMessageRemapRecordIdentifiers"), QStringLiteral("Contacts")}, {{QStringLiteral("x"), QStringLiteral("y")}})
                  + deviceLinkMessage({QStringLiteral("SDMessageDeviceWillClearAllRecords")}));
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
        writeKeyBagSeeds(corpus);
        writeContactsSeeds(corpus, scratch);
        writeDeviceValueSeeds(corpus);
        writeArchiveSeeds(corpus);
        writeRawSqliteSeeds(corpus, scratch);
        writeServiceReplySeeds(corpus);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
