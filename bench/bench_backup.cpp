// Copying an encrypted file out of a backup against the raw floor for the same work: plain reads,
// EVP AES-256-CBC decryption and writes in 1 MiB chunks, timed in the same run. Merging messages into a
// backup against the plain SQLite C API rebuilding the same database with set-based copies.
#include "backup/backupmanifest.h"
#include "backup/ios6restoremessagesthread.h"
#include "backup/mbdb.h"
#include "core/fileutil.h"
#include "msgdb/ios6messagedb.h"

#include "fixtures/backup_builder.h"
#include "fixtures/message_history.h"
#include "fixtures/sqlite_insert.h"

#include <QFile>
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

using Clock = std::chrono::steady_clock;

// Bytes of the copied file; BENCH_BYTES overrides the default of 256 MB.
qint64 fileBytes()
{
    const qint64 n = qEnvironmentVariable("BENCH_BYTES").toLongLong();
    return n > 0 ? n : qint64(256) << 20;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

QByteArray sampleBytes(qint64 size)
{
    QByteArray bytes(int(size), Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[int(i)] = char((i * 31 + (i >> 12)) & 0xFF);
    return bytes;
}

// The floor: read, decrypt and write with plain system calls and EVP, cut at the plain size. The
// copy is put in place the way copyFile does it (a new file, the old one removed, then a rename),
// since how a file is replaced costs the file system more than any difference in the copying.
void rawCopy(const QString& sourcePath, const QString& destPath, const QByteArray& key, qint64 plainSize)
{
    constexpr int chunk = 1 << 20;
    const QByteArray target = QFile::encodeName(destPath);
    const QByteArray temporary = target + ".part";
    const int in = ::open(QFile::encodeName(sourcePath).constData(), O_RDONLY);
    const int out = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const unsigned char iv[16] = {};
    if (in < 0 || out < 0
        || EVP_DecryptInit_ex(context.get(), EVP_aes_256_cbc(), nullptr,
                              reinterpret_cast<const unsigned char*>(key.constData()), iv) != 1)
        throw std::runtime_error("raw copy cannot start");
    EVP_CIPHER_CTX_set_padding(context.get(), 0);
    std::vector<unsigned char> buffer(chunk);
    qint64 written = 0;
    for (ssize_t n; (n = ::read(in, buffer.data(), chunk)) > 0;) {
        int plain = 0;
        EVP_DecryptUpdate(context.get(), buffer.data(), &plain, buffer.data(), int(n));
        const qint64 keep = qMin<qint64>(plain, plainSize - written);
        if (keep > 0 && ::write(out, buffer.data(), size_t(keep)) != keep)
            throw std::runtime_error("raw copy cannot write");
        written += qMax<qint64>(keep, 0);
    }
    ::close(in);
    ::close(out);
    ::unlink(target.constData());
    if (::rename(temporary.constData(), target.constData()) != 0)
        throw std::runtime_error("raw copy cannot rename");
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
    const QString source = manifest.backupDir.absoluteFilePath(node.record.fileId());
    const QByteArray key = fixtures::sampleFileKey(node.record.fileId());
    const QString rawDest = dir.filePath(QStringLiteral("raw.out"));
    const QString ourDest = dir.filePath(QStringLiteral("ours.out"));

    double ours = 0;
    double raw = 0;
    qint64 bytes = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        rawCopy(source, rawDest, key, size);
        raw += seconds(Clock::now() - start);

        start = Clock::now();
        manifest.copyFile(node, ourDest);
        const double elapsed = seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        bytes += size;
    }
    if (QFileInfo(ourDest).size() != size || QFileInfo(rawDest).size() != size)
        state.SkipWithError("a copy has the wrong size");
    state.counters["ours_per_s"] = benchmark::Counter(double(bytes) / ours);
    state.counters["raw_per_s"] = benchmark::Counter(double(bytes) / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

int messageCount()
{
    const int n = qEnvironmentVariableIntValue("BENCH_MESSAGES");
    return n > 0 ? n : 100000;
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
        fixtures::fillSampleHistory(cached, {messageCount(), 40, 1, false, true});
        QFile file(cached);
        if (!file.open(QIODevice::ReadOnly))
            throw std::runtime_error("no cached database");
        fixtures::BackupBuilder().addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"),
                                          file.readAll()).write(backupDir);

        const QString newDir = dir.filePath(QStringLiteral("new"));
        fixtures::createIos6DeviceDb(fixtures::ios6DbPathIn(newDir));
        fixtures::fillSampleHistory(fixtures::ios6DbPathIn(newDir), {messageCount() / 10, 40, 2, false, false});
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
        items += messageCount() + source.messages.size();
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

BENCHMARK(BM_CopyEncryptedFile)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MergeIntoBackup)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
