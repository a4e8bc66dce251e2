// The roads of the iOS 6 column table agree: a message with a distinct value in every column comes
// back equal from the device file the writer wrote it into, from the recycle database, and from its
// deleted cell through the scan with either fixed template.
#include "fixtures/message_history.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"
#include "msgdb/ios6columns.h"
#include "msgdb/ios6messagedb.h"
#include "recovery/deletedscan.h"

#include <QFileInfo>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

class Ios6ColumnsTest : public TempHomeTest {};

// Every field the table fills gets a value of its own; the scan's checks hold (a guid, a service, a
// body that holds the text, dates in the past).
_MsgMessage distinctMessage(int salt)
{
    _MsgMessage m;
    for (std::size_t i = 0; i < kIos6MessageColumns.size(); ++i) {
        const Ios6Column<_MsgMessage>& c = kIos6MessageColumns[i];
        const int n = int(i);
        switch (c.read) {
        case ColumnRead::None:
            break;
        case ColumnRead::Integer:
            m.*c.intField = 100 * salt + n;
            break;
        case ColumnRead::Date:
            m.*c.intField = 400000000 + 100 * salt + n;
            break;
        case ColumnRead::Integer64:
            m.*c.int64Field = 10000 * salt + n;
            break;
        case ColumnRead::Text:
        case ColumnRead::SharedText:
            m.*c.textField = QStringLiteral("%1 %2").arg(QLatin1String(c.name)).arg(100 * salt + n);
            break;
        case ColumnRead::Blob:
            m.*c.blobField = QByteArray("blob ") + c.name + QByteArray::number(salt);
            break;
        }
    }
    m.guid = QStringLiteral("12345678-ABCD-4321-DCBA-12345678900%1").arg(salt);
    m.service = QStringLiteral("iMessage");
    m.attributedBody += m.text.toUtf8();
    return m;
}

// The columns (of those with all of flags) whose fields differ, by name.
std::string differing(const _MsgMessage& a, const _MsgMessage& b, quint16 flags)
{
    QStringList names;
    for (const Ios6Column<_MsgMessage>& c : kIos6MessageColumns) {
        if ((c.flags & flags) != flags || c.has(kColumnAlias))
            continue;
        const bool same = c.intField ? a.*c.intField == b.*c.intField
            : c.int64Field           ? a.*c.int64Field == b.*c.int64Field
            : c.textField            ? a.*c.textField == b.*c.textField
            : c.blobField            ? a.*c.blobField == b.*c.blobField
                                     : true;
        if (!same)
            names << QLatin1String(c.name);
    }
    return names.join(QLatin1Char(' ')).toStdString();
}

void execAll(const QString& path, const QString& sql)
{
    Sqlite3DB db;
    db.openThrow(path, 2);
    QString error;
    ASSERT_EQ(db.exec(sql, error), 0) << qPrintable(error);
}

// A row written while the device's message table had only its first columns, a row written after the
// later devices' columns were added, and a live row written after one more column came: the deleted
// ones fit only the short and the long template.
TEST_F(Ios6ColumnsTest, WriterReaderRecycleStoreAndScanAgreeOnEveryColumn)
{
    const QDir dir(homePath(QStringLiteral("device")));
    const QString path = fixtures::ios6DbPathIn(dir.absolutePath());
    QString schema = fixtures::ios6DeviceSchema();
    const int later = schema.indexOf(QLatin1String(", is_audio_message"));
    schema.remove(later, schema.indexOf(QLatin1Char(')'), later) - later);
    QDir().mkpath(QFileInfo(path).absolutePath());
    fixtures::createSqliteFile(path, schema);
    _MsgChat chat;
    chat.guid = QStringLiteral("iMessage;-;a@b.org");
    chat.service_name = QStringLiteral("iMessage");
    chat.chat_identifier = QStringLiteral("a@b.org");
    _MsgHandle handle;
    handle.id = chat.chat_identifier;
    handle.service = chat.service_name;
    qint64 chatRow = 0;
    QList<_MsgMessage> written;
    const auto write = [&](int salt) {
        IOS6MessageDb db(dir, QStringLiteral("310"), false);
        db.open();
        db.beginTransaction();
        chatRow = chatRow ? chatRow : db.insertChat(chat);
        _MsgMessage m = distinctMessage(salt);
        m.handle_id = m.other_handle = db.handleRowid(handle) ? db.handleRowid(handle) : db.insertHandle(handle);
        m.rowid = db.insertMessage(m, m.handle_id, m.other_handle, QString());
        db.replaceChatMessageJoin(chatRow, m.rowid);
        db.endTransaction(true);
        written << m;
    };
    write(1);
    QString alter;
    for (const auto& column : ios6LaterMessageColumnStatements())
        alter += column.second;
    execAll(path, alter + QStringLiteral("alter table message add column message_source INTEGER DEFAULT 0;"));
    write(2);
    execAll(path, QStringLiteral("alter table message add column extra INTEGER;"));
    write(3);

    IOS6MessageDb db(dir, QStringLiteral("310"), false);
    _MsgStore store;
    db.messages(store, 0);
    for (const _MsgMessage& m : written) {
        ASSERT_TRUE(store.data()->messages.contains(m.rowid));
        EXPECT_EQ(differing(*store.data()->messages.value(m.rowid), m, m.rowid == written[0].rowid ? kColumnBase : 0),
                  "");
    }

    _MsgMessage m = written[1];
    m.cache_has_attachments = 0;  // the recycle database stores whether the record has attachments
    MessageRecycleDb recycle(homePath(QStringLiteral("recycle.db")));
    recycle.insertMessage(m, chat.chat_identifier, handle.id, 0);
    ASSERT_EQ(recycle.loadMessages().size(), 1);
    EXPECT_EQ(differing(recycle.loadMessages().first().message, m, kColumnBase), "");

    db.executeThrow("PRAGMA secure_delete=OFF");
    db.deleteMessage(written[0]);
    db.deleteMessage(written[1]);
    scanDeletedMessages(db, store.chatList(), nullptr);
    const QList<_MsgRecycledMessage> found = db.recycleDb().loadMessages();
    ASSERT_EQ(found.size(), 2);
    for (int i = 0; i < 2; ++i) {
        m = written[i];
        m.cache_has_attachments = 0;
        const auto same = std::find_if(found.cbegin(), found.cend(),
                                       [&](const _MsgRecycledMessage& r) { return r.message.guid == m.guid; });
        ASSERT_NE(same, found.cend());
        EXPECT_EQ(differing(same->message, m, kColumnBase), "") << i;
    }
}

}  // namespace
