#include "floors.h"

#include "platform/allocator.h"
#include "fixtures/message_history.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>

namespace floors {

TemporaryHome::TemporaryHome()
{
    if (!m_home.isValid())
        throw std::runtime_error("cannot make a temporary home");
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(QStringLiteral(".local/share"))));
}

int runInTemporaryHome(int argc, char** argv)
{
    tuneAllocator();
    const TemporaryHome home;
    return runBenchmarks(argc, argv);
}

int runBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

double seconds(Clock::duration elapsed)
{
    return std::chrono::duration<double>(elapsed).count();
}

int benchMessages(int defaultCount)
{
    const int n = qEnvironmentVariableIntValue("BENCH_MESSAGES");
    return n > 0 ? n : defaultCount;
}

QByteArray generatedDatabase(const QString& path)
{
    fixtures::createIos6DeviceDb(path);
    fixtures::SampleHistoryOptions options;
    options.messages = benchMessages();
    fixtures::fillSampleHistory(path, options);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw std::runtime_error("cannot read the sample database");
    return file.readAll();
}

std::string columnText(sqlite3_stmt* s, int col)
{
    const char* p = reinterpret_cast<const char*>(sqlite3_column_text(s, col));
    return std::string(p ? p : "", std::size_t(sqlite3_column_bytes(s, col)));
}


namespace {

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

}  // namespace

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
    rawQuery(db,
             "select j.chat_id, h.* from (select distinct chat_id, handle_id from chat_handle_join) as j"
             " inner join handle as h on j.handle_id = h.rowid",
             kHandleColumns, handles);
    const qint64 count = rawQuery(db,
                                  "select j.chat_id, m.* from"
                                  " (select distinct chat_id, message_id from chat_message_join) as j"
                                  " inner join message as m on j.message_id = m.rowid and m.item_type <> 4",
                                  kMessageColumns, messages);
    rawQuery(db,
             "select ma.message_id, ma.attachment_id, a.* from"
             " (select distinct message_id, attachment_id from message_attachment_join) as ma"
             " inner join attachment as a on ma.attachment_id = a.rowid"
             " where ma.message_id in (select message_id from chat_message_join)",
             kAttachmentColumns, attachments);
    sqlite3_close(db);
    return count;
}


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

namespace {

// NULL for an empty value, as our writer leaves such columns out (their default is NULL).
Stmt& textOrNull(Stmt& stmt, const QString& value)
{
    if (value.isEmpty()) {
        sqlite3_bind_null(stmt.s, ++stmt.bound);
        return stmt;
    }
    return stmt.t(value);
}

Stmt& blobOrNull(Stmt& stmt, const QByteArray& value)
{
    if (value.isEmpty())
        sqlite3_bind_null(stmt.s, ++stmt.bound);
    else
        sqlite3_bind_blob(stmt.s, ++stmt.bound, value.constData(), value.size(), SQLITE_TRANSIENT);
    return stmt;
}

constexpr qint64 kRecoveredChatRowidLimit = -2047483646;

}  // namespace

