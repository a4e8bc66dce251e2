// The store of recovered messages and how its messages join a message store.
#include "msgdb/messagerecycledb.h"

#include "fixtures/temp_home.h"

#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

class RecycleDbTest : public TempHomeTest {
protected:
    QString path() const { return homePath(QStringLiteral("recycle.db")); }

    static _MsgMessage message(const QString& guid, int date, const QString& text, int fromMe = 0)
    {
        _MsgMessage m;
        m.guid = guid;
        m.date = date;
        m.text = text;
        m.is_from_me = fromMe;
        m.service = QStringLiteral("SMS");
        return m;
    }

    QVariant column(MessageRecycleDb& db, const QString& sql)
    {
        Sqlite3Cursor cursor = db.queryThrow(sql);
        return cursor.moveNext() ? cursor.getRow().valueAt(0) : QVariant();
    }
};

_MsgRecycledMessage recycled(qint64 rowid, const QString& ident, qint64 handleId, const QString& service, int date)
{
    _MsgRecycledMessage r;
    r.message.rowid = rowid;
    r.message.guid = QStringLiteral("G%1").arg(rowid);
    r.message.handle_id = handleId;
    r.message.service = service;
    r.message.date = date;
    r.chat_identifier = ident;
    r.handle = ident;
    return r;
}

}  // namespace

TEST_F(RecycleDbTest, CreatedOnFirstUseWithItsSchema)
{
    MessageRecycleDb db(path());
    EXPECT_FALSE(QFile::exists(path()));
    EXPECT_TRUE(db.handles().isEmpty());
    EXPECT_TRUE(QFile::exists(path()));
    Sqlite3Cursor cursor = db.queryThrow(
        "select type, count(*) from sqlite_master where sql is not null and name <> 'sqlite_sequence' group by type"
        " order by type");
    ASSERT_TRUE(cursor.moveNext());
    EXPECT_EQ(cursor.getText(0), QStringLiteral("index"));
    EXPECT_EQ(cursor.getInt64(1), 7);
    ASSERT_TRUE(cursor.moveNext());
    EXPECT_EQ(cursor.getText(0), QStringLiteral("table"));
    EXPECT_EQ(cursor.getInt64(1), 3);

    QFile script(QStringLiteral(":/res/recycle_ddl.sql"));
    ASSERT_TRUE(script.open(QIODevice::ReadOnly));
    EXPECT_EQ(script.size(), 2060);
}

TEST_F(RecycleDbTest, GuidsAreKeptOnlyWhenGuidShaped)
{
    MessageRecycleDb db(path());
    const QString lower = QStringLiteral("abcdef01-2345-6789-abcd-ef0123456789");
    const qint64 kept = db.insertMessage(message(lower, 1, QStringLiteral("a")), QString(), QString(), 0);
    EXPECT_EQ(db.loadMessages().first().message.guid, lower);
    EXPECT_EQ(kept, 1);

    int date = 2;
    for (const QString& bad : {QString(), QStringLiteral("{ABCDEF01-2345-6789-ABCD-EF0123456789}"),
                               QStringLiteral("ABCDEF0-12345-6789-ABCD-EF0123456789"), QStringLiteral("not a guid")}) {
        db.insertMessage(message(bad, date++, QStringLiteral("b")), QString(), QString(), 0);
        const QString stored = db.loadMessages().last().message.guid;
        EXPECT_NE(stored, bad);
        EXPECT_TRUE(isGuidShaped(stored)) << stored.toStdString();
        EXPECT_EQ(stored, stored.toUpper());
    }
}

