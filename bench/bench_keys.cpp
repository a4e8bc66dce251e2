// Keys a crafted file would hold against plain keys of the same length and form, on the roads a
// backup or a phone feeds: the import of a backup whose handle ids and chat guids, or whose attachment
// paths, are solved to share Qt's seeded string hash under every seed, or whose row ids fold to one
// value under Qt's integer hash, and the iOS 5 reading of such chat identifiers. Argument 0: plain
// keys; 1: crafted keys. Each runs on 20,000 keys (BENCH_KEYS overrides) and reports keys, messages
// and per_s (messages a second); a crafted case also reports vs_plain, its time over that of the
// plain case run just before it, which should stay below 2.
#include "backup/backupmanifest.h"
#include "msgdb/ios5messagedb.h"

#include "fixtures/backup_builder.h"
#include "fixtures/crafted_keys.h"
#include "fixtures/ios5_history.h"
#include "fixtures/message_history.h"
#include "fixtures/sqlite_insert.h"
#include "floors.h"
#include "importroad.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>
#include <utility>

namespace {

using floors::Clock;
using floors::seconds;

int keyCount()
{
    const int n = qEnvironmentVariableIntValue("BENCH_KEYS");
    return n > 0 ? n : 20000;
}

QStringList keysLike(bool crafted, const QString& prefix, const QString& suffix)
{
    return crafted ? crcCollidingTexts(prefix, suffix, keyCount()) : plainTextsLike(prefix, suffix, keyCount());
}

constexpr int kMessagesPerChat = 2;
const QString kHome = QStringLiteral("HomeDomain");

// One iMessage conversation for each of ids with that one person, kMessagesPerChat messages each;
// the first message of conversation i holds the attachment at paths[i] ("Library/SMS/..."), when given.
void writeIos6History(const QString& dbPath, const QStringList& ids, const QStringList& paths)
{
    fixtures::createIos6DeviceDb(dbPath);
    const auto db = fixtures::openSqliteFile(dbPath);
    fixtures::execSql(db.get(), "begin");
    fixtures::SqliteInsert handle(db.get(), "insert into handle(id, service, uncanonicalized_id) values(?,'iMessage',?)");
    fixtures::SqliteInsert chat(db.get(), "insert into chat(guid, style, state, chat_identifier, service_name,"
                                          " account_login) values(?,45,3,?,'iMessage','E:me@example.org')");
    fixtures::SqliteInsert member(db.get(), "insert into chat_handle_join(chat_id, handle_id) values(?,?)");
    fixtures::SqliteInsert message(db.get(), "insert into message(guid, text, handle_id, service, date, is_from_me,"
                                             " is_finished, is_sent, cache_has_attachments) values(?,?,?,'iMessage',?,?,1,1,?)");
    fixtures::SqliteInsert inChat(db.get(), "insert into chat_message_join(chat_id, message_id) values(?,?)");
    fixtures::SqliteInsert attachment(db.get(), "insert into attachment(guid, filename, mime_type, transfer_state,"
                                                " transfer_name) values(?,?,'image/jpeg',5,?)");
    fixtures::SqliteInsert joined(db.get(), "insert into message_attachment_join(message_id, attachment_id) values(?,?)");
    for (int i = 0; i < ids.size(); ++i) {
        const qint64 handleRow = handle.text(1, ids[i]).text(2, ids[i]).run();
        const qint64 chatRow = chat.text(1, QStringLiteral("iMessage;-;") + ids[i]).text(2, ids[i]).run();
        member.integer(1, chatRow).integer(2, handleRow).run();
        for (int m = 0; m < kMessagesPerChat; ++m) {
            const bool withFile = m == 0 && i < paths.size();
            const qint64 messageRow = message.text(1, QStringLiteral("MSG-%1-%2").arg(i).arg(m))
                                          .text(2, QStringLiteral("Message %1").arg(m))
                                          .integer(3, handleRow)
                                          .integer(4, 400000000 + i * 60 + m)
                                          .integer(5, m % 2)
                                          .integer(6, withFile)
                                          .run();
            inChat.integer(1, chatRow).integer(2, messageRow).run();
            if (withFile) {
                const QString name = paths[i].section(QLatin1Char('/'), -1);
                const qint64 attachmentRow =
                    attachment.text(1, QStringLiteral("ATT-%1").arg(i)).text(2, QStringLiteral("~/") + paths[i]).text(3, name).run();
                joined.integer(1, messageRow).integer(2, attachmentRow).run();
            }
        }
    }
    fixtures::execSql(db.get(), "commit");
}

QByteArray fileContent(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read a sample file");
    return file.readAll();
}

// A plain backup holding such a history and a small file for each attachment, loaded.
struct KeyedBackup {
    QTemporaryDir dir;
    QString backupDir = dir.filePath(QStringLiteral("backup"));
    BackupManifest manifest{QDir(backupDir)};
    int messages = 0;

