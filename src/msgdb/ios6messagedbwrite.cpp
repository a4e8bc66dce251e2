// Writing records into iOS 6 layout files and deleting messages from them.
//
// The writers hold their statements prepared for the open connection and bind values straight into
// them: a copy writes hundreds of thousands of rows, and building, hashing and finding a statement's
// text for each row cost more than the row itself. "replace into" a join table is safe only because
// the connection never enables recursive triggers: with them, replacing an existing pair would fire
// the schema's delete triggers and remove the message or attachment being linked again.
#include "msgdb/ios6messagedb.h"

#include "core/errors.h"
#include "msgdb/msgutil.h"

#include <QString>

#include <array>
#include <stdexcept>

namespace {

// The tables rows are inserted into, as the first part of a held statement's key; 0 keys the
// statements that are not inserts.
enum InsertTable { kHandleRows = 1, kMessageRows, kAttachmentRows, kChatRows };
constexpr int kTableShift = 60;  // below it, one bit for each column an insert may write

// A fill (see insertRow) names the columns of one row in a fixed order; a row leaves out the empty
// values of optional columns, which then take the table's defaults. The first pass finds which of
// the columns this row writes, the second binds their values.
class ColumnSet {
public:
    void integer(const char* column, qint64) { add(column, true); }
    void text(const char* column, const QString&) { add(column, true); }
    void blob(const char* column, const QByteArray&) { add(column, true); }
    void textIfNotEmpty(const char* column, const QString& value) { add(column, !value.isEmpty()); }
    void blobIfNotEmpty(const char* column, const QByteArray& value) { add(column, !value.isEmpty()); }

    // One bit for each column the fill names, set for those this row writes.
    quint64 written() const { return m_written; }

    // Every caller writes at least one column.
    QString insertSql(const char* table) const
    {
        QString sql = QStringLiteral("insert into \"%1\"(").arg(QLatin1String(table));
        for (int i = 0; i < m_count; ++i)
            sql += QStringLiteral("%1\"%2\"").arg(i ? QStringLiteral(",") : QString(), QLatin1String(m_names[i]));
        sql += QStringLiteral(") values(?");
        for (int i = 1; i < m_count; ++i)
            sql += QLatin1String(",?");
        return sql + QLatin1Char(')');
    }

private:
    void add(const char* column, bool written)
    {
        if (m_position >= kTableShift)
            throw std::logic_error("too many columns for one insert");
        if (written) {
            m_written |= quint64(1) << m_position;
            m_names[m_count++] = column;
        }
        ++m_position;
    }

    int m_position = 0;
    quint64 m_written = 0;
    std::array<const char*, kTableShift> m_names{};
    int m_count = 0;
};

class RowBinder {
public:
    explicit RowBinder(Sqlite3Prepared& statement) : m_statement(statement) {}

