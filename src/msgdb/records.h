#pragma once
// Plain records of a message database, named after the columns of the iOS 6 layout so a record can be
// read from and written back to such a database column by column, and the store that owns them.
//
// Ownership: a _MsgStore owns every record in its four tables. The pointer fields of the records and the
// tables inside them only point into the same store. Everything else (models, views, jobs, exporters)
// holds non-owning pointers, so it must drop them before records are removed or the store is replaced.

#include "msgdb/attachmentpath.h"
#include "msgdb/recordtable.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>

struct _MsgMessage;

// Key of the tables inside records: a row id, or a text where a reader keys by one (the address of an
// iOS 5 handle, the guid of a recovered message). A number costs no allocation and no text hashing.
class RecordKey {
public:
    RecordKey() = default;  // the number 0
    RecordKey(qint64 number) : m_number(number) {}  // NOLINT(google-explicit-constructor)
    // A null text is kept as an empty one, which it equals, so it can never pass for a number.
    RecordKey(const QString& text)  // NOLINT(google-explicit-constructor)
        : m_text(text.isNull() ? QString(QLatin1String("")) : text)
    {
    }

    bool isText() const { return !m_text.isNull(); }
    qint64 number() const { return m_number; }
    const QString& text() const { return m_text; }

    bool operator==(const RecordKey& other) const
    {
        return isText() == other.isText() && (isText() ? m_text == other.m_text : m_number == other.m_number);
    }
    bool operator!=(const RecordKey& other) const { return !(*this == other); }
    // Numbers first, in ascending order, then texts in code-unit order.
    bool operator<(const RecordKey& other) const
    {
        if (isText() != other.isText())
            return !isText();
        return isText() ? m_text < other.m_text : m_number < other.m_number;
    }

private:
    qint64 m_number = 0;
    QString m_text;  // null for a number
};

inline quint64 recordHash(const RecordKey& key)
{
    return key.isText() ? recordHash(key.text()) : recordHash(key.number());
}

// A contact address (phone number or e-mail) taking part in conversations.
struct _MsgHandle {
    qint64 rowid = 0;
    QString id;
    QString country;
    QString service = QStringLiteral("SMS");
    QString uncanonicalized_id;
    QString contactName;  // display name of the matching contact
    QByteArray photo;     // contact thumbnail image bytes

    // The contact's name ("Ann", or "Ann (+15551234)" with withId), or id when no contact matched.
    QString displayName(bool withId) const;
};

struct _MsgAttachment {
    qint64 rowid = 0;
    QString guid;
    int created_date = 0;
    int start_date = 0;
    QString filename;  // path as stored on the device
    QString uti;
    QString mime_type;
    int transfer_state = 5;
    int is_outgoing = 0;
    QByteArray user_info;
    QString transfer_name;
    qint64 total_bytes = 0;
    AttachmentLocation localPath;  // the file's copy on this computer
};

// A conversation.
struct _MsgChat {
    qint64 rowid = 0;
    QString guid;  // "SMS;-;<address>", "iMessage;+;<room name>", ...
    int style = 45;  // 45 ('-') one-to-one, 43 ('+') group
    int state = 3;
    QString account_id;
    QByteArray properties;
    QString chat_identifier;
    QString service_name = QStringLiteral("SMS");
    QString room_name;
    QString account_login = QStringLiteral("E:");
    int is_archived = 0;
    QString last_addressed_handle;
    QString display_name;
    int last = 0;  // date of the newest message (column "_last")
    QString group_id;
    RecordTable<RecordKey, _MsgHandle> handles;    // members, keyed as the reader chooses
    RecordTable<RecordKey, _MsgMessage> messages;  // keyed as the reader chooses

    // display_name, else the members' names in ascending row id joined by ", ", else "Unknown".
    QString displayName(bool withNumbers) const;
    bool isGroup() const { return handles.size() > 1; }
    // The members in ascending row id (null entries skipped), so names joined from them are stable.
    QList<_MsgHandle*> sortedHandles() const;
};

