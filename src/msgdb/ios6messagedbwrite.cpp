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

// Names the columns of r an insert writes, with their values, to row (a ColumnSet or a RowBinder): the
// table's columns but the aliases and those left to their defaults, the optional ones only where the
// file has them (present), an empty value of a column that stores it as NULL left out. special(i, row)
// writes column i itself and returns true, or returns false to leave it to the table.
template <typename Record, std::size_t N, typename Row, typename Special>
void appendRow(Row& row, const Record& r, const std::array<Ios6Column<Record>, N>& columns, quint64 present,
               const Special& special)
{
    for (std::size_t i = 0; i < N; ++i) {
        const Ios6Column<Record>& c = columns[i];
        if (c.has(kColumnAlias) || c.has(kColumnNoInsert) || (c.optional() && !(present >> i & 1)))
            continue;
        if (special(int(i), row))
            continue;
        const bool emptyNull = c.has(kColumnEmptyNull);
        switch (c.read) {
        case ColumnRead::None:
            break;
        case ColumnRead::Integer:
        case ColumnRead::Date:
            row.integer(c.name, r.*c.intField);
            break;
        case ColumnRead::Integer64:
            row.integer(c.name, r.*c.int64Field);
            break;
        case ColumnRead::Text:
        case ColumnRead::SharedText:
            emptyNull ? row.textIfNotEmpty(c.name, r.*c.textField) : row.text(c.name, r.*c.textField);
            break;
        case ColumnRead::Blob:
            emptyNull ? row.blobIfNotEmpty(c.name, r.*c.blobField) : row.blob(c.name, r.*c.blobField);
            break;
        }
    }
}

const auto kNoSpecial = [](int, auto&) { return false; };

// How a refused record is named in the error: enough to find it in the source.
QString describeMessage(const _MsgMessage& m)
{
    return QStringLiteral("rowid:%1, date:%2, chat:%3")
        .arg(m.rowid)
        .arg(m.date)
        .arg(m.chat ? m.chat->chat_identifier : QString());
}

}  // namespace

template <typename MakeSql>
Sqlite3Prepared& IOS6MessageDb::heldStatementMade(quint64 key, const MakeSql& makeSql)
{
    const auto held = m_held.find(key);
    if (held != m_held.end() && held->second.isLive())
        return held->second;
    return m_held.insert_or_assign(key, prepare(makeSql())).first->second;
}

Sqlite3Prepared& IOS6MessageDb::heldStatement(quint64 key, const char* sql)
{
    return heldStatementMade(key, [sql] { return QString::fromUtf8(sql); });
}

template <typename Fill>
qint64 IOS6MessageDb::insertRow(int table, const char* name, const Fill& fill)
{
    ColumnSet columns;
    fill(columns);
    Sqlite3Prepared& statement = heldStatementMade(quint64(table) << kTableShift | columns.written(),
                                                   [&] { return columns.insertSql(name); });
    RowBinder row(statement);
    fill(row);
    statement.run();
    return lastInsertId();
}

void IOS6MessageDb::setDbPath(const QString& path)
{
    if (m_openedOnce)
        return;
    m_dbPath = path;
}

IOS6MessageDb::PresentColumns IOS6MessageDb::probePresentColumns() const
{
    PresentColumns present;
    present.message = ios6PresentColumns(kIos6MessageColumns, m_tableDdl.value(kMessageTable));
    present.chat = ios6PresentColumns(kIos6ChatColumns, m_tableDdl.value(kChatTable));
    present.handle = ios6PresentColumns(kIos6HandleColumns, m_tableDdl.value(kHandleTable));
    present.attachment = ios6PresentColumns(kIos6AttachmentColumns, m_tableDdl.value(kAttachmentTable));
    return present;
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
    return insertRow(kHandleRows, "handle",
                     [&](auto& row) { appendRow(row, h, kIos6HandleColumns, m_present.handle, kNoSpecial); });
}

qint64 IOS6MessageDb::insertMessage(const _MsgMessage& m, qint64 handleRowid, qint64 otherHandleRowid,
                                    const QString& logicHash)
{
    open();
    if (m.guid.isEmpty())
        throwUtf8(QStringLiteral("IOS6MessageDb::insertMessage, message without guid, ") + describeMessage(m));
    const QString hash = hasLogicHash() && logicHash.isEmpty() ? messageLogicHash(&m) : logicHash;
    // The record's own ids name rows of another file: the rows of this one are written instead.
    static constexpr int kHandleId = ios6ColumnIndex(kIos6MessageColumns, "handle_id");
    static constexpr int kOtherHandle = ios6ColumnIndex(kIos6MessageColumns, "other_handle");
    static constexpr int kLogicHash = ios6ColumnIndex(kIos6MessageColumns, "logic_hash");
    const auto special = [&](int column, auto& row) {
        if (column == kHandleId)
            row.integer("handle_id", handleRowid);
        else if (column == kOtherHandle && otherHandleRowid > 0)
            row.integer("other_handle", otherHandleRowid);
        else if (column == kLogicHash)
            row.text("logic_hash", hash);
        return column == kHandleId || column == kOtherHandle || column == kLogicHash;
    };
    return insertRow(kMessageRows, "message",
                     [&](auto& row) { appendRow(row, m, kIos6MessageColumns, m_present.message, special); });
}

qint64 IOS6MessageDb::insertAttachment(const _MsgAttachment& a)
{
    open();
    if (a.guid.isEmpty())
        throwUtf8(QStringLiteral("IOS6MessageDb::insertAttachment, attachment without guid, rowid:%1, filename:%2")
                      .arg(a.rowid)
                      .arg(a.filename));
    return insertRow(kAttachmentRows, "attachment",
                     [&](auto& row) { appendRow(row, a, kIos6AttachmentColumns, m_present.attachment, kNoSpecial); });
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
    static constexpr int kGroupId = ios6ColumnIndex(kIos6ChatColumns, "group_id");
    const auto special = [&](int column, auto& row) {
        if (column == kGroupId)
            row.text("group_id", groupId);
        return column == kGroupId;
    };
    const qint64 chatRowid =
        insertRow(kChatRows, "chat", [&](auto& row) { appendRow(row, c, kIos6ChatColumns, m_present.chat, special); });

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