    void integer(const char*, qint64 value) { m_statement.bindInt64(++m_position, value); }
    void text(const char*, const QString& value) { m_statement.bindText(++m_position, value); }
    void blob(const char*, const QByteArray& value) { m_statement.bindBlob(++m_position, value); }
    void textIfNotEmpty(const char* column, const QString& value)
    {
        if (!value.isEmpty())
            text(column, value);
    }
    void blobIfNotEmpty(const char* column, const QByteArray& value)
    {
        if (!value.isEmpty())
            blob(column, value);
    }

private:
    Sqlite3Prepared& m_statement;
    int m_position = 0;
};

const QString kHandleTable = QStringLiteral("handle");
const QString kMessageTable = QStringLiteral("message");
const QString kAttachmentTable = QStringLiteral("attachment");
const QString kChatTable = QStringLiteral("chat");

template <typename Row>
void appendMessageBody(Row& row, const _MsgMessage& m, qint64 handleRowid)
{
    row.text("guid", m.guid);
    row.text("text", m.text);
    row.integer("replace", m.replace);
    row.textIfNotEmpty("service_center", m.service_center);
    row.integer("handle_id", handleRowid);
    row.textIfNotEmpty("subject", m.subject);
    row.textIfNotEmpty("country", m.country);
    row.blobIfNotEmpty("attributedBody", m.attributedBody);
    row.integer("version", m.version);
    row.integer("type", m.type);
    row.text("service", m.service);
    row.text("account", m.account);
    row.text("account_guid", m.account_guid);
    row.integer("error", m.error);
    row.integer("date", m.date);
    row.integer("date_read", m.date_read);
    row.integer("date_delivered", m.date_delivered);
    row.integer("is_delivered", m.is_delivered);
    row.integer("is_finished", m.is_finished);
    row.integer("is_emote", m.is_emote);
    row.integer("is_from_me", m.is_from_me);
    row.integer("is_empty", m.is_empty);
    row.integer("is_delayed", m.is_delayed);
    row.integer("is_auto_reply", m.is_auto_reply);
    row.integer("is_prepared", m.is_prepared);
    row.integer("is_read", m.is_read);
    row.integer("is_system_message", m.is_system_message);
    row.integer("is_sent", m.is_sent);
    row.integer("has_dd_results", m.has_dd_results);
    row.integer("is_service_message", m.is_service_message);
    row.integer("is_forward", m.is_forward);
    row.integer("was_downgraded", m.was_downgraded);
    row.integer("is_archive", m.is_archive);
    row.integer("cache_has_attachments", m.cache_has_attachments);
    row.text("cache_roomnames", m.cache_roomnames);
    row.integer("was_data_detected", m.was_data_detected);
    row.integer("was_deduplicated", m.was_deduplicated);
}

// How a refused record is named in the error: enough to find it in the source.
QString describeMessage(const _MsgMessage& m)
{
    return QStringLiteral("rowid:%1, date:%2, chat:%3")
        .arg(m.rowid)
        .arg(m.date)
        .arg(m.chat ? m.chat->chat_identifier : QString());
}

}  // namespace

Sqlite3Prepared& IOS6MessageDb::heldStatement(quint64 key, const char* sql)
{
    const auto held = m_held.find(key);
    if (held != m_held.end() && held->second.isLive())
        return held->second;
    return m_held[key] = prepare(QString::fromUtf8(sql));
}

template <typename Fill>
qint64 IOS6MessageDb::insertRow(int table, const char* name, const Fill& fill)
{
    ColumnSet columns;
    fill(columns);
    const quint64 key = quint64(table) << kTableShift | columns.written();
    auto held = m_held.find(key);
    if (held == m_held.end() || !held->second.isLive())
        held = m_held.insert_or_assign(key, prepare(columns.insertSql(name))).first;
    RowBinder row(held->second);
    fill(row);
    held->second.run();
    return lastInsertId();
}

void IOS6MessageDb::setDbPath(const QString& path)
{
    if (m_openedOnce)
        return;
    m_dbPath = path;
}

IOS6MessageDb::WritableColumns IOS6MessageDb::probeWritableColumns() const
{
    const auto message = [this](const char* column) {
        return ddlContains(kMessageTable, QLatin1String(column), Qt::CaseSensitive);
    };
    WritableColumns c;
    c.isAudioMessage = message("is_audio_message");
    c.isPlayed = message("is_played");
    c.datePlayed = message("date_played");
    c.itemType = message("item_type");
    c.otherHandle = message("other_handle");
    c.groupTitle = message("group_title");
    c.groupActionType = message("group_action_type");
    c.shareStatus = message("share_status");
    c.shareDirection = message("share_direction");
    c.isExpirable = message("is_expirable");
    c.expireState = message("expire_state");
    c.messageActionType = message("message_action_type");
    c.logicHash = message("logic_hash");
    c.ctName = ddlContains(kHandleTable, QStringLiteral("_ct_name TEXT"), Qt::CaseInsensitive);
    c.photo = ddlContains(kHandleTable, QStringLiteral("_photo BLOB"), Qt::CaseInsensitive);
    c.userInfo = ddlContains(kAttachmentTable, QStringLiteral("user_info"), Qt::CaseSensitive);
    c.transferName = ddlContains(kAttachmentTable, QStringLiteral("transfer_name"), Qt::CaseSensitive);
    c.totalBytes = ddlContains(kAttachmentTable, QStringLiteral("total_bytes"), Qt::CaseSensitive);
    c.displayName = ddlContains(kChatTable, QStringLiteral("display_name"), Qt::CaseSensitive);
    c.groupId = ddlContains(kChatTable, QStringLiteral("group_id"), Qt::CaseSensitive);
    c.chatLast = ddlContains(kChatTable, QStringLiteral("_last INTEGER"), Qt::CaseInsensitive);
    return c;
}

