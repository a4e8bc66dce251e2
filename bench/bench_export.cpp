// Exporting a whole generated history to CSV and into a new local database, each against a raw floor
// doing the same work in the same run: for CSV the plain SQLite C API reading the rows and plain C
// writing the lines (localtime_r/strftime, the same quoting, fwrite); for the local database the same
// look-ups and prepared inserts with the plain SQLite C API, and plain copies of the attachment files.
#include "export/exportmessagesdb.h"
#include "export/exportmessagesthread.h"
#include "msgdb/ios6_message_db.h"
#include "msgdb/attachment_path.h"
#include "msgdb/msgutil.h"

#include "fixtures/message_history.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

int messageCount()
{
    const int n = qEnvironmentVariableIntValue("BENCH_MESSAGES");
    return n > 0 ? n : 100000;
}

double since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A generated device history with a small file for every attachment, read into a store once.
struct Source {
    QTemporaryDir dir;
    _MsgStore store;
    MsgMessageList messages;
    QString dbPath;
    Source()
    {
        dbPath = fixtures::ios6DbPathIn(dir.path());
        fixtures::createIos6DeviceDb(dbPath);
        fixtures::SampleHistoryOptions options;
        options.messages = messageCount();
        options.conversations = qMax(1, options.messages / 250);
        fixtures::fillSampleHistory(dbPath, options);
        IOS6MessageDb db(QDir(dir.path()), QString(), false);
        db.messages(store, 0);
        db.close();
        messages = store.messageList();
        const QByteArray content(2048, 'a');
        for (const _MsgAttachment* a : store.data()->attachments) {
            if (a->localPath.isEmpty())
                continue;
            QDir().mkpath(QFileInfo(a->localPath).absolutePath());
            QFile file(a->localPath);
            if (file.open(QIODevice::WriteOnly))
                file.write(content);
        }
    }
};

const Source& source()
{
    static const Source s;
    return s;
}

// --- raw helpers ---------------------------------------------------------------------------------

struct RawDb {
    sqlite3* db = nullptr;
    RawDb(const QString& path, int flags)
    {
        if (sqlite3_open_v2(path.toUtf8().constData(), &db, flags, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open");
    }
    ~RawDb() { sqlite3_close(db); }
    void exec(const char* sql) const
    {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
};

struct Stmt {
    sqlite3* db;
    sqlite3_stmt* s = nullptr;
    int bound = 0;
    Stmt(sqlite3* d, const char* sql) : db(d)
    {
        if (sqlite3_prepare_v2(d, sql, -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(d));
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt& i(qint64 v)
    {
        sqlite3_bind_int64(s, ++bound, v);
        return *this;
    }
    Stmt& t(const QString& v)
    {
        const QByteArray u = v.toUtf8();
        sqlite3_bind_text(s, ++bound, u.constData(), u.size(), SQLITE_TRANSIENT);
        return *this;
    }
    // The first column of the first row, or 0.
    qint64 run()
    {
        qint64 first = 0;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW)
            first = first ? first : sqlite3_column_int64(s, 0);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db));
        sqlite3_reset(s);
        bound = 0;
        return first;
    }
    qint64 insert()
    {
        run();
        return sqlite3_last_insert_rowid(db);
    }
};

// --- CSV -----------------------------------------------------------------------------------------

void csvField(std::string& out, const char* text, int length)
{
    bool quote = false;
    for (int k = 0; k < length; ++k) {
        const char c = text[k];
        quote = quote || c == '"' || c == ',' || c == '\n' || c == '\r';
    }
    if (quote)
        out += '"';
    for (int k = 0; k < length; ++k) {
        if (text[k] == '"')
            out += '"';
        out += text[k];
    }
    if (quote)
        out += '"';
}

// Reads every message with its conversation's parties and writes the CSV lines; returns the lines.
qint64 csvRaw(const QString& dbPath, const QString& outPath)
{
    RawDb raw(dbPath, SQLITE_OPEN_READONLY);
    // Conversations: group (more than one member) or the first member's address.
    Stmt parties(raw.db,
                 "select c.rowid, c.chat_identifier, count(j.handle_id),"
                 " (select h.id from chat_handle_join j2 join handle h on h.rowid=j2.handle_id"
                 "  where j2.chat_id=c.rowid order by h.rowid limit 1)"
                 " from chat c left join chat_handle_join j on j.chat_id=c.rowid group by c.rowid");
    QHash<qint64, std::pair<std::string, std::string>> chatParties;  // person, number
    while (sqlite3_step(parties.s) == SQLITE_ROW) {
        const auto text = [&](int col) {
            const char* p = reinterpret_cast<const char*>(sqlite3_column_text(parties.s, col));
            return std::string(p ? p : "");
        };
        if (sqlite3_column_int(parties.s, 2) > 1)
            chatParties.insert(sqlite3_column_int64(parties.s, 0), {text(1), text(1)});
        else
            chatParties.insert(sqlite3_column_int64(parties.s, 0), {std::string(), text(3)});
    }
    Stmt rows(raw.db, "select m.date, m.is_from_me, m.text, j.chat_id from message m"
                      " left join chat_message_join j on j.message_id=m.rowid order by m.date, m.rowid");
    FILE* out = std::fopen(outPath.toUtf8().constData(), "w");
    if (!out)
        throw std::runtime_error("cannot write");
    std::string line = "date,send,person,number,content\n";
    std::fwrite(line.data(), 1, line.size(), out);
    qint64 lines = 0;
    while (sqlite3_step(rows.s) == SQLITE_ROW) {
        qint64 date = sqlite3_column_int64(rows.s, 0);
        if (date > 1000000000000LL)
            date /= 1000000000;  // nanoseconds on newer devices
        const std::time_t unixSeconds = std::time_t(date + kAppleEpochOffset);
        std::tm local{};
        localtime_r(&unixSeconds, &local);
        char stamp[32];
        const size_t stampLength = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        line.assign(stamp, stampLength);
        line += sqlite3_column_int(rows.s, 1) ? ",1," : ",0,";
        const auto party = chatParties.value(sqlite3_column_int64(rows.s, 3));
        csvField(line, party.first.data(), int(party.first.size()));
        line += ',';
        csvField(line, party.second.data(), int(party.second.size()));
        line += ',';
        // The text without the attachment marks (U+FFFC, EF BF BC in UTF-8).
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(rows.s, 2));
        std::string content;
        for (const char* p = text ? text : ""; *p; ++p) {
            if (std::strncmp(p, "\xEF\xBF\xBC", 3) == 0)
                p += 2;
            else
                content += *p;
        }
        csvField(line, content.data(), int(content.size()));
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), out);
        ++lines;
    }
    std::fclose(out);
    return lines;
}

