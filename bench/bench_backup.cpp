// Copying an encrypted file out of a backup, caching a whole backup and importing it into a new local
// database, each against its raw floor: plain reads and writes, EVP AES-256-CBC decryption and key
// unwrapping, the plain SQLite C API. Merging messages into a backup against the plain SQLite C API
// rebuilding the same database with set-based copies.
//
// The benchmarks that write files follow one set of rules: both sides write into fresh folders on the
// same file system (below TMPDIR, which may be put on a tmpfs to leave the disk out), neither syncs
// while timed but each starts after a sync, they take turns at going first (each run holds one
// iteration of either order), and each runs five times so the median can be read. The cache and import benchmarks use a backup of 200,000 messages (BENCH_MESSAGES
// overrides) with a file for every attachment row, one message in 25 (BENCH_ATTACHMENT_ONE_IN overrides).
#include "backup/backupmanifest.h"
#include "backup/ios6restoremessagesthread.h"
#include "backup/itunescachesmsthread.h"
#include "backup/mbdb.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "export/backupsmsthread.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "msgdb/msgutil.h"

#include "fixtures/address_book.h"
#include "fixtures/backup_builder.h"
#include "fixtures/message_history.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/sqlite_insert.h"
#include "floors.h"
#include "importroad.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using floors::Clock;
using floors::seconds;

// Bytes of the copied file; BENCH_BYTES overrides the default of 256 MB.
qint64 fileBytes()
{
    const qint64 n = qEnvironmentVariable("BENCH_BYTES").toLongLong();
    return n > 0 ? n : qint64(256) << 20;
}

QByteArray sampleBytes(qint64 size)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[int(i)] = char((i * 31 + (i >> 12)) & 0xFF);
    return bytes;
}

// Records' paths below "Library" as the cache lays them out below its "file-relay".
const QString kCacheLibrary = QStringLiteral("var/mobile/Library/");

// What the floor copies for the file of node: the stored file, its place, its wrapped key.
floors::BackupFile floorFile(const BackupManifest& manifest, const BackupFileNode& node, const QString& relative)
{
    floors::BackupFile file;
    file.stored = manifest.backupDir.absoluteFilePath(node.record.fileId());
    file.relative = relative;
    if (manifest.deviceInfo.isEncrypted && node.record.encryptionKey.isPresent())
        file.wrappedKey = node.record.encryptionKey.bytes.mid(4);  // after the stored class number
    file.protectionClass = node.record.protectionClass;
    file.size = qint64(node.record.size);
    file.mtime = node.record.mtime;
    return file;
}

void BM_CopyEncryptedFile(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString backupDir = dir.filePath(QStringLiteral("backup"));
    const QString path = QStringLiteral("Library/SMS/sms.db");
    const qint64 size = fileBytes();
    {
        fixtures::BackupBuilder builder;
        builder.setEncryption().addFile(QStringLiteral("HomeDomain"), path, sampleBytes(size));
        builder.write(backupDir);
    }
    BackupManifest manifest{QDir(backupDir)};
    manifest.loadManifestPlist();
    if (!manifest.unlock(QStringLiteral("secret"))) {
        state.SkipWithError("the sample backup does not unlock");
        return;
    }
    manifest.loadMbdb();
    const BackupFileNode& node = *manifest.smsDb;
    const floors::BackupFile file = floorFile(manifest, node, QStringLiteral("sms.db"));
    const QMap<int, QByteArray> classKeys = fixtures::BackupEncryption::standardClassKeys();

    const floors::Timing total = floors::timeInTurns(
        state,
        [&](const QString& ours) {
            const QString copy = ours + QStringLiteral("/file-relay/sms.db");
            QDir().mkpath(QFileInfo(copy).path());
            manifest.copyFile(node, copy);
        },
        [&](const QString& raw) { floors::cacheRaw({file}, classKeys, raw); },
        [](const QString& ours, const QString& raw) { return floors::folderDifference(ours, raw); });
    floors::reportCounters(state, double(size) * double(state.iterations()), total);
}

// --- caching and importing a whole backup ---------------------------------------------------------

