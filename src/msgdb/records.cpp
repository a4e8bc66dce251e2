#include "msgdb/records.h"

#include <QSet>
#include <QStringList>

#include <algorithm>
#include <functional>
#include <new>
#include <vector>

namespace {

template <typename T>
void deleteAll(RecordTable<qint64, T>& table)
{
    // Released in address order, about the order they were made in: the table's order is the
    // hash's, which sends the allocator all over the heap, and a large history then takes twice
    // as long to go.
    std::vector<T*> records;
    try {
        records.assign(table.cbegin(), table.cend());
    } catch (const std::bad_alloc&) {
        qDeleteAll(table);  // no room to sort: released in the table's order
    }
    table.clear();
    std::sort(records.begin(), records.end(), std::less<T*>());
    qDeleteAll(records);
}

}  // namespace

_MsgStoreData::~_MsgStoreData()
{
    deleteAll(attachments);
    deleteAll(messages);
    deleteAll(handles);
    deleteAll(chats);
}

_MsgStore::_MsgStore() : m_data(QSharedPointer<_MsgStoreData>::create()) {}

MsgMessageList _MsgStore::messageList() const
{
    return m_data->messages.values();
}

QList<_MsgChat*> _MsgStore::chatList() const
{
    return m_data->chats.values();
}

QList<_MsgChatSession> _MsgStore::chatSessions() const
{
    // Grouped by exact identifier; kept in the order the groups first appear so the result does not
    // depend on the per-process hash seed more than the chat table's own order does.
    QList<_MsgChatSession> sessions;
    TextHash<int> indexByIdentifier;
    for (_MsgChat* chat : chatList()) {
        const auto found = indexByIdentifier.constFind(chat->chat_identifier);
        if (found == indexByIdentifier.constEnd()) {
            indexByIdentifier.insert(chat->chat_identifier, sessions.size());
            sessions.append(_MsgChatSession{{chat}, chat->last});
            continue;
        }
        _MsgChatSession& session = sessions[*found];
        session.chats.append(chat);
        session.last = qMax(session.last, chat->last);
    }
    return sessions;
}

MsgMessageList _MsgStore::messagesOfChats(const QList<_MsgChat*>& chats)
{
    MsgMessageList result;
    for (const _MsgChat* chat : chats)
        result += chat->messages.values();
    return result;
}

bool _MsgStore::removeMessage(qint64 key)
{
    return removeMessages({key}) == 1;
}

int _MsgStore::removeMessages(const QList<qint64>& keys)
{
    QSet<const _MsgMessage*> removed;
    for (const qint64 key : keys) {
        if (const _MsgMessage* message = m_data->messages.take(key))
            removed.insert(message);
    }
    if (removed.isEmpty())
        return 0;
    // A message joined to several conversations sits in each one's table, not only in its own.
    for (_MsgChat* chat : qAsConst(m_data->chats)) {
        QList<RecordKey> gone;
        for (auto it = chat->messages.cbegin(); it != chat->messages.cend(); ++it) {
            if (removed.contains(it.value()))
                gone.append(it.key());
        }
        for (const RecordKey& k : qAsConst(gone))
            chat->messages.remove(k);
    }
    for (const _MsgMessage* message : qAsConst(removed))
        delete message;
    return removed.size();
}

bool _MsgStore::removeChat(qint64 key)
{
    _MsgChat* chat = m_data->chats.take(key);
    if (!chat)
        return false;
    for (_MsgMessage* message : qAsConst(m_data->messages)) {
        if (message->chat == chat)
            message->chat = nullptr;
    }
    delete chat;
    return true;
}

namespace {

constexpr QChar kObjectReplacement(0xFFFC);

// The non-null values of table in ascending row id. Equal row ids (records built outside a database)
// fall back to the table keys, so the order never depends on the per-process hash seed.
template <typename T>
QList<T*> byRowid(const RecordTable<RecordKey, T>& table)
{
    // Most messages have no attachment and most conversations one member: nothing to sort.
    if (table.size() <= 1) {
        QList<T*> result;
        if (!table.isEmpty() && table.cbegin().value())
            result.append(table.cbegin().value());
        return result;
    }
    QList<RecordKey> keys = table.keys();
    std::sort(keys.begin(), keys.end());
    QList<T*> result;
    result.reserve(keys.size());
    for (const RecordKey& key : qAsConst(keys)) {
        if (T* record = table.value(key))
            result.append(record);
    }
    std::stable_sort(result.begin(), result.end(), [](const T* a, const T* b) { return a->rowid < b->rowid; });
    return result;
}

}  // namespace

QString _MsgHandle::displayName(bool withId) const
{
    if (contactName.isEmpty())
        return id;
    return withId ? QStringLiteral("%1 (%2)").arg(contactName, id) : contactName;
}

QList<_MsgHandle*> _MsgChat::sortedHandles() const
{
    return byRowid(handles);
}

QString _MsgChat::displayName(bool withNumbers) const
{
    if (!display_name.isEmpty())
        return display_name;
    QStringList names;
    for (const _MsgHandle* handle : sortedHandles())
        names.append(handle->displayName(withNumbers));
    return names.isEmpty() ? QStringLiteral("Unknown") : names.join(QStringLiteral(", "));
}

QString _MsgMessage::chatLabel() const
{
    if (!chat)
        return QStringLiteral("unknown");
    QString label = chat->displayName(true);
    if (chat->isGroup() && handle)
        label += QStringLiteral(" (%1)").arg(handle->contactName.isEmpty() ? handle->id : handle->contactName);
    return label;
}

QString _MsgMessage::visibleText() const
{
    QString visible = text;
    return visible.remove(kObjectReplacement);
}

QList<_MsgAttachment*> _MsgMessage::sortedAttachments() const
{
    return byRowid(attachments);
}

bool compareHandleItems(const HandleItem& a, const HandleItem& b)
{
    if (a.fromRecycle != b.fromRecycle)
        return a.fromRecycle;
    return QString::compare(a.handle.id, b.handle.id) < 0;
}
