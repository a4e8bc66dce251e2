// Writing records into iOS 6 layout files and deleting messages from them.
//
// Statements keep one text per column set and bind every value, so the connection's statement cache
// prepares each of them once per batch. "replace into" a join table is safe only because the
// connection never enables recursive triggers: with them, replacing an existing pair would fire the
// schema's delete triggers and remove the message or attachment being linked again.
#include "msgdb/ios6messagedb.h"

#include "core/errors.h"
#include "msgdb/msgutil.h"

#include <QStringList>
#include <QVariant>
#include <QVector>

namespace {

// The columns of one row in the order they are added.
class RowBuilder {
public:
    explicit RowBuilder(int reserve)
    {
        m_names.reserve(reserve);
        m_values.reserve(reserve);
    }

    void integer(const QString& column, qint64 value) { add(column, QVariant(qlonglong(value))); }
    void text(const QString& column, const QString& value) { add(column, QVariant(value)); }
    void blob(const QString& column, const QByteArray& value) { add(column, QVariant(value)); }
    void textIfNotEmpty(const QString& column, const QString& value)
    {
        if (!value.isEmpty())
            text(column, value);
    }
    void blobIfNotEmpty(const QString& column, const QByteArray& value)
    {
        if (!value.isEmpty())
            blob(column, value);
    }

    Sqlite3Row row() const { return Sqlite3Row(m_names, m_values); }

private:
    void add(const QString& column, const QVariant& value)
    {
        m_names.append(column);
        m_values.append(value);
    }

