#include "msgdb/records.h"

namespace {

template <typename T>
void deleteAll(QHash<qint64, T*>& table)
{
    qDeleteAll(table);
    table.clear();
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
    QHash<QString, int> indexByIdentifier;
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
    _MsgMessage* message = m_data->messages.take(key);
    if (!message)
        return false;
    // A message joined to several conversations sits in each one's table, not only in its own.
    for (_MsgChat* chat : qAsConst(m_data->chats)) {
        for (auto it = chat->messages.begin(); it != chat->messages.end();) {
            if (it.value() == message)
                it = chat->messages.erase(it);
            else
                ++it;
        }
    }
    delete message;
    return true;
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
