// Reading iOS 5 layout files: conversations from msg_group and madrid_chat, messages of both kinds,
// iMessage attachments and MMS parts written out as files.
#include "msgdb/ios5messagedb.h"
#include "msgdb/msgutil.h"

#include "core/plistnode.h"
#include "fixtures/crafted_keys.h"
#include "fixtures/ios5_history.h"
#include "fixtures/temp_home.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

const QString kGuid1 = QStringLiteral("11111111-2222-3333-4444-555555555555");
const QString kGuid2 = QStringLiteral("AAAAAAAA-2222-3333-4444-555555555555");
const QString kGuid3 = QStringLiteral("BBBBBBBB-2222-3333-4444-555555555555");
const QChar kMark(0xFFFC);

QString hex(const QByteArray& bytes)
{
    return QStringLiteral("X'%1'").arg(QString::fromLatin1(bytes.toHex()));
}

// Attachment info as binary bytes around the GUIDs.
QString infoWith(const QStringList& guids)
{
    QByteArray bytes("\x04\x01", 2);
    for (const QString& guid : guids)
        bytes += guid.toLatin1() + QByteArray("\x00\x1f", 2);
    return hex(bytes);
}

// SMS groups: 1 without members, 2 with one, 3 with three and a duplicate, 9 whose newest message is
// missing. iMessage chats: 1 one-to-one, 2 a group, 3 with participants that are no array, 4 with
// none and the same normalised identifier as SMS group 2. Message 3 is an MMS message.
QString deviceRows()
{
    QString rows = QStringLiteral(
        "insert into msg_group(ROWID, hash, newest_message) values (1, 11, 1), (2, 22, 2), (3, 33, 4), (9, 99, 99);"
        "insert into group_member(ROWID, group_id, address, country) values (1, 2, '(212) 555-0002', 'us'),"
        " (2, 3, '+12125550003', 'us'), (3, 3, '212-555-0004', 'us'), (4, 3, '+1 212 555 0004', ''),"
        " (5, 3, '+12125550005', 'us'), (6, 9, '+12125550009', 'us');"
        "insert into message(ROWID, address, date, text, flags, group_id, country, svc_center) values"
        " (1, '', 978308200, 'one', 2, 1, 'us', 'C1'), (2, '2125550002', 978309200, 'two', 3, 2, 'us', ''),"
        " (3, '212-555-0004', 978310200, '', 2, 3, 'us', ''), (4, '', 978310300, 'mine', 3, 3, 'us', ''),"
        " (5, '', 978310400, 'orphan', 2, 77, 'us', '');");
    rows += QStringLiteral(
                "insert into madrid_chat(ROWID, chat_identifier, participants, style, state, account_id,"
                " account_login) values (1, '+12125550010', %1, 45, 3, 'A1', 'E:me'),"
                " (2, 'chat100', %2, 43, 3, 'A2', 'E:me'), (3, 'B@Example.org', %3, 45, 2, 'A3', 'E:me'),"
                " (4, '2125550002', %4, 45, 3, 'A4', 'E:me');")
                .arg(hex(fixtures::participantsBlob({QStringLiteral("+12125550010")})),
                     hex(fixtures::participantsBlob({QStringLiteral("a@Example.org"), QStringLiteral("2125550011")})),
                     hex(PlistNode::fromString(QStringLiteral("b@example.org")).toBinary()),
                     hex(fixtures::participantsBlob({})));
    rows += QStringLiteral(
                "insert into message(ROWID, date, text, flags, is_madrid, madrid_guid, madrid_date_delivered,"
                " madrid_roomname, madrid_handle, madrid_attachmentInfo, madrid_attributedBody) values"
                " (10, 5000, 'hi', 0, 1, 'G10', 0, NULL, '+12125550010', NULL, NULL),"
                " (11, 6000, '%1', 0, 1, 'G11', 6001, '', '(212) 555-0010', %2, NULL),"
                " (12, 7000, '%1%1', 0, 1, 'G12', 0, 'chat100', 'a@example.org', %3, X'AABB'),"
                " (13, 7100, 'me', 0, 1, 'G13', 7101, 'chat100', 'a@example.org', NULL, NULL),"
                " (14, 8000, 'b', 0, 1, 'G14', 0, NULL, 'B@example.org', NULL, NULL),"
                " (15, 9000, 'c', 0, 1, 'G15', 0, NULL, '+12125550002', NULL, NULL);")
                .arg(QString(kMark), infoWith({kGuid1}), infoWith({kGuid2, kGuid3}));
    rows += QStringLiteral(
                "insert into madrid_attachment(ROWID, attachment_guid, created_date, filename, uti_type, mime_type,"
                " transfer_state, is_incoming) values"
                " (1, '%1', 100, '/var/mobile/Library/SMS/Attachments/aa/01/IMG.jpg', 'public.jpeg', 'image/jpeg', 5, 0),"
                " (2, '%2', 200, '~/Library/SMS/Attachments/../../../../../../etc/passwd', '', '', 5, 1),"
                " (3, '%3', 300, '', '', '', 5, 1);")
                .arg(kGuid1, kGuid2, kGuid3);
    // Message 3: presentation, text (with a NUL), two pictures, a part without location; message 1:
    // a text part.
    rows += QStringLiteral(
        "insert into msg_pieces(ROWID, message_id, part_id, content_type, content_loc, data) values"
        " (1, 3, 0, 'Application/smil', 'smil.xml', X'3C736D696C2F3E'),"
        " (2, 3, 1, 'text/plain', 'text.txt', X'68656C6C6F006A756E6B'),"
        " (3, 3, 2, 'image/jpeg', 'IMG_1.jpg', X'FFD8FF01'),"
        " (4, 3, 3, 'image/png', '../../../../escape.png', X'89504E47'),"
        " (5, 3, 4, 'image/gif', '', X'4749'),"
        " (6, 1, 1, 'TEXT/PLAIN', 'a.txt', X'6F6E6C79');");
    return rows;
}

