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
#include "msgdb/recycle_db.h"

#include <QDir>
#include <QHash>
#include <QString>

// A message date as stored (seconds since 2001-01-01, or nanoseconds on newer devices) in seconds,
// clamped to the range of the 32-bit date fields.
int appleDateSeconds(qint64 stored);

class IOS6MessageDb : public AbsIOSMessageDb {
public:
    // mcc is the mobile country code that picks the default country. Touches no file.
    IOS6MessageDb(const QDir& dir, const QString& mcc, bool upgradeSchema);
    ~IOS6MessageDb() override = default;

    // Opens dbPath read-write. A missing file is created from the schema script only when upgrading
    // (local databases); otherwise "Cannot find <path>" is thrown. Any failure after the file was
    // opened closes it and clears the probes, so the next call tries again.
    void open() override;
    void chats(_MsgStore& store) override;
    void messages(_MsgStore& store, qint64 chatRowid) override;
    int iosVersion() const override { return 6; }
    MessageRecycleDb& recycleDb() override { return m_recycleDb; }

    const QDir& dir() const { return m_dir; }
    const QDir& fileRelayDir() const { return m_fileRelayDir; }
    const QString& dbPath() const { return m_dbPath; }
    IOSContactsMemDb& contactsDb() { return m_contactsDb; }
    CountryLibDb& countryDb() { return m_countryDb; }
    void setDbPath(const QString& path) { m_dbPath = path; }
    bool upgradesSchema() const { return m_upgradeSchema; }

    // Layout probes over the cached CREATE texts; all false before the first successful open.
    bool ddlContains(const QString& table, const QString& text, Qt::CaseSensitivity cs) const;
    bool hasItemType() const;   // message has item_type; never opens
    bool hasLogicHash() const;  // message has logic_hash
    bool hasChatLast() const;   // chat has "_last INTEGER": a local database
    const QHash<QString, QString>& tableDdl() const { return m_tableDdl; }

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

    // The copy of an attachment below fileRelayDir, or "" when filename is empty or leads outside.
    QString localPath(const QString& filename) const;

private:
    void openExisting();
    void createFromScript();
    void upgradeColumns();
    void runUpgradeStatement(int line, const QString& sql);
    void registerFunctions();
    void loadTableDdl();

    void readChats(_MsgStore& store);
    void applyLastFromMessageDates(_MsgStore& store);
    void readChatHandles(_MsgStore& store);
    void readMessages(_MsgStore& store, qint64 chatRowid);
    void readAttachments(_MsgStore& store, qint64 chatRowid);
    qint64 firstRowid(const Sqlite3Sql& sql);

    // Contact names and number normalisation for handles read by chats().
    void openContactsQuietly();
    void normalizeHandle(_MsgHandle& handle);
    const Country& countryOf(const QString& sn);
    void applyContact(_MsgHandle& handle);

    QDir m_dir;
    QDir m_fileRelayDir;
    IOSContactsMemDb m_contactsDb;  // opened only by chats()
    MessageRecycleDb m_recycleDb;
    CountryLibDb m_countryDb;
    QHash<QString, Country> m_countryBySn;  // upper-case code -> country, filled on demand
    QHash<QString, QString> m_tableDdl;
    QString m_dbPath;
    bool m_upgradeSchema;
};