// ---------------------------------------------------------------------------------------------
// Links

void IOS6MessageDb::replaceChatHandleJoin(qint64 chatRowid, qint64 handleRowid)
{
    open();
    heldStatement(kChatHandleJoin, "replace into chat_handle_join(chat_id,handle_id) values(?,?)")
        .bindInt64(1, chatRowid)
        .bindInt64(2, handleRowid)
        .run();
}

void IOS6MessageDb::replaceChatMessageJoin(qint64 chatRowid, qint64 messageRowid)
{
    open();
    heldStatement(kChatMessageJoin, "replace into chat_message_join(chat_id,message_id) values(?,?)")
        .bindInt64(1, chatRowid)
        .bindInt64(2, messageRowid)
        .run();
}

void IOS6MessageDb::replaceMessageAttachmentJoin(qint64 messageRowid, qint64 attachmentRowid)
{
    open();
    heldStatement(kMessageAttachmentJoin, "replace into message_attachment_join(message_id,attachment_id) values(?,?)")
        .bindInt64(1, messageRowid)
        .bindInt64(2, attachmentRowid)
        .run();
}

void IOS6MessageDb::updateChatLastAddressedHandle(qint64 chatRowid, const QString& handle)
{
    open();
    heldStatement(kLastAddressedHandle, "update chat set last_addressed_handle=? where rowid=?")
        .bindText(1, handle)
        .bindInt64(2, chatRowid)
        .run();
}

// ---------------------------------------------------------------------------------------------
// Records

qint64 IOS6MessageDb::insertHandle(const _MsgHandle& h)
{
    open();
    return insertRow(kHandleRows, "handle", [&](auto& row) {
        row.text("id", h.id);
        row.textIfNotEmpty("country", h.country);
        row.text("service", h.service);
        row.textIfNotEmpty("uncanonicalized_id", h.uncanonicalized_id);
        if (m_writable.ctName)
            row.text("_ct_name", h.contactName);
        if (m_writable.photo)
            row.blob("_photo", h.photo);
    });
}

qint64 IOS6MessageDb::insertMessage(const _MsgMessage& m, qint64 handleRowid, qint64 otherHandleRowid,
                                    const QString& logicHash)
{
    open();
    if (m.guid.isEmpty())
        throwUtf8(QStringLiteral("IOS6MessageDb::insertMessage, message without guid, ") + describeMessage(m));
    const WritableColumns& has = m_writable;
    const QString hash = has.logicHash && logicHash.isEmpty() ? messageLogicHash(&m) : logicHash;
    return insertRow(kMessageRows, "message", [&](auto& row) {
        appendMessageBody(row, m, handleRowid);
        if (has.isAudioMessage)
            row.integer("is_audio_message", m.is_audio_message);
        if (has.isPlayed)
            row.integer("is_played", m.is_played);
        if (has.datePlayed)
            row.integer("date_played", m.date_played);
        if (has.itemType)
            row.integer("item_type", m.item_type);
        if (has.otherHandle && otherHandleRowid > 0)
            row.integer("other_handle", otherHandleRowid);
        if (has.groupTitle)
            row.textIfNotEmpty("group_title", m.group_title);
        if (has.groupActionType)
            row.integer("group_action_type", m.group_action_type);
        if (has.shareStatus)
            row.integer("share_status", m.share_status);
        if (has.shareDirection)
            row.integer("share_direction", m.share_direction);
        if (has.isExpirable)
            row.integer("is_expirable", m.is_expirable);
        if (has.expireState)
            row.integer("expire_state", m.expire_state);
        if (has.messageActionType)
            row.integer("message_action_type", m.message_action_type);
        if (has.logicHash)
            row.text("logic_hash", hash);
    });
}