struct _MsgMessage {
    qint64 rowid = 0;
    QString guid;
    QString text;  // each U+FFFC marks where an attachment stands
    int replace = 0;
    QString service_center;
    qint64 handle_id = 0;
    QString subject;
    QString country;
    QByteArray attributedBody;
    int version = 10;
    int type = 0;
    QString service;
    QString account;
    QString account_guid;
    int error = 0;
    int date = 0;  // seconds since 2001-01-01 UTC
    int date_read = 0;
    int date_delivered = 0;
    int is_delivered = 0;
    int is_finished = 0;
    int is_emote = 0;
    int is_from_me = 0;
    int is_empty = 0;
    int is_delayed = 0;
    int is_auto_reply = 0;
    int is_prepared = 0;
    int is_read = 0;
    int is_system_message = 0;
    int is_sent = 0;
    int has_dd_results = 0;
    int is_service_message = 0;
    int is_forward = 0;
    int was_downgraded = 0;
    int is_archive = 0;
    int cache_has_attachments = 0;
    QString cache_roomnames;
    int was_data_detected = 0;
    int was_deduplicated = 0;
    bool isHighlighted = false;  // recovered messages are painted apart
    qint64 sortKey = 0;          // tie-break of the message order
    int is_audio_message = 0;
    int is_played = 0;
    int date_played = 0;
    int item_type = 0;  // 0 message; 1 member added, 2 conversation named, 3 member left, 4 location sharing
    qint64 other_handle = -1;
    QString group_title;
    int group_action_type = 0;
    int share_status = 0;
    int share_direction = 0;
    int is_expirable = 0;
    int expire_state = 0;
    int message_action_type = 0;
    _MsgHandle* handle = nullptr;
    _MsgChat* chat = nullptr;
    RecordTable<RecordKey, _MsgAttachment> attachments;
    _MsgHandle* otherHandle = nullptr;

    // The conversation's name, followed by " (sender)" for a group message; "unknown" without one.
    QString chatLabel() const;
    // text without the U+FFFC attachment marks.
    QString visibleText() const;
    // The attachments in ascending row id (null entries skipped).
    QList<_MsgAttachment*> sortedAttachments() const;
};

using MsgMessageList = QList<_MsgMessage*>;  // owns nothing

// Conversations that share one chat_identifier, shown as one conversation.
struct _MsgChatSession {
    QList<_MsgChat*> chats;
    int last = 0;
};

// The four tables of a store. Owns every record in them.
struct _MsgStoreData {
    RecordTable<qint64, _MsgChat> chats;
    RecordTable<qint64, _MsgHandle> handles;
    RecordTable<qint64, _MsgMessage> messages;
    RecordTable<qint64, _MsgAttachment> attachments;

    _MsgStoreData() = default;
    ~_MsgStoreData();
    _MsgStoreData(const _MsgStoreData&) = delete;
    _MsgStoreData& operator=(const _MsgStoreData&) = delete;
};

// Records read from one database. Copies share the tables; the last copy deletes the records.
class _MsgStore {
public:
    _MsgStore();

    _MsgStoreData* data() const { return m_data.data(); }

    MsgMessageList messageList() const;
    QList<_MsgChat*> chatList() const;
    QList<_MsgChatSession> chatSessions() const;
    static MsgMessageList messagesOfChats(const QList<_MsgChat*>& chats);

    // Unlinks the message stored under key from every conversation holding it, then deletes it.
    // Its attachments stay in the store (another message may link them). False when key is unknown.
    bool removeMessage(qint64 key);
    // The same for every message stored under one of keys, in one pass over the conversations
    // whatever their number; unknown and repeated keys are passed over. Returns how many went.
    int removeMessages(const QList<qint64>& keys);
    // Deletes the conversation stored under key; its messages stay in the store without a conversation.
    bool removeChat(qint64 key);

private:
    QSharedPointer<_MsgStoreData> m_data;
};

// A handle with a flag, listed by the dialog that assigns a phone number to recovered messages.
// The flag marks handles read from the recycle database.
struct HandleItem {
    bool fromRecycle = false;
    _MsgHandle handle;
};

Q_DECLARE_METATYPE(HandleItem)

// The order of the handle list: items with the flag set first, then by the handle's id (code-unit
// order, case-sensitive). A strict weak ordering.
bool compareHandleItems(const HandleItem& a, const HandleItem& b);
inline constexpr bool (&handleItemLessThan)(const HandleItem&, const HandleItem&) = compareHandleItems;
