#include "msgdb/ios6messagedb.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "core/sharedstrings.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/messagedbfolder.h"
#include "msgdb/msgutil.h"
#include "platform/schemascript.h"
#include "platform/sqlite3readahead.h"

#include <QDebug>
#include <QFileInfo>
#include <QHash>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <functional>
#include <memory>
#include <optional>

namespace {

// Both functions let statements run on device files whose triggers call them; they do nothing.
void sqlNoOp(sqlite3_context* context, int /*argc*/, sqlite3_value** /*argv*/)
{
    sqlite3_result_int(context, 0);
}

// Positions of a table's columns in one statement, looked up once and read by position per row.
template <typename Record, std::size_t N>
Ios6Positions<N> positionsIn(const Sqlite3Cursor& cursor, const std::array<Ios6Column<Record>, N>& columns)
{
    return ios6Positions(
        columns, [&](const char* name) { return cursor.columnIndex(QLatin1String(name)); },
        [](const Ios6Column<Record>&) { return true; });
}

// The columns the reader uses beyond filling records.
constexpr int kChatRowid = ios6ColumnIndex(kIos6ChatColumns, "rowid");
constexpr int kHandleRowid = ios6ColumnIndex(kIos6HandleColumns, "rowid");
constexpr int kHandleChatId = ios6ColumnIndex(kIos6HandleColumns, "chat_id");
constexpr int kMessageRowid = ios6ColumnIndex(kIos6MessageColumns, "rowid");
constexpr int kMessageDate = ios6ColumnIndex(kIos6MessageColumns, "date");
constexpr int kMessageItemType = ios6ColumnIndex(kIos6MessageColumns, "item_type");
constexpr int kMessageChatId = ios6ColumnIndex(kIos6MessageColumns, "chat_id");
constexpr int kAttachmentId = ios6ColumnIndex(kIos6AttachmentColumns, "attachment_id");
constexpr int kAttachmentMessageId = ios6ColumnIndex(kIos6AttachmentColumns, "message_id");
static_assert(kChatRowid >= 0 && kHandleRowid >= 0 && kHandleChatId >= 0 && kMessageRowid >= 0 && kMessageDate >= 0
              && kMessageItemType >= 0 && kMessageChatId >= 0 && kAttachmentId >= 0 && kAttachmentMessageId >= 0);

// The (chat_id, message_id) pairs of chat_message_join as a subquery, each once however often a crafted
// file repeats it; only those of one conversation when chatRowid > 0.
void appendChatMessagePairs(Sqlite3Sql& sql, qint64 chatRowid)
{
    sql.appendSql(QStringLiteral("(select distinct chat_id, message_id from chat_message_join"));
    if (chatRowid > 0)
        sql.appendSql(QStringLiteral(" where chat_id = ?")).addInt64Param(chatRowid);
    sql.appendSql(QStringLiteral(")"));
}

// The message of each pair as m. CROSS JOIN keeps the pairs as the outer loop, so SQLite hands them
// over as it finds them instead of first writing them all into a temporary table.
void appendMessagesOfPairs(Sqlite3Sql& sql)
{
    sql.appendSql(QStringLiteral(" as j cross join message as m on j.message_id = m.rowid"));
}

const QString kMessageTable = QStringLiteral("message");
const QString kChatTable = QStringLiteral("chat");
// Every table the reader reads.
const QStringList kReadTables = {kChatTable, QStringLiteral("handle"), QStringLiteral("chat_handle_join"),
                                 kMessageTable, QStringLiteral("chat_message_join"),
                                 QStringLiteral("message_attachment_join"), QStringLiteral("attachment")};

}  // namespace

IOS6MessageDb::IOS6MessageDb(const QDir& dir, const QString& mcc, bool upgradeSchema)
    : m_dir(dir),
      m_fileRelayDir(::fileRelayDir(dir)),
      m_contactsDb(dir, mcc),
      m_recycleDb(dir.absoluteFilePath(QStringLiteral("recycle.db"))),
      m_countryDb(mcc),
      m_dbPath(messageDbPath(dir)),
      m_upgradeSchema(upgradeSchema)
{
}

