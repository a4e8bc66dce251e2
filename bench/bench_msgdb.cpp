// Reading a whole message database into a store, writing one into a new local database and deleting
// messages from it, each against the plain SQLite C API doing the same work, timed in the same run.
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"

#include "fixtures/message_history.h"
#include "fixtures/sqlite_file.h"
#include "floors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct OurRead {
    qint64 messages = 0;
    qint64 peakSteps = 0;   // of the costliest statement
    qint64 storeBytes = 0;  // heap the records hold once the connection is gone
};

OurRead readOurs(const QString& dir)
{
    const std::size_t before = mallinfo2().uordblks;
    _MsgStore store;
    OurRead read;
    {
        IOS6MessageDb db(QDir(dir), QString(), false);
        db.messages(store, 0);
        read.peakSteps = db.peakStatementSteps();
    }
    read.storeBytes = qint64(mallinfo2().uordblks) - qint64(before);
    read.messages = store.data()->messages.size();
    return read;
}

void BM_ReadWholeDatabase(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = fixtures::ios6DbPathIn(dir.path());
    fixtures::createIos6DeviceDb(path);
    fixtures::SampleHistoryOptions options;
    options.messages = floors::benchMessages();
    options.conversations = qMax(1, options.messages / 250);
    fixtures::fillSampleHistory(path, options);

    double ours = 0;
    double raw = 0;
    qint64 rows = 0;
    qint64 peakSteps = 0;
    qint64 storeBytes = 0;
    for (auto _ : state) {
        auto start = Clock::now();
        const qint64 rawCount = floors::readRaw(path);
        raw += floors::seconds(Clock::now() - start);

        start = Clock::now();
        const OurRead read = readOurs(dir.path());
        const double elapsed = floors::seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        if (read.messages != rawCount)
            state.SkipWithError("the reader brought back another number of messages than the raw queries");
        rows += read.messages;
        peakSteps = qMax(peakSteps, read.peakSteps);
        storeBytes = qMax(storeBytes, read.storeBytes);
    }
    state.counters["ours_per_s"] = benchmark::Counter(rows / ours);
    state.counters["raw_per_s"] = benchmark::Counter(rows / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
    // How much of its step budget the costliest statement of a genuine file takes.
    state.counters["file_MB"] = benchmark::Counter(QFileInfo(path).size() / 1e6);
    state.counters["peak_steps"] = benchmark::Counter(double(peakSteps));
    state.counters["budget_share"] = benchmark::Counter(double(peakSteps) / double(kMessageDbStepBudget));
    state.counters["store_bytes_per_message"] = benchmark::Counter(double(storeBytes) / double(options.messages));
}

// ---------------------------------------------------------------------------------------------
// Writing a history into a new local database, and deleting messages from it

// A device history read into a store, with its records in the order they are written.
struct WriteSource {
    QTemporaryDir dir;
    _MsgStore store;
    QList<_MsgHandle*> handles;
    QList<_MsgChat*> chats;
    QList<_MsgMessage*> messages;

    WriteSource()
    {
        const QString path = fixtures::ios6DbPathIn(dir.path());
        fixtures::createIos6DeviceDb(path);
        fixtures::SampleHistoryOptions options;
        options.messages = floors::benchMessages();
        options.conversations = qMax(1, options.messages / 250);
        fixtures::fillSampleHistory(path, options);
        IOS6MessageDb db(QDir(dir.path()), QString(), false);
        db.messages(store, 0);
        handles = sortedByRowid(store.data()->handles.values());
        chats = sortedByRowid(store.data()->chats.values());
        messages = sortedByRowid(store.data()->messages.values());
    }

    template <typename T>
    static QList<T*> sortedByRowid(QList<T*> records)
    {
        std::sort(records.begin(), records.end(), [](const T* a, const T* b) { return a->rowid < b->rowid; });
        return records;
    }
};

const WriteSource& writeSource()
{
    static const WriteSource source;  // generated once for every benchmark of the run
    return source;
}

QByteArray localSchema()
{
    QFile file(QStringLiteral(":/res/localmsgdb_ddl.sql"));
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the local schema");
    return file.readAll();
}

// Writes the source through IOS6MessageDb in the local-database exporter's order; returns messages.
qint64 writeOurs(const WriteSource& source, const QString& dir)
{
    IOS6MessageDb db(QDir(dir), QString(), true);
    db.open();  // creating the file from the schema is not timed
    const auto start = Clock::now();
    db.beginTransaction();
    QHash<qint64, qint64> handleRows, chatRows, attachmentRows;
    for (const _MsgHandle* handle : source.handles)
        handleRows.insert(handle->rowid, db.insertHandle(*handle));
    for (const _MsgChat* chat : source.chats)
        chatRows.insert(chat->rowid, db.insertChat(*chat));
    for (const _MsgMessage* m : source.messages) {
        const qint64 handle = m->handle ? handleRows.value(m->handle->rowid) : 0;
        const qint64 other = m->otherHandle ? handleRows.value(m->otherHandle->rowid) : 0;
        const qint64 message = db.insertMessage(*m, handle, other, QString());
        db.replaceChatMessageJoin(chatRows.value(m->chat->rowid), message);
        for (const _MsgAttachment* a : m->sortedAttachments()) {
            qint64& row = attachmentRows[a->rowid];
            if (row == 0)
                row = db.insertAttachment(*a);
            db.replaceMessageAttachmentJoin(message, row);
        }
    }
    db.endTransaction(true);
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

struct RawDb {
    sqlite3* db = nullptr;
    explicit RawDb(const QString& path)
    {
        if (sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open");
    }
    ~RawDb() { sqlite3_close(db); }
    void exec(const char* sql) const
    {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
};

// One prepared statement bound by position.
class RawStmt {
public:
    RawStmt(sqlite3* db, const char* sql) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
    ~RawStmt() { sqlite3_finalize(m_stmt); }
    RawStmt(const RawStmt&) = delete;
    RawStmt& operator=(const RawStmt&) = delete;

    RawStmt& integer(qint64 value)
    {
        sqlite3_bind_int64(m_stmt, ++m_index, value);
        return *this;
    }
    RawStmt& text(const QString& value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(m_stmt, ++m_index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        return *this;
    }
    RawStmt& textOrNull(const QString& value) { return value.isEmpty() ? null() : text(value); }
    RawStmt& blobOrNull(const QByteArray& value)
    {
        if (value.isEmpty())
            return null();
        sqlite3_bind_blob(m_stmt, ++m_index, value.constData(), value.size(), SQLITE_TRANSIENT);
        return *this;
    }
    RawStmt& null()
    {
        sqlite3_bind_null(m_stmt, ++m_index);
        return *this;
    }
    // Steps to the end; the first column of the first row, else 0.
    qint64 run()
    {
        qint64 first = 0;
        int rc;
        while ((rc = sqlite3_step(m_stmt)) == SQLITE_ROW)
            first = first ? first : sqlite3_column_int64(m_stmt, 0);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(m_db));
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
        m_index = 0;
        return first;
    }
    qint64 insert()
    {
        run();
        return sqlite3_last_insert_rowid(m_db);
    }

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
    int m_index = 0;
};

// The same rows with statements prepared once over every column, NULL where ours leaves a column out.
qint64 writeRaw(const WriteSource& source, const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    fixtures::createSqliteFile(path, QString::fromUtf8(localSchema()));
    RawDb raw(path);
    const auto start = Clock::now();
    raw.exec("BEGIN");
    {
        RawStmt insertHandle(raw.db, "insert into handle(id,country,service,uncanonicalized_id,_ct_name,_photo)"
                                     " values(?,?,?,?,?,?)");
        RawStmt findHandle(raw.db, "select rowid from handle where id=? and service=?");
        RawStmt insertChat(raw.db, "insert into chat(guid,style,state,account_id,chat_identifier,service_name,"
                                   "room_name,account_login,is_archived,display_name,group_id)"
                                   " values(?,?,?,?,?,?,?,?,?,?,?)");
        RawStmt chatHandle(raw.db, "replace into chat_handle_join(chat_id,handle_id) values(?,?)");
        RawStmt insertMessage(raw.db,
                              "insert into message(guid,text,replace,service_center,handle_id,subject,country,"
                              "attributedBody,version,type,service,account,account_guid,error,date,date_read,"
                              "date_delivered,is_delivered,is_finished,is_emote,is_from_me,is_empty,is_delayed,"
                              "is_auto_reply,is_prepared,is_read,is_system_message,is_sent,has_dd_results,"
                              "is_service_message,is_forward,was_downgraded,is_archive,cache_has_attachments,"
                              "cache_roomnames,was_data_detected,was_deduplicated,is_audio_message,is_played,"
                              "date_played,item_type,other_handle,group_title,group_action_type,share_status,"
                              "share_direction,is_expirable,expire_state,message_action_type,logic_hash)"
                              " values(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
                              "?,?,?,?,?,?,?,?,?,?,?,?)");
        RawStmt chatMessage(raw.db, "replace into chat_message_join(chat_id,message_id) values(?,?)");
        RawStmt insertAttachment(raw.db, "insert into attachment(guid,created_date,start_date,filename,uti,mime_type,"
                                         "transfer_state,is_outgoing,user_info,transfer_name,total_bytes)"
                                         " values(?,?,?,?,?,?,?,?,?,?,?)");
        RawStmt messageAttachment(raw.db,
                                  "replace into message_attachment_join(message_id,attachment_id) values(?,?)");

        QHash<qint64, qint64> handleRows, chatRows, attachmentRows;
        for (const _MsgHandle* h : source.handles) {
            handleRows.insert(h->rowid, insertHandle.text(h->id)
                                            .textOrNull(h->country)
                                            .text(h->service)
                                            .textOrNull(h->uncanonicalized_id)
                                            .text(h->contactName)
                                            .blobOrNull(h->photo)
                                            .insert());
        }
        for (const _MsgChat* c : source.chats) {
            const qint64 chat = insertChat.text(c->guid)
                                    .integer(c->style)
                                    .integer(c->state)
                                    .textOrNull(c->account_id)
                                    .text(c->chat_identifier)
                                    .text(c->service_name)
                                    .textOrNull(c->room_name)
                                    .text(c->account_login)
                                    .integer(c->is_archived)
                                    .textOrNull(c->display_name)
                                    .text(c->group_id.isEmpty() ? guidFromMd5(c->guid.toUtf8()) : c->group_id)
                                    .insert();
            chatRows.insert(c->rowid, chat);
            for (const _MsgHandle* h : c->sortedHandles())
                chatHandle.integer(chat).integer(findHandle.text(h->id).text(h->service).run()).run();
        }
        for (const _MsgMessage* m : source.messages) {
            const qint64 other = m->otherHandle ? handleRows.value(m->otherHandle->rowid) : 0;
            insertMessage.text(m->guid).text(m->text).integer(m->replace).textOrNull(m->service_center);
            insertMessage.integer(m->handle ? handleRows.value(m->handle->rowid) : 0)
                .textOrNull(m->subject)
                .textOrNull(m->country)
                .blobOrNull(m->attributedBody);
            insertMessage.integer(m->version).integer(m->type).text(m->service).text(m->account).text(m->account_guid);
            insertMessage.integer(m->error).integer(m->date).integer(m->date_read).integer(m->date_delivered);
            for (const int flag : {m->is_delivered, m->is_finished, m->is_emote, m->is_from_me, m->is_empty,
                                   m->is_delayed, m->is_auto_reply, m->is_prepared, m->is_read, m->is_system_message,
                                   m->is_sent, m->has_dd_results, m->is_service_message, m->is_forward,
                                   m->was_downgraded, m->is_archive, m->cache_has_attachments})
                insertMessage.integer(flag);
            insertMessage.text(m->cache_roomnames).integer(m->was_data_detected).integer(m->was_deduplicated);
            insertMessage.integer(m->is_audio_message).integer(m->is_played).integer(m->date_played);
            insertMessage.integer(m->item_type).integer(other > 0 ? other : -1).textOrNull(m->group_title);
            insertMessage.integer(m->group_action_type).integer(m->share_status).integer(m->share_direction);
            insertMessage.integer(m->is_expirable).integer(m->expire_state).integer(m->message_action_type);
            const qint64 message = insertMessage.text(messageLogicHash(m)).insert();
            chatMessage.integer(chatRows.value(m->chat->rowid)).integer(message).run();
            for (const _MsgAttachment* a : m->sortedAttachments()) {
                qint64& row = attachmentRows[a->rowid];
                if (row == 0)
                    row = insertAttachment.text(a->guid)
                              .integer(a->created_date)
                              .integer(a->start_date)
                              .text(a->filename)
                              .text(a->uti)
                              .text(a->mime_type)
                              .integer(a->transfer_state)
                              .integer(a->is_outgoing)
                              .blobOrNull(a->user_info)
                              .textOrNull(a->transfer_name)
                              .integer(a->total_bytes)
                              .insert();
                messageAttachment.integer(message).integer(row).run();
            }
        }
    }
    raw.exec("COMMIT");
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
}

// Rows of table in a and not in b, plus the other way round: 0 when both files hold the same rows.
qint64 differingRows(const QString& a, const QString& b, const char* table)
{
    RawDb db(a);
    const QByteArray attach = "attach database '" + b.toUtf8() + "' as other";
    db.exec(attach.constData());
    const QByteArray sql = QByteArray("select (select count(*) from (select * from main.") + table
                           + " except select * from other." + table + ")) + (select count(*) from (select * from other."
                           + table + " except select * from main." + table + "))";
    RawStmt count(db.db, sql.constData());
    return count.run();
}

void BM_WriteHistoryIntoLocalDb(benchmark::State& state)
{
    const WriteSource& source = writeSource();
    double ours = 0;
    double raw = 0;
    qint64 rows = 0;
    for (auto _ : state) {
        QTemporaryDir target;
        const QString ourDir = target.filePath(QStringLiteral("ours"));
        const QString rawPath = fixtures::ios6DbPathIn(target.filePath(QStringLiteral("raw")));
        const double rawSeconds = double(writeRaw(source, rawPath)) / 1e9;
        const double ourSeconds = double(writeOurs(source, ourDir)) / 1e9;
        raw += rawSeconds;
        ours += ourSeconds;
        state.SetIterationTime(ourSeconds);
        rows += source.messages.size();
        for (const char* table : {"handle", "chat", "chat_handle_join", "message", "chat_message_join", "attachment",
                                  "message_attachment_join"}) {
            if (differingRows(fixtures::ios6DbPathIn(ourDir), rawPath, table) != 0)
                state.SkipWithError("our writer and the raw inserts left different rows");
        }
    }
    state.counters["ours_per_s"] = benchmark::Counter(rows / ours);
    state.counters["raw_per_s"] = benchmark::Counter(rows / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

// The trigger older schemas carried: every deleted join row sweeps the whole message table.
const char kSweepingTrigger[] =
    "DROP TRIGGER clean_orphaned_messages;"
    "CREATE TRIGGER clean_orphaned_messages AFTER DELETE ON chat_message_join BEGIN DELETE FROM message"
    " WHERE (SELECT 1 FROM chat_message_join WHERE message_id = message.ROWID LIMIT 1) IS NULL; END;";

int deleteCount()
{
    const int n = qEnvironmentVariableIntValue("BENCH_DELETES");
    return n > 0 ? n : qMax(1, floors::benchMessages() / 10);
}

// A local database written from the source once; each run deletes from a copy of it.
const QString& writtenLocalDb()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        writeOurs(writeSource(), dir.filePath(QStringLiteral("local")));
        return fixtures::ios6DbPathIn(dir.filePath(QStringLiteral("local")));
    }();
    return path;
}

// Every tenth message of the local database, as records that point to their chats.
struct DeleteTargets {
    _MsgStore store;
    QList<_MsgMessage*> messages;
};

void BM_DeleteMessages(benchmark::State& state)
{
    const bool sweeping = state.range(0) != 0;
    double ours = 0;
    double raw = 0;
    qint64 rows = 0;
    for (auto _ : state) {
        QTemporaryDir work;
        const QString ourDir = work.filePath(QStringLiteral("ours"));
        const QString ourPath = fixtures::ios6DbPathIn(ourDir);
        const QString rawPath = work.filePath(QStringLiteral("raw.db"));
        QDir().mkpath(QFileInfo(ourPath).absolutePath());
        QFile::copy(writtenLocalDb(), ourPath);
        QFile::copy(writtenLocalDb(), rawPath);
        if (sweeping) {
            RawDb(ourPath).exec(kSweepingTrigger);
            RawDb(rawPath).exec(kSweepingTrigger);
        }
        IOS6MessageDb db(QDir(ourDir), QString(), true);
        DeleteTargets targets;
        db.messages(targets.store, 0);
        QList<_MsgMessage*> all = WriteSource::sortedByRowid(targets.store.data()->messages.values());
        // The sweep costs a scan of the message table per deleted row: a twentieth of the deletes
        // gives its rate without running for minutes.
        const int wanted = sweeping ? qMax(1, deleteCount() / 20) : deleteCount();
        const int step = qMax(1, all.size() / wanted);
        for (int i = 0; i < all.size() && targets.messages.size() < wanted; i += step)
            targets.messages.append(all.at(i));

        {
            RawDb rawDb(rawPath);
            RawStmt message(rawDb.db, "DELETE FROM message WHERE rowid=?");
            RawStmt chatJoin(rawDb.db, "DELETE FROM chat_message_join where message_id=?");
            RawStmt attachmentJoin(rawDb.db, "DELETE FROM message_attachment_join where message_id=?");
            RawStmt chat(rawDb.db, "DELETE FROM chat WHERE rowid=? and (SELECT 1 from chat_message_join"
                                   " WHERE chat_id=? LIMIT 1) IS NULL");
            const auto start = Clock::now();
            rawDb.exec("BEGIN");
            for (const _MsgMessage* m : targets.messages) {
                message.integer(m->rowid).run();
                chatJoin.integer(m->rowid).run();
                attachmentJoin.integer(m->rowid).run();
                chat.integer(m->chat->rowid).integer(m->chat->rowid).run();
            }
            rawDb.exec("COMMIT");
            raw += floors::seconds(Clock::now() - start);
        }

        const auto start = Clock::now();
        db.beginTransaction();
        for (const _MsgMessage* m : targets.messages)
            db.deleteMessage(*m);
        db.endTransaction(true);
        const double elapsed = floors::seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        rows += targets.messages.size();
        db.close();
        if (differingRows(ourPath, rawPath, "message") != 0 || differingRows(ourPath, rawPath, "attachment") != 0)
            state.SkipWithError("our deletes and the raw deletes left different rows");
    }
    state.counters["ours_per_s"] = benchmark::Counter(rows / ours);
    state.counters["raw_per_s"] = benchmark::Counter(rows / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

}  // namespace

BENCHMARK(BM_ReadWholeDatabase)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteHistoryIntoLocalDb)->UseManualTime()->Unit(benchmark::kMillisecond);
// Argument 0: the shipped trigger, narrowed to the deleted row's message; 1: the whole-table sweep.
BENCHMARK(BM_DeleteMessages)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DeleteMessages)->Arg(1)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    return floors::runInTemporaryHome(argc, argv);
}
