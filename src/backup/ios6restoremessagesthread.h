#pragma once
// The job that merges messages into an unencrypted iTunes backup of an iOS 6 or later device, so that
// restoring the backup puts them on the device. It rebuilds a work copy of the cached copy of the
// backup's message database with the backup's own rows and the new messages interleaved by date
// under fresh row ids, then replaces the backup's message database, adds the attachment files and
// rewrites "Manifest.mbdb", keeping the previous files beside them under "-<time>" names.
//
// The backup is changed only at the very end and all together (BackupReplacement): until then every
// failure and a cancel leave it byte for byte as it was.
#include "msgdb/records.h"
#include "platform/seededhash.h"

#include <QDir>
#include <QHash>
#include <QList>
#include <QString>
#include <QThread>
#include <QVector>

#include <memory>

class BackupFileOps;
class Sqlite3Sql;
class IOS6MessageDb;
class ProgressSink;
class BackupReplacement;
struct MbdbRecord;
using MbdbRecordSet = TextHash<MbdbRecord>;

// One entry of the merge list.
struct RestoreItem {
    qint64 rowid = 0;  // the backup row's row id, or the new message's sortKey
    int date = 0;      // seconds since 2001-01-01
    const _MsgMessage* record = nullptr;  // the new message; null for a backup row, re-read by row id
    bool isOld = false;                   // a row that was already in the backup
};

// The merge order: by date when the row ids lie more than 20 apart or the dates more than 120 seconds;
// else by row id; a remaining tie puts a backup row before a new message. Not a strict weak ordering
// (the windows make it intransitive), so sort only with std::stable_sort.
bool restoreOrderLessThan(const RestoreItem& a, const RestoreItem& b);

class IOS6RestoreMessagesThread : public QThread {
    Q_OBJECT
public:
    // messages and target (the cached copy of the backup's message database) must outlive the run;
    // the caller has refused encrypted backups.
    IOS6RestoreMessagesThread(const QString& mcc, const MsgMessageList* messages, IOS6MessageDb* target,
                              const QDir& backupDir, ProgressSink* sink, QObject* parent = nullptr);
    ~IOS6RestoreMessagesThread() override;

    // The file operations on the backup folder; tests replace them to fail each step.
    void setFileOps(std::shared_ptr<BackupFileOps> ops);

    // Ends with exactly one of postSucceed(""), postError(text), or nothing after a cancel.
    void run() override;

    // After the run: new messages put into the merge, and those left out for want of a usable
    // conversation.
    int mergedCount() const { return m_mergedCount; }
    int skippedCount() const { return m_skippedCount; }

private:
    // What the merge needs of the backup's own messages: their row ids and dates, their guids, and
    // by guid the chat ids and attachment ids of the backup's join tables.
    struct KeptRows {
        QVector<RestoreItem> dates;
        IdHash<QString> guids;
        TextHash<QList<qint64>> chats;  // by the backup's message guids
        TextHash<QList<qint64>> attachments;
    };

    void requireIos6Layout() const;
    QString makeWorkCopy() const;
    void mergeInto(IOS6MessageDb& work);
    void emptyWorkDb(IOS6MessageDb& work) const;
    void copyKeptTables(IOS6MessageDb& work) const;
    KeptRows readKeptRows(IOS6MessageDb& work) const;
    Sqlite3Sql copyOldRowSql(IOS6MessageDb& work) const;
    QVector<RestoreItem> mergeList(const KeptRows& kept, bool canHoldItemTypes);
    void mergeOldRow(IOS6MessageDb& work, const RestoreItem& item, const KeptRows& kept,
                     const Sqlite3Sql& copyOldRow) const;

    void writeBackup(const QString& workPath) const;
    void emptyWriteAheadLogs(MbdbRecordSet& records, BackupReplacement& replacement) const;
    void addAttachmentFiles(MbdbRecordSet& records, BackupReplacement& replacement) const;

    QString m_mcc;
    const MsgMessageList* m_messages;  // not owned
    IOS6MessageDb* m_target;           // not owned
    QDir m_backupDir;
    ProgressSink* m_sink;  // not owned
    std::shared_ptr<BackupFileOps> m_fileOps;
    int m_skippedCount = 0;
    int m_mergedCount = 0;
    QList<const _MsgMessage*> m_withAttachments;  // merged new messages that have attachments
};