    KeyedBackup(const QStringList& ids, const QStringList& paths,
                const std::function<void(const QString&)>& change = {})
    {
        const QString dbPath = fixtures::ios6DbPathIn(dir.filePath(QStringLiteral("source")));
        writeIos6History(dbPath, ids, paths);
        if (change)
            change(dbPath);
        messages = ids.size() * kMessagesPerChat;
        fixtures::BackupBuilder builder;
        builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), fileContent(dbPath));
        for (const QString& path : paths)
            builder.addFile(kHome, path, QByteArray(1024, 'j'));
        builder.write(backupDir);
        manifest.loadManifestPlist();
        manifest.loadMbdb();
    }
};

void importBackup(const KeyedBackup& backup, const QString& into, int files)
{
    const ImportedBackup imported = importOnTheCommandsRoad(backup.manifest, into);
    if (imported.messages != backup.messages || imported.copiedFiles < files)
        throw std::runtime_error("the import left messages or files out");
}

// Times road once an iteration in a fresh folder, and reports the counters named above; plainSeconds
// carries the plain case's time per iteration over to the crafted case.
void runRoad(benchmark::State& state, double& plainSeconds, int messages, const std::function<void(const QString&)>& road)
{
    double total = 0;
    for (auto _ : state) {
        QTemporaryDir dir;
        const auto start = Clock::now();
        road(dir.path());
        const double elapsed = seconds(Clock::now() - start);
        state.SetIterationTime(elapsed);
        total += elapsed;
    }
    const double perIteration = total / double(state.iterations());
    state.counters["keys"] = benchmark::Counter(keyCount());
    state.counters["messages"] = benchmark::Counter(messages);
    state.counters["per_s"] = benchmark::Counter(messages / perIteration);
    if (state.range(0) == 0)
        plainSeconds = perIteration;
    else if (plainSeconds > 0)
        state.counters["vs_plain"] = benchmark::Counter(perIteration / plainSeconds);
}

// (a) Handle ids "u<digits>@example.org" and the chat guids "iMessage;-;" + id.
void BM_ImportHandlesAndChats(benchmark::State& state)
{
    static double plainSeconds = 0;
    const KeyedBackup backup(keysLike(state.range(0) != 0, QStringLiteral("u"), QStringLiteral("@example.org")), {});
    runRoad(state, plainSeconds, backup.messages, [&](const QString& dir) { importBackup(backup, dir, 1); });
}

// (b) Attachment paths "Library/SMS/Attachments/5b/02/IMG_<digits>.jpg", plain ids.
void BM_ImportAttachmentPaths(benchmark::State& state)
{
    static double plainSeconds = 0;
    QStringList paths =
        keysLike(state.range(0) != 0, QStringLiteral("Library/SMS/Attachments/5b/02/IMG_"), QStringLiteral(".jpg"));
    // Both in one order that is not the messages': plain names counted up would be cached in just the
    // order the copy asks for them, which crafted names are not, and the waits that makes are no hashing.
    std::shuffle(paths.begin(), paths.end(), std::mt19937(7));
    const KeyedBackup backup(plainTextsLike(QStringLiteral("u"), QStringLiteral("@example.org"), keyCount()), paths);
    runRoad(state, plainSeconds, backup.messages, [&](const QString& dir) { importBackup(backup, dir, paths.size()); });
    state.counters["files"] = benchmark::Counter(paths.size());
}

// SQLite has no XOR: a ^ b is (a | b) - (a & b).
QString xorSql(const QString& a, const QString& b)
{
    return QStringLiteral("((%1 | %2) - (%1 & %2))").arg(a, b);
}

