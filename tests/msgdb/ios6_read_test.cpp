// Reading conversations, messages and attachments of iOS 6 layout files into a store.
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"

#include "fixtures/address_book.h"
#include "fixtures/message_history.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

// Two conversations on a device file: chat 1 (SMS, one handle without country) holds messages 1, 2
// and a location share 3 (item_type 4); chat 2 (iMessage group) holds message 4 with a nanosecond
// date and two attachments, and message 5 whose other_handle is handle 2.
const char kDeviceRows[] =
    "insert into chat(ROWID, guid, style, chat_identifier, service_name, display_name) values"
    " (1, 'SMS;-;+15551230001', 45, '+15551230001', 'SMS', ''),"
    " (2, 'iMessage;+;chat77', 43, 'chat77', 'iMessage', 'Team');"
    "insert into handle(ROWID, id, country, service) values (1, '+15551230001', '', 'SMS'),"
    " (2, 'a@example.org', 'us', 'iMessage'), (3, '+15551230003', 'us', 'iMessage');"
    "insert into chat_handle_join values (1, 1), (2, 2), (2, 3), (9, 3);"
    "insert into message(ROWID, guid, text, handle_id, country, service, date, item_type, other_handle) values"
    " (1, 'M1', 'hello', 1, '', 'SMS', 400000000, 0, -1),"
    " (2, 'M2', 'there', 1, 'ca', 'SMS', 400000100, 0, -1),"
    " (3, 'M3', '', 1, '', 'SMS', 400000200, 4, -1),"
    " (4, 'M4', '\xEF\xBF\xBC\xEF\xBF\xBC', 2, '', 'iMessage', 400000500123456789, 0, -1),"
    " (5, 'M5', '', 3, '', 'iMessage', 400000400, 1, 2),"
    " (6, 'M6', 'orphan', 1, '', 'SMS', 400000900, 0, -1);"
    "insert into chat_message_join values (1, 1), (1, 2), (1, 3), (2, 4), (2, 5);"
    "insert into attachment(ROWID, guid, filename) values"
    " (1, 'A1', '/var/mobile/Library/SMS/Attachments/ab/01/A1/IMG:1.jpg'),"
    " (2, 'A2', '~/Library/SMS/Attachments/cd/02/A2/../../../../../../../../etc/passwd');"
    "insert into message_attachment_join values (4, 1), (4, 2);";

class IOS6ReadTest : public TempHomeTest {
protected:
    QString dbDir() const { return homePath(QStringLiteral("device")); }

    IOS6MessageDb& deviceDb(const QString& extraScript = QString())
    {
        fixtures::createIos6DeviceDb(fixtures::ios6DbPathIn(dbDir()));
        run(QLatin1String(kDeviceRows) + extraScript);
        m_db = std::make_unique<IOS6MessageDb>(QDir(dbDir()), QStringLiteral("310"), false);
        return *m_db;
    }

    void run(const QString& script)
    {
        Sqlite3DB db;
        db.openThrow(fixtures::ios6DbPathIn(dbDir()), 2);
        QString error;
        ASSERT_EQ(db.exec(script, error), 0) << error.toStdString();
    }

    std::unique_ptr<IOS6MessageDb> m_db;
};

}  // namespace

TEST_F(IOS6ReadTest, DeviceConversationsTakeTheirDateFromTheNewestMessage)
{
    IOS6MessageDb& db = deviceDb();
    _MsgStore store;
    db.chats(store);
    const auto& chats = store.data()->chats;
    ASSERT_EQ(chats.size(), 2);
    EXPECT_EQ(chats.value(1)->last, 400000200);
    EXPECT_EQ(chats.value(2)->last, 400000500);  // nanoseconds read as seconds
    EXPECT_EQ(chats.value(2)->display_name, QStringLiteral("Team"));
    EXPECT_EQ(chats.value(2)->handles.size(), 2);
    EXPECT_EQ(chats.value(1)->handles.value(1), store.data()->handles.value(1));
    // A join row of a missing conversation still brings its handle, linked nowhere.
    EXPECT_EQ(store.data()->handles.size(), 3);
}