// ---------------------------------------------------------------------------------------------
// Opening

void IOS6MessageDb::open()
{
    if (isOpen())
        return;
    m_held.clear();  // statements of an earlier connection
    m_guidsChecked = {};
    const bool exists = QFileInfo::exists(m_dbPath);
    // Only local databases may be created: an empty file at a device or backup path would read as
    // "no messages" instead of an error.
    if (!exists && !m_upgradeSchema)
        throwUtf8(QStringLiteral("Cannot find ") + m_dbPath);
    try {
        readMessageDb([&] {
            if (exists)
                openExisting();
            else
                createFromScript();
        });
        registerFunctions();
        m_present = probePresentColumns();
        m_openedOnce = true;
    } catch (...) {
        // Never stay open with empty probes: every later call would act on the wrong layout.
        close();
        m_tableDdl.clear();
        m_present = PresentColumns();
        throw;
    }
}

void IOS6MessageDb::openExisting()
{
    // Files from devices and backups are bounded; local databases are this program's own.
    if (m_upgradeSchema)
        setStepBudget(0);
    else
        limitOutsideDatabase(*this);
    openThrow(m_dbPath, 2);
    loadTableDdl();
    checkReadableTables(*this, m_tableDdl, kReadTables);
    // A page cache for large files, set once the schema has been read under its limits (the pragma
    // reads the schema too).
    QString ignored;
    exec(QStringLiteral("PRAGMA cache_size=-65536"), ignored);
    if (m_upgradeSchema) {
        upgradeColumns();
        loadTableDdl();
    }
}

void IOS6MessageDb::createFromScript()
{
    makePrivatePath(QFileInfo(m_dbPath).absolutePath());
    const QByteArray script =
        readScriptResource(QStringLiteral(":/res/localmsgdb_ddl.sql"), QStringLiteral("read IOS6MessageDb ddl error. "));
    createDatabaseFromScript(*this, m_dbPath, script, QStringLiteral("create IOS6MessageDb error. "));
    loadTableDdl();
}

void IOS6MessageDb::upgradeColumns()
{
    if (!tbInfo(kChatTable).contains(QStringLiteral("group_id")))
        runUpgradeStatement(__LINE__, QStringLiteral("ALTER TABLE chat ADD COLUMN group_id TEXT;"));
    // The column list as it was before any change.
    const auto messageColumns = tbInfo(kMessageTable);
    for (const auto& [name, sql] : ios6LaterMessageColumnStatements()) {
        if (!messageColumns.contains(QLatin1String(name)))
            runUpgradeStatement(__LINE__, sql);
    }
    if (!messageColumns.contains(QStringLiteral("logic_hash"))) {
        runUpgradeStatement(__LINE__, QStringLiteral("ALTER TABLE message ADD COLUMN logic_hash TEXT;"));
        runUpgradeStatement(__LINE__, QStringLiteral("CREATE INDEX message_idx_logic_hash ON message(logic_hash);"));
    }
}

void IOS6MessageDb::runUpgradeStatement(int line, const QString& sql)
{
    QString error;
    if (exec(sql, error) != 0)
        throwUtf8(QStringLiteral("line:%1, sql:%2, error:%3").arg(line).arg(sql, error));
}

void IOS6MessageDb::registerFunctions()
{
    // A new connection has none of them, so every open registers them again.
    const int flags = SQLITE_ANY | SQLITE_INNOCUOUS;
    if (sqlite3_create_function_v2(handle(), "delete_attachment_path", 1, flags, nullptr, sqlNoOp, nullptr,
                                   nullptr, nullptr) != SQLITE_OK
        || sqlite3_create_function_v2(handle(), "before_delete_attachment_path", 2, flags, nullptr, sqlNoOp,
                                      nullptr, nullptr, nullptr) != SQLITE_OK)
        throwUtf8(QStringLiteral("register IOS6MessageDb functions error. %1")
                      .arg(QString::fromUtf8(sqlite3_errmsg(handle()))));
}

void IOS6MessageDb::loadTableDdl()
{
    m_tableDdl = tableSqlOf(*this);  // replaced whole: a table dropped since an earlier open must not linger
}

