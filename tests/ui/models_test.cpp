#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"

#include "fixtures/deleted_records.h"

#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QBrush>
#include <QColor>
#include <QPixmap>
#include <gtest/gtest.h>

namespace {

QByteArray encodedImage(const char* format, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::blue);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QImage resourceIcon(const char* path)
{
    return QImage(QLatin1String(path)).scaledToWidth(18, Qt::SmoothTransformation);
}

// A store filled by hand: chats with the given identifiers and times, each with its handles.
class MainModelTest : public ::testing::Test {
protected:
    _MsgChat* addChat(_MsgStore& store, qint64 rowid, const QString& identifier, int last,
                      const QList<QByteArray>& photos = {QByteArray()})
    {
        auto* chat = new _MsgChat;
        chat->rowid = rowid;
        chat->chat_identifier = identifier;
        chat->last = last;
        store.data()->chats.insert(rowid, chat);
        for (const QByteArray& photo : photos) {
            auto* handle = new _MsgHandle;
            handle->rowid = ++m_nextHandle;
            handle->id = QStringLiteral("+1555%1").arg(handle->rowid);
            handle->photo = photo;
            store.data()->handles.insert(handle->rowid, handle);
            chat->handles.insert(handle->rowid, handle);
        }
        return chat;
    }
    QStringList childNames(const AbsTreeItemModel::_ItemNode* node) const
    {
        QStringList names;
        for (const auto& child : node->children)
            names.append(static_cast<const _ChatSessionItemNode*>(child.get())->chats.first()->chat_identifier);
        return names;
    }
    QVariant dataOfChild(int row, int role) const
    {
        return model.data(model.index(row, 0, model.indexOfNode(db)), role);
    }