TEST_F(RecycleDbTest, InsertWritesSourceRowidAndAttachmentFlag)
{
    MessageRecycleDb db(path());
    _MsgMessage withAttachment = message(QStringLiteral("G1"), 10, QStringLiteral("x"));
    _MsgAttachment attachment;
    withAttachment.attachments.insert(1, &attachment);
    withAttachment.cache_has_attachments = 0;
    db.insertMessage(withAttachment, QStringLiteral("+1555"), QStringLiteral("+1555"), 0);
    db.insertMessage(message(QStringLiteral("G2"), 11, QStringLiteral("y")), QString(), QString(), 5);
    EXPECT_FALSE(column(db, "select src_rowid from message where ROWID=1").isValid());
    EXPECT_EQ(column(db, "select src_rowid from message where ROWID=2").toLongLong(), 5);
    EXPECT_EQ(column(db, "select cache_has_attachments from message where ROWID=1").toInt(), 1);
    EXPECT_EQ(column(db, "select cache_has_attachments from message where ROWID=2").toInt(), 0);

    _MsgHandle handle;
    handle.id = QStringLiteral("+15550001");
    EXPECT_EQ(db.findHandle(handle), 0);
    db.insertHandle(handle, 0);
    const qint64 second = db.insertHandle([] { _MsgHandle h; h.id = QStringLiteral("b@x.org"); h.service = QStringLiteral("iMessage"); return h; }(), 42);
    EXPECT_EQ(db.findHandle(handle), 1);
    EXPECT_EQ(db.handleBySrcRowid(42).rowid, 42);
    EXPECT_EQ(db.handleBySrcRowid(42).id, QStringLiteral("b@x.org"));
    EXPECT_EQ(db.handleBySrcRowid(7).id, QString());  // the default record
    EXPECT_EQ(db.handles().size(), 2);
    EXPECT_EQ(db.handles().last().rowid, second);
}

TEST_F(RecycleDbTest, FindAndNumberMessages)
{
    MessageRecycleDb db(path());
    const QString guid = QStringLiteral("ABCDEF01-2345-6789-ABCD-EF0123456789");
    db.insertMessage(message(guid, 100, QStringLiteral("hi"), 1), QString(), QString(), 0);

    EXPECT_EQ(db.findMessage(message(QStringLiteral("other"), 100, QStringLiteral("hi"), 1)), 1);
    EXPECT_EQ(db.findMessage(message(QStringLiteral("other"), 100, QStringLiteral("ho"), 1)), 0);
    EXPECT_EQ(db.findMessage(message(QStringLiteral("other"), 100, QStringLiteral("hi"), 0)), 0);

    EXPECT_FALSE(db.setMessageNumber(message(QStringLiteral("x"), 1, QStringLiteral("none")), QStringLiteral("+1"),
                                     QStringLiteral("+1")));
    EXPECT_TRUE(db.loadMessages().first().chat_identifier.isEmpty());
    EXPECT_TRUE(db.setMessageNumber(message(guid, 0, QString()), QStringLiteral("+1"), QStringLiteral("+2")));
    const _MsgRecycledMessage loaded = db.loadMessages().first();
    EXPECT_EQ(loaded.chat_identifier, QStringLiteral("+1"));
    EXPECT_EQ(loaded.handle, QStringLiteral("+2"));

    // A message without text is found again, whether its row holds NULL or "".
    db.insertMessage(message(QStringLiteral("a"), 200, QString()), QString(), QString(), 0);
    db.executeThrow("update message set text=NULL where date=200");
    EXPECT_EQ(db.findMessage(message(QStringLiteral("b"), 200, QString())), 2);
    // A loaded message is numbered in its own row, not in an earlier one with the same date and text.
    db.insertMessage(message(QStringLiteral("c"), 100, QStringLiteral("hi"), 1), QString(), QString(), 0);
    QHash<qint64, _MsgRecycledMessage> byRow;
    for (const _MsgRecycledMessage& r : db.loadMessages())
        byRow.insert(kRecycleMessageBase - r.message.rowid, r);
    EXPECT_TRUE(db.setMessageNumber(byRow.value(3).message, QStringLiteral("+3"), QStringLiteral("+3")));
    EXPECT_EQ(column(db, "select chat_identifier from message where rowid=1"), QVariant(QStringLiteral("+1")));
    EXPECT_EQ(column(db, "select chat_identifier from message where rowid=3"), QVariant(QStringLiteral("+3")));
}

