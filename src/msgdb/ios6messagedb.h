#pragma once
// Message databases in the iOS 6 layout: copies of a device's or a backup's "sms.db", opened as they
// are, and this program's own local databases (the same layout plus chat._last, handle._ct_name,
// handle._photo and message.logic_hash), created from res/localmsgdb_ddl.sql and brought up to the
// current column set on every open.
//
// Which optional columns a file has is decided by substring tests on the cached CREATE TABLE texts
// (the "probes"), so readers read what is there and writers write only what the file can hold.
#include "msgdb/absdb.h"
#include "msgdb/contacts.h"
#include "msgdb/country.h"
#include "msgdb/handlenaming.h"
#include "msgdb/ios6columns.h"
#include "msgdb/messagerecycledb.h"

#include <QDir>
#include <QHash>
#include <QString>

#include <unordered_map>
#include <utility>
#include <vector>

class SharedStrings;

class IOS6MessageDb : public AbsIOSMessageDb {
public:
    // mcc is the mobile country code that picks the default country. Touches no file.
    IOS6MessageDb(const QDir& dir, const QString& mcc, bool upgradeSchema);
    ~IOS6MessageDb() override = default;

    // Opens dbPath read-write. A missing file is created from the schema script only when upgrading
    // (local databases); otherwise "Cannot find <path>" is thrown. A file without the layout's tables
    // is refused with kNotAMessageDb, one with generated columns in them with an error naming the
    // table. Statements on a file that is not a local database run under the step budget of its
    // size. Any failure after the file was opened closes it and clears the probes, so the next call
    // tries again.
    void open() override;
    void chats(_MsgStore& store) override;
    void messages(_MsgStore& store, qint64 chatRowid) override;
    int iosVersion() const override { return 6; }
    MessageRecycleDb& recycleDb() override { return m_recycleDb; }
    // Adds the messages of the recycle database that are not live any more (by guid) to the store.
    void recycledMessages(_MsgStore& store);
    // What the live tables are at, inside a read transaction: another connection's commit changes the
    // data version, this connection's own changes its change count.
    using LiveMark = std::pair<qint64, qint64>;
    LiveMark liveMark();
    // The recycle rows [first, last] had guids that were not live at mark: recycledMessages looks them
    // up again only when the mark moved since, or the connection was opened anew.
    void noteRecycledGuidsChecked(qint64 first, qint64 last, const LiveMark& mark);

    const QDir& dir() const { return m_dir; }
    const QDir& fileRelayDir() const { return m_fileRelayDir; }
    const QString& dbPath() const { return m_dbPath; }
    IOSContactsMemDb& contactsDb() { return m_contactsDb; }
    CountryLibDb& countryDb() { return m_countryDb; }
    // Points the object at another file; ignored once a connection was opened, so the probes and
    // the open connection always belong to dbPath().
    void setDbPath(const QString& path);
    bool upgradesSchema() const { return m_upgradeSchema; }

    // Layout probes over the cached CREATE texts; all false before the first successful open.
    bool ddlContains(const QString& table, const QString& text, Qt::CaseSensitivity cs) const;
    bool hasItemType() const;   // message has item_type; never opens
    bool hasLogicHash() const;  // message has logic_hash
    bool hasChatLast() const;   // chat has "_last INTEGER": a local database
    const TextHash<QString>& tableDdl() const { return m_tableDdl; }

    // Raises the stored date of a conversation; never lowers it. Nothing on a file without _last.
    void updateChatLast(qint64 chatRowid, int date);
    qint64 messageRowidByGuid(const QString& guid);
    qint64 chatRowidByGuid(const QString& guid);
    qint64 attachmentRowidByGuid(const _MsgAttachment& attachment);
    bool hasChatHandleJoin(qint64 chatRowid, qint64 handleRowid);
    qint64 handleRowid(const _MsgHandle& handle);  // by id and service
    qint64 messageCount();
    // 0 without a query on a file that has no logic_hash column.
    qint64 messageRowidByLogicHash(const _MsgMessage& message);
    qint64 messageRowidByLogicHash(const QString& logicHash);  // a hash messageLogicHash made

    // The copy of an attachment below fileRelayDir, or "" when filename is empty or leads outside.
    QString localPath(const QString& filename) const;

