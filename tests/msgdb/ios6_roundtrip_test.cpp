// A device history read, written into a new local database the way the local-database exporter
// writes, and read back: every field survives, and writing it twice adds nothing.
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"

#include "fixtures/message_history.h"
#include "fixtures/temp_home.h"

#include <QDir>
#include <QMap>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

template <typename T>
QList<T*> byRowid(QList<T*> records)
{
    std::sort(records.begin(), records.end(), [](const T* a, const T* b) { return a->rowid < b->rowid; });
    return records;
}

// Finds or inserts a handle and links it to the chat, as the exporter does.
qint64 linkedHandle(IOS6MessageDb& db, const _MsgHandle* handle, qint64 chatRow)
{
    if (!handle)
        return 0;
    qint64 row = db.handleRowid(*handle);
    if (row == 0) {
        row = db.insertHandle(*handle);
        db.replaceChatHandleJoin(chatRow, row);
    } else if (!db.hasChatHandleJoin(chatRow, row)) {
        db.replaceChatHandleJoin(chatRow, row);
    }
    return row;
}

// The local-database exporter's calls for one message.
void exportMessage(IOS6MessageDb& db, const _MsgMessage& m)
{
    qint64 chatRow = db.chatRowidByGuid(m.chat->guid);
    if (chatRow == 0)
        chatRow = db.insertChat(*m.chat);
    const qint64 handleRow = linkedHandle(db, m.handle, chatRow);
    qint64 messageRow = db.messageRowidByLogicHash(m);
    if (messageRow == 0)
        messageRow = db.messageRowidByGuid(m.guid);
    if (messageRow == 0) {
        const qint64 otherRow = linkedHandle(db, m.otherHandle, chatRow);
        messageRow = db.insertMessage(m, handleRow, otherRow, QString());
        db.replaceChatMessageJoin(chatRow, messageRow);
        db.updateChatLast(chatRow, m.date);
    }
    if (m.chat->isGroup() && m.handle)
        db.updateChatLastAddressedHandle(chatRow, m.handle->id);
    for (const _MsgAttachment* a : m.sortedAttachments()) {
        qint64 attachmentRow = db.attachmentRowidByGuid(*a);
        if (attachmentRow == 0)
            attachmentRow = db.insertAttachment(*a);
        db.replaceMessageAttachmentJoin(messageRow, attachmentRow);
    }
}

void exportAll(IOS6MessageDb& db, const _MsgStore& store)
{
    db.beginTransaction();
    for (const _MsgMessage* m : byRowid(store.data()->messages.values()))
        exportMessage(db, *m);
    db.endTransaction(true);
}

QString handleText(const _MsgHandle* h)
{
    if (!h)
        return QStringLiteral("-");
    return QStringList{h->id, h->country, h->service, h->uncanonicalized_id, h->contactName,
                       QString::fromLatin1(h->photo.toHex())}
        .join(QLatin1Char('|'));
}

// Every written field of a message, with its links by content rather than by row id.
QString messageText(const _MsgMessage& m)
{
    QStringList attachments;
    for (const _MsgAttachment* a : m.sortedAttachments()) {
        attachments << QStringList{a->guid, QString::number(a->created_date), QString::number(a->start_date),
                                   a->filename, a->uti, a->mime_type, QString::number(a->transfer_state),
                                   QString::number(a->is_outgoing), QString::fromLatin1(a->user_info.toHex()),
                                   a->transfer_name, QString::number(a->total_bytes)}
                               .join(QLatin1Char(','));
    }
    attachments.sort();
    QStringList fields{m.guid, m.text, m.service_center, m.subject, m.country,
                       QString::fromLatin1(m.attributedBody.toHex()), m.service, m.account, m.account_guid,
                       m.cache_roomnames, m.group_title, handleText(m.handle), handleText(m.otherHandle),
                       m.chat ? m.chat->guid : QString(), attachments.join(QLatin1Char(';'))};
    for (const qint64 value :
         {qint64(m.replace), qint64(m.version), qint64(m.type), qint64(m.error), qint64(m.date), qint64(m.date_read),
          qint64(m.date_delivered), qint64(m.is_delivered), qint64(m.is_finished), qint64(m.is_emote),
          qint64(m.is_from_me), qint64(m.is_empty), qint64(m.is_delayed), qint64(m.is_auto_reply),
          qint64(m.is_prepared), qint64(m.is_read), qint64(m.is_system_message), qint64(m.is_sent),
          qint64(m.has_dd_results), qint64(m.is_service_message), qint64(m.is_forward), qint64(m.was_downgraded),
          qint64(m.is_archive), qint64(m.cache_has_attachments), qint64(m.was_data_detected),
          qint64(m.was_deduplicated), qint64(m.is_audio_message), qint64(m.is_played), qint64(m.date_played),
          qint64(m.item_type), qint64(m.group_action_type), qint64(m.share_status), qint64(m.share_direction),
          qint64(m.is_expirable), qint64(m.expire_state), qint64(m.message_action_type)})
        fields << QString::number(value);
    return fields.join(QLatin1Char('|'));
}