// ---------------------------------------------------------------------------------------------
// Probes

bool IOS6MessageDb::ddlContains(const QString& table, const QString& text, Qt::CaseSensitivity cs) const
{
    return m_tableDdl.value(table).contains(text, cs);
}

// Asked for every message a copy writes: probed once per open with the other columns.
bool IOS6MessageDb::hasItemType() const
{
    return m_present.message >> ios6ColumnIndex(kIos6MessageColumns, "item_type") & 1;
}

bool IOS6MessageDb::hasLogicHash() const
{
    return m_present.message >> ios6ColumnIndex(kIos6MessageColumns, "logic_hash") & 1;
}

bool IOS6MessageDb::hasChatLast() const
{
    return m_present.chat >> ios6ColumnIndex(kIos6ChatColumns, "_last") & 1;
}

// ---------------------------------------------------------------------------------------------
// Reading

void IOS6MessageDb::chats(_MsgStore& store)
{
    open();
    SharedStrings strings;
    readMessageDb([&] { readConversations(store, false, strings); });
}

void IOS6MessageDb::readConversations(_MsgStore& store, bool lastFromMessages, SharedStrings& strings)
{
    m_naming.openContactsQuietly();
    readChats(store, strings);
    if (!hasChatLast() && !lastFromMessages)
        applyLastFromMessageDates(store);
    readChatHandles(store, strings);
}

void IOS6MessageDb::readChats(_MsgStore& store, SharedStrings& strings)
{
    auto& chats = store.data()->chats;
    Sqlite3Cursor cursor = queryThrow("select * from chat");
    const auto positions = positionsIn(cursor, kIos6ChatColumns);
    while (cursor.moveNext()) {
        const qint64 rowid = cursor.getInt64(positions[kChatRowid]);
        if (chats.contains(rowid))
            continue;
        auto chat = std::make_unique<_MsgChat>();
        fillIos6Record(*chat, cursor.row(), kIos6ChatColumns, positions, &strings);
        chats.insert(rowid, chat.release());
    }
}

void IOS6MessageDb::applyLastFromMessageDates(_MsgStore& store)
{
    const auto& chats = store.data()->chats;
    // Both tables read in file order and joined here: the engine's join looks every message up by row
    // id, at random places of a large file. The messages are kept sorted by row id (as a table scan
    // yields them), found by halving rather than hashed one node each. Ids or dates that are not
    // integers (a file no device wrote) are left to the engine, whose comparisons of other types this
    // does not repeat.
    struct Dated {
        qint64 rowid;
        std::optional<qint64> date;  // empty for NULL
    };
    std::vector<Dated> dates;
    bool integers = true;
    bool sorted = true;
    for (Sqlite3Cursor m = queryThrow("select rowid, date, typeof(date) in ('integer', 'null') from message");
         integers && m.moveNext();) {
        integers = m.getInt(2) != 0;
        const qint64 rowid = m.getInt64(0);
        sorted = sorted && (dates.empty() || dates.back().rowid < rowid);
        dates.push_back({rowid, m.isNull(1) ? std::nullopt : std::optional<qint64>(m.getInt64(1))});
    }
    const auto byRowid = [](const Dated& a, const Dated& b) { return a.rowid < b.rowid; };
    if (!sorted)
        std::sort(dates.begin(), dates.end(), byRowid);
    IdHash<std::optional<qint64>> newest;  // chat -> its newest date, empty when all are NULL
    // The joins come grouped by conversation (their primary key's order): one hash look-up per group.
    std::optional<qint64>* last = nullptr;
    qint64 lastChat = 0;
    for (Sqlite3Cursor j = queryThrow("select chat_id, message_id, typeof(chat_id) = 'integer' and"
                                      " typeof(message_id) = 'integer' from chat_message_join");
         integers && j.moveNext();) {
        integers = j.getInt(2) != 0;
        const Dated key{j.getInt64(1), std::nullopt};
        const auto date = std::lower_bound(dates.cbegin(), dates.cend(), key, byRowid);
        if (date == dates.cend() || date->rowid != key.rowid)
            continue;
        if (!last || j.getInt64(0) != lastChat) {
            lastChat = j.getInt64(0);
            last = &newest[lastChat];  // valid until the next insertion, which only a new group makes
        }
        if (date->date && (!*last || *date->date > **last))
            *last = date->date;
    }
    if (!integers)
        return applyLastFromMessageDatesInSql(store);
    for (auto it = newest.cbegin(); it != newest.cend(); ++it) {
        if (_MsgChat* chat = chats.value(it.key()))
            chat->last = appleDateSeconds(it->value_or(0));
    }
}