// A generated history packed into a backup with a file of 1 to 16 KB for every attachment row and the
// sample address book, loaded and (when encrypted) unlocked.
struct HistoryBackup {
    QTemporaryDir dir;
    QString backupDir = dir.filePath(QStringLiteral("backup"));
    BackupManifest manifest{QDir(backupDir)};
    std::vector<floors::BackupFile> files;  // what the cache copies, for the floor
    int attachments = 0;

    explicit HistoryBackup(bool encrypted)
    {
        const QString dbPath = fixtures::ios6DbPathIn(dir.filePath(QStringLiteral("source")));
        fixtures::createIos6DeviceDb(dbPath);
        const int messages = floors::benchMessages(200000);
        // BENCH_ATTACHMENT_ONE_IN=1 gives nearly every message a file: the many-small-files import.
        const int oneIn = qEnvironmentVariableIntValue("BENCH_ATTACHMENT_ONE_IN");
        fixtures::fillSampleHistory(dbPath, {messages, qMax(1, messages / 250), 20130917, false, true,
                                             oneIn > 0 ? unsigned(oneIn) : 25u});
        fixtures::BackupBuilder builder;
        if (encrypted)
            builder.setEncryption();
        const QString home = QStringLiteral("HomeDomain");
        builder.addFile(home, QStringLiteral("Library/SMS/sms.db"), fileContent(dbPath));
        const auto db = fixtures::openSqliteFile(dbPath);
        for (const QString& name : attachmentNames(db.get())) {
            const int size = 1024 + (attachments * 7919) % (15 * 1024);
            builder.addFile(home, name, QByteArray(size, char('a' + attachments % 26)));
            ++attachments;
        }
        const QString book =
            fixtures::writeAddressBook(dir.filePath(QStringLiteral("book")), fixtures::sampleAddressBook());
        builder.addFile(home, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), fileContent(book));
        builder.write(backupDir);

        manifest.loadManifestPlist();
        if (encrypted && !manifest.unlock(QStringLiteral("secret")))
            throw std::runtime_error("the sample backup does not unlock");
        manifest.loadMbdb();
        const BackupFileNode* library = manifest.root.childNamed(QStringLiteral("Library"));
        for (const char* folder : {"SMS", "AddressBook"})
            addFiles(*library->childNamed(QLatin1String(folder)), kCacheLibrary + QLatin1String(folder));
    }

    static QByteArray fileContent(const QString& path)
    {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error("cannot read a sample file");
        return file.readAll();
    }

    // The attachment files as the backup holds them: "Library/SMS/Attachments/...".
    static QStringList attachmentNames(sqlite3* db)
    {
        QStringList names;
        floors::Stmt rows(db, "select filename from attachment order by rowid");
        while (sqlite3_step(rows.s) == SQLITE_ROW)
            names << QString::fromStdString(floors::columnText(rows.s, 0))
                         .replace(QRegularExpression(QStringLiteral("^(~|/var/mobile)/")), QString());
        return names;
    }

    void addFiles(const BackupFileNode& node, const QString& relative)
    {
        if (!node.record.isFolder()) {
            files.push_back(floorFile(manifest, node, relative));
            return;
        }
        for (const std::unique_ptr<BackupFileNode>& child : node.children)
            addFiles(*child, relative + QLatin1Char('/') + child->name);
    }
};

const HistoryBackup& historyBackup(bool encrypted)
{
    static const HistoryBackup plain(false);
    if (!encrypted)
        return plain;
    static const HistoryBackup encryptedBackup(true);
    return encryptedBackup;
}

void cacheOurs(const HistoryBackup& backup, const QString& cacheDir)
{
    ITunesCacheSMSThread job(const_cast<BackupManifest*>(&backup.manifest), QDir(cacheDir), nullptr);
    job.run();
    if (job.copiedFiles() != int(backup.files.size()))
        throw std::runtime_error("the cache job left files out");
}