TEST_F(RecycleDbTest, LoadMapsRowidsAndMarksMessages)
{
    MessageRecycleDb db(path());
    for (int i = 1; i <= 3; ++i)
        db.insertMessage(message(QStringLiteral("G%1").arg(i), i, QStringLiteral("t")), QStringLiteral("+1"), QString(), 0);
    db.executeThrow("update message set is_skip=1 where ROWID=2");
    const QList<_MsgRecycledMessage> list = db.loadMessages();
    ASSERT_EQ(list.size(), 2);
    const _MsgMessage& third = list.last().message;
    EXPECT_EQ(third.rowid, -2047483648LL - 3);
    EXPECT_TRUE(third.isHighlighted);
    EXPECT_EQ(third.sortKey, 0);

    _MsgStore store;
    addRecycledMessages(store, list);
    EXPECT_EQ(store.data()->messages.value(-2047483648LL - 3)->sortKey, 2047483648LL + 3);
}

TEST(RecycledMessagesTest, UnknownIdentifiersGetOneConversationPerHandle)
{
    _MsgStore store;
    addRecycledMessages(store, {recycled(-10, QString(), 7, QStringLiteral("iMessage"), 5),
                                recycled(-11, QString(), 7, QStringLiteral("SMS"), 9)});
    const auto& chats = store.data()->chats;
    ASSERT_EQ(chats.size(), 1);
    const _MsgChat* chat = chats.value(-2047483647LL - 7);
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->chat_identifier, QStringLiteral("unknown7"));
    EXPECT_EQ(chat->guid, QStringLiteral("SMS;-;unknown7"));
    EXPECT_EQ(chat->last, 9);
    EXPECT_EQ(chat->messages.size(), 2);
    EXPECT_EQ(store.data()->messages.value(-10)->handle, store.data()->handles.value(chat->rowid));
}

TEST(RecycledMessagesTest, IMessageConversationGetsADerivedAccount)
{
    _MsgStore store;
    _MsgRecycledMessage r = recycled(-20, QStringLiteral("abc"), 2, QStringLiteral("iMessage"), 3);
    r.message.account = QStringLiteral("e:me@x.org");
    addRecycledMessages(store, {r});
    const _MsgChat* chat = store.data()->chats.value(-1947483647LL - 2);
    ASSERT_TRUE(chat);
    EXPECT_EQ(chat->guid, QStringLiteral("iMessage;-;abc"));
    EXPECT_EQ(chat->service_name, QStringLiteral("iMessage"));
    EXPECT_EQ(chat->account_id, QStringLiteral("90015098-3CD2-4FB0-D696-3F7D28E17F72"));  // MD5 of "abc"
    EXPECT_EQ(chat->account_login, QStringLiteral("e:me@x.org"));
    EXPECT_EQ(chat->messages.value(QStringLiteral("G-20")), store.data()->messages.value(-20));
}

TEST(RecycledMessagesTest, JoinsAnExistingConversationOnce)
{
    _MsgStore store;
    auto chat = std::make_unique<_MsgChat>();
    auto handle = std::make_unique<_MsgHandle>();
    chat->rowid = 4;
    chat->chat_identifier = QStringLiteral("+15550004");
    chat->last = 100;
    handle->rowid = 8;
    chat->handles.insert(8, handle.get());
    _MsgChat* existing = chat.get();
    store.data()->handles.insert(8, handle.release());
    store.data()->chats.insert(4, chat.release());

    const QList<_MsgRecycledMessage> list = {recycled(-30, QStringLiteral("+15550004"), 1, QStringLiteral("SMS"), 500)};
    addRecycledMessages(store, list);
    addRecycledMessages(store, list);
    EXPECT_EQ(store.data()->chats.size(), 1);
    EXPECT_EQ(store.data()->messages.size(), 1);
    EXPECT_EQ(existing->last, 500);
    EXPECT_EQ(existing->messages.size(), 1);
    EXPECT_EQ(store.data()->messages.value(-30)->handle, store.data()->handles.value(8));

    // With two members keyed by row id, the sender is found by its address.
    auto other = std::make_unique<_MsgHandle>();
    other->rowid = 9;
    other->id = QStringLiteral("+15550009");
    existing->handles.insert(QStringLiteral("9"), other.get());
    store.data()->handles.insert(9, other.release());
    _MsgRecycledMessage fromOther = recycled(-31, QStringLiteral("+15550004"), 1, QStringLiteral("SMS"), 600);
    fromOther.handle = QStringLiteral("+15550009");
    addRecycledMessages(store, {fromOther});
    EXPECT_EQ(store.data()->messages.value(-31)->handle, store.data()->handles.value(9));
}