class IOS5Test : public TempHomeTest {
protected:
    QString dir(const QString& name = QStringLiteral("device")) const { return homePath(name); }
    QString dbPath(const QString& name = QStringLiteral("device")) const { return fixtures::ios6DbPathIn(dir(name)); }

    IOS5MessageDb& deviceDb(const QString& rows = deviceRows(), const QString& name = QStringLiteral("device"))
    {
        fixtures::createIos5DeviceDb(dbPath(name));
        run(dbPath(name), rows);
        m_db = std::make_unique<IOS5MessageDb>(QDir(dir(name)), QStringLiteral("310"));
        return *m_db;
    }

    static void run(const QString& path, const QString& script)
    {
        Sqlite3DB db;
        db.openThrow(path, 2);
        QString error;
        ASSERT_EQ(db.exec(script, error), 0) << error.toStdString();
    }

    std::unique_ptr<IOS5MessageDb> m_db;
};

}  // namespace

TEST(MmsPartPath, FoldersFromTheIdsAndTheSuffixOfTheLocation)
{
    EXPECT_EQ(mmsPartRelativePath(300, 37, 2, QStringLiteral("IMG.jpg")),
              QStringLiteral("var/mobile/Library/SMS/Parts/2c/05/37-2.jpg"));
    EXPECT_EQ(mmsPartRelativePath(1, 5, 1, QStringLiteral("noext")), QStringLiteral("var/mobile/Library/SMS/Parts/01/05/5-1."));
    EXPECT_EQ(mmsPartRelativePath(1, 5, 1, QStringLiteral("dir.d/a.tar.gz")).section(QLatin1Char('/'), -1),
              QStringLiteral("5-1.gz"));
    // A suffix never brings a separator or a dot component into the path.
    EXPECT_EQ(mmsPartRelativePath(1, 5, 1, QStringLiteral("x./..")).section(QLatin1Char('/'), -1), QStringLiteral("5-1."));
    EXPECT_EQ(mmsPartRelativePath(1, 5, 1, QStringLiteral("a.j\\..\\p")).section(QLatin1Char('/'), -1),
              QStringLiteral("5-1."));
}

TEST_F(IOS5Test, OpeningRegistersReadAndFailsOnAMissingFile)
{
    IOS5MessageDb missing(QDir(dir(QStringLiteral("none"))), QStringLiteral("310"));
    EXPECT_THROW(missing.open(), std::exception);
    EXPECT_FALSE(missing.isOpen());

    IOS5MessageDb& db = deviceDb();
    EXPECT_EQ(db.iosVersion(), 5);
    EXPECT_EQ(db.messageCount(), 11);
    Sqlite3Cursor cursor = db.queryThrow("select read(7), read(0), read(null)");
    ASSERT_TRUE(cursor.moveNext());
    EXPECT_EQ(cursor.getInt(0), 1);
    EXPECT_EQ(cursor.getInt(1), 0);
    EXPECT_EQ(cursor.getInt(2), 0);
    EXPECT_TRUE(db.hasTable(QStringLiteral("madrid_chat")));
}

