#pragma once
// "recycle.db": messages and handles that the recovery scans carved out of the free space of a
// message database, kept beside that database and loaded back into its store, marked, on request.
#include "msgdb/absdb.h"
#include "msgdb/records.h"
#include "platform/seededhash.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

// One recovered message with the conversation identifier and the address it belonged to.
struct _MsgRecycledMessage {
    _MsgMessage message;
    QString chat_identifier;  // "" when the scan found none
    QString handle;
};

// The same, loaded for a store: the record made once, on the heap where the store will keep it.
struct RecycledRecord {
    std::unique_ptr<_MsgMessage> message;
    QString chat_identifier;
    QString handle;
};

// Key bands of records made for recovered messages. Consumers treat conversations below
// kRecycleKnownBandFloor as having no real identifier.
constexpr qint64 kRecycleMessageBase = -2047483648LL;     // message rowid = base - recycle rowid
constexpr qint64 kRecycleKnownChatBase = -1947483647LL;   // chat key = base - handle_id
constexpr qint64 kRecycleUnknownChatBase = -2047483647LL; // chat key = base - handle_id
constexpr qint64 kRecycleKnownBandFloor = -2047483646LL;  // lowest key of a chat with an identifier

class MessageRecycleDb : public AbsDb {
public:
    explicit MessageRecycleDb(QString path);  // opens nothing
    ~MessageRecycleDb() override = default;

    // Opens the file, or creates it with the schema; a failed creation leaves no file behind.
    void open() override;

    const QString& filePath() const { return m_path; }

    qint64 insertHandle(const _MsgHandle& handle, qint64 srcRowid);
    qint64 insertMessage(const _MsgMessage& message, const QString& chatIdentifier, const QString& handleText,
                         qint64 srcRowid);
    qint64 findHandle(const _MsgHandle& handle);    // 0 when not stored
    qint64 findMessage(const _MsgMessage& message);  // same guid, or same date, direction and text; 0 when none

    // A run of many insertMessage calls inside one transaction. Into an empty table, the batch tells
    // its duplicates apart in memory and builds the table's secondary indexes once, when it finishes,
    // rather than row by row; finish it before committing, abandon it after a rollback.
    void beginMessageBatch();
    void finishMessageBatch();
    void abandonMessageBatch() { m_batch.reset(); }
    // Gives a stored message its conversation and address; false (nothing written) when not stored.
    bool setMessageNumber(const _MsgMessage& message, const QString& chatIdentifier, const QString& handleText);
    // The handle whose source row id is srcRowid, carrying that id as its rowid; a default handle when none.
    _MsgHandle handleBySrcRowid(qint64 srcRowid);
    // Gives a handle stored without its source row id that id; nothing when it has one.
    void setHandleSource(qint64 rowid, qint64 srcRowid);
    // The source row ids of the stored handles that have one.
    IdSet handleSources();
    QList<_MsgRecycledMessage> loadMessages();
    // What loadMessages gives, in the same order, without copies: for loading into a store.
    std::vector<RecycledRecord> loadRecords();
    QList<_MsgHandle> handles();

private:
    void createFile();

    // Row ids by the hash of a key, in one array: a batch of many thousand rows would otherwise allocate
    // (and free) a node and hold a copy of the text for each. A match is checked against the stored row.
    class RowidsByHash {
    public:
        void insert(uint hash, qint64 rowid);
        // The latest row id of this hash that matches says yes to; 0 when none.
        qint64 find(uint hash, const std::function<bool(qint64)>& matches) const;

    private:
        struct Slot {
            qint64 rowid = 0;  // 0: empty
            uint hash = 0;
        };
        std::vector<Slot> m_slots;
        size_t m_used = 0;
    };

    // The keys of the messages a batch into an empty table stored, and the indexes it put off.
    struct MessageBatch {
        // Seeded: guids and texts are carved from a file, and every row a hash shares is asked of SQLite.
        static uint guidHash(const QString& guid) { return qHash(TextKey(guid)); }
        // What findMessage compares besides the guid: date and direction side by side, and the text.
        static uint keyHash(const _MsgMessage& m)
        {
            const quint64 dateDirection = seededHash(qint64(m.date) << 32 | quint32(m.is_from_me));
            return seededhash::fold(seededhash::mix(dateDirection ^ seededHash(m.text)));
        }

        RowidsByHash guids;
        RowidsByHash dateDirectionText;
        QStringList indexSql;
    };

    QString m_path;
    std::unique_ptr<MessageBatch> m_batch;
    Sqlite3Prepared m_insertMessage;  // of the open connection only
};

// True for letters and digits in groups of 8-4-4-4-12 joined by hyphens.
bool isGuidShaped(const QString& text);

// A new SMS conversation for number with its one handle, owned by the store. key is where the search
// for a free key starts: the conversation takes the first key at or below it, inside the same band
// (with or without identifier), that neither the store's chats nor its handles use.
_MsgChat* findOrAddSmsChat(_MsgStore& store, qint64 key, const QString& number);

// Adds recovered messages to the store, joining conversations of the same identifier or making new
// ones. Messages already in the store are skipped, so a second call with the same list adds nothing.
// The messages are moved out of list: pass an rvalue where the caller keeps no use for it.
void addRecycledMessages(_MsgStore& store, QList<_MsgRecycledMessage> list);
void addRecycledMessages(_MsgStore& store, std::vector<RecycledRecord> records);