QString chatText(const _MsgChat& c)
{
    QStringList handles;
    for (const _MsgHandle* h : c.sortedHandles())
        handles << handleText(h);
    handles.sort();
    return QStringList{c.guid, QString::number(c.style), QString::number(c.state), c.account_id, c.chat_identifier,
                       c.service_name, c.room_name, c.account_login, QString::number(c.is_archived),
                       c.display_name, c.group_id, handles.join(QLatin1Char(';'))}
        .join(QLatin1Char('|'));
}

QMap<QString, QString> messagesByGuid(const _MsgStore& store)
{
    QMap<QString, QString> texts;
    for (const _MsgMessage* m : store.data()->messages)
        texts.insert(m->guid, messageText(*m));
    return texts;
}

QMap<QString, QString> chatsByGuid(const _MsgStore& store)
{
    QMap<QString, QString> texts;
    for (const _MsgChat* c : store.data()->chats) {
        if (!c->messages.isEmpty())  // only conversations with a message are exported
            texts.insert(c->guid, chatText(*c));
    }
    return texts;
}

class IOS6RoundTripTest : public TempHomeTest {};

}  // namespace

TEST_F(IOS6RoundTripTest, DeviceHistoryWrittenIntoALocalDatabaseReadsBackUnchanged)
{
    const QString deviceDir = homePath(QStringLiteral("device"));
    fixtures::createIos6DeviceDb(fixtures::ios6DbPathIn(deviceDir));
    fixtures::SampleHistoryOptions options;
    options.messages = 600;
    options.conversations = 15;
    fixtures::fillSampleHistory(fixtures::ios6DbPathIn(deviceDir), options);

    IOS6MessageDb device(QDir(deviceDir), QStringLiteral("310"), false);
    _MsgStore source;
    device.messages(source, 0);
    ASSERT_GT(source.data()->attachments.size(), 0);

    IOS6MessageDb local(QDir(homePath(QStringLiteral("local"))), QStringLiteral("310"), true);
    exportAll(local, source);
    _MsgStore copy;
    local.messages(copy, 0);

    EXPECT_EQ(copy.data()->messages.size(), source.data()->messages.size());
    EXPECT_EQ(copy.data()->attachments.size(), source.data()->attachments.size());
    const auto expectedMessages = messagesByGuid(source);
    const auto actualMessages = messagesByGuid(copy);
    for (auto it = expectedMessages.cbegin(); it != expectedMessages.cend(); ++it)
        EXPECT_EQ(actualMessages.value(it.key()).toStdString(), it.value().toStdString());
    const auto expectedChats = chatsByGuid(source);
    const auto actualChats = chatsByGuid(copy);
    EXPECT_EQ(actualChats.keys(), expectedChats.keys());
    for (auto it = expectedChats.cbegin(); it != expectedChats.cend(); ++it)
        EXPECT_EQ(actualChats.value(it.key()).toStdString(), it.value().toStdString());

    // The local file keeps each conversation's newest date, and a group's last sender.
    for (const _MsgChat* c : copy.data()->chats) {
        int newest = 0;
        for (const _MsgMessage* m : c->messages)
            newest = qMax(newest, m->date);
        EXPECT_EQ(c->last, newest) << c->guid.toStdString();
        if (c->isGroup()) {
            EXPECT_FALSE(c->last_addressed_handle.isEmpty()) << c->guid.toStdString();
        }
    }

    // A second run finds everything and adds no row.
    const qint64 before = local.messageCount();
    exportAll(local, source);
    EXPECT_EQ(local.messageCount(), before);
    _MsgStore again;
    local.messages(again, 0);
    EXPECT_EQ(again.data()->attachments.size(), copy.data()->attachments.size());
    EXPECT_EQ(again.data()->handles.size(), copy.data()->handles.size());
}