TEST_F(IOS5Test, SmsConversationsByNumberOfMembers)
{
    IOS5MessageDb& db = deviceDb();
    _MsgStore store;
    db.chats(store);
    const auto& chats = store.data()->chats;
    EXPECT_FALSE(chats.contains(9));  // newest message missing

    const _MsgChat* none = chats.value(1);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->guid, QStringLiteral("SMS;-;11"));
    EXPECT_EQ(none->chat_identifier, QStringLiteral("unknown"));
    EXPECT_EQ(none->last, 1000);

    const _MsgChat* one = chats.value(2);
    EXPECT_EQ(one->guid, QStringLiteral("SMS;-;+12125550002"));
    EXPECT_EQ(one->chat_identifier, QStringLiteral("+12125550002"));
    EXPECT_EQ(one->style, 45);

    const _MsgChat* group = chats.value(3);
    const QString name = makeChatRoomName(QStringLiteral("SMS;-;+12125550003"));
    EXPECT_EQ(group->style, 43);
    EXPECT_EQ(group->chat_identifier, name);
    EXPECT_EQ(group->room_name, name);
    EXPECT_EQ(group->guid, QStringLiteral("SMS;+;") + name);
    EXPECT_EQ(group->account_id, guidFromMd5((QStringLiteral("SMS;+;") + name).toUtf8()));
    EXPECT_EQ(group->last, 3100);
    // Three distinct members; the duplicate of +12125550004 stays in the store only.
    EXPECT_EQ(group->handles.size(), 3);
    EXPECT_EQ(group->handles.value(QStringLiteral("+12125550004")), store.data()->handles.value(3));
    EXPECT_EQ(store.data()->handles.value(4)->id, QStringLiteral("+12125550004"));
    EXPECT_FALSE(store.data()->handles.contains(6));  // member of the missing group
}

TEST_F(IOS5Test, IMessageConversationsFromParticipants)
{
    IOS5MessageDb& db = deviceDb();
    _MsgStore store;
    db.chats(store);
    const auto& chats = store.data()->chats;
    const auto& handles = store.data()->handles;

    const _MsgChat* single = chats.value(-1);
    ASSERT_TRUE(single);
    EXPECT_EQ(single->guid, QStringLiteral("iMessage;-;+12125550010"));
    EXPECT_EQ(single->service_name, QStringLiteral("iMessage"));
    EXPECT_EQ(single->account_id, QStringLiteral("A1"));
    // Five SMS handles come first, so the first participant takes -6.
    ASSERT_EQ(single->handles.size(), 1);
    EXPECT_EQ(single->handles.value(QStringLiteral("+12125550010")), handles.value(-6));
    // Its newest message is stored under another spelling of the address.
    EXPECT_EQ(single->last, 6000);

    const _MsgChat* group = chats.value(-2);
    EXPECT_EQ(group->guid, QStringLiteral("iMessage;+;chat100"));
    EXPECT_EQ(group->style, 43);
    EXPECT_EQ(group->last, 7100);
    EXPECT_EQ(group->handles.value(QStringLiteral("a@example.org")), handles.value(-7));
    EXPECT_EQ(group->handles.value(QStringLiteral("+12125550011")), handles.value(-8));

    const _MsgChat* notArray = chats.value(-3);
    EXPECT_EQ(notArray->guid, QStringLiteral("iMessage;-;b@example.org"));
    EXPECT_TRUE(notArray->handles.isEmpty());
    EXPECT_EQ(notArray->state, 2);
    EXPECT_EQ(notArray->last, 8000);  // the stored address differs in case only
    EXPECT_TRUE(chats.value(-4)->handles.isEmpty());
    EXPECT_EQ(handles.size(), 8);

    // A second reading adds nothing and changes nothing.
    const QString guids = QStringList({chats.value(3)->guid, chats.value(-2)->guid}).join(QLatin1Char('|'));
    db.chats(store);
    EXPECT_EQ(chats.size(), 7);
    EXPECT_EQ(handles.size(), 8);
    EXPECT_EQ(QStringList({chats.value(3)->guid, chats.value(-2)->guid}).join(QLatin1Char('|')), guids);
}