// The exporter's look-ups and inserts per message with statements prepared once: the same rows and
// columns as our writer, and plain copies of the attachment files.
void localDbRaw(const MsgMessageList& messages, const QString& sourceRelay, const QString& dir, bool synchronous)
{
    IOS6MessageDb create(QDir(dir), QString(), true);  // the empty file from the schema, not timed
    create.open();
    create.close();
    const QString relay = QDir(dir).filePath(QStringLiteral("file-relay"));
    RawDb raw(fixtures::ios6DbPathIn(dir), SQLITE_OPEN_READWRITE);
    raw.exec("PRAGMA recursive_triggers=OFF");
    raw.exec("PRAGMA cache_size=-262144");  // as ours: the whole copy fits the page cache
    if (!synchronous)
        raw.exec("PRAGMA synchronous=OFF");
    raw.exec("BEGIN");
    {
        Stmt chatByGuid(raw.db, "select rowid from chat where guid=?");
        Stmt insertChat(raw.db, "insert into chat(guid,style,state,account_id,chat_identifier,service_name,"
                                "room_name,account_login,is_archived,display_name,group_id) values(?,?,?,?,?,?,?,?,?,?,?)");
        Stmt handleById(raw.db, "select rowid from handle where id=? and service=?");
        Stmt insertHandle(raw.db, "insert into handle(id,country,service,uncanonicalized_id,_ct_name,_photo)"
                                  " values(?,?,?,?,?,?)");
        Stmt hasMember(raw.db, "select 1 from chat_handle_join where chat_id=? and handle_id=?");
        Stmt member(raw.db, "replace into chat_handle_join(chat_id,handle_id) values(?,?)");
        Stmt byHash(raw.db, "select rowid from message where logic_hash=?");
        Stmt byGuid(raw.db, "select rowid from message where guid=?");
        Stmt insertMessage(raw.db,
            "insert into message(guid,text,replace,service_center,handle_id,subject,country,attributedBody,version,"
            "type,service,account,account_guid,error,date,date_read,date_delivered,is_delivered,is_finished,"
            "is_emote,is_from_me,is_empty,is_delayed,is_auto_reply,is_prepared,is_read,is_system_message,is_sent,"
            "has_dd_results,is_service_message,is_forward,was_downgraded,is_archive,cache_has_attachments,"
            "cache_roomnames,was_data_detected,was_deduplicated,is_audio_message,is_played,date_played,item_type,"
            "other_handle,group_title,group_action_type,share_status,share_direction,is_expirable,expire_state,"
            "message_action_type,logic_hash) values(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
            "?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        Stmt chatMessage(raw.db, "replace into chat_message_join(chat_id,message_id) values(?,?)");
        Stmt chatLast(raw.db, "update chat set _last=? where rowid=? and _last<?");
        Stmt lastAddressed(raw.db, "update chat set last_addressed_handle=? where rowid=?");
        Stmt attachmentByGuid(raw.db, "select rowid from attachment where guid=?");
        Stmt insertAttachment(raw.db, "insert into attachment(guid,created_date,start_date,filename,uti,mime_type,"
                                      "transfer_state,is_outgoing,user_info,transfer_name,total_bytes)"
                                      " values(?,?,?,?,?,?,?,?,?,?,?)");
        Stmt messageAttachment(raw.db, "replace into message_attachment_join(message_id,attachment_id) values(?,?)");
        const auto newHandle = [&](const _MsgHandle& h) {
            insertHandle.t(h.id);
            textOrNull(insertHandle, h.country).t(h.service);
            textOrNull(insertHandle, h.uncanonicalized_id).t(h.contactName);
            return blobOrNull(insertHandle, h.photo).insert();
        };
        const auto handleRow = [&](qint64 chat, const _MsgHandle& h) {
            qint64 row = handleById.t(h.id).t(h.service).run();
            if (row == 0)
                row = newHandle(h);
            if (hasMember.i(chat).i(row).run() == 0)
                member.i(chat).i(row).run();
            return row;
        };
        for (const _MsgMessage* m : messages) {
            if (!m->chat || m->chat->rowid < kRecoveredChatRowidLimit
                || (m->chat->service_name != QLatin1String("SMS") && m->chat->service_name != QLatin1String("iMessage")))
                continue;
            const _MsgChat& c = *m->chat;
            qint64 chat = chatByGuid.t(c.guid).run();
            if (chat == 0) {
                insertChat.t(c.guid).i(c.style).i(c.state);
                textOrNull(insertChat, c.account_id).t(c.chat_identifier).t(c.service_name);
                textOrNull(insertChat, c.room_name).t(c.account_login).i(c.is_archived);
                textOrNull(insertChat, c.display_name);
                chat = insertChat.t(c.group_id.isEmpty() ? guidFromMd5(c.guid.toUtf8()) : c.group_id).insert();
                for (const _MsgHandle* h : c.sortedHandles()) {
                    qint64 row = handleById.t(h->id).t(h->service).run();
                    if (row == 0)
                        row = newHandle(*h);
                    member.i(chat).i(row).run();
                }
            }
            const qint64 handle = m->handle ? handleRow(chat, *m->handle) : 0;
            const QString hash = messageLogicHash(m);
            qint64 message = byHash.t(hash).run();
            if (message == 0)
                message = byGuid.t(m->guid).run();
            if (message == 0) {
                const qint64 other = m->otherHandle ? handleRow(chat, *m->otherHandle) : 0;
                Stmt& s = insertMessage;
                s.t(m->guid).t(m->text).i(m->replace);
                textOrNull(s, m->service_center).i(handle);
                textOrNull(s, m->subject);
                textOrNull(s, m->country);
                blobOrNull(s, m->attributedBody).i(m->version).i(m->type).t(m->service).t(m->account)
                    .t(m->account_guid).i(m->error).i(m->date).i(m->date_read).i(m->date_delivered)
                    .i(m->is_delivered).i(m->is_finished).i(m->is_emote).i(m->is_from_me).i(m->is_empty)
                    .i(m->is_delayed).i(m->is_auto_reply).i(m->is_prepared).i(m->is_read).i(m->is_system_message)
                    .i(m->is_sent).i(m->has_dd_results).i(m->is_service_message).i(m->is_forward)
                    .i(m->was_downgraded).i(m->is_archive).i(m->cache_has_attachments).t(m->cache_roomnames)
                    .i(m->was_data_detected).i(m->was_deduplicated).i(m->is_audio_message).i(m->is_played)
                    .i(m->date_played).i(m->item_type).i(other > 0 ? other : -1);
                textOrNull(s, m->group_title).i(m->group_action_type).i(m->share_status).i(m->share_direction)
                    .i(m->is_expirable).i(m->expire_state).i(m->message_action_type);
                message = s.t(hash).insert();
                chatMessage.i(chat).i(message).run();
                chatLast.i(m->date).i(chat).i(m->date).run();
            }
            if (c.isGroup() && m->handle)
                lastAddressed.t(m->handle->id).i(chat).run();
            for (const _MsgAttachment* a : m->sortedAttachments()) {
                // The same file below the source's relay folder, taken as it stands.
                const QString from = QDir(sourceRelay).filePath(deviceRelativePath(a->filename));
                if (!a->filename.isEmpty() && QFileInfo(from).isFile()) {
                    const QString to = QDir(relay).filePath(deviceRelativePath(a->filename));
                    if (!QFileInfo::exists(to)) {
                        QDir().mkpath(QFileInfo(to).absolutePath());
                        copyRaw(from, to);
                    }
                }
                qint64 row = attachmentByGuid.t(a->guid).run();
                if (row == 0) {
                    Stmt& s = insertAttachment;
                    s.t(a->guid).i(a->created_date).i(a->start_date).t(a->filename).t(a->uti).t(a->mime_type)
                        .i(a->transfer_state).i(a->is_outgoing);
                    blobOrNull(s, a->user_info);
                    textOrNull(s, a->transfer_name);
                    row = s.i(a->total_bytes).insert();
                }
                messageAttachment.i(message).i(row).run();
            }
        }
    }
    raw.exec("COMMIT");
}

namespace {

// Every row of the tables the export writes, in row id order, one text line per row.
std::vector<std::string> tableDump(const QString& dir)
{
    RawDb db(fixtures::ios6DbPathIn(dir), SQLITE_OPEN_READONLY);
    std::vector<std::string> lines;
    for (const char* table : {"chat", "handle", "message", "attachment", "chat_handle_join", "chat_message_join",
                              "message_attachment_join"}) {
        Stmt all(db.db, (std::string("select * from ") + table + " order by rowid").c_str());
        while (sqlite3_step(all.s) == SQLITE_ROW) {
            std::string line = table;
            for (int col = 0; col < sqlite3_column_count(all.s); ++col)
                line += '|' + columnText(all.s, col);
            lines.push_back(std::move(line));
        }
    }
    return lines;
}

qint64 fileCount(const QString& dir)
{
    qint64 n = 0;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

}  // namespace

std::string localDbDifference(const QString& oursDir, const QString& rawDir)
{
    const std::vector<std::string> ours = tableDump(oursDir);
    const std::vector<std::string> raw = tableDump(rawDir);
    for (std::size_t k = 0; k < std::max(ours.size(), raw.size()); ++k) {
        const std::string a = k < ours.size() ? ours[k] : "(none)";
        const std::string b = k < raw.size() ? raw[k] : "(none)";
        if (a != b)
            return "local databases differ at row " + std::to_string(k) + ": ours \"" + a + "\", raw \"" + b + "\"";
    }
    const qint64 oursFiles = fileCount(oursDir);
    const qint64 rawFiles = fileCount(rawDir);
    if (oursFiles != rawFiles)
        return "local databases differ in files: ours " + std::to_string(oursFiles) + ", raw " + std::to_string(rawFiles);
    return std::string();
}


namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// The 32-byte file key from its RFC 3394 wrapping under classKey.
QByteArray unwrapRaw(EVP_CIPHER_CTX* context, const QByteArray& classKey, const QByteArray& wrapped)
{
    EVP_CIPHER_CTX_reset(context);
    EVP_CIPHER_CTX_set_flags(context, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    QByteArray key(wrapped.size(), Qt::Uninitialized);
    int length = 0;
    int last = 0;
    const auto* in = reinterpret_cast<const unsigned char*>(wrapped.constData());
    auto* out = reinterpret_cast<unsigned char*>(key.data());
    if (EVP_DecryptInit_ex(context, EVP_aes_256_wrap(), nullptr,
                           reinterpret_cast<const unsigned char*>(classKey.constData()), nullptr) != 1
        || EVP_DecryptUpdate(context, out, &length, in, wrapped.size()) != 1
        || EVP_DecryptFinal_ex(context, out + length, &last) != 1)
        throw std::runtime_error("raw cache: a key does not unwrap");
    key.resize(length + last);
    return key;
}

// mkdir of every folder on the way to path's folder that this run has not made yet.
void makeParents(const std::string& path, std::vector<std::string>& made)
{
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (std::find(made.crbegin(), made.crend(), folder) != made.crend())
            continue;
        ::mkdir(folder.c_str(), 0777);
        made.push_back(folder);
    }
}

}  // namespace

void cacheRaw(const std::vector<BackupFile>& files, const QMap<int, QByteArray>& classKeys, const QString& cacheDir)
{
    const std::string relay = QFile::encodeName(cacheDir + QStringLiteral("/file-relay/")).toStdString();
    CipherContext cipher(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    CipherContext wrap(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    std::vector<unsigned char> buffer(1 << 20);
    std::vector<std::string> made;
    for (const BackupFile& file : files) {
        const std::string target = relay + QFile::encodeName(file.relative).toStdString();
        makeParents(target, made);
        const std::string temporary = target + ".XXXXXX";
        const int in = ::open(QFile::encodeName(file.stored).constData(), O_RDONLY);
        const int out = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (in < 0 || out < 0)
            throw std::runtime_error("raw cache: cannot open " + target);
        const bool encrypted = !file.wrappedKey.isEmpty();
        if (encrypted) {
            const QByteArray key = unwrapRaw(wrap.get(), classKeys.value(file.protectionClass), file.wrappedKey);
            const unsigned char iv[16] = {};
            EVP_DecryptInit_ex(cipher.get(), EVP_aes_256_cbc(), nullptr,
                               reinterpret_cast<const unsigned char*>(key.constData()), iv);
            EVP_CIPHER_CTX_set_padding(cipher.get(), 0);
        }
        qint64 written = 0;
        for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;) {
            int plain = int(n);
            if (encrypted)
                EVP_DecryptUpdate(cipher.get(), buffer.data(), &plain, buffer.data(), int(n));
            const qint64 keep = encrypted ? qBound<qint64>(0, file.size - written, plain) : plain;
            if (::write(out, buffer.data(), size_t(keep)) != keep)
                throw std::runtime_error("raw cache: cannot write " + target);
            written += keep;
        }
        const timespec times[2] = {{time_t(file.mtime), 0}, {time_t(file.mtime), 0}};
        ::futimens(out, times);
        ::close(in);
        ::close(out);
        ::unlink(target.c_str());
        if (::rename(temporary.c_str(), target.c_str()) != 0)
            throw std::runtime_error("raw cache: cannot rename " + target);
    }
}

std::string folderDifference(const QString& oursDir, const QString& rawDir, const QStringList& skip)
{
    const auto filesBelow = [&skip](const QString& dir) {
        std::map<QString, QByteArray> files;
        QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString relative = QDir(dir).relativeFilePath(it.next());
            if (skip.contains(relative))
                continue;
            QFile file(it.filePath());
            files[relative] = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
        }
        return files;
    };
    const std::map<QString, QByteArray> ours = filesBelow(oursDir);
    const std::map<QString, QByteArray> raw = filesBelow(rawDir);
    for (const auto& [name, bytes] : ours) {
        const auto other = raw.find(name);
        if (other == raw.end())
            return "only ours has " + name.toStdString();
        if (other->second != bytes)
            return "the copies of " + name.toStdString() + " differ";
    }
    for (const auto& entry : raw)
        if (ours.find(entry.first) == ours.end())
            return "only the floor has " + entry.first.toStdString();
    return std::string();
}

Timing alternate(int call, const std::function<void()>& ours, const std::function<void()>& raw)
{
    Timing timing;
    const auto timed = [](const std::function<void()>& work) {
        // Neither side pays for writing out what the other (or the setup) left in the page cache.
        ::sync();
        const auto start = Clock::now();
        work();
        return seconds(Clock::now() - start);
    };
    if (call % 2 == 0) {
        timing.raw = timed(raw);
        timing.ours = timed(ours);
    } else {
        timing.ours = timed(ours);
        timing.raw = timed(raw);
    }
    return timing;
}

Timing timeInTurns(benchmark::State& state, const std::function<void(const QString&)>& ours,
                   const std::function<void(const QString&)>& raw,
                   const std::function<std::string(const QString&, const QString&)>& difference)
{
    static int calls = 0;
    Timing total;
    // Every folder is kept until the program ends. Removed after a turn, the tens of thousands of files
    // of a large import left ext4 with as many inodes just freed, which it passes over one by one when
    // the next turn (or repetition) makes files, under a lock the copying threads share: twice as long
    // for a history with 31,000 attachment files. No user imports into a disk that has just lost as many.
    static std::vector<std::unique_ptr<QTemporaryDir>> folders;
    for (auto _ : state) {
        folders.push_back(std::make_unique<QTemporaryDir>());
        const QTemporaryDir& ourDir = *folders.back();
        folders.push_back(std::make_unique<QTemporaryDir>());
        const QTemporaryDir& rawDir = *folders.back();
        const Timing run = alternate(calls++, [&] { ours(ourDir.path()); }, [&] { raw(rawDir.path()); });
        total.ours += run.ours;
        total.raw += run.raw;
        state.SetIterationTime(run.ours);
        const std::string why = difference(ourDir.path(), rawDir.path());
        if (!why.empty())
            state.SkipWithError(why.c_str());
    }
    return total;
}

void reportCounters(benchmark::State& state, double items, const Timing& total)
{
    state.counters["ours_per_s"] = benchmark::Counter(items / total.ours);
    state.counters["raw_per_s"] = benchmark::Counter(items / total.raw);
    state.counters["slowdown"] = benchmark::Counter(total.ours / total.raw);
}

}  // namespace floors