void IOS6MessageDb::applyLastFromMessageDatesInSql(_MsgStore& store)
{
    const auto& chats = store.data()->chats;
    Sqlite3Cursor cursor = queryThrow(
        "select chat_id, max(date) as last from ( select cm.chat_id, m.date from chat_message_join as cm"
        " inner join message as m on cm.message_id=m.rowid ) as tmp group by chat_id");
    const int chatId = cursor.columnIndex(QStringLiteral("chat_id"));
    const int last = cursor.columnIndex(QStringLiteral("last"));
    while (cursor.moveNext()) {
        if (_MsgChat* chat = chats.value(cursor.getInt64(chatId)))
            chat->last = appleDateSeconds(cursor.getInt64(last));
    }
}

void IOS6MessageDb::readChatHandles(_MsgStore& store, SharedStrings& strings)
{
    auto& handles = store.data()->handles;
    const auto& chats = store.data()->chats;
    // Each pair once, however often a crafted file repeats it.
    Sqlite3Cursor cursor = queryThrow(
        "select j.chat_id, h.* from (select distinct chat_id, handle_id from chat_handle_join) as j"
        " inner join handle as h on j.handle_id = h.rowid");
    const auto positions = positionsIn(cursor, kIos6HandleColumns);
    while (cursor.moveNext()) {
        const qint64 rowid = cursor.getInt64(positions[kHandleRowid]);
        _MsgHandle* handle = handles.value(rowid);
        if (!handle) {
            auto made = std::make_unique<_MsgHandle>();
            fillIos6Record(*made, cursor.row(), kIos6HandleColumns, positions, &strings);
            handle = made.release();
            handles.insert(rowid, handle);
            normalizeHandle(*handle);
            m_naming.applyContact(*handle);
        }
        if (_MsgChat* chat = chats.value(cursor.getInt64(positions[kHandleChatId])))
            chat->handles.insert(rowid, handle);
    }
}

void IOS6MessageDb::messages(_MsgStore& store, qint64 chatRowid)
{
    open();
    // Reading every message yields each conversation's newest date on the way: one pass, not two.
    const bool lastFromMessages = chatRowid <= 0 && !hasChatLast();
    SharedStrings strings;
    readMessageDb([&] {
        readConversations(store, lastFromMessages, strings);
        readMessages(store, chatRowid, lastFromMessages, strings);
        readAttachments(store, chatRowid, strings);
    });
}