    QStringList m_names;
    QVector<QVariant> m_values;
};

const QString kHandleTable = QStringLiteral("handle");
const QString kMessageTable = QStringLiteral("message");
const QString kAttachmentTable = QStringLiteral("attachment");
const QString kChatTable = QStringLiteral("chat");

void appendMessageBody(RowBuilder& row, const _MsgMessage& m, qint64 handleRowid)
{
    row.text(QStringLiteral("guid"), m.guid);
    row.text(QStringLiteral("text"), m.text);
    row.integer(QStringLiteral("replace"), m.replace);
    row.textIfNotEmpty(QStringLiteral("service_center"), m.service_center);
    row.integer(QStringLiteral("handle_id"), handleRowid);
    row.textIfNotEmpty(QStringLiteral("subject"), m.subject);
    row.textIfNotEmpty(QStringLiteral("country"), m.country);
    row.blobIfNotEmpty(QStringLiteral("attributedBody"), m.attributedBody);
    row.integer(QStringLiteral("version"), m.version);
    row.integer(QStringLiteral("type"), m.type);
    row.text(QStringLiteral("service"), m.service);
    row.text(QStringLiteral("account"), m.account);
    row.text(QStringLiteral("account_guid"), m.account_guid);
    row.integer(QStringLiteral("error"), m.error);
    row.integer(QStringLiteral("date"), m.date);
    row.integer(QStringLiteral("date_read"), m.date_read);
    row.integer(QStringLiteral("date_delivered"), m.date_delivered);
    row.integer(QStringLiteral("is_delivered"), m.is_delivered);
    row.integer(QStringLiteral("is_finished"), m.is_finished);
    row.integer(QStringLiteral("is_emote"), m.is_emote);
    row.integer(QStringLiteral("is_from_me"), m.is_from_me);
    row.integer(QStringLiteral("is_empty"), m.is_empty);
    row.integer(QStringLiteral("is_delayed"), m.is_delayed);
    row.integer(QStringLiteral("is_auto_reply"), m.is_auto_reply);
    row.integer(QStringLiteral("is_prepared"), m.is_prepared);
    row.integer(QStringLiteral("is_read"), m.is_read);
    row.integer(QStringLiteral("is_system_message"), m.is_system_message);
    row.integer(QStringLiteral("is_sent"), m.is_sent);
    row.integer(QStringLiteral("has_dd_results"), m.has_dd_results);
    row.integer(QStringLiteral("is_service_message"), m.is_service_message);
    row.integer(QStringLiteral("is_forward"), m.is_forward);
    row.integer(QStringLiteral("was_downgraded"), m.was_downgraded);
    row.integer(QStringLiteral("is_archive"), m.is_archive);
    row.integer(QStringLiteral("cache_has_attachments"), m.cache_has_attachments);
    row.text(QStringLiteral("cache_roomnames"), m.cache_roomnames);
    row.integer(QStringLiteral("was_data_detected"), m.was_data_detected);
    row.integer(QStringLiteral("was_deduplicated"), m.was_deduplicated);
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
    return c;
}

// ---------------------------------------------------------------------------------------------
// Links

void IOS6MessageDb::replaceChatHandleJoin(qint64 chatRowid, qint64 handleRowid)
{
    open();
    executeThrow(Sqlite3Sql("replace into chat_handle_join(chat_id,handle_id) values(?,?)")
                     .addInt64Param(chatRowid)
                     .addInt64Param(handleRowid));
}

void IOS6MessageDb::replaceChatMessageJoin(qint64 chatRowid, qint64 messageRowid)
{
    open();
    executeThrow(Sqlite3Sql("replace into chat_message_join(chat_id,message_id) values(?,?)")
                     .addInt64Param(chatRowid)
                     .addInt64Param(messageRowid));
}

void IOS6MessageDb::replaceMessageAttachmentJoin(qint64 messageRowid, qint64 attachmentRowid)
{
    open();
    executeThrow(Sqlite3Sql("replace into message_attachment_join(message_id,attachment_id) values(?,?)")
                     .addInt64Param(messageRowid)
                     .addInt64Param(attachmentRowid));
}

void IOS6MessageDb::updateChatLastAddressedHandle(qint64 chatRowid, const QString& handle)
{
    open();
    executeThrow(
        Sqlite3Sql("update chat set last_addressed_handle=? where rowid=?").addTextParam(handle).addInt64Param(chatRowid));
}

// ---------------------------------------------------------------------------------------------
// Records

qint64 IOS6MessageDb::insertHandle(const _MsgHandle& h)
{
    open();
    RowBuilder row(7);
    row.text(QStringLiteral("id"), h.id);
    row.textIfNotEmpty(QStringLiteral("country"), h.country);
    row.text(QStringLiteral("service"), h.service);
    row.textIfNotEmpty(QStringLiteral("uncanonicalized_id"), h.uncanonicalized_id);
    if (m_writable.ctName)
        row.text(QStringLiteral("_ct_name"), h.contactName);
    if (m_writable.photo)
        row.blob(QStringLiteral("_photo"), h.photo);
    return insertRow(row.row(), kHandleTable);
}

qint64 IOS6MessageDb::insertMessage(const _MsgMessage& m, qint64 handleRowid, qint64 otherHandleRowid,
                                    const QString& logicHash)
{
    open();
    if (m.guid.isEmpty())
        throwUtf8(QStringLiteral("IOS6MessageDb::insertMessage, message without guid, ") + describeMessage(m));
    const WritableColumns& has = m_writable;
    RowBuilder row(52);
    appendMessageBody(row, m, handleRowid);
    if (has.isAudioMessage)
        row.integer(QStringLiteral("is_audio_message"), m.is_audio_message);
    if (has.isPlayed)
        row.integer(QStringLiteral("is_played"), m.is_played);
    if (has.datePlayed)
        row.integer(QStringLiteral("date_played"), m.date_played);
    if (has.itemType)
        row.integer(QStringLiteral("item_type"), m.item_type);
    if (has.otherHandle && otherHandleRowid > 0)
        row.integer(QStringLiteral("other_handle"), otherHandleRowid);
    if (has.groupTitle)
        row.textIfNotEmpty(QStringLiteral("group_title"), m.group_title);
    if (has.groupActionType)
        row.integer(QStringLiteral("group_action_type"), m.group_action_type);
    if (has.shareStatus)
        row.integer(QStringLiteral("share_status"), m.share_status);
    if (has.shareDirection)
        row.integer(QStringLiteral("share_direction"), m.share_direction);
    if (has.isExpirable)
        row.integer(QStringLiteral("is_expirable"), m.is_expirable);
    if (has.expireState)
        row.integer(QStringLiteral("expire_state"), m.expire_state);
    if (has.messageActionType)
        row.integer(QStringLiteral("message_action_type"), m.message_action_type);
    if (has.logicHash)
        row.text(QStringLiteral("logic_hash"), logicHash.isEmpty() ? messageLogicHash(&m) : logicHash);
    return insertRow(row.row(), kMessageTable);
}

qint64 IOS6MessageDb::insertAttachment(const _MsgAttachment& a)
{
    open();
    if (a.guid.isEmpty())
        throwUtf8(QStringLiteral("IOS6MessageDb::insertAttachment, attachment without guid, rowid:%1, filename:%2")
                      .arg(a.rowid)
                      .arg(a.filename));
    RowBuilder row(12);
    row.text(QStringLiteral("guid"), a.guid);
    row.integer(QStringLiteral("created_date"), a.created_date);
    row.integer(QStringLiteral("start_date"), a.start_date);
    row.text(QStringLiteral("filename"), a.filename);
    row.text(QStringLiteral("uti"), a.uti);
    row.text(QStringLiteral("mime_type"), a.mime_type);
    row.integer(QStringLiteral("transfer_state"), a.transfer_state);
    row.integer(QStringLiteral("is_outgoing"), a.is_outgoing);
    if (m_writable.userInfo)
        row.blobIfNotEmpty(QStringLiteral("user_info"), a.user_info);
    if (m_writable.transferName)
        row.textIfNotEmpty(QStringLiteral("transfer_name"), a.transfer_name);
    if (m_writable.totalBytes)
        row.integer(QStringLiteral("total_bytes"), a.total_bytes);
    return insertRow(row.row(), kAttachmentTable);
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
    RowBuilder row(12);
    row.text(QStringLiteral("guid"), c.guid);
    row.integer(QStringLiteral("style"), c.style);
    row.integer(QStringLiteral("state"), c.state);
    row.textIfNotEmpty(QStringLiteral("account_id"), c.account_id);
    row.text(QStringLiteral("chat_identifier"), c.chat_identifier);
    row.text(QStringLiteral("service_name"), c.service_name);
    row.textIfNotEmpty(QStringLiteral("room_name"), c.room_name);
    row.text(QStringLiteral("account_login"), c.account_login);
    row.integer(QStringLiteral("is_archived"), c.is_archived);
    if (m_writable.displayName)
        row.textIfNotEmpty(QStringLiteral("display_name"), c.display_name);
    // Derived from the guid, so the same conversation gets the same group id in every file.
    if (m_writable.groupId)
        row.text(QStringLiteral("group_id"), c.group_id.isEmpty() ? guidFromMd5(c.guid.toUtf8()) : c.group_id);
    const qint64 chatRowid = insertRow(row.row(), kChatTable);

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