    // Writing. No operation begins, commits or rolls back: callers bracket a batch with
    // beginTransaction/endTransaction. Optional columns are written only when the file has them.
    // Records with an empty guid are refused with an error naming them, before anything is written.
    void replaceChatHandleJoin(qint64 chatRowid, qint64 handleRowid);
    void replaceChatMessageJoin(qint64 chatRowid, qint64 messageRowid);
    void replaceMessageAttachmentJoin(qint64 messageRowid, qint64 attachmentRowid);
    void updateChatLastAddressedHandle(qint64 chatRowid, const QString& handle);
    qint64 insertHandle(const _MsgHandle& handle);
    // handleRowid and otherHandleRowid are rows of this file (the record's own ids are not used);
    // other_handle is written only when otherHandleRowid > 0. An empty logicHash is computed from
    // the record when the file has the column.
    qint64 insertMessage(const _MsgMessage& message, qint64 handleRowid, qint64 otherHandleRowid,
                         const QString& logicHash);
    qint64 insertAttachment(const _MsgAttachment& attachment);
    // Only the services "SMS" and "iMessage" are accepted. Stores the chat's handles that the file
    // lacks (in ascending row id) and links every one of them.
    qint64 insertChat(const _MsgChat& chat);
    // The message row and its join rows; the chat row too when no message is joined to it any more.
    // The file's own triggers remove what became unreferenced.
    void deleteMessage(const _MsgMessage& message);

private:
    // The optional columns each table of the file has (one bit per column of its column table),
    // probed once per open from the CREATE texts.
    struct PresentColumns {
        quint64 message = 0, chat = 0, handle = 0, attachment = 0;
    };
    PresentColumns probePresentColumns() const;

    void openExisting();
    void createFromScript();
    void upgradeColumns();
    void runUpgradeStatement(int line, const QString& sql);
    void registerFunctions();
    void loadTableDdl();

    // chats() without the newest dates when lastFromMessages: reading every message finds them too.
    void readConversations(_MsgStore& store, bool lastFromMessages, SharedStrings& strings);
    void readChats(_MsgStore& store, SharedStrings& strings);
    void applyLastFromMessageDates(_MsgStore& store);
    void applyLastFromMessageDatesInSql(_MsgStore& store);
    void readChatHandles(_MsgStore& store, SharedStrings& strings);
    // With trackLast, also sets each conversation's newest date from its messages, location shares
    // included, as applyLastFromMessageDates does.
    void readMessages(_MsgStore& store, qint64 chatRowid, bool trackLast, SharedStrings& strings);
    struct Filing {
        _MsgChat* chat;
        _MsgMessage* message;
        qint64 rowid;  // the message's, kept here so filing never reaches back into the record
    };
    static void fileIntoChats(const std::vector<Filing>& filings);
    void readAttachments(_MsgStore& store, qint64 chatRowid, SharedStrings& strings);
    // The writers' and look-ups' statements, each prepared once per connection, by key: for inserts
    // the table and the columns written (see the writer), for the others one of these.
    enum HeldStatement : quint64 {
        kChatHandleJoin = 1,
        kChatMessageJoin,
        kMessageAttachmentJoin,
        kLastAddressedHandle,
        kChatLast,
        kMessageByGuid,
        kChatByGuid,
        kAttachmentByGuid,
        kHasChatHandleJoin,
        kHandleById,
        kMessageByLogicHash,
    };
    Sqlite3Prepared& heldStatement(quint64 key, const char* sql);  // prepared from sql when not held yet
    template <typename MakeSql>
    Sqlite3Prepared& heldStatementMade(quint64 key, const MakeSql& makeSql);  // from makeSql() when not held
    // Inserts one row: fill names its columns and values (see the row classes of the writer).
    template <typename Fill>
    qint64 insertRow(int table, const char* name, const Fill& fill);

    // Number normalisation for handles read by chats().
    void normalizeHandle(_MsgHandle& handle);

    QDir m_dir;
    QDir m_fileRelayDir;
    IOSContactsMemDb m_contactsDb;  // opened only by chats()
    MessageRecycleDb m_recycleDb;
    CountryLibDb m_countryDb;
    HandleNaming m_naming{m_contactsDb, m_countryDb, "IOS6MessageDb"};
    TextHash<QString> m_tableDdl;
    QString m_dbPath;
    bool m_upgradeSchema;
    bool m_openedOnce = false;  // setDbPath has no effect any more
    PresentColumns m_present;
    std::unordered_map<quint64, Sqlite3Prepared> m_held;  // of the open connection only: our own keys
    struct GuidsChecked {
        qint64 first = 0;
        qint64 last = -1;
        LiveMark mark;
    };
    GuidsChecked m_guidsChecked;  // of the open connection only
};