void IOS6MessageDb::readMessages(_MsgStore& store, qint64 chatRowid, bool trackLast, SharedStrings& strings)
{
    _MsgStoreData& data = *store.data();
    Sqlite3Sql sql("select j.chat_id, m.* from ");
    appendChatMessagePairs(sql, chatRowid);
    appendMessagesOfPairs(sql);
    // Location shares are never shown, yet they count for the newest date.
    const bool skipLocationShares = hasItemType();
    if (skipLocationShares && !trackLast)
        sql.appendSql(QStringLiteral(" and m.item_type <> 4"));
    Sqlite3Cursor cursor = queryThrow(sql);
    const auto positions = positionsIn(cursor, kIos6MessageColumns);
    struct Newest {
        bool any = false;  // like SQL's max(): NULL dates do not count; none at all gives 0
        qint64 date = 0;
    };
    IdHash<Newest> newest;
    std::vector<Filing> filings;
    // rows: a cursor, or the same rows read ahead.
    const auto fileRows = [&](auto& rows) {
        while (rows.moveNext()) {
            const auto& row = rows.row();
            if (trackLast) {
                Newest& n = newest[row.getInt64(positions[kMessageChatId])];
                if (!row.isNull(positions[kMessageDate])) {
                    const qint64 date = row.getInt64(positions[kMessageDate]);
                    n.date = n.any ? qMax(n.date, date) : date;
                    n.any = true;
                }
                if (skipLocationShares && row.getInt(positions[kMessageItemType]) == 4)
                    continue;
            }
            const qint64 rowid = row.getInt64(positions[kMessageRowid]);
            _MsgMessage* message = data.messages.value(rowid);
            if (!message) {
                auto made = std::make_unique<_MsgMessage>();
                fillIos6Record(*made, row, kIos6MessageColumns, positions, &strings);
                made->sortKey = rowid;
                message = made.release();
                data.messages.insert(rowid, message);
            }
            if (_MsgHandle* handle = data.handles.value(message->handle_id)) {
                message->handle = handle;
                if (message->country.isEmpty())
                    message->country = handle->country;
            }
            if (message->other_handle > 0) {
                if (_MsgHandle* other = data.handles.value(message->other_handle))
                    message->otherHandle = other;
            }
            if (_MsgChat* chat = data.chats.value(row.getInt64(positions[kMessageChatId]))) {
                message->chat = chat;
                filings.push_back({chat, message, message->rowid});
            }
        }
    };
    try {
        if (chatRowid <= 0 && data.messages.isEmpty()) {
            // Every message, each made into a record: stepping the wide rows costs as much as making
            // the records, so the rows are stepped on a thread of their own meanwhile.
            Sqlite3ReadAhead ahead(std::move(cursor), ios6ReadAheadPlan(kIos6MessageColumns, positions));
            fileRows(ahead);
        } else {
            // One conversation, or messages whose records mostly exist already and are not read again.
            fileRows(cursor);
        }
    } catch (...) {
        // Stopped half-way (its step budget, a cancel): every message made is still in its conversation.
        fileIntoChats(filings);
        throw;
    }
    fileIntoChats(filings);
    for (auto it = newest.cbegin(); it != newest.cend(); ++it) {
        if (_MsgChat* chat = data.chats.value(it.key()))
            chat->last = appleDateSeconds(it->date);
    }
}

void IOS6MessageDb::fileIntoChats(const std::vector<Filing>& filings)
{
    // Each conversation's table is sized once for all its rows, then filled in the order the rows
    // came; grown row by row it would be rehashed over and over. A whole read comes in the order of
    // the join table's message index, so the conversations' rows are interleaved.
    QHash<_MsgChat*, int> rows;
    for (const Filing& filing : filings)
        ++rows[filing.chat];
    for (auto it = rows.cbegin(); it != rows.cend(); ++it)
        it.key()->messages.reserve(it.key()->messages.size() + it.value());
    for (const Filing& filing : filings)
        filing.chat->messages.insert(filing.rowid, filing.message);
}

void IOS6MessageDb::readAttachments(_MsgStore& store, qint64 chatRowid, SharedStrings& strings)
{
    _MsgStoreData& data = *store.data();
    // Each pair once, of the messages of a conversation (of the one asked for): a crafted file that
    // repeats join rows would otherwise multiply the rows of both join tables into each other.
    Sqlite3Sql sql(
        "select ma.message_id, ma.attachment_id, a.* from"
        " (select distinct message_id, attachment_id from message_attachment_join) as ma"
        " inner join attachment as a on ma.attachment_id = a.rowid"
        " where ma.message_id in (select message_id from chat_message_join");
    if (chatRowid > 0)
        sql.appendSql(QStringLiteral(" where chat_id = ?")).addInt64Param(chatRowid);
    sql.appendSql(QStringLiteral(")"));
    Sqlite3Cursor cursor = queryThrow(sql);
    const auto positions = positionsIn(cursor, kIos6AttachmentColumns);
    // Checked when a file is used: this read touches no file.
    const QSharedPointer<const ContainedFolder> fileRelay =
        QSharedPointer<ContainedFolder>::create(m_fileRelayDir.absolutePath());
    while (cursor.moveNext()) {
        const qint64 attachmentId = cursor.getInt64(positions[kAttachmentId]);
        _MsgAttachment* attachment = data.attachments.value(attachmentId);
        if (!attachment) {
            auto made = std::make_unique<_MsgAttachment>();
            fillIos6Record(*made, cursor.row(), kIos6AttachmentColumns, positions, &strings);
            made->localPath = AttachmentLocation(fileRelay, made->filename);
            attachment = made.release();
            data.attachments.insert(attachmentId, attachment);
        }
        if (_MsgMessage* message = data.messages.value(cursor.getInt64(positions[kAttachmentMessageId])))
            message->attachments.insert(attachmentId, attachment);
    }
}