void BM_ExportCsv(benchmark::State& state)
{
    const Source& s = source();
    double ours = 0, raw = 0;
    qint64 rows = 0;
    for (auto _ : state) {
        QTemporaryDir out;
        auto start = Clock::now();
        const qint64 rawLines = csvRaw(s.dbPath, out.filePath(QStringLiteral("raw.csv")));
        raw += since(start);
        start = Clock::now();
        // Ours reads the rows into records too, as the command does for a whole database.
        IOS6MessageDb db(QDir(s.dir.path()), QString(), false);
        _MsgStore store;
        db.messages(store, 0);
        ExportMessagesThread job(store.messageList(), out.filePath(QStringLiteral("ours.csv")),
                                 ExportMessagesThread::Csv, nullptr);
        job.run();
        const double ourSeconds = since(start);
        ours += ourSeconds;
        state.SetIterationTime(ourSeconds);
        rows += rawLines;
        // The reader leaves out rows it never shows (location shares), the raw floor writes them.
        state.counters["rows_only_raw"] = benchmark::Counter(double(rawLines - store.messageList().size()));
    }
    state.counters["ours_per_s"] = benchmark::Counter(rows / ours);
    state.counters["raw_per_s"] = benchmark::Counter(rows / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

// --- local database ------------------------------------------------------------------------------

bool copyRaw(const QString& from, const QString& to)
{
    FILE* in = std::fopen(from.toUtf8().constData(), "rb");
    if (!in)
        return false;
    FILE* out = std::fopen(to.toUtf8().constData(), "wb");
    char buffer[65536];
    size_t n;
    while (out && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        std::fwrite(buffer, 1, n, out);
    std::fclose(in);
    return out && std::fclose(out) == 0;
}

// The exporter's look-ups and inserts per message with statements prepared once.
void localDbRaw(const MsgMessageList& messages, const QString& dir)
{
    IOS6MessageDb create(QDir(dir), QString(), true);  // the empty file from the schema, not timed
    create.open();
    create.close();
    const QString relay = QDir(dir).filePath(QStringLiteral("file-relay"));
    RawDb raw(fixtures::ios6DbPathIn(dir), SQLITE_OPEN_READWRITE);
    raw.exec("BEGIN");
    {
        Stmt chatByGuid(raw.db, "select rowid from chat where guid=?");
        Stmt insertChat(raw.db, "insert into chat(guid,style,state,chat_identifier,service_name,account_login,"
                                "is_archived,group_id) values(?,?,?,?,?,?,?,?)");
        Stmt handleById(raw.db, "select rowid from handle where id=? and service=?");
        Stmt insertHandle(raw.db, "insert into handle(id,service,_ct_name) values(?,?,?)");
        Stmt hasMember(raw.db, "select 1 from chat_handle_join where chat_id=? and handle_id=?");
        Stmt member(raw.db, "replace into chat_handle_join(chat_id,handle_id) values(?,?)");
        Stmt byHash(raw.db, "select rowid from message where logic_hash=?");
        Stmt byGuid(raw.db, "select rowid from message where guid=?");
        Stmt insertMessage(raw.db, "insert into message(guid,text,handle_id,service,date,is_from_me,item_type,"
                                   "logic_hash) values(?,?,?,?,?,?,?,?)");
        Stmt chatMessage(raw.db, "replace into chat_message_join(chat_id,message_id) values(?,?)");
        Stmt chatLast(raw.db, "update chat set _last=? where rowid=? and _last<?");
        Stmt attachmentByGuid(raw.db, "select rowid from attachment where guid=?");
        Stmt insertAttachment(raw.db, "insert into attachment(guid,filename,mime_type) values(?,?,?)");
        Stmt messageAttachment(raw.db, "replace into message_attachment_join(message_id,attachment_id) values(?,?)");
        const auto handleRow = [&](qint64 chat, const _MsgHandle& h) {
            qint64 row = handleById.t(h.id).t(h.service).run();
            if (row == 0)
                row = insertHandle.t(h.id).t(h.service).t(h.contactName).insert();
            if (hasMember.i(chat).i(row).run() == 0)
                member.i(chat).i(row).run();
            return row;
        };
        for (const _MsgMessage* m : messages) {
            if (!m->chat)
                continue;
            qint64 chat = chatByGuid.t(m->chat->guid).run();
            if (chat == 0) {
                chat = insertChat.t(m->chat->guid).i(m->chat->style).i(m->chat->state).t(m->chat->chat_identifier)
                           .t(m->chat->service_name).t(m->chat->account_login).i(0)
                           .t(guidFromMd5(m->chat->guid.toUtf8())).insert();
                for (const _MsgHandle* h : m->chat->sortedHandles())
                    handleRow(chat, *h);
            }
            const qint64 handle = m->handle ? handleRow(chat, *m->handle) : 0;
            const QString hash = messageLogicHash(m);
            qint64 message = byHash.t(hash).run();
            if (message == 0)
                message = byGuid.t(m->guid).run();
            if (message == 0) {
                message = insertMessage.t(m->guid).t(m->text).i(handle).t(m->service).i(m->date).i(m->is_from_me)
                              .i(m->item_type).t(hash).insert();
                chatMessage.i(chat).i(message).run();
                chatLast.i(m->date).i(chat).i(m->date).run();
            }
            for (const _MsgAttachment* a : m->sortedAttachments()) {
                if (!a->localPath.isEmpty() && QFileInfo(a->localPath).isFile()) {
                    const QString to = QDir(relay).filePath(deviceRelativePath(a->filename));
                    if (!QFileInfo::exists(to)) {
                        QDir().mkpath(QFileInfo(to).absolutePath());
                        copyRaw(a->localPath, to);
                    }
                }
                qint64 row = attachmentByGuid.t(a->guid).run();
                if (row == 0)
                    row = insertAttachment.t(a->guid).t(a->filename).t(a->mime_type).insert();
                messageAttachment.i(message).i(row).run();
            }
        }
    }
    raw.exec("COMMIT");
}

void localDbOurs(const MsgMessageList& messages, const QString& dir)
{
    ExportMessagesDb exporter{QDir(dir), QString()};
    exporter.database().open();  // creating the file is not timed in either
    exporter.begin();
    for (_MsgMessage* m : messages)
        exporter.exportMessage(m);
    exporter.end();
}

void BM_ExportLocalDb(benchmark::State& state)
{
    const Source& s = source();
    MsgMessageList messages = s.messages;
    sortMessages(messages);
    double ours = 0, raw = 0;
    qint64 rows = 0;
    for (auto _ : state) {
        QTemporaryDir out;
        auto start = Clock::now();
        localDbRaw(messages, out.filePath(QStringLiteral("raw")));
        raw += since(start);
        start = Clock::now();
        localDbOurs(messages, out.filePath(QStringLiteral("ours")));
        const double ourSeconds = since(start);
        ours += ourSeconds;
        state.SetIterationTime(ourSeconds);
        rows += messages.size();
    }
    state.counters["ours_per_s"] = benchmark::Counter(rows / ours);
    state.counters["raw_per_s"] = benchmark::Counter(rows / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

}  // namespace

BENCHMARK(BM_ExportCsv)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExportLocalDb)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