// Moves every chat, handle and message row id r of dbPath to r << 32 with a low half that, when
// crafted, makes them all one value under Qt's 64-bit integer hash (the low half of id ^ (id >> 31)),
// and otherwise keeps r apart.
void moveRowIds(const QString& dbPath, bool crafted)
{
    const auto db = fixtures::openSqliteFile(dbPath);
    const auto moved = [crafted](const QString& column) {
        const QString low = QStringLiteral("4660");
        return QStringLiteral("(%1 << 32 | %2)")
            .arg(column, crafted ? xorSql(QStringLiteral("(%1 << 1)").arg(column), low) : low);
    };
    fixtures::execSql(db.get(), "begin");
    for (const auto& [table, column] : {std::pair{"chat_message_join", "chat_id"}, {"chat_message_join", "message_id"},
                                        {"chat_handle_join", "chat_id"}, {"chat_handle_join", "handle_id"},
                                        {"message_attachment_join", "message_id"}, {"message", "handle_id"},
                                        {"chat", "ROWID"}, {"handle", "ROWID"}, {"message", "ROWID"}}) {
        const QString sql = QStringLiteral("update %1 set %2 = %3 where %2 > 0").arg(table, column, moved(column));
        fixtures::execSql(db.get(), sql.toUtf8().constData());
    }
    fixtures::execSql(db.get(), "commit");
}

// (d) Chat, handle and message row ids whose halves fold alike, with plain texts.
void BM_ImportFoldingRowIds(benchmark::State& state)
{
    static double plainSeconds = 0;
    const KeyedBackup backup(plainTextsLike(QStringLiteral("u"), QStringLiteral("@example.org"), keyCount()), {},
                             [&](const QString& dbPath) { moveRowIds(dbPath, state.range(0) != 0); });
    runRoad(state, plainSeconds, backup.messages, [&](const QString& dir) { importBackup(backup, dir, 1); });
}

// (c) madrid_chat identifiers "chat<digits>@example.org", each with its one participant and a message.
void BM_ReadIos5ChatIdentifiers(benchmark::State& state)
{
    static double plainSeconds = 0;
    const QStringList ids = keysLike(state.range(0) != 0, QStringLiteral("chat"), QStringLiteral("@example.org"));
    QTemporaryDir source;
    const QString dbPath = fixtures::ios6DbPathIn(source.path());
    fixtures::createIos5DeviceDb(dbPath);
    {
        const auto db = fixtures::openSqliteFile(dbPath);
        fixtures::execSql(db.get(), "begin");
        fixtures::SqliteInsert chat(db.get(), "insert into madrid_chat(ROWID, chat_identifier, participants, style,"
                                              " state) values(?,?,?,45,3)");
        fixtures::SqliteInsert message(db.get(), "insert into message(date, text, flags, is_madrid, madrid_guid,"
                                                 " madrid_handle) values(?,'x',0,1,?,?)");
        for (int i = 0; i < ids.size(); ++i) {
            chat.integer(1, i + 1).text(2, ids[i]).blob(3, fixtures::participantsBlob({ids[i]})).run();
            message.integer(1, 400000000 + i).text(2, QStringLiteral("G%1").arg(i)).text(3, ids[i]).run();
        }
        fixtures::execSql(db.get(), "commit");
    }
    runRoad(state, plainSeconds, ids.size(), [&](const QString&) {
        _MsgStore store;
        IOS5MessageDb(QDir(source.path()), QStringLiteral("310")).messages(store, 0);
        if (store.chatList().size() != ids.size())
            throw std::runtime_error("the iOS 5 reading lost conversations");
    });
}

}  // namespace

BENCHMARK(BM_ImportHandlesAndChats)->Arg(0)->Arg(1)->UseManualTime()->Iterations(2)->Unit(benchmark::kSecond);
BENCHMARK(BM_ImportAttachmentPaths)->Arg(0)->Arg(1)->UseManualTime()->Iterations(2)->Unit(benchmark::kSecond);
BENCHMARK(BM_ImportFoldingRowIds)->Arg(0)->Arg(1)->UseManualTime()->Iterations(2)->Unit(benchmark::kSecond);
BENCHMARK(BM_ReadIos5ChatIdentifiers)->Arg(0)->Arg(1)->UseManualTime()->Iterations(2)->Unit(benchmark::kSecond);

int main(int argc, char** argv)
{
    return floors::runInTemporaryHome(argc, argv);
}