TEST_F(IOS5Test, WithoutIMessageTablesOnlySmsConversationsAreRead)
{
    fixtures::createIos5DeviceDb(dbPath(), false);
    // The message table has no madrid columns, so any iMessage statement would fail.
    run(dbPath(), QStringLiteral("insert into msg_group values (1, 5, 1);"
                                 "insert into group_member values (1, 1, '+12125550001', 'us');"
                                 "insert into message(ROWID, date, text, flags, group_id) values (1, 978307300, 'x', 3, 1);"));
    IOS5MessageDb db(QDir(dir()), QStringLiteral("310"));
    _MsgStore store;
    ASSERT_NO_THROW(db.messages(store, 0));
    ASSERT_EQ(store.data()->chats.size(), 1);
    ASSERT_EQ(store.data()->messages.size(), 1);
    EXPECT_EQ(store.data()->messages.value(1)->service, QStringLiteral("SMS"));
    EXPECT_NO_THROW(db.messages(store, -1));
}

TEST_F(IOS5Test, MessageFieldsSendersAndConversations)
{
    IOS5MessageDb& db = deviceDb();
    _MsgStore store;
    db.messages(store, 0);
    const auto& messages = store.data()->messages;
    const auto& chats = store.data()->chats;
    const auto& handles = store.data()->handles;

    const _MsgMessage* sms = messages.value(1);
    EXPECT_EQ(sms->date, 1000);
    EXPECT_EQ(sms->date_read, 1000);
    EXPECT_EQ(sms->is_from_me, 0);  // flags 2
    EXPECT_EQ(sms->service, QStringLiteral("SMS"));
    EXPECT_EQ(sms->account, QStringLiteral("e:"));
    EXPECT_EQ(sms->service_center, QStringLiteral("C1"));
    EXPECT_EQ(sms->is_finished + sms->is_read + sms->is_sent + sms->was_data_detected, 4);
    EXPECT_EQ(sms->guid.size(), 36);
    EXPECT_EQ(messages.value(2)->is_from_me, 1);  // flags 3
    EXPECT_EQ(messages.value(2)->handle, handles.value(1));  // one's own, in a one-to-one conversation
    EXPECT_EQ(messages.value(3)->handle, handles.value(3));  // sender found by normalised address
    EXPECT_EQ(messages.value(4)->handle, nullptr);          // one's own, in a group
    EXPECT_EQ(messages.value(4)->chat, chats.value(3));
    EXPECT_EQ(messages.value(5)->chat, nullptr);
    EXPECT_EQ(chats.value(3)->messages.value(4), messages.value(4));

    const _MsgMessage* received = messages.value(10);
    EXPECT_EQ(received->guid, QStringLiteral("G10"));
    EXPECT_EQ(received->date, 5000);
    EXPECT_EQ(received->is_from_me, 0);
    EXPECT_EQ(received->chat, chats.value(-1));
    EXPECT_TRUE(received->attributedBody.isEmpty());
    // An empty room name ties the row through its normalised address.
    EXPECT_EQ(messages.value(11)->chat, chats.value(-1));
    EXPECT_EQ(messages.value(11)->is_from_me, 1);
    EXPECT_EQ(messages.value(11)->handle, handles.value(-6));
    EXPECT_EQ(messages.value(12)->handle, handles.value(-7));
    EXPECT_EQ(messages.value(13)->handle, nullptr);
    EXPECT_EQ(messages.value(14)->chat, chats.value(-3));
    // An SMS and an iMessage conversation share the identifier: iMessage rows go to the latter.
    EXPECT_EQ(messages.value(15)->chat, chats.value(-4));
    EXPECT_FALSE(chats.value(2)->messages.contains(15));
}