TEST_F(IOS6ReadTest, MessagesOfOneConversationOrOfAll)
{
    IOS6MessageDb& db = deviceDb();
    _MsgStore one;
    db.messages(one, 1);
    EXPECT_EQ(one.data()->messages.size(), 2);  // the location share is left out
    EXPECT_TRUE(one.data()->attachments.isEmpty());

    _MsgStore all;
    db.messages(all, 0);
    const auto& messages = all.data()->messages;
    ASSERT_EQ(messages.size(), 4);  // 1, 2, 4, 5; 3 is a location share, 6 is in no conversation
    EXPECT_FALSE(messages.contains(3));
    EXPECT_FALSE(messages.contains(6));
    const _MsgMessage* m4 = messages.value(4);
    ASSERT_TRUE(m4);
    EXPECT_EQ(m4->date, 400000500);
    EXPECT_EQ(m4->sortKey, 4);
    EXPECT_EQ(m4->chat, all.data()->chats.value(2));
    EXPECT_EQ(m4->country, QStringLiteral("us"));  // from its handle
    EXPECT_EQ(messages.value(2)->country, QStringLiteral("ca"));  // its own
    EXPECT_EQ(messages.value(5)->otherHandle, all.data()->handles.value(2));
    EXPECT_EQ(all.data()->chats.value(1)->messages.size(), 2);
    ASSERT_EQ(m4->attachments.size(), 2);
    EXPECT_EQ(m4->attachments.value(1), all.data()->attachments.value(1));
}

// Reading every message finds the newest dates on the way; they must be those chats() computes,
// location shares (never shown) and nanosecond dates included, NULL dates ignored.
TEST_F(IOS6ReadTest, ReadingAllMessagesGivesTheSameConversationDatesAsReadingConversations)
{
    IOS6MessageDb& db = deviceDb(QStringLiteral(
        "insert into chat(ROWID, guid, chat_identifier, service_name) values (3, 'SMS;-;x', 'x', 'SMS');"
        "insert into message(ROWID, guid, date) values (7, 'M7', NULL), (8, 'M8', 5);"
        "insert into chat_message_join values (3, 7), (3, 8);"));
    _MsgStore conversations;
    db.chats(conversations);
    _MsgStore all;
    db.messages(all, 0);
    for (const qint64 chat : {1, 2, 3})
        EXPECT_EQ(all.data()->chats.value(chat)->last, conversations.data()->chats.value(chat)->last) << chat;
    EXPECT_EQ(all.data()->chats.value(1)->last, 400000200);  // the location share, left out of the messages
    EXPECT_EQ(all.data()->chats.value(3)->last, 5);
    EXPECT_FALSE(all.data()->messages.contains(3));
}

TEST_F(IOS6ReadTest, LocationSharesAreKeptWhenTheFileHasNoItemType)
{
    QString schema = fixtures::ios6DeviceSchema();
    schema.replace(QStringLiteral(" item_type INTEGER DEFAULT 0,"), QString());
    QDir().mkpath(QFileInfo(fixtures::ios6DbPathIn(dbDir())).absolutePath());
    fixtures::createSqliteFile(fixtures::ios6DbPathIn(dbDir()), schema);
    QString rows = QLatin1String(kDeviceRows);
    rows.replace(QStringLiteral(", item_type, other_handle)"), QStringLiteral(", is_read, other_handle)"));
    run(rows);

    IOS6MessageDb db(QDir(dbDir()), QString(), false);
    _MsgStore store;
    db.messages(store, 1);
    EXPECT_FALSE(db.hasItemType());
    EXPECT_EQ(store.data()->messages.size(), 3);
    EXPECT_EQ(store.data()->messages.value(3)->item_type, 0);  // a missing column reads as 0
}

TEST_F(IOS6ReadTest, ReadingTwiceAddsNothingAndKeepsRecords)
{
    IOS6MessageDb& db = deviceDb();
    _MsgStore store;
    db.messages(store, 0);
    const _MsgMessage* first = store.data()->messages.value(1);
    run(QStringLiteral("update message set text='changed' where ROWID=1;"
                       "insert into chat_message_join values (1, 6);"));
    db.messages(store, 0);
    EXPECT_EQ(store.data()->messages.size(), 5);  // only the newly joined message 6
    EXPECT_EQ(store.data()->messages.value(1), first);
    EXPECT_EQ(first->text, QStringLiteral("hello"));
    EXPECT_EQ(store.data()->chats.value(1)->messages.size(), 3);
    EXPECT_EQ(store.data()->chats.value(1)->last, 400000900);  // recomputed for a device file
}

