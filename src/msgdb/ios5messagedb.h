#pragma once
// Message databases in the iOS 5 layout: the SMS/MMS tables (message, msg_group, group_member,
// msg_pieces) and, on devices with iMessage, madrid_chat and madrid_attachment. The reader turns them
// into the records of the iOS 6 layout. It never changes a row; the only files it writes are the MMS
// parts kept inside the database, copied out below the mirrored device tree so they open like any
// other attachment.
#include "msgdb/absdb.h"
#include "msgdb/contacts.h"
#include "msgdb/country.h"
#include "msgdb/handlenaming.h"
#include "msgdb/messagerecycledb.h"
#include "platform/seededhash.h"

#include <QDir>
#include <QHash>
#include <QSet>
#include <QString>

class FileHandoff;
class Sqlite3Cursor;

// Second and later pictures of an MMS message become messages of their own under these keys:
// base - part rowid. The band lies above the keys of recovered messages and far below real rows.
constexpr qint64 kMmsCloneMessageBase = -1647483648LL;

class IOS5MessageDb : public AbsIOSMessageDb {
public:
    // dir is the source's cache folder (it holds "file-relay"); mcc picks the default country.
    // Touches no file.
    IOS5MessageDb(const QDir& dir, const QString& mcc);
    ~IOS5MessageDb() override = default;

    // Opens dbPath read-write (never creating it) and registers the SQL function "read" that the
    // device's statements use. Every statement runs under the step budget of the file's size.
    // Refuses a file without the SMS tables (kNotAMessageDb) or with generated columns in the tables
    // it reads. A failure after the file was opened closes it again.
    void open() override;
    // SMS/MMS conversations (keyed by msg_group rowid) and iMessage conversations (keyed by minus
    // the madrid_chat rowid) with their members. Only adds: records already in the store stay.
    void chats(_MsgStore& store) override;
    // chatRowid > 0: one SMS/MMS conversation; < 0: one iMessage conversation; 0: everything.
    // MMS parts are read for 0 and positive ids only.
    void messages(_MsgStore& store, qint64 chatRowid) override;
    int iosVersion() const override { return 5; }
    MessageRecycleDb& recycleDb() override { return m_recycle; }

    qint64 messageCount();
    // Adds every message of the recycle database to the store (this layout has no live-guid test).
    void recycledMessages(_MsgStore& store);
    CountryLibDb& countryDb() { return m_countryLib; }

    const QDir& dir() const { return m_dir; }
    const QDir& fileRelayDir() const { return m_fileRelayDir; }
    const QString& dbPath() const { return m_dbPath; }
    bool hasTable(const QString& name) const { return m_tableSql.contains(name); }
    // The folder is still being filled by maker (the rest of a backup's cache): each MMS part file is
    // claimed from it before being written, so the part holds the database's bytes whatever the
    // timing, as when the cache was made first. maker must outlive the reads.
    void shareFolderWith(FileHandoff* maker) { m_maker = maker; }

private:
    struct MessageReading;

    void registerReadFunction();

    void readSmsChats(_MsgStore& store);
    void readSmsMembers(_MsgStore& store);
    void readIMessageChats(_MsgStore& store);
    // The normalised ids of a madrid_chat participants list, each once, in list order.
    QStringList participantIds(const QByteArray& participants);
    void applyIMessageChatDates(const TextHash<_MsgChat*>& madeChats);
    qint64 freeIMessageHandleKey(const _MsgStore& store) const;

    void readMessageRows(MessageReading& reading, qint64 chatRowid);
    void fillIMessageRow(MessageReading& reading, _MsgMessage& message, const Sqlite3Cursor& row);
    void fillSmsRow(MessageReading& reading, _MsgMessage& message, const Sqlite3Cursor& row);
    void attachIMessageFiles(MessageReading& reading, _MsgMessage& message, const QByteArray& info,
                             const QByteArray& storedBody);
    _MsgAttachment* iMessageAttachment(MessageReading& reading, const QString& guid);
    void readMmsParts(MessageReading& reading, qint64 chatRowid);
    void addMmsAttachment(MessageReading& reading, _MsgMessage& message, const Sqlite3Cursor& part);

    QString normalizedWithDefault(const QString& address);

    QDir m_dir;
    QDir m_fileRelayDir;
    IOSContactsMemDb m_contactsDb;  // opened only by chats()
    MessageRecycleDb m_recycle;
    CountryLibDb m_countryLib;
    HandleNaming m_naming{m_contactsDb, m_countryLib, "IOS5MessageDb"};
    TextHash<QString> m_tableSql;  // table name -> CREATE statement
    QString m_dbPath;
    FileHandoff* m_maker = nullptr;  // not owned
};

// The status fields of the iOS 6 layout that an iOS 5 row has no column for: type 0, not delivered,
// finished, prepared, read and sent, data detected. Live and recovered rows alike get them.
void setIos5StatusFields(_MsgMessage& m);

// The path of an MMS part's file below the mirrored device tree:
// "var/mobile/Library/SMS/Parts/<group_id % 256, hex>/<message_id % 16>/<message_id>-<part_id>.<suffix>"
// with the suffix of contentLocation's last component ("" when it has no dot). The file name is made
// safe, so the result never leaves the Parts folder.
QString mmsPartRelativePath(int groupId, int messageId, int partId, const QString& contentLocation);