// Argument 0: the plain backup; 1: the encrypted one.
void BM_CacheBackup(benchmark::State& state)
{
    const HistoryBackup& backup = historyBackup(state.range(0) != 0);
    const QMap<int, QByteArray> classKeys = fixtures::BackupEncryption::standardClassKeys();
    const floors::Timing total = floors::timeInTurns(
        state, [&](const QString& ours) { cacheOurs(backup, ours); },
        [&](const QString& raw) { floors::cacheRaw(backup.files, classKeys, raw); },
        [](const QString& ours, const QString& raw) {
            return floors::folderDifference(ours, raw, {QStringLiteral("manifest.db")});
        });
    floors::reportCounters(state, double(backup.files.size()) * double(state.iterations()), total);
    state.counters["files"] = benchmark::Counter(double(backup.files.size()));
    state.counters["attachments"] = benchmark::Counter(backup.attachments);
}

// The import road: the backup cached, its message database read, every message copied into a new
// local database; against the cache floor, the read floor and the copy floor one after another.
void BM_ImportBackup(benchmark::State& state)
{
    const HistoryBackup& backup = historyBackup(state.range(0) != 0);
    const QMap<int, QByteArray> classKeys = fixtures::BackupEncryption::standardClassKeys();
    // The floor copies the records ours reads, in the order ours copies them.
    QTemporaryDir sourceCache;
    cacheOurs(backup, sourceCache.path());
    _MsgStore floorStore;
    IOS6MessageDb(QDir(sourceCache.path()), QString(), false).messages(floorStore, 0);
    MsgMessageList floorMessages = floorStore.messageList();
    sortMessages(floorMessages);  // the copy job's order

    const floors::Timing total = floors::timeInTurns(
        state,
        [&](const QString& ours) {
            // As the import command does: the messages are read and copied while the attachment files
            // are still being cached.
            if (importOnTheCommandsRoad(backup.manifest, ours).copiedFiles != int(backup.files.size()))
                throw std::runtime_error("the cache job left files out");
        },
        [&](const QString& raw) {
            const QString cache = raw + QStringLiteral("/cache");
            floors::cacheRaw(backup.files, classKeys, cache);
            floors::readRaw(fixtures::ios6DbPathIn(cache));
            // The rows at their physical floor: SQLite never waits for the disk.
            floors::localDbRaw(floorMessages, fileRelayDir(QDir(cache)).absolutePath(), raw + QStringLiteral("/local"),
                               false);
        },
        [](const QString& ours, const QString& raw) {
            return floors::localDbDifference(ours + QStringLiteral("/local"), raw + QStringLiteral("/local"));
        });
    floors::reportCounters(state, double(floorMessages.size()) * double(state.iterations()), total);
}

// A backup holding a generated history, its cached message database, and a tenth as many new
// messages spread over the same dates.
struct MergeSource {
    QTemporaryDir dir;
    QString cacheDir = dir.filePath(QStringLiteral("cache"));
    QString backupDir = dir.filePath(QStringLiteral("backup"));
    _MsgStore store;
    MsgMessageList messages;
    QString messageColumns;  // of the message table, ROWID left out

    MergeSource()
    {
        const QString cached = fixtures::ios6DbPathIn(cacheDir);
        fixtures::createIos6DeviceDb(cached);
        fixtures::fillSampleHistory(cached, {floors::benchMessages(), 40, 1, false, true});
        QFile file(cached);
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error("no cached database");
        fixtures::BackupBuilder().addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
                                          file.readAll()).write(backupDir);

        const QString newDir = dir.filePath(QStringLiteral("new"));
        fixtures::createIos6DeviceDb(fixtures::ios6DbPathIn(newDir));
        fixtures::fillSampleHistory(fixtures::ios6DbPathIn(newDir), {floors::benchMessages() / 10, 40, 2, false, false});
        IOS6MessageDb(QDir(newDir), QString(), false).messages(store, 0);
        messages = store.messageList();
        for (int i = 0; i < messages.size(); ++i) {
            messages[i]->guid.prepend(QLatin1Char('N'));
            messages[i]->date = 400000000 + i * 530 + 7;
        }
        QStringList columns;
        Sqlite3DB db;
        db.openThrow(cached, 1);
        for (const QString& column : db.tbInfo(QStringLiteral("message")).keys())
            if (column.compare(QLatin1String("ROWID"), Qt::CaseInsensitive) != 0)
                columns << column;
        messageColumns = columns.join(QLatin1Char(','));
    }
};

