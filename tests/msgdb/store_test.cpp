#include "msgdb/records.h"

#include <gtest/gtest.h>

#include <QVariant>

namespace {

// Builds a store with two conversations sharing one message, as a message joined to two chats is read.
struct SharedMessageStore {
    _MsgStore store;
    _MsgChat* sms = new _MsgChat;
    _MsgChat* imessage = new _MsgChat;
    _MsgMessage* shared = new _MsgMessage;
    _MsgMessage* own = new _MsgMessage;

    SharedMessageStore()
    {
        sms->rowid = 1;
        sms->chat_identifier = QStringLiteral("+15550100");
        sms->last = 100;
        imessage->rowid = 2;
        imessage->chat_identifier = QStringLiteral("+15550100");
        imessage->service_name = QStringLiteral("iMessage");
        imessage->last = 250;
        shared->rowid = 10;
        shared->chat = imessage;
        own->rowid = 11;
        own->chat = sms;
        sms->messages.insert(10, shared);
        sms->messages.insert(11, own);
        imessage->messages.insert(10, shared);

        _MsgStoreData* data = store.data();
        data->chats.insert(1, sms);
        data->chats.insert(2, imessage);
        data->messages.insert(10, shared);
        data->messages.insert(11, own);
    }
};

}  // namespace

TEST(MsgStore, CopiesShareRecordsUntilTheLastCopyGoes)
{
    _MsgStore outer;
    {
        SharedMessageStore fixture;
        outer = fixture.store;
        EXPECT_EQ(outer.data(), fixture.store.data());
    }
    // The first holder is gone; the records must still be alive (ASan reports a use after free).
    ASSERT_EQ(outer.messageList().size(), 2);
    for (const _MsgMessage* message : outer.messageList())
        EXPECT_NE(message->chat, nullptr);
    EXPECT_NE(_MsgStore().data(), outer.data());
}

TEST(MsgStore, ChatSessionsGroupByIdentifierWithNewestLast)
{
    SharedMessageStore fixture;
    auto* other = new _MsgChat;
    other->rowid = 3;
    other->chat_identifier = QStringLiteral("+15550199");
    other->last = 50;
    fixture.store.data()->chats.insert(3, other);

    const QList<_MsgChatSession> sessions = fixture.store.chatSessions();
    ASSERT_EQ(sessions.size(), 2);
    for (const _MsgChatSession& session : sessions) {
        if (session.chats.contains(other)) {
            EXPECT_EQ(session.chats.size(), 1);
            EXPECT_EQ(session.last, 50);
        } else {
            EXPECT_EQ(session.chats.size(), 2);
            EXPECT_EQ(session.last, 250);
        }
    }
}

TEST(MsgStore, MessagesOfChats)
{
    SharedMessageStore fixture;
    EXPECT_TRUE(_MsgStore::messagesOfChats({}).isEmpty());
    const MsgMessageList both = _MsgStore::messagesOfChats({fixture.sms, fixture.imessage});
    EXPECT_EQ(both.size(), 3);  // the shared message once per conversation holding it
    EXPECT_EQ(both.count(fixture.shared), 2);
}

TEST(MsgStore, RemovingAMessageUnlinksItFromEveryConversation)
{
    SharedMessageStore fixture;
    EXPECT_TRUE(fixture.store.removeMessage(10));
    EXPECT_FALSE(fixture.store.removeMessage(10));
    EXPECT_FALSE(fixture.sms->messages.contains(10));
    EXPECT_TRUE(fixture.imessage->messages.isEmpty());
    EXPECT_EQ(fixture.store.messageList(), MsgMessageList{fixture.own});
    // Nothing left points at the deleted message: walking every table is safe under ASan.
    for (const _MsgMessage* message : _MsgStore::messagesOfChats(fixture.store.chatList()))
        EXPECT_EQ(message->rowid, 11);
}

TEST(MsgStore, RemovingASetOfMessagesUnlinksEachFromEveryConversation)
{
    SharedMessageStore fixture;
    EXPECT_EQ(fixture.store.removeMessages({10, 99, 11, 10}), 2);
    EXPECT_TRUE(fixture.sms->messages.isEmpty());
    EXPECT_TRUE(fixture.imessage->messages.isEmpty());
    EXPECT_TRUE(fixture.store.messageList().isEmpty());
    EXPECT_EQ(fixture.store.chatList().size(), 2);
}

TEST(MsgStore, RemovingAChatLeavesItsMessagesWithoutIt)
{
    SharedMessageStore fixture;
    EXPECT_TRUE(fixture.store.removeChat(1));
    EXPECT_FALSE(fixture.store.removeChat(1));
    EXPECT_EQ(fixture.own->chat, nullptr);
    EXPECT_EQ(fixture.shared->chat, fixture.imessage);
    EXPECT_EQ(fixture.store.chatList().size(), 1);
}

TEST(HandleItem, IsAQtMetatype)
{
    HandleItem item{true, {}};
    item.handle.id = QStringLiteral("+15550100");
    const QVariant value = QVariant::fromValue(item);
    EXPECT_TRUE(value.canConvert<HandleItem>());
    EXPECT_EQ(value.value<HandleItem>().handle.id, item.handle.id);
    EXPECT_TRUE(value.value<HandleItem>().fromRecycle);
    EXPECT_STREQ(QMetaType::typeName(qMetaTypeId<HandleItem>()), "HandleItem");
}
