#include "msgdb/ios6messagemerge.h"

#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"
#include "msgdb/recordtable.h"

namespace {

bool holdsNoRows(IOS6MessageDb& db)
{
    return db.queryFirstInt64("select exists(select 1 from message) or exists(select 1 from chat)"
                              " or exists(select 1 from handle) or exists(select 1 from attachment)"
                              " or exists(select 1 from chat_handle_join) or exists(select 1 from chat_message_join)"
                              " or exists(select 1 from message_attachment_join)")
               .value_or(1)
        == 0;
}

// The slot of hash in a table of mask + 1 entries: the hash's bits mixed, so that keys whose
// hashes differ only in their high bits spread too.
std::size_t firstSlot(uint hash, std::size_t mask)
{
    return std::size_t((quint64(hash) * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
}

}  // namespace

void RowsByText::clear()
{
    m_entries.clear();
    m_used = 0;
}

qint64& RowsByText::operator[](const QString& key)
{
    if (2 * (m_used + 1) > m_entries.size())
        grow();
    const quint64 fullHash = recordHash(key);  // keys are guids from the backup: seeded
    const uint hash = uint(fullHash ^ (fullHash >> 32));
    const std::size_t mask = m_entries.size() - 1;
    for (std::size_t slot = firstSlot(hash, mask);; slot = (slot + 1) & mask) {
        Entry& entry = m_entries[slot];
        if (!entry.used) {
            entry = {hash, true, 0, key};
            ++m_used;
            return entry.row;
        }
        if (entry.hash == hash && entry.key == key)
            return entry.row;
    }
}

void RowsByText::grow()
{
    std::vector<Entry> old(std::max<std::size_t>(1024, 2 * m_entries.size()));
    old.swap(m_entries);
    const std::size_t mask = m_entries.size() - 1;
    for (Entry& entry : old) {
        if (!entry.used)
            continue;
        std::size_t slot = firstSlot(entry.hash, mask);
        while (m_entries[slot].used)
            slot = (slot + 1) & mask;
        m_entries[slot] = std::move(entry);
    }
}

Ios6MessageMerge::Ios6MessageMerge(IOS6MessageDb& db, Rules rules) : m_db(db), m_rules(rules) {}

bool Ios6MessageMerge::hasStorableChat(const _MsgMessage& message)
{
    return message.chat && message.chat->rowid >= kRecycleKnownBandFloor;
}

void Ios6MessageMerge::forgetLookups()
{
    m_chatRowsByRecord.clear();
    m_chatRows.clear();
    m_handleRowsByRecord.clear();
    m_handleRows.clear();
    m_members.clear();
    m_messageRowsByHash.clear();
    m_messageRowsByGuid.clear();
    m_attachmentRows.clear();
    m_chatLast.clear();
    m_lastAddressedHandle.clear();
}

void Ios6MessageMerge::begin()
{
    forgetLookups();
    m_ownRowsOnly = m_rules.soleWriter && holdsNoRows(m_db);
}

qint64 Ios6MessageMerge::merge(const _MsgMessage& message,
                               const std::function<void(const _MsgAttachment&)>& beforeAttachment,
                               const QString* logicHash)
{
    const _MsgChat& chat = *message.chat;
    const qint64 chatRowid = chatRow(chat);
    const qint64 handleRowid = message.handle ? memberHandleRow(chatRowid, *message.handle) : 0;
    const qint64 messageRowid = messageRow(message, chatRowid, handleRowid, logicHash);
    if (chat.isGroup() && message.handle)
        m_lastAddressedHandle.insert(chatRowid, message.handle->id);
    for (const _MsgAttachment* attachment : message.sortedAttachments()) {
        if (beforeAttachment)
            beforeAttachment(*attachment);
        m_db.replaceMessageAttachmentJoin(messageRowid, attachmentRow(*attachment));
    }
    return messageRowid;
}

qint64 Ios6MessageMerge::chatRow(const _MsgChat& chat)
{
    qint64& known = m_chatRowsByRecord[&chat];
    if (known != 0)
        return known;
    qint64& row = m_chatRows[chat.guid];
    if (row == 0)
        row = m_db.chatRowidByGuid(chat.guid);
    if (row == 0)
        row = m_db.insertChat(chat);
    known = row;
    return row;
}

qint64 Ios6MessageMerge::memberHandleRow(qint64 chatRowid, const _MsgHandle& handle)
{
    qint64& known = m_handleRowsByRecord[&handle];
    if (known == 0) {
        qint64& row = m_handleRows[qMakePair(TextKey(handle.id), TextKey(handle.service))];
        if (row == 0)
            row = m_db.handleRowid(handle);
        if (row == 0)
            row = m_db.insertHandle(handle);
        known = row;
    }
    const qint64 row = known;
    bool& member = m_members[qMakePair(chatRowid, row)];
    if (!member && !m_db.hasChatHandleJoin(chatRowid, row))
        m_db.replaceChatHandleJoin(chatRowid, row);
    member = true;
    return row;
}

qint64 Ios6MessageMerge::messageRow(const _MsgMessage& message, qint64 chatRowid, qint64 handleRowid,
                                    const QString* madeHash)
{
    // Made once for both the look-up and the new row.
    const QString logicHash = !m_rules.byContent || !m_db.hasLogicHash() ? QString()
        : madeHash                                                      ? *madeHash
                                                                        : messageLogicHash(&message);
    qint64 row = 0;
    if (m_ownRowsOnly) {
        // One probe of each table both finds a row and makes the place the new row is noted in; a
        // place left at 0 reads as not found.
        qint64* byHash = logicHash.isEmpty() ? nullptr : &m_messageRowsByHash[logicHash];
        row = byHash ? *byHash : 0;
        qint64& byGuid = m_messageRowsByGuid[message.guid];
        if (row == 0)
            row = byGuid;
        if (row != 0)
            return row;
        row = insertMessage(message, chatRowid, handleRowid, logicHash);
        if (byHash)
            *byHash = row;
        byGuid = row;
        return row;
    }
    row = logicHash.isEmpty() ? 0 : m_db.messageRowidByLogicHash(logicHash);
    if (row == 0)
        row = m_db.messageRowidByGuid(message.guid);
    return row != 0 ? row : insertMessage(message, chatRowid, handleRowid, logicHash);
}

qint64 Ios6MessageMerge::insertMessage(const _MsgMessage& message, qint64 chatRowid, qint64 handleRowid,
                                       const QString& logicHash)
{
    const qint64 otherRowid = message.otherHandle ? memberHandleRow(chatRowid, *message.otherHandle) : 0;
    const qint64 row = m_db.insertMessage(message, handleRowid, otherRowid, logicHash);
    m_db.replaceChatMessageJoin(chatRowid, row);
    const auto last = m_chatLast.find(chatRowid);
    if (last == m_chatLast.end())
        m_chatLast.insert(chatRowid, message.date);
    else
        *last = qMax(*last, message.date);
    return row;
}

qint64 Ios6MessageMerge::attachmentRow(const _MsgAttachment& attachment)
{
    qint64 row = m_ownRowsOnly ? m_attachmentRows.value(attachment.guid) : m_db.attachmentRowidByGuid(attachment);
    if (row == 0) {
        row = m_db.insertAttachment(attachment);
        if (m_ownRowsOnly)
            m_attachmentRows.insert(attachment.guid, row);
    }
    return row;
}

void Ios6MessageMerge::finish()
{
    for (auto last = m_chatLast.cbegin(); last != m_chatLast.cend(); ++last)
        m_db.updateChatLast(last.key(), last.value());
    for (auto handle = m_lastAddressedHandle.cbegin(); handle != m_lastAddressedHandle.cend(); ++handle)
        m_db.updateChatLastAddressedHandle(handle.key(), handle.value());
    m_chatLast.clear();
    m_lastAddressedHandle.clear();
}