const MergeSource& mergeSource()
{
    static const MergeSource source;
    return source;
}

void noOp(sqlite3_context* context, int, sqlite3_value**)
{
    sqlite3_result_int(context, 0);
}

// The floor: the cached file copied and emptied, the backup's rows copied back with one statement per
// table, the new rows added through prepared inserts, every message written in date order, the joins
// rebuilt by guid, and the file copied into the backup, synced and hashed.
void mergeRaw(const MergeSource& source, const QString& workPath, const QString& backupFile)
{
    const QString cached = fixtures::ios6DbPathIn(source.cacheDir);
    QFile::remove(workPath);
    QFile::copy(cached, workPath);
    {
        const auto db = fixtures::openSqliteFile(workPath);
        sqlite3* raw = db.get();
        // The device's triggers call these.
        for (const auto& [name, arguments] : {std::pair("delete_attachment_path", 1),
                                              std::pair("before_delete_attachment_path", 2)})
            sqlite3_create_function_v2(raw, name, arguments, SQLITE_UTF8, nullptr, noOp, nullptr, nullptr, nullptr);
        fixtures::execSql(raw, "delete from attachment; delete from chat; delete from handle; delete from message;"
                               " delete from message_attachment_join; delete from chat_message_join;"
                               " delete from chat_handle_join; vacuum;");
        fixtures::execSql(raw, ("attach database '" + cached.toUtf8() + "' as old").constData());
        fixtures::execSql(raw, "BEGIN; insert into chat select * from old.chat; insert into handle select * from old.handle;"
                               " insert into chat_handle_join select * from old.chat_handle_join;"
                               " insert into attachment select * from old.attachment;"
                               " create temp table new_message as select * from old.message where 0;"
                               " create temp table new_link(message_guid, chat_guid, attachment_guid);");
        fixtures::SqliteInsert message(raw, "insert into temp.new_message(guid, text, handle_id, service, date,"
                                            " is_from_me, item_type, version) values(?,?,"
                                            "(select ROWID from main.handle where id=? and service=?),?,?,?,?,10)");
        fixtures::SqliteInsert link(raw, "insert into temp.new_link values(?,?,?)");
        fixtures::SqliteInsert attachment(raw, "insert or ignore into main.attachment(guid, filename, mime_type)"
                                               " values(?,?,?)");
        for (const _MsgMessage* m : source.messages) {
            message.text(1, m->guid).text(2, m->text).text(3, m->handle ? m->handle->id : QString());
            message.text(4, m->handle ? m->handle->service : QString()).text(5, m->service).integer(6, m->date);
            message.integer(7, m->is_from_me).integer(8, m->item_type).run();
            link.text(1, m->guid).text(2, m->chat->guid).null(3).run();
            for (const _MsgAttachment* a : m->sortedAttachments()) {
                attachment.text(1, a->guid).text(2, a->filename).text(3, a->mime_type).run();
                link.text(1, m->guid).null(2).text(3, a->guid).run();
            }
        }
        const QByteArray columns = source.messageColumns.toUtf8();
        fixtures::execSql(raw, "insert into main.message(" + columns + ") select " + columns
                                   + " from (select * from old.message union all select * from temp.new_message)"
                                     " order by date");
        fixtures::execSql(
            raw, "insert or ignore into chat_message_join select j.chat_id, m.ROWID from old.chat_message_join j"
                 " join old.message o on o.ROWID = j.message_id join main.message m on m.guid = o.guid;"
                 " insert or ignore into message_attachment_join select m.ROWID, j.attachment_id from"
                 " old.message_attachment_join j join old.message o on o.ROWID = j.message_id"
                 " join main.message m on m.guid = o.guid;"
                 " insert or ignore into chat_message_join select c.ROWID, m.ROWID from temp.new_link n"
                 " join main.chat c on c.guid = n.chat_guid join main.message m on m.guid = n.message_guid;"
                 " insert or ignore into message_attachment_join select m.ROWID, a.ROWID from temp.new_link n"
                 " join main.attachment a on a.guid = n.attachment_guid join main.message m on m.guid = n.message_guid;"
                 " COMMIT; PRAGMA journal_mode=DELETE;");
    }
    QFile::remove(backupFile);
    const QByteArray target = QFile::encodeName(backupFile);
    const int in = ::open(QFile::encodeName(workPath).constData(), O_RDONLY);
    const int out = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha1(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (in < 0 || out < 0 || EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("raw merge cannot copy");
    std::vector<unsigned char> buffer(1 << 20);
    for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;) {
        EVP_DigestUpdate(sha1.get(), buffer.data(), size_t(n));
        if (::write(out, buffer.data(), size_t(n)) != n)
            throw std::runtime_error("raw merge cannot write");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    EVP_DigestFinal_ex(sha1.get(), digest, nullptr);
    ::fsync(out);
    ::close(in);
    ::close(out);
}

qint64 scalar(const QString& dbPath, const char* sql)
{
    Sqlite3DB db;
    db.openThrow(dbPath, 1);
    Sqlite3Cursor cursor = db.queryThrow(sql);
    return cursor.moveNext() ? cursor.getInt64(0) : -1;
}

// Removes what a merge leaves beside the files it replaced, so every run starts alike.
void removeLeftovers(const MergeSource& source)
{
    for (const QFileInfo& info : QDir(source.backupDir).entryInfoList({QStringLiteral("*-*")}, QDir::Files))
        QFile::remove(info.filePath());
    const QDir smsDir = QFileInfo(fixtures::ios6DbPathIn(source.cacheDir)).dir();
    for (const QString& name : smsDir.entryList({QStringLiteral("sms.db?*")}, QDir::Files))
        QFile::remove(smsDir.filePath(name));
}

void BM_MergeIntoBackup(benchmark::State& state)
{
    const MergeSource& source = mergeSource();
    const QString rawWork = source.dir.filePath(QStringLiteral("raw.db"));
    const QString rawBackupFile = source.dir.filePath(QStringLiteral("raw-backup.db"));
    const QString ourFile = QDir(source.backupDir).filePath(mbdbFileId(QStringLiteral("HomeDomain"),
                                                                        QStringLiteral("Library/SMS/sms.db")));
    double ours = 0;
    double raw = 0;
    qint64 items = 0;
    for (auto _ : state) {
        removeLeftovers(source);
        auto start = Clock::now();
        mergeRaw(source, rawWork, rawBackupFile);
        raw += seconds(Clock::now() - start);

        IOS6MessageDb target(QDir(source.cacheDir), QString(), false);
        IOS6RestoreMessagesThread job(QString(), &source.messages, &target, QDir(source.backupDir), nullptr);
        start = Clock::now();
        job.run();
        const double elapsed = seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        items += floors::benchMessages() + source.messages.size();
        for (const char* sql : {"select count(*) from message", "select count(*) from chat_message_join",
                                "select count(*) from message_attachment_join"}) {
            if (scalar(ourFile, sql) != scalar(rawBackupFile, sql))
                state.SkipWithError("our merge and the raw one hold different rows");
        }
    }
    removeLeftovers(source);
    state.counters["ours_per_s"] = benchmark::Counter(double(items) / ours);
    state.counters["raw_per_s"] = benchmark::Counter(double(items) / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

}  // namespace

// Two iterations a run: each side once first, once second.
BENCHMARK(BM_CopyEncryptedFile)->UseManualTime()->Iterations(2)->Repetitions(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheBackup)->Arg(0)->Arg(1)->UseManualTime()->Iterations(2)->Repetitions(5)->Unit(benchmark::kSecond);
BENCHMARK(BM_ImportBackup)->Arg(0)->Arg(1)->UseManualTime()->Iterations(2)->Repetitions(5)->Unit(benchmark::kSecond);
BENCHMARK(BM_MergeIntoBackup)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    return floors::runInTemporaryHome(argc, argv);
}