TEST_F(IOS5Test, IMessageAttachmentsAndTheirRichText)
{
    IOS5MessageDb& db = deviceDb();
    _MsgStore store;
    db.messages(store, -2);
    EXPECT_EQ(store.data()->messages.size(), 2);  // 12 and 13; no MMS parts for iMessage conversations
    const _MsgMessage* two = store.data()->messages.value(12);
    ASSERT_EQ(two->attachments.size(), 2);
    EXPECT_EQ(two->attributedBody, QByteArray("\xAA\xBB", 2));
    const _MsgAttachment* escaping = two->attachments.value(kGuid2);
    ASSERT_TRUE(escaping);
    EXPECT_EQ(escaping->rowid, -2);
    EXPECT_TRUE(escaping->localPath.path().isEmpty());
    EXPECT_EQ(two->attachments.value(kGuid3)->is_outgoing, 0);

    db.messages(store, 0);
    const _MsgMessage* one = store.data()->messages.value(11);
    ASSERT_EQ(one->attachments.size(), 1);
    EXPECT_EQ(one->attributedBody, makeAttributedBody(kGuid1));
    const _MsgAttachment* picture = one->attachments.value(kGuid1);
    EXPECT_EQ(picture->filename, QStringLiteral("~/Library/SMS/Attachments/aa/01/IMG.jpg"));
    EXPECT_EQ(picture->localPath.path(),
              QDir(dir()).absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/Attachments/aa/01/IMG.jpg")));
    EXPECT_EQ(picture->is_outgoing, 1);
    EXPECT_EQ(picture->created_date, 100);
}

TEST_F(IOS5Test, MmsMessageKeepsTextAndFirstPictureAndClonesTheSecond)
{
    IOS5MessageDb& db = deviceDb();
    _MsgStore store;
    db.messages(store, 3);
    const auto& data = *store.data();
    EXPECT_FALSE(data.messages.contains(1));  // another conversation
    EXPECT_FALSE(data.attachments.contains(1));  // presentation part
    EXPECT_FALSE(data.attachments.contains(5));  // no location

    const _MsgMessage* mms = data.messages.value(3);
    EXPECT_EQ(mms->text, QStringLiteral("hello") + kMark);  // text up to its NUL
    ASSERT_EQ(mms->attachments.size(), 1);
    const _MsgAttachment* first = data.attachments.value(3);
    EXPECT_EQ(mms->attachments.value(first->guid), first);
    EXPECT_EQ(mms->attributedBody, makeAttributedBody(first->guid));
    EXPECT_EQ(first->uti, QStringLiteral("public.jpeg"));
    EXPECT_EQ(first->transfer_state, 5);
    EXPECT_EQ(first->is_outgoing, 0);
    EXPECT_EQ(first->filename, QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/IMG_1.jpg")
                                   .arg(first->guid.left(2).toLower(), first->guid.mid(2, 2).toLower(), first->guid));
    const QString relay = QDir(dir()).absoluteFilePath(QStringLiteral("file-relay"));
    EXPECT_EQ(first->localPath.path(), relay + QStringLiteral("/var/mobile/Library/SMS/Parts/03/03/3-2.jpg"));
    QFile file(first->localPath.path());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("\xFF\xD8\xFF\x01", 4));

    const qint64 cloneKey = kMmsCloneMessageBase - 4;
    const _MsgMessage* clone = data.messages.value(cloneKey);
    ASSERT_TRUE(clone);
    EXPECT_EQ(clone->rowid, cloneKey);
    EXPECT_EQ(clone->text, QString(kMark));
    EXPECT_EQ(clone->sortKey, 3);
    EXPECT_EQ(clone->date, mms->date);
    ASSERT_EQ(clone->attachments.size(), 1);
    const _MsgAttachment* second = data.attachments.value(4);
    EXPECT_EQ(clone->attachments.value(second->guid), second);
    EXPECT_EQ(clone->guid, guidFromMd5(QStringLiteral("%1(3)").arg(second->guid).toUtf8()));
    // The clone belongs to the conversation too, so conversation views keep the picture.
    EXPECT_EQ(data.chats.value(3)->messages.value(cloneKey), clone);
}

TEST_F(IOS5Test, ContentLocationCannotLeadOutOfThePartsFolder)
{
    IOS5MessageDb& db = deviceDb();
    _MsgStore store;
    db.messages(store, 3);
    const _MsgAttachment* part = store.data()->attachments.value(4);
    ASSERT_TRUE(part);
    EXPECT_FALSE(part->filename.contains(QLatin1String("..")));
    EXPECT_TRUE(part->filename.endsWith(QLatin1String("/escape.png")));
    EXPECT_FALSE(part->transfer_name.contains(QLatin1Char('/')));
    EXPECT_TRUE(part->localPath.path().endsWith(QLatin1String("/Parts/03/03/3-3.png")));
    // Every file the reading wrote lies below the Parts folder.
    QDirIterator it(homePath(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(QLatin1String(".jpg")) || path.endsWith(QLatin1String(".png"))) {
            EXPECT_TRUE(path.contains(QLatin1String("/file-relay/var/mobile/Library/SMS/Parts/"))) << path.toStdString();
        }
    }
}