QString IOS6MessageDb::localPath(const QString& filename) const
{
    return attachmentLocalPath(m_fileRelayDir, filename);
}

// ---------------------------------------------------------------------------------------------
// Lookups

void IOS6MessageDb::updateChatLast(qint64 chatRowid, int date)
{
    open();
    if (!hasChatLast())
        return;
    // Bound, not written into the text, so one prepared statement serves every conversation.
    heldStatement(kChatLast, "update chat set _last=? where rowid=? and _last < ?")
        .bindInt64(1, date)
        .bindInt64(2, chatRowid)
        .bindInt64(3, date)
        .run();
}

qint64 IOS6MessageDb::messageRowidByGuid(const QString& guid)
{
    open();
    return heldStatement(kMessageByGuid, "select rowid from message where guid=?").bindText(1, guid).firstInt64().value_or(0);
}

qint64 IOS6MessageDb::chatRowidByGuid(const QString& guid)
{
    open();
    return heldStatement(kChatByGuid, "select rowid from chat where guid=?").bindText(1, guid).firstInt64().value_or(0);
}

qint64 IOS6MessageDb::attachmentRowidByGuid(const _MsgAttachment& attachment)
{
    open();
    return heldStatement(kAttachmentByGuid, "select rowid from attachment where guid=?")
        .bindText(1, attachment.guid)
        .firstInt64()
        .value_or(0);
}

bool IOS6MessageDb::hasChatHandleJoin(qint64 chatRowid, qint64 handleRowid)
{
    open();
    return heldStatement(kHasChatHandleJoin, "select 1 from chat_handle_join where chat_id=? and handle_id=?")
        .bindInt64(1, chatRowid)
        .bindInt64(2, handleRowid)
        .firstInt64()
        .has_value();
}

qint64 IOS6MessageDb::handleRowid(const _MsgHandle& handle)
{
    open();
    return heldStatement(kHandleById, "select rowid from handle where id=? and service=?")
        .bindText(1, handle.id)
        .bindText(2, handle.service)
        .firstInt64()
        .value_or(0);
}

qint64 IOS6MessageDb::messageCount()
{
    open();
    Sqlite3Sql sql("select count(*) from ");
    appendChatMessagePairs(sql, 0);
    appendMessagesOfPairs(sql);
    if (hasItemType())
        sql.appendSql(QStringLiteral(" and m.item_type <> 4"));
    return readMessageDb([&] {
        Sqlite3Cursor cursor = queryThrow(sql);
        return cursor.moveNext() ? cursor.getInt64(0) : 0;
    });
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const _MsgMessage& message)
{
    open();
    return hasLogicHash() ? messageRowidByLogicHash(messageLogicHash(&message)) : 0;
}

qint64 IOS6MessageDb::messageRowidByLogicHash(const QString& logicHash)
{
    open();
    if (!hasLogicHash())
        return 0;
    return heldStatement(kMessageByLogicHash, "select rowid from message where logic_hash=?")
        .bindText(1, logicHash)
        .firstInt64()
        .value_or(0);
}

// ---------------------------------------------------------------------------------------------
// Contacts and numbers

void IOS6MessageDb::normalizeHandle(_MsgHandle& handle)
{
    if (handle.country.isEmpty()) {
        const Country& home = m_countryDb.defaultCountry();
        handle.country = home.sn().toLower();
        handle.id = home.normalizeNumber(handle.id);
    } else {
        handle.id = m_naming.countryOf(handle.country).normalizeNumber(handle.id);
    }
}