TEST_F(IOS6ReadTest, LocalDatabaseUsesItsStoredConversationDate)
{
    const QString dir = homePath(QStringLiteral("local"));
    IOS6MessageDb db(QDir(dir), QString(), true);
    db.open();
    db.executeThrow("insert into chat(ROWID, guid, _last) values (1, 'SMS;-;1', 500)");
    db.executeThrow("insert into message(ROWID, guid, date) values (1, 'M1', 900)");
    db.executeThrow("insert into chat_message_join values (1, 1)");
    _MsgStore store;
    db.chats(store);
    EXPECT_EQ(store.data()->chats.value(1)->last, 500);

    db.updateChatLast(1, 400);  // never lowers
    db.updateChatLast(1, 700);
    Sqlite3Cursor cursor = db.queryThrow("select _last from chat where ROWID=1");
    ASSERT_TRUE(cursor.moveNext());
    EXPECT_EQ(cursor.getInt64(0), 700);
}

TEST_F(IOS6ReadTest, AttachmentPathsStayInsideTheFileRelayFolder)
{
    IOS6MessageDb& db = deviceDb();
    _MsgStore store;
    db.messages(store, 2);
    const QString relay = QDir(dbDir()).absoluteFilePath(QStringLiteral("file-relay"));
    EXPECT_EQ(store.data()->attachments.value(1)->localPath.path(),
              relay + QStringLiteral("/var/mobile/Library/SMS/Attachments/ab/01/A1/IMG1.jpg"));
    EXPECT_TRUE(store.data()->attachments.value(2)->localPath.path().isEmpty());  // climbs out: a missing file

    EXPECT_EQ(db.localPath(QStringLiteral("~/Library/SMS/Attachments/x/y.png")),
              relay + QStringLiteral("/var/mobile/Library/SMS/Attachments/x/y.png"));
    EXPECT_EQ(db.localPath(QStringLiteral("Library/a*b?c\"d<e>f|g.jpg")), relay + QStringLiteral("/Library/abcdefg.jpg"));
    EXPECT_TRUE(db.localPath(QString()).isEmpty());
    EXPECT_TRUE(db.localPath(QStringLiteral("//etc/passwd")).isEmpty());
    EXPECT_TRUE(db.localPath(QStringLiteral("~/../../x")).isEmpty());
    EXPECT_TRUE(db.localPath(QStringLiteral("var/./mobile/x")).isEmpty());
    EXPECT_TRUE(db.localPath(QStringLiteral("var\\..\\..\\x")).isEmpty());
}

TEST_F(IOS6ReadTest, LookupsGiveZeroOnAMiss)
{
    IOS6MessageDb& db = deviceDb();
    EXPECT_EQ(db.messageRowidByGuid(QStringLiteral("M2")), 2);
    EXPECT_EQ(db.messageRowidByGuid(QStringLiteral("nope")), 0);
    EXPECT_EQ(db.chatRowidByGuid(QStringLiteral("iMessage;+;chat77")), 2);
    EXPECT_EQ(db.chatRowidByGuid(QString()), 0);
    _MsgAttachment attachment;
    attachment.guid = QStringLiteral("A2");
    EXPECT_EQ(db.attachmentRowidByGuid(attachment), 2);
    attachment.guid = QStringLiteral("A9");
    EXPECT_EQ(db.attachmentRowidByGuid(attachment), 0);
    EXPECT_TRUE(db.hasChatHandleJoin(2, 3));
    EXPECT_FALSE(db.hasChatHandleJoin(1, 3));
    _MsgHandle handle;
    handle.id = QStringLiteral("a@example.org");
    handle.service = QStringLiteral("iMessage");
    EXPECT_EQ(db.handleRowid(handle), 2);
    handle.service = QStringLiteral("SMS");
    EXPECT_EQ(db.handleRowid(handle), 0);
    EXPECT_EQ(db.messageCount(), 4);
    EXPECT_EQ(db.messageRowidByLogicHash(_MsgMessage()), 0);  // no logic_hash column: no query
    db.updateChatLast(1, 999999999);                         // no _last column: nothing to do
}

