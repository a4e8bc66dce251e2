#pragma once
// Merges message records into an iOS 6 layout file without duplicating anything: conversations are
// found by guid, handles by id and service (and made members of the message's conversation),
// messages by content hash (where asked and the file has the column) then by guid, attachments by
// guid; only what is missing is inserted. The copy into a local database and the merge into a
// backup both write through it, so both follow the same rules.
//
// One object serves one transaction of its database: begin() after the transaction began, finish()
// before it commits.
#include "msgdb/records.h"
#include "platform/seededhash.h"

#include <QHash>
#include <QPair>
#include <QString>

#include <functional>
#include <vector>

class IOS6MessageDb;

// Rows by a text key, for the hundreds of thousands of rows one run writes: one flat table, probed
// by the key's hash, with no allocation per entry and mostly one cache line read per look-up.
class RowsByText {
public:
    void clear();
    // The place of key's row, 0 when none was noted yet; valid until the next call.
    qint64& operator[](const QString& key);

private:
    struct Entry {
        uint hash = 0;
        bool used = false;
        qint64 row = 0;
        QString key;
    };
    void grow();

    std::vector<Entry> m_entries;  // a power of two long, at most half used
    std::size_t m_used = 0;
};

class Ios6MessageMerge {
public:
    struct Rules {
        // Find a message by its content hash before its guid, where the file has the column.
        bool byContent = false;
        // Nothing but this object writes messages and attachments during the run: when the file held
        // no rows at begin(), they are found among the run's own rows without asking the file.
        bool soleWriter = false;
    };

    Ios6MessageMerge(IOS6MessageDb& db, Rules rules);

    // Whether a message has a conversation it can be stored under: not none, not one made for
    // recovered messages whose conversation is unknown.
    static bool hasStorableChat(const _MsgMessage& message);

    void begin();
    // The message's conversation, handles, message row and attachments; beforeAttachment, when set,
    // is called for each attachment before its row. The message must have a storable conversation.
    // Returns the message's row.
    // logicHash, when given, is messageLogicHash(&message), made ahead.
    qint64 merge(const _MsgMessage& message, const std::function<void(const _MsgAttachment&)>& beforeAttachment = {},
                 const QString* logicHash = nullptr);
    // Writes what was kept back until the end: each conversation's newest date and last addressed
    // handle, once.
    void finish();
    // Drops the look-ups of the transaction that ended: for a large history they hold millions of
    // entries, which are best freed on the thread that ran it.
    void forgetLookups();

private:
    qint64 chatRow(const _MsgChat& chat);
    qint64 memberHandleRow(qint64 chatRowid, const _MsgHandle& handle);
    qint64 messageRow(const _MsgMessage& message, qint64 chatRowid, qint64 handleRowid, const QString* logicHash);
    qint64 insertMessage(const _MsgMessage& message, qint64 chatRowid, qint64 handleRowid, const QString& logicHash);
    qint64 attachmentRow(const _MsgAttachment& attachment);

    IOS6MessageDb& m_db;
    Rules m_rules;
    // Look-ups already answered in this transaction: first by record (the records of one run stay
    // where they are), which spares hashing and comparing their texts for every message.
    QHash<const _MsgChat*, qint64> m_chatRowsByRecord;
    TextHash<qint64> m_chatRows;  // guid
    QHash<const _MsgHandle*, qint64> m_handleRowsByRecord;
    QHash<QPair<TextKey, TextKey>, qint64> m_handleRows;  // id, service
    QHash<QPair<IdKey, IdKey>, bool> m_members;           // chat row, handle row
    bool m_ownRowsOnly = false;                           // see Rules::soleWriter
    RowsByText m_messageRowsByHash;
    RowsByText m_messageRowsByGuid;
    TextHash<qint64> m_attachmentRows;      // guid
    IdHash<int> m_chatLast;                 // chat row -> the newest date of its new messages
    IdHash<QString> m_lastAddressedHandle;  // chat row -> handle id
};