qint64 IOS6MessageDb::insertAttachment(const _MsgAttachment& a)
{
    open();
    if (a.guid.isEmpty())
        throwUtf8(QStringLiteral("IOS6MessageDb::insertAttachment, attachment without guid, rowid:%1, filename:%2")
                      .arg(a.rowid)
                      .arg(a.filename));
    return insertRow(kAttachmentRows, "attachment", [&](auto& row) {
        row.text("guid", a.guid);
        row.integer("created_date", a.created_date);
        row.integer("start_date", a.start_date);
        row.text("filename", a.filename);
        row.text("uti", a.uti);
        row.text("mime_type", a.mime_type);
        row.integer("transfer_state", a.transfer_state);
        row.integer("is_outgoing", a.is_outgoing);
        if (m_writable.userInfo)
            row.blobIfNotEmpty("user_info", a.user_info);
        if (m_writable.transferName)
            row.textIfNotEmpty("transfer_name", a.transfer_name);
        if (m_writable.totalBytes)
            row.integer("total_bytes", a.total_bytes);
    });
}

qint64 IOS6MessageDb::insertChat(const _MsgChat& c)
{
    open();
    if (c.service_name != QLatin1String("SMS") && c.service_name != QLatin1String("iMessage"))
        throwUtf8(QStringLiteral("IOS6MessageDb::insertChat, invalid chat, service_name:%1").arg(c.service_name));
    if (c.guid.isEmpty())
        throwUtf8(QStringLiteral("IOS6MessageDb::insertChat, chat without guid, rowid:%1, chat_identifier:%2")
                      .arg(c.rowid)
                      .arg(c.chat_identifier));
    // Derived from the guid, so the same conversation gets the same group id in every file.
    const QString groupId = c.group_id.isEmpty() ? guidFromMd5(c.guid.toUtf8()) : c.group_id;
    const qint64 chatRowid = insertRow(kChatRows, "chat", [&](auto& row) {
        row.text("guid", c.guid);
        row.integer("style", c.style);
        row.integer("state", c.state);
        row.textIfNotEmpty("account_id", c.account_id);
        row.text("chat_identifier", c.chat_identifier);
        row.text("service_name", c.service_name);
        row.textIfNotEmpty("room_name", c.room_name);
        row.text("account_login", c.account_login);
        row.integer("is_archived", c.is_archived);
        if (m_writable.displayName)
            row.textIfNotEmpty("display_name", c.display_name);
        if (m_writable.groupId)
            row.text("group_id", groupId);
    });

    // Ascending row id, not hash order: the new handle rows get the same ids on every run.
    for (const _MsgHandle* handle : c.sortedHandles()) {
        qint64 handleRow = handleRowid(*handle);
        if (handleRow == 0)
            handleRow = insertHandle(*handle);
        replaceChatHandleJoin(chatRowid, handleRow);
    }
    return chatRowid;
}

// ---------------------------------------------------------------------------------------------
// Deleting

void IOS6MessageDb::deleteMessage(const _MsgMessage& m)
{
    open();
    executeThrow(Sqlite3Sql("DELETE FROM message WHERE rowid=?").addInt64Param(m.rowid));
    executeThrow(Sqlite3Sql("DELETE FROM chat_message_join where message_id=?").addInt64Param(m.rowid));
    executeThrow(Sqlite3Sql("DELETE FROM message_attachment_join where message_id=?").addInt64Param(m.rowid));
    if (!m.chat)
        return;
    executeThrow(Sqlite3Sql("DELETE FROM chat WHERE rowid=? and (SELECT 1 from chat_message_join WHERE chat_id=? "
                            "LIMIT 1) IS NULL")
                     .addInt64Param(m.chat->rowid)
                     .addInt64Param(m.chat->rowid));
}