TEST(RecycledMessagesTest, KeysNeverCollideAndStayInTheirBand)
{
    _MsgStore store;
    // Same identifier and handle_id over both services; a group and a one-to-one identifier sharing
    // handle_id 0; and handle_ids that would push keys out of their band.
    addRecycledMessages(store, {recycled(-1, QStringLiteral("+1555"), 3, QStringLiteral("SMS"), 1),
                                recycled(-2, QStringLiteral("+1555"), 3, QStringLiteral("iMessage"), 2),
                                recycled(-3, QStringLiteral("chat1"), 0, QStringLiteral("SMS"), 3),
                                recycled(-4, QStringLiteral("+1666"), 0, QStringLiteral("SMS"), 4),
                                recycled(-5, QStringLiteral("+1777"), 500000000, QStringLiteral("SMS"), 5),
                                recycled(-6, QStringLiteral("+1888"), -9, QStringLiteral("SMS"), 6),
                                recycled(-7, QString(), -9, QStringLiteral("SMS"), 7)});
    const auto& chats = store.data()->chats;
    ASSERT_EQ(chats.size(), 7);
    EXPECT_EQ(store.data()->handles.size(), 7);
    for (auto it = chats.constBegin(); it != chats.constEnd(); ++it) {
        const _MsgChat* chat = it.value();
        EXPECT_EQ(chat->rowid, it.key());
        EXPECT_EQ(chat->messages.size(), 1) << chat->guid.toStdString();
        if (chat->chat_identifier.startsWith(QStringLiteral("unknown")))
            EXPECT_LT(chat->rowid, kRecycleKnownBandFloor);
        else
            EXPECT_TRUE(chat->rowid >= kRecycleKnownBandFloor && chat->rowid <= kRecycleKnownChatBase)
                << chat->rowid;
    }
    for (const _MsgMessage* m : store.data()->messages)
        EXPECT_EQ(m->chat->messages.value(m->guid), m);
}

// Carved guids are the file's choice: guid-shaped ones built of "Aa" and "BB" (one value under Qt's
// unseeded string hash) are told apart in a batch about as fast as plain ones.
TEST_F(RecycleDbTest, GuidsCollidingUnderAFixedHashAreBatchedAboutAsFast)
{
    const auto timeToStore = [this](bool colliding) {
        MessageRecycleDb db(homePath(colliding ? QStringLiteral("crafted.db") : QStringLiteral("plain.db")));
        db.beginTransaction();
        db.beginMessageBatch();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 1024; ++i) {
            QString guid = QStringLiteral("%1-0000-0000-0000-000000000000").arg(i, 8, 10, QLatin1Char('0'));
            for (int block = 0; colliding && block < 10; ++block)  // two letters at a time, hyphens left
                guid.replace(2 * block + std::max(0, block / 2 - 1), 2, i >> block & 1 ? "BB" : "Aa");
            if (db.findMessage(message(guid, i, QString())) == 0)
                db.insertMessage(message(guid, i, QString()), QString(), QString(), 0);
        }
        EXPECT_EQ(column(db, QStringLiteral("select count(*) from message")).toInt(), 1024);
        return (std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_LT(timeToStore(true), 5 * timeToStore(false));
}