TEST_F(IOS5Test, ReadingTwiceLeavesTextsAsTheyWere)
{
    IOS5MessageDb& db = deviceDb();
    _MsgStore store;
    db.messages(store, 0);
    const auto& messages = store.data()->messages;
    EXPECT_EQ(messages.value(1)->text, QStringLiteral("one\nonly"));
    const int count = messages.size();
    db.messages(store, 0);
    db.messages(store, 3);
    EXPECT_EQ(messages.size(), count);
    EXPECT_EQ(messages.value(1)->text, QStringLiteral("one\nonly"));
    EXPECT_EQ(messages.value(3)->text, QStringLiteral("hello") + kMark);
    EXPECT_EQ(messages.value(3)->attachments.size(), 1);
    // The same row keeps its identity in another store as well.
    _MsgStore other;
    db.messages(other, 0);
    EXPECT_EQ(other.data()->messages.value(1)->guid, messages.value(1)->guid);
}

TEST_F(IOS5Test, PartIdentityDependsOnItsContent)
{
    IOS5MessageDb& first = deviceDb(deviceRows(), QStringLiteral("a"));
    _MsgStore a;
    first.messages(a, 3);
    QString changed = deviceRows();
    changed.replace(QStringLiteral("X'FFD8FF01'"), QStringLiteral("X'FFD8FF02'"));
    IOS5MessageDb& second = deviceDb(changed, QStringLiteral("b"));
    _MsgStore b;
    second.messages(b, 3);
    // Same ids, different picture: two sources must never share the attachment in one local database.
    EXPECT_NE(a.data()->attachments.value(3)->guid, b.data()->attachments.value(3)->guid);
    EXPECT_EQ(a.data()->attachments.value(4)->guid, b.data()->attachments.value(4)->guid);
}

TEST_F(IOS5Test, AnEndlessViewInPlaceOfTheMessageTableIsAnErrorNotAHang)
{
    deviceDb();
    run(dbPath(), QStringLiteral(
                      "alter table message rename to message_rows;"
                      "create view message as with recursive r(n) as (select 1 union all select n + 1 from r)"
                      " select message_rows.* from message_rows, r;"));
    _MsgStore store;
    EXPECT_THROW(m_db->messages(store, 0), std::exception);
}

TEST_F(IOS5Test, GeneratedHistoryReadsBackWhole)
{
    fixtures::createDeviceDb(dbPath(), fixtures::DeviceLayout::IOS5);
    fixtures::SampleHistoryOptions options;
    options.messages = 600;
    const fixtures::SampleHistory history = fixtures::fillSampleHistory(dbPath(), options);
    ASSERT_GT(history.mmsClones, 0);

    IOS5MessageDb db(QDir(dir()), QStringLiteral("310"));
    _MsgStore store;
    db.messages(store, 0);
    const auto& data = *store.data();
    EXPECT_EQ(data.chats.size(), history.chats);
    EXPECT_EQ(data.handles.size(), history.handles);
    EXPECT_EQ(data.messages.size(), history.messages + history.mmsClones);
    EXPECT_EQ(data.attachments.size(), history.attachments);
    int inConversations = 0;
    int newest = 0;
    for (const _MsgChat* chat : data.chats) {
        inConversations += chat->messages.size();
        newest = qMax(newest, chat->last);
    }
    EXPECT_EQ(inConversations, data.messages.size());
    EXPECT_EQ(newest, history.newestDate);
}

// Identifiers come from the file: ones solved to share Qt's seeded hash read about as fast as plain ones.
TEST_F(IOS5Test, CraftedChatIdentifiersReadAboutAsFastAsPlainOnes)
{
    const auto timeToRead = [&](bool crafted) {
        const QStringList ids = (crafted ? crcCollidingTexts : plainTextsLike)(QStringLiteral("chat"), QStringLiteral("@example.org"), 5000);
        QString rows = QStringLiteral("begin;");
        for (int i = 0; i < ids.size(); ++i)
            rows += QStringLiteral("insert into madrid_chat(ROWID, chat_identifier, participants) values (%1, '%2', %3);"
                                   "insert into message(date, is_madrid, madrid_handle) values (%1, 1, '%2');")
                        .arg(QString::number(i + 1), ids[i], hex(fixtures::participantsBlob({ids[i]})));
        IOS5MessageDb& db = deviceDb(rows + QStringLiteral("commit;"), crafted ? QStringLiteral("crafted") : QStringLiteral("plain"));
        _MsgStore store;
        const auto start = std::chrono::steady_clock::now();
        db.messages(store, 0);
        EXPECT_EQ(store.chatList().size(), ids.size());
        return (std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_LT(timeToRead(true), 5 * timeToRead(false));  // without Qt's CRC hash the keys do not collide
}
