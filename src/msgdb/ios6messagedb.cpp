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
#include <QSet>

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <climits>
#include <functional>
#include <memory>
#include <optional>

namespace {

// Both functions let statements run on device files whose triggers call them; they do nothing.
void sqlNoOp(sqlite3_context* context, int /*argc*/, sqlite3_value** /*argv*/)
{
    sqlite3_result_int(context, 0);
}

// Positions of named columns in one statement, looked up once and read by position per row.
template <std::size_t N>
std::array<int, N> columnPositions(const Sqlite3Cursor& cursor, const std::array<const char*, N>& names)
{
    std::array<int, N> positions{};
    for (std::size_t i = 0; i < N; ++i)
        positions[i] = cursor.columnIndex(QLatin1String(names[i]));
    return positions;
}

enum ChatColumn {
    cRowid, cGuid, cStyle, cState, cAccountId, cProperties, cChatIdentifier, cServiceName, cRoomName,
    cAccountLogin, cIsArchived, cLastAddressedHandle, cDisplayName, cLast, cGroupId, kChatColumns
};
const std::array<const char*, kChatColumns> kChatColumnNames = {
    "rowid", "guid", "style", "state", "account_id", "properties", "chat_identifier", "service_name", "room_name",
    "account_login", "is_archived", "last_addressed_handle", "display_name", "_last", "group_id"};

// The text at position through the pool: for columns whose few values repeat on every row.
template <typename Row>
QString sharedText(const Row& c, int position, SharedStrings& strings)
{
    return strings.text(c.getUtf8(position));
}

void fillChat(_MsgChat& chat, const Sqlite3RowView& c, const std::array<int, kChatColumns>& p, SharedStrings& strings)
{
    chat.rowid = c.getInt64(p[cRowid]);
    chat.guid = c.getText(p[cGuid]);
    chat.style = c.getInt(p[cStyle]);
    chat.state = c.getInt(p[cState]);
    chat.account_id = c.getText(p[cAccountId]);
    chat.properties = c.getBlob(p[cProperties]);
    chat.chat_identifier = c.getText(p[cChatIdentifier]);
    chat.service_name = sharedText(c, p[cServiceName], strings);
    chat.room_name = c.getText(p[cRoomName]);
    chat.account_login = sharedText(c, p[cAccountLogin], strings);
    chat.is_archived = c.getInt(p[cIsArchived]);
    chat.last_addressed_handle = c.getText(p[cLastAddressedHandle]);
    chat.display_name = c.getText(p[cDisplayName]);
    chat.last = appleDateSeconds(c.getInt64(p[cLast]));
    chat.group_id = c.getText(p[cGroupId]);
}

enum HandleColumn { hRowid, hId, hCountry, hService, hUncanonicalizedId, hCtName, hPhoto, hChatId, kHandleColumns };
const std::array<const char*, kHandleColumns> kHandleColumnNames = {
    "rowid", "id", "country", "service", "uncanonicalized_id", "_ct_name", "_photo", "chat_id"};

void fillHandle(_MsgHandle& handle, const Sqlite3RowView& c, const std::array<int, kHandleColumns>& p,
                SharedStrings& strings)
{
    handle.rowid = c.getInt64(p[hRowid]);
    handle.id = c.getText(p[hId]);
    handle.country = sharedText(c, p[hCountry], strings);
    handle.service = sharedText(c, p[hService], strings);
    handle.uncanonicalized_id = c.getText(p[hUncanonicalizedId]);
    handle.contactName = c.getText(p[hCtName]);
    handle.photo = c.getBlob(p[hPhoto]);
}

enum MessageColumn {
    mRowid, mGuid, mText, mReplace, mServiceCenter, mHandleId, mSubject, mCountry, mAttributedBody, mVersion,
    mType, mService, mAccount, mAccountGuid, mError, mDate, mDateRead, mDateDelivered, mIsDelivered,
    mIsFinished, mIsEmote, mIsFromMe, mIsEmpty, mIsDelayed, mIsAutoReply, mIsPrepared, mIsRead,
    mIsSystemMessage, mIsSent, mHasDdResults, mIsServiceMessage, mIsForward, mWasDowngraded, mIsArchive,
    mCacheHasAttachments, mCacheRoomnames, mWasDataDetected, mWasDeduplicated, mIsAudioMessage, mIsPlayed,
    mDatePlayed, mItemType, mOtherHandle, mGroupTitle, mGroupActionType, mShareStatus, mShareDirection,
    mIsExpirable, mExpireState, mMessageActionType, mChatId, kMessageColumns
};
const std::array<const char*, kMessageColumns> kMessageColumnNames = {
    "rowid", "guid", "text", "replace", "service_center", "handle_id", "subject", "country", "attributedBody",
    "version", "type", "service", "account", "account_guid", "error", "date", "date_read", "date_delivered",
    "is_delivered", "is_finished", "is_emote", "is_from_me", "is_empty", "is_delayed", "is_auto_reply",
    "is_prepared", "is_read", "is_system_message", "is_sent", "has_dd_results", "is_service_message",
    "is_forward", "was_downgraded", "is_archive", "cache_has_attachments", "cache_roomnames",
    "was_data_detected", "was_deduplicated", "is_audio_message", "is_played", "date_played", "item_type",
    "other_handle", "group_title", "group_action_type", "share_status", "share_direction", "is_expirable",
    "expire_state", "message_action_type", "chat_id"};

// How each column is read ahead: as fillMessage and the reader read it.
Sqlite3Read messageColumnRead(int column)
{
    switch (column) {
    case mGuid: case mText: case mServiceCenter: case mSubject: case mCountry: case mService: case mAccount:
    case mAccountGuid: case mCacheRoomnames: case mGroupTitle:
        return Sqlite3Read::Text;
    case mAttributedBody:
        return Sqlite3Read::Blob;
    case mDate:
        return Sqlite3Read::NullableInteger;  // a conversation's newest date leaves NULL dates out
    default:
        return Sqlite3Read::Integer;
    }
}

// The reads of a statement's columns at positions; the others are not read.
std::vector<Sqlite3Read> messageColumnReads(const std::array<int, kMessageColumns>& positions)
{
    std::vector<Sqlite3Read> reads(std::size_t(*std::max_element(positions.cbegin(), positions.cend()) + 1),
                                   Sqlite3Read::Skip);
    for (int column = 0; column < kMessageColumns; ++column) {
        if (positions[column] >= 0)
            reads[std::size_t(positions[column])] = messageColumnRead(column);
    }
    return reads;
}

template <typename Row>
void fillMessage(_MsgMessage& m, const Row& c, const std::array<int, kMessageColumns>& p,
                 SharedStrings& strings)
{
    m.rowid = c.getInt64(p[mRowid]);
    m.guid = c.getText(p[mGuid]);
    m.text = c.getText(p[mText]);
    m.replace = c.getInt(p[mReplace]);
    m.service_center = sharedText(c, p[mServiceCenter], strings);
    m.handle_id = c.getInt64(p[mHandleId]);
    m.subject = c.getText(p[mSubject]);
    m.country = sharedText(c, p[mCountry], strings);
    m.attributedBody = c.getBlob(p[mAttributedBody]);
    m.version = c.getInt(p[mVersion]);
    m.type = c.getInt(p[mType]);
    m.service = sharedText(c, p[mService], strings);
    m.account = sharedText(c, p[mAccount], strings);
    m.account_guid = sharedText(c, p[mAccountGuid], strings);
    m.error = c.getInt(p[mError]);
    m.date = appleDateSeconds(c.getInt64(p[mDate]));
    m.date_read = appleDateSeconds(c.getInt64(p[mDateRead]));
    m.date_delivered = appleDateSeconds(c.getInt64(p[mDateDelivered]));
    m.is_delivered = c.getInt(p[mIsDelivered]);
    m.is_finished = c.getInt(p[mIsFinished]);
    m.is_emote = c.getInt(p[mIsEmote]);
    m.is_from_me = c.getInt(p[mIsFromMe]);
    m.is_empty = c.getInt(p[mIsEmpty]);
    m.is_delayed = c.getInt(p[mIsDelayed]);
    m.is_auto_reply = c.getInt(p[mIsAutoReply]);
    m.is_prepared = c.getInt(p[mIsPrepared]);
    m.is_read = c.getInt(p[mIsRead]);
    m.is_system_message = c.getInt(p[mIsSystemMessage]);
    m.is_sent = c.getInt(p[mIsSent]);
    m.has_dd_results = c.getInt(p[mHasDdResults]);
    m.is_service_message = c.getInt(p[mIsServiceMessage]);
    m.is_forward = c.getInt(p[mIsForward]);
    m.was_downgraded = c.getInt(p[mWasDowngraded]);
    m.is_archive = c.getInt(p[mIsArchive]);
    m.cache_has_attachments = c.getInt(p[mCacheHasAttachments]);
    m.cache_roomnames = sharedText(c, p[mCacheRoomnames], strings);
    m.was_data_detected = c.getInt(p[mWasDataDetected]);
    m.was_deduplicated = c.getInt(p[mWasDeduplicated]);
    m.is_audio_message = c.getInt(p[mIsAudioMessage]);
    m.is_played = c.getInt(p[mIsPlayed]);
    m.date_played = appleDateSeconds(c.getInt64(p[mDatePlayed]));
    m.item_type = c.getInt(p[mItemType]);
    m.other_handle = c.getInt64(p[mOtherHandle]);
    m.group_title = c.getText(p[mGroupTitle]);
    m.group_action_type = c.getInt(p[mGroupActionType]);
    m.share_status = c.getInt(p[mShareStatus]);
    m.share_direction = c.getInt(p[mShareDirection]);
    m.is_expirable = c.getInt(p[mIsExpirable]);
    m.expire_state = c.getInt(p[mExpireState]);
    m.message_action_type = c.getInt(p[mMessageActionType]);
}

enum AttachmentColumn {
    aRowid, aGuid, aCreatedDate, aStartDate, aFilename, aUti, aMimeType, aTransferState, aIsOutgoing, aUserInfo,
    aTransferName, aTotalBytes, aAttachmentId, aMessageId, kAttachmentColumns
};
const std::array<const char*, kAttachmentColumns> kAttachmentColumnNames = {
    "rowid", "guid", "created_date", "start_date", "filename", "uti", "mime_type", "transfer_state",
    "is_outgoing", "user_info", "transfer_name", "total_bytes", "attachment_id", "message_id"};

void fillAttachment(_MsgAttachment& a, const Sqlite3RowView& c, const std::array<int, kAttachmentColumns>& p,
                    SharedStrings& strings)
{
    a.rowid = c.getInt64(p[aRowid]);
    a.guid = c.getText(p[aGuid]);
    a.created_date = c.getInt(p[aCreatedDate]);
    a.start_date = c.getInt(p[aStartDate]);
    a.filename = c.getText(p[aFilename]);
    a.uti = sharedText(c, p[aUti], strings);
    a.mime_type = sharedText(c, p[aMimeType], strings);
    a.transfer_state = c.getInt(p[aTransferState]);
    a.is_outgoing = c.getInt(p[aIsOutgoing]);
    a.user_info = c.getBlob(p[aUserInfo]);
    a.transfer_name = c.getText(p[aTransferName]);
    a.total_bytes = c.getInt64(p[aTotalBytes]);
}

// Message columns that older files lack, in the order they are added.
struct LaterColumn {
    const char* name;
    const char* sql;
};
const LaterColumn kLaterMessageColumns[] = {
    {"is_audio_message", "ALTER TABLE message ADD COLUMN is_audio_message INTEGER DEFAULT 0;"},
    {"is_played", "ALTER TABLE message ADD COLUMN is_played INTEGER DEFAULT 0;"},
    {"date_played", "ALTER TABLE message ADD COLUMN date_played INTEGER;"},
    {"item_type", "ALTER TABLE message ADD COLUMN item_type INTEGER DEFAULT 0;"},
    {"other_handle", "ALTER TABLE message ADD COLUMN other_handle INTEGER DEFAULT -1;"},
    {"group_title", "ALTER TABLE message ADD COLUMN group_title TEXT;"},
    {"group_action_type", "ALTER TABLE message ADD COLUMN group_action_type INTEGER DEFAULT 0;"},
    {"share_status", "ALTER TABLE message ADD COLUMN share_status INTEGER;"},
    {"share_direction", "ALTER TABLE message ADD COLUMN share_direction INTEGER;"},
    {"is_expirable", "ALTER TABLE message ADD COLUMN is_expirable INTEGER DEFAULT 0;"},
    {"expire_state", "ALTER TABLE message ADD COLUMN expire_state INTEGER DEFAULT 0;"},
    {"message_action_type", "ALTER TABLE message ADD COLUMN message_action_type INTEGER DEFAULT 0;"},
};

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

int appleDateSeconds(qint64 stored)
{
    // Newer devices store nanoseconds; no date in seconds comes anywhere near 10^11.
    constexpr qint64 kNanosecondThreshold = 100000000000LL;
    if (stored > kNanosecondThreshold || stored < -kNanosecondThreshold)
        stored /= 1000000000LL;
    return int(qBound<qint64>(INT_MIN, stored, INT_MAX));
}

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
        m_writable = probeWritableColumns();
        m_openedOnce = true;
    } catch (...) {
        // Never stay open with empty probes: every later call would act on the wrong layout.
        close();
        m_tableDdl.clear();
        m_writable = WritableColumns();
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
    for (const LaterColumn& column : kLaterMessageColumns) {
        if (!messageColumns.contains(QLatin1String(column.name)))
            runUpgradeStatement(__LINE__, QLatin1String(column.sql));
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
    return m_writable.itemType;
}

bool IOS6MessageDb::hasLogicHash() const
{
    return m_writable.logicHash;
}

bool IOS6MessageDb::hasChatLast() const
{
    return m_writable.chatLast;
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
    const auto positions = columnPositions(cursor, kChatColumnNames);
    while (cursor.moveNext()) {
        const qint64 rowid = cursor.getInt64(positions[cRowid]);
        if (chats.contains(rowid))
            continue;
        auto chat = std::make_unique<_MsgChat>();
        fillChat(*chat, cursor.row(), positions, strings);
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
    QHash<qint64, std::optional<qint64>> newest;  // chat -> its newest date, empty when all are NULL
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
    const auto positions = columnPositions(cursor, kHandleColumnNames);
    while (cursor.moveNext()) {
        const qint64 rowid = cursor.getInt64(positions[hRowid]);
        _MsgHandle* handle = handles.value(rowid);
        if (!handle) {
            auto made = std::make_unique<_MsgHandle>();
            fillHandle(*made, cursor.row(), positions, strings);
            handle = made.release();
            handles.insert(rowid, handle);
            normalizeHandle(*handle);
            m_naming.applyContact(*handle);
        }
        if (_MsgChat* chat = chats.value(cursor.getInt64(positions[hChatId])))
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
    const auto positions = columnPositions(cursor, kMessageColumnNames);
    struct Newest {
        bool any = false;  // like SQL's max(): NULL dates do not count; none at all gives 0
        qint64 date = 0;
    };
    QHash<qint64, Newest> newest;
    std::vector<Filing> filings;
    // rows: a cursor, or the same rows read ahead.
    const auto fileRows = [&](auto& rows) {
        while (rows.moveNext()) {
            const auto& row = rows.row();
            if (trackLast) {
                Newest& n = newest[row.getInt64(positions[mChatId])];
                if (!row.isNull(positions[mDate])) {
                    const qint64 date = row.getInt64(positions[mDate]);
                    n.date = n.any ? qMax(n.date, date) : date;
                    n.any = true;
                }
                if (skipLocationShares && row.getInt(positions[mItemType]) == 4)
                    continue;
            }
            const qint64 rowid = row.getInt64(positions[mRowid]);
            _MsgMessage* message = data.messages.value(rowid);
            if (!message) {
                auto made = std::make_unique<_MsgMessage>();
                fillMessage(*made, row, positions, strings);
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
            if (_MsgChat* chat = data.chats.value(row.getInt64(positions[mChatId]))) {
                message->chat = chat;
                filings.push_back({chat, message, message->rowid});
            }
        }
    };
    try {
        if (chatRowid <= 0 && data.messages.isEmpty()) {
            // Every message, each made into a record: stepping the wide rows costs as much as making
            // the records, so the rows are stepped on a thread of their own meanwhile.
            Sqlite3ReadAhead ahead(std::move(cursor), messageColumnReads(positions));
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

bool IOS6MessageDb::groupedByChat(const std::vector<Filing>& filings)
{
    QSet<const _MsgChat*> done;
    for (auto run = filings.cbegin(); run != filings.cend();) {
        if (done.contains(run->chat))
            return false;
        done.insert(run->chat);
        run = std::find_if(run, filings.cend(), [&](const Filing& f) { return f.chat != run->chat; });
    }
    return true;
}

void IOS6MessageDb::fileIntoChats(std::vector<Filing>& filings)
{
    // One conversation at a time, each table is sized once and filled in one go, in the order the rows
    // came. The rows of a whole read come conversation by conversation; rows that come otherwise
    // (another plan, a crafted file) are grouped first, or each table would grow once per row.
    if (!groupedByChat(filings)) {
        std::stable_sort(filings.begin(), filings.end(),
                         [](const Filing& a, const Filing& b) { return std::less<>()(a.chat, b.chat); });
    }
    for (auto run = filings.cbegin(); run != filings.cend();) {
        const auto end = std::find_if(run, filings.cend(), [&](const Filing& f) { return f.chat != run->chat; });
        auto& messages = run->chat->messages;
        messages.reserve(messages.size() + int(end - run));
        for (; run != end; ++run)
            messages.insert(run->rowid, run->message);
    }
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
    const auto positions = columnPositions(cursor, kAttachmentColumnNames);
    // Checked when a file is used: this read touches no file.
    const QSharedPointer<const ContainedFolder> fileRelay =
        QSharedPointer<ContainedFolder>::create(m_fileRelayDir.absolutePath());
    while (cursor.moveNext()) {
        const qint64 attachmentId = cursor.getInt64(positions[aAttachmentId]);
        _MsgAttachment* attachment = data.attachments.value(attachmentId);
        if (!attachment) {
            auto made = std::make_unique<_MsgAttachment>();
            fillAttachment(*made, cursor.row(), positions, strings);
            made->localPath = AttachmentLocation(fileRelay, made->filename);
            attachment = made.release();
            data.attachments.insert(attachmentId, attachment);
        }
        if (_MsgMessage* message = data.messages.value(cursor.getInt64(positions[aMessageId])))
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
    if (!m_writable.chatLast)
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