    ItemModelMain model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
    _LocalDBItemNode* db = model.addLocalDb({}, QStringLiteral("db1"));
    qint64 m_nextHandle = 0;
};

TEST_F(MainModelTest, TwoRootsThenNodesUnderThem)
{
    ASSERT_EQ(model.rowCount(), 2);
    EXPECT_EQ(AbsTreeItemModel::nodeOf(model.index(0, 0))->type, kNodeRootDevice);
    EXPECT_EQ(AbsTreeItemModel::nodeOf(model.index(1, 0))->type, kNodeRootLocalDb);
    EXPECT_EQ(model.data(model.index(1, 0)).toString(), QStringLiteral("IDS_ROOT_LOCALDB"));  // no catalogue here
    IOSDevice device;
    device.name = QStringLiteral("Phone");
    _IOSDeviceItemNode* node = model.addIOSDevice({}, device);
    EXPECT_EQ(model.indexOfNode(node), model.index(0, 0, model.index(0, 0)));
    EXPECT_EQ(model.data(model.indexOfNode(node)).toString(), QStringLiteral("Phone"));
    EXPECT_EQ(model.data(model.indexOfNode(db), Qt::SizeHintRole).toSize(), QSize(0, 25));
    EXPECT_EQ(model.data(model.indexOfNode(db), Qt::DecorationRole).value<QImage>().width(), 18);
    EXPECT_FALSE(model.headerData(0, Qt::Horizontal).isValid());
}

TEST_F(MainModelTest, ConversationsNewestFirstAndEqualTimesByIdentifier)
{
    addChat(db->store, 1, QStringLiteral("b"), 100);
    addChat(db->store, 2, QStringLiteral("C"), 300);
    addChat(db->store, 3, QStringLiteral("a"), 100);
    addChat(db->store, 4, QStringLiteral("d"), 200);
    model.loadChats(db);
    EXPECT_EQ(childNames(db), (QStringList{"C", "d", "a", "b"}));
}

TEST_F(MainModelTest, ReloadKeepsOtherNodesIndexesValid)
{
    _LocalDBItemNode* other = model.addLocalDb({}, QStringLiteral("db2"));
    const QPersistentModelIndex otherIndex(model.indexOfNode(other));
    addChat(db->store, 1, QStringLiteral("a"), 1);
    model.loadChats(db);
    model.loadChats(db);
    EXPECT_EQ(db->children.size(), 1u);
    ASSERT_TRUE(otherIndex.isValid());
    EXPECT_EQ(AbsTreeItemModel::nodeOf(otherIndex), other);
}

TEST_F(MainModelTest, EmptyStoreGivesNoConversations)
{
    model.loadChats(db);
    EXPECT_TRUE(db->children.empty());
}

TEST_F(MainModelTest, ConversationIconFromPhotoGroupOrContact)
{
    addChat(db->store, 1, QStringLiteral("jpeg"), 50, {encodedImage("JPEG", 40, 20)});
    addChat(db->store, 2, QStringLiteral("png"), 40, {encodedImage("PNG", 40, 20)});
    addChat(db->store, 3, QStringLiteral("garbage"), 30, {QByteArray("not an image")});
    addChat(db->store, 4, QStringLiteral("group"), 20, {encodedImage("PNG", 40, 20), encodedImage("PNG", 40, 20)});
    model.loadChats(db);
    ASSERT_EQ(childNames(db), (QStringList{"jpeg", "png", "garbage", "group"}));
    EXPECT_EQ(dataOfChild(0, Qt::DecorationRole).value<QImage>().size(), QSize(36, 18));
    EXPECT_EQ(dataOfChild(1, Qt::DecorationRole).value<QImage>().size(), QSize(36, 18));
    EXPECT_EQ(dataOfChild(2, Qt::DecorationRole).value<QImage>(), resourceIcon(":/res/contact.png"));
    EXPECT_EQ(dataOfChild(3, Qt::DecorationRole).value<QImage>(), resourceIcon(":/res/group.png"));
}

TEST_F(MainModelTest, RecoveredConversationsAreRed)
{
    addChat(db->store, -1947483646, QStringLiteral("edge"), 2);
    addChat(db->store, -1947483647, QStringLiteral("recovered"), 1);
    model.loadChats(db);
    EXPECT_FALSE(dataOfChild(0, Qt::ForegroundRole).isValid());
    EXPECT_EQ(dataOfChild(1, Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
}

// Recovered messages of several numbers, all with handle id 0 as iOS 5 gives them, each get a red
// conversation of their own; one of a live conversation's number joins it, which stays as it was.
TEST_F(MainModelTest, RecoveredMessagesJoinTheTreeInRed)
{
    addChat(db->store, 1, QStringLiteral("+15550001"), 5)->service_name = QStringLiteral("SMS");
    addRecycledMessages(db->store, {fixtures::recycledSms(1, QStringLiteral("+15550001"), 0, 10, QStringLiteral("a")),
                                    fixtures::recycledSms(2, QStringLiteral("+15550002"), 0, 20, QStringLiteral("b")),
                                    fixtures::recycledSms(3, QStringLiteral("+15550003"), 0, 30, QStringLiteral("c")),
                                    fixtures::recycledSms(4, QString(), 0, 40, QStringLiteral("d"))});
    model.loadChats(db);
    ASSERT_EQ(childNames(db), (QStringList{"unknown0", "+15550003", "+15550002", "+15550001"}));  // newest first
    for (int row = 0; row < 4; ++row)
        EXPECT_EQ(dataOfChild(row, Qt::ForegroundRole).isValid(), row < 3) << row;
    EXPECT_EQ(db->store.data()->chats.value(1)->messages.size(), 1);
}

TEST_F(MainModelTest, DatabaseNodeOfEachType)
{
    addChat(db->store, 1, QStringLiteral("a"), 1);
    model.loadChats(db);
    EXPECT_EQ(ItemModelMain::databaseNodeOf(db), db);
    EXPECT_EQ(ItemModelMain::databaseNodeOf(db->children.front().get()), db);
    EXPECT_EQ(ItemModelMain::databaseNodeOf(model.localDbRoot()), nullptr);
    EXPECT_EQ(ItemModelMain::databaseNodeOf(nullptr), nullptr);
}

class SmsModelTest : public ::testing::Test {
protected:
    _MsgMessage* message(int fromMe, const QString& service)
    {
        auto* m = new _MsgMessage;
        m->rowid = m_store.data()->messages.size() + 1;
        m->is_from_me = fromMe;
        m->service = service;
        m->text = QStringLiteral("hello");
        m->chat = &m_chat;
        m_store.data()->messages.insert(m->rowid, m);
        return m;
    }
    QPixmap iconOf(int row) const { return model.data(model.index(row, 0), Qt::DecorationRole).value<QPixmap>(); }

    _MsgStore m_store;
    _MsgChat m_chat;
    ItemModelSms model;
    QAbstractItemModelTester tester{&model, QAbstractItemModelTester::FailureReportingMode::Fatal};
};

TEST_F(SmsModelTest, IMessageIconsWhateverTheCase)
{
    model.setMessages({message(1, QStringLiteral("iMessage")), message(0, QStringLiteral("IMESSAGE")),
                       message(1, QStringLiteral("SMS")), message(0, QString())});
    const auto expected = [](const char* path) {
        return QPixmap(QLatin1String(path)).scaledToWidth(18, Qt::SmoothTransformation).toImage();
    };
    EXPECT_EQ(iconOf(0).toImage(), expected(":/res/imsg-send.png"));
    EXPECT_EQ(iconOf(1).toImage(), expected(":/res/imsg-rec.png"));
    EXPECT_EQ(iconOf(2).toImage(), expected(":/res/icon_sms-sent.png"));
    EXPECT_EQ(iconOf(3).toImage(), expected(":/res/icon_sms-receive.png"));
    EXPECT_FALSE(model.data(model.index(0, 1), Qt::DecorationRole).isValid());
}

TEST_F(SmsModelTest, ColumnsColoursAndSystemEvents)
{
    _MsgMessage* sent = message(1, QStringLiteral("SMS"));
    _MsgMessage* event = message(0, QStringLiteral("iMessage"));
    event->item_type = 2;
    _MsgMessage* orphanEvent = message(0, QStringLiteral("iMessage"));
    orphanEvent->item_type = 1;
    orphanEvent->chat = nullptr;
    sent->isHighlighted = true;
    m_chat.display_name = QStringLiteral("Team");
    model.setMessages({sent, event, orphanEvent});

    EXPECT_EQ(model.data(model.index(0, 1)).toString(), QStringLiteral("To"));
    EXPECT_EQ(model.data(model.index(0, 3)).toString(), QStringLiteral("hello"));
    EXPECT_EQ(model.data(model.index(1, 1)).toString(), QString());
    EXPECT_EQ(model.data(model.index(1, 2)).toString(), QStringLiteral("Team"));
    EXPECT_EQ(model.data(model.index(2, 2)).toString(), QString());
    for (int column = 0; column < 4; ++column) {
        EXPECT_EQ(model.data(model.index(0, column), Qt::BackgroundRole).value<QBrush>().color(), QColor(245, 255, 226));
        EXPECT_EQ(model.data(model.index(1, column), Qt::BackgroundRole).value<QBrush>().color(), QColor(Qt::white));
    }
    EXPECT_EQ(model.data(model.index(0, 2), Qt::ForegroundRole).value<QColor>(), QColor(255, 0, 0));
    EXPECT_FALSE(model.data(model.index(1, 2), Qt::ForegroundRole).isValid());
    EXPECT_EQ(ItemModelSms::messageOf(model.rowIndex(1)), event);
    EXPECT_FALSE(model.rowIndex(3).isValid());
    EXPECT_EQ(model.rowCount(model.rowIndex(0)), 0);
}

TEST_F(SmsModelTest, HeaderOnlyHorizontalDisplay)
{
    EXPECT_EQ(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Date"));
    EXPECT_EQ(model.headerData(3, Qt::Horizontal).toString(), QStringLiteral("Content"));
    EXPECT_FALSE(model.headerData(0, Qt::Vertical).isValid());
    EXPECT_FALSE(model.headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
}

}  // namespace