TEST_F(IOS6ReadTest, GeneratedHistoryReadsBackWhole)
{
    for (const bool nanoseconds : {false, true}) {
        const QString dir = homePath(nanoseconds ? QStringLiteral("ns") : QStringLiteral("s"));
        const QString path = fixtures::ios6DbPathIn(dir);
        fixtures::createIos6DeviceDb(path);
        fixtures::SampleHistoryOptions options;
        options.messages = 2000;
        options.conversations = 30;
        options.nanosecondDates = nanoseconds;
        const fixtures::SampleHistory history = fixtures::fillSampleHistory(path, options);
        ASSERT_GT(history.locationShares, 0);
        ASSERT_GT(history.systemEvents, 0);
        ASSERT_GT(history.attachments, 0);

        IOS6MessageDb db(QDir(dir), QString(), false);
        _MsgStore store;
        db.messages(store, 0);
        const _MsgStoreData& data = *store.data();
        EXPECT_EQ(data.chats.size(), history.chats);
        EXPECT_EQ(data.handles.size(), history.handles);
        EXPECT_EQ(data.messages.size(), history.messages - history.locationShares);
        EXPECT_EQ(data.attachments.size(), history.attachments);
        int newest = 0;
        int groups = 0;
        for (const _MsgChat* chat : data.chats) {
            newest = qMax(newest, chat->last);
            groups += chat->handles.size() > 1 ? 1 : 0;
        }
        EXPECT_EQ(newest, history.newestDate);
        EXPECT_EQ(groups, history.groupChats);
        for (const _MsgAttachment* attachment : data.attachments)
            EXPECT_FALSE(attachment->localPath.path().isEmpty()) << attachment->filename.toStdString();
    }
}

namespace {

// A local database in dir with two handles that carry stored contact names: one whose number is in
// the sample address book (spelled as typed, without country) and one that is not.
void writeLocalHandles(IOS6MessageDb& db)
{
    db.open();
    db.executeThrow("insert into chat(ROWID, guid) values (1, 'SMS;+;chat1')");
    db.executeThrow("insert into handle(ROWID, id, country, service, _ct_name, _photo) values"
                    " (1, '612 34 56 78', '', 'SMS', 'Stored One', x'01'),"
                    " (2, '+1 (555) 123-0002', 'us', 'SMS', 'Stored Two', x'02'),"
                    " (3, 'Some@Example.ORG', 'US', 'iMessage', '', null)");
    db.executeThrow("insert into chat_handle_join values (1, 1), (1, 2), (1, 3)");
}

}  // namespace

TEST_F(IOS6ReadTest, HandlesAreNormalisedAndNamedFromTheAddressBook)
{
    const QString dir = homePath(QStringLiteral("local"));
    fixtures::writeAddressBook(dir, fixtures::sampleAddressBook());
    IOS6MessageDb db(QDir(dir), QStringLiteral("214"), true);
    writeLocalHandles(db);

    _MsgStore store;
    db.chats(store);
    const auto& handles = store.data()->handles;
    ASSERT_EQ(handles.size(), 3);
    const _MsgHandle* known = handles.value(1);
    EXPECT_EQ(known->country, QStringLiteral("es"));  // the default country, lower case
    EXPECT_EQ(known->id, QStringLiteral("+34612345678"));
    EXPECT_EQ(known->contactName, QStringLiteral("John Smith"));
    EXPECT_EQ(known->photo, QByteArray("\x89PNG john", 9));
    const _MsgHandle* unknown = handles.value(2);
    EXPECT_EQ(unknown->country, QStringLiteral("us"));
    EXPECT_EQ(unknown->id, QStringLiteral("+15551230002"));
    EXPECT_TRUE(unknown->contactName.isEmpty());  // the address book decides, even on a miss
    EXPECT_TRUE(unknown->photo.isEmpty());
    EXPECT_EQ(handles.value(3)->id, QStringLiteral("some@example.org"));
}

TEST_F(IOS6ReadTest, WithoutAnAddressBookStoredNamesAreKept)
{
    const QString dir = homePath(QStringLiteral("local"));
    IOS6MessageDb db(QDir(dir), QStringLiteral("214"), true);
    writeLocalHandles(db);

    _MsgStore store;
    db.chats(store);
    EXPECT_FALSE(db.contactsDb().isOpen());
    EXPECT_EQ(store.data()->handles.value(1)->contactName, QStringLiteral("Stored One"));
    EXPECT_EQ(store.data()->handles.value(2)->photo, QByteArray("\x02", 1));
}

TEST_F(IOS6ReadTest, LogicHashLookupOnALocalDatabase)
{
    IOS6MessageDb db(QDir(homePath(QStringLiteral("local"))), QString(), true);
    _MsgMessage message;
    message.guid = QStringLiteral("G1");
    message.text = QStringLiteral("hello");
    message.date = 400000000;
    EXPECT_EQ(db.messageRowidByLogicHash(message), 0);
    db.executeThrow(Sqlite3Sql("insert into message(ROWID, guid, logic_hash) values (5, 'G1', ?)")
                        .addTextParam(messageLogicHash(&message)));
    EXPECT_EQ(db.messageRowidByLogicHash(message), 5);
}
