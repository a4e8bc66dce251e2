// Reading a whole message database into a store, against the plain SQLite C API running the same
// queries and reading the same columns into plain structs, timed in the same run.
#include "msgdb/ios6_message_db.h"

#include "fixtures/message_history.h"

#include <QDir>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <stdexcept>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int messageCount()
{
    const int n = qEnvironmentVariableIntValue("BENCH_MESSAGES");
    return n > 0 ? n : 100000;
}

double seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Columns the reader takes, by the kind of value it reads.
struct ColumnSet {
    std::vector<const char*> integers;
    std::vector<const char*> texts;
    std::vector<const char*> blobs;
};

const ColumnSet kChatColumns = {
    {"rowid", "style", "state", "is_archived", "_last"},
    {"guid", "account_id", "chat_identifier", "service_name", "room_name", "account_login", "last_addressed_handle",
     "display_name", "group_id"},
    {"properties"}};
const ColumnSet kHandleColumns = {{"rowid", "chat_id"},
                                  {"id", "country", "service", "uncanonicalized_id", "_ct_name"},
                                  {"_photo"}};
const ColumnSet kMessageColumns = {
    {"rowid", "chat_id", "replace", "handle_id", "version", "type", "error", "date", "date_read", "date_delivered",
     "is_delivered", "is_finished", "is_emote", "is_from_me", "is_empty", "is_delayed", "is_auto_reply",
     "is_prepared", "is_read", "is_system_message", "is_sent", "has_dd_results", "is_service_message", "is_forward",
     "was_downgraded", "is_archive", "cache_has_attachments", "was_data_detected", "was_deduplicated",
     "is_audio_message", "is_played", "date_played", "item_type", "other_handle", "group_action_type",
     "share_status", "share_direction", "is_expirable", "expire_state", "message_action_type"},
    {"guid", "text", "service_center", "subject", "country", "service", "account", "account_guid",
     "cache_roomnames", "group_title"},
    {"attributedBody"}};
const ColumnSet kAttachmentColumns = {
    {"rowid", "message_id", "attachment_id", "created_date", "start_date", "transfer_state", "is_outgoing",
     "total_bytes"},
    {"guid", "filename", "uti", "mime_type", "transfer_name"},
    {"user_info"}};

// One row as plain values.
struct RawRow {
    std::vector<qint64> integers;
    std::vector<QString> texts;
    std::vector<QByteArray> blobs;
};

int rawColumnIndex(sqlite3_stmt* stmt, const char* name)
{
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (sqlite3_stricmp(sqlite3_column_name(stmt, i), name) == 0)
            return i;
    }
    return -1;
}

// Runs sql and reads every row's columns, looked up once, into plain rows. Returns the row count.
qint64 rawQuery(sqlite3* db, const char* sql, const ColumnSet& columns, std::vector<RawRow>& rows)
{
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    std::vector<int> integers, texts, blobs;
    for (const char* name : columns.integers)
        integers.push_back(rawColumnIndex(stmt, name));
    for (const char* name : columns.texts)
        texts.push_back(rawColumnIndex(stmt, name));
    for (const char* name : columns.blobs)
        blobs.push_back(rawColumnIndex(stmt, name));
    qint64 count = 0;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        RawRow row;
        row.integers.reserve(integers.size());
        for (const int i : integers)
            row.integers.push_back(i < 0 ? 0 : sqlite3_column_int64(stmt, i));
        row.texts.reserve(texts.size());
        for (const int i : texts) {
            const auto* text = i < 0 ? nullptr : reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
            row.texts.push_back(text ? QString::fromUtf8(text, sqlite3_column_bytes(stmt, i)) : QString());
        }
        for (const int i : blobs) {
            const auto* data = i < 0 ? nullptr : static_cast<const char*>(sqlite3_column_blob(stmt, i));
            row.blobs.push_back(data ? QByteArray(data, sqlite3_column_bytes(stmt, i)) : QByteArray());
        }
        rows.push_back(std::move(row));
        ++count;
    }
    sqlite3_finalize(stmt);
    return count;
}

// The same five queries the reader runs on a device file, with nothing built from the rows.
qint64 readRaw(const QString& path)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr);
    std::vector<RawRow> chats, dates, handles, messages, attachments;
    rawQuery(db, "select * from chat", kChatColumns, chats);
    rawQuery(db,
             "select chat_id, max(date) as last from ( select cm.chat_id, m.date from chat_message_join as cm"
             " inner join message as m on cm.message_id=m.rowid ) as tmp group by chat_id",
             {{"chat_id", "last"}, {}, {}}, dates);
    rawQuery(db, "select j.chat_id, h.* from chat_handle_join as j inner join handle as h on j.handle_id = h.rowid",
             kHandleColumns, handles);
    const qint64 count = rawQuery(db,
                                  "select j.chat_id, m.* from chat_message_join as j inner join message as m"
                                  " on j.message_id = m.rowid and m.item_type <> 4",
                                  kMessageColumns, messages);
    rawQuery(db,
             "select ma.message_id, ma.attachment_id, cm.chat_id, a.* from message_attachment_join as ma"
             " inner join attachment as a on ma.attachment_id=a.rowid"
             " inner join chat_message_join as cm on ma.message_id=cm.message_id",
             kAttachmentColumns, attachments);
    sqlite3_close(db);
    return count;
}

qint64 readOurs(const QString& dir)
{
    IOS6MessageDb db(QDir(dir), QString(), false);
    _MsgStore store;
    db.messages(store, 0);
    return store.data()->messages.size();
}

void BM_ReadWholeDatabase(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = fixtures::ios6DbPathIn(dir.path());
    fixtures::createIos6DeviceDb(path);
    fixtures::SampleHistoryOptions options;
    options.messages = messageCount();
    options.conversations = qMax(1, options.messages / 250);
    fixtures::fillSampleHistory(path, options);

    double ours = 0;
    double raw = 0;
    qint64 rows = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        const qint64 rawCount = readRaw(path);
        raw += seconds(Clock::now() - start);

        start = Clock::now();
        const qint64 ourCount = readOurs(dir.path());
        const double elapsed = seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        if (ourCount != rawCount)
            state.SkipWithError("the reader brought back another number of messages than the raw queries");
        rows += ourCount;
    }
    state.counters["ours_per_s"] = benchmark::Counter(rows / ours);
    state.counters["raw_per_s"] = benchmark::Counter(rows / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

}  // namespace

BENCHMARK(BM_ReadWholeDatabase)->UseManualTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
