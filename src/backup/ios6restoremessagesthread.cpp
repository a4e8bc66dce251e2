#include "backup/ios6restoremessagesthread.h"

#include "backup/backupreplacement.h"
#include "backup/mbdb.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "core/safepath.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/ios6messagemerge.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

const QString kHomeDomain = QStringLiteral("HomeDomain");
const QString kMediaDomain = QStringLiteral("MediaDomain");
const QString kSmsDbPath = QStringLiteral("Library/SMS/sms.db");
const QString kManifestName = QStringLiteral("Manifest.mbdb");
constexpr quint64 kRowidWindow = 20;
constexpr quint64 kDateWindow = 120;
constexpr int kCancelled = -1;

// |a - b| without overflow, whatever the two values.
quint64 distance(qint64 a, qint64 b)
{
    return a > b ? quint64(a) - quint64(b) : quint64(b) - quint64(a);
}

QString now()
{
    return QString::number(QDateTime::currentSecsSinceEpoch());
}

// The path an attachment is backed up under ("Library/..." of its device file name), or "" when it
// has none or the path could climb out of its domain on the device.
QString attachmentBackupPath(const _MsgAttachment& attachment)
{
    const int library = attachment.filename.indexOf(QLatin1String("Library/"));
    if (library < 0)
        return QString();
    const QString path = attachment.filename.mid(library);
    if (!isSafeRelativePath(path) || path.contains(QLatin1Char('\\'))) {
        qWarning() << "attachment path left out of the backup:" << path;
        return QString();
    }
    return path;
}

void removeWorkFiles(const QString& workPath)
{
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(workPath + QLatin1String(suffix));
}

}  // namespace

bool restoreOrderLessThan(const RestoreItem& a, const RestoreItem& b)
{
    const bool farApart = distance(a.rowid, b.rowid) > kRowidWindow || distance(a.date, b.date) > kDateWindow;
    if (farApart && a.date != b.date)
        return a.date < b.date;
    if (!farApart && a.rowid != b.rowid)
        return a.rowid < b.rowid;
    return a.isOld && !b.isOld;
}

IOS6RestoreMessagesThread::IOS6RestoreMessagesThread(const QString& mcc, const MsgMessageList* messages,
                                                     IOS6MessageDb* target, const QDir& backupDir,
                                                     ProgressSink* sink, QObject* parent)
    : QThread(parent),
      m_mcc(mcc),
      m_messages(messages),
      m_target(target),
      m_backupDir(backupDir),
      m_sink(sink),
      m_fileOps(std::make_shared<BackupFileOps>())
{
}

IOS6RestoreMessagesThread::~IOS6RestoreMessagesThread() = default;

void IOS6RestoreMessagesThread::setFileOps(std::shared_ptr<BackupFileOps> ops)
{
    m_fileOps = std::move(ops);
}

void IOS6RestoreMessagesThread::run()
{
    m_skippedCount = 0;
    m_mergedCount = 0;
    m_withAttachments.clear();
    ProgressSink::postUpdateProgress(m_sink, tr("IDS_MERGING_IOS6_MESSAGES"), 0, QString());
    QString workPath;
    std::unique_ptr<IOS6MessageDb> work;
    runGuarded(
        m_sink,
        [&] {
            requireIos6Layout();
            workPath = makeWorkCopy();
            work = std::make_unique<IOS6MessageDb>(m_target->dir(), m_mcc, false);
            work->setDbPath(workPath);
            mergeInto(*work);
            work->close();
            writeBackup(workPath);
            ProgressSink::postSucceed(m_sink, QString());
        },
        [&] {
            if (work)
                work->close();
            if (!workPath.isEmpty())
                removeWorkFiles(workPath);
        });
}

void IOS6RestoreMessagesThread::requireIos6Layout() const
{
    // An older layout would fail somewhere in the middle of the merge with an SQL error.
    if (!IOS6MessageDb::isIOS6Layout(m_target->dbPath()))
        throwUtf8(tr("IDS_CANT_RESTORE_IOS_VERSION_BELOW_60"));
}

QString IOS6RestoreMessagesThread::makeWorkCopy() const
{
    const QString workPath = uniqueFilePath(m_target->dbPath() + now());
    m_target->close();
    if (!QFile::copy(m_target->dbPath(), workPath))
        throwUtf8(QStringLiteral("copy database to %1 failed.").arg(workPath));
    return workPath;
}

void IOS6RestoreMessagesThread::mergeInto(IOS6MessageDb& work)
{
    emptyWorkDb(work);
    // The backup's rows are read through the work connection, so each copy is one prepared statement.
    work.executeThrow(Sqlite3Sql("attach database ? as kept").addTextParam(m_target->dbPath()));
    work.beginTransaction();
    copyKeptTables(work);
    const KeptRows kept = readKeptRows(work);
    QVector<RestoreItem> items = mergeList(kept, work.hasItemType());
    if (m_mergedCount == 0)
        throwUtf8(tr("IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_%1_UNKNOWN_CHAT_MSG").arg(m_skippedCount));
    std::stable_sort(items.begin(), items.end(), restoreOrderLessThan);

    const Sqlite3Sql copyOldRow = copyOldRowSql(work);
    // The backup's own messages are copied beside the merge, so it asks the file for every message.
    Ios6MessageMerge merge(work, Ios6MessageMerge::Rules{false, false});
    merge.begin();
    const int count = items.size();
    ProgressThrottle throttle(count, 99);
    for (int i = 0; i < count; ++i) {
        if (ProgressSink::isCancelled(m_sink))
            throw kCancelled;
        if (throttle.due(i + 1))
            ProgressSink::postUpdateProgress(m_sink, QString(), throttle.percent(), QString());
        const RestoreItem& item = items.at(i);
        if (item.isOld)
            mergeOldRow(work, item, kept, copyOldRow);
        else
            merge.merge(*item.record);
    }
    merge.finish();
    work.endTransaction(true);
    work.executeThrow("detach database kept");
    // A device would replay a write-ahead log left beside the new file over it: the merged file keeps
    // its whole content in itself.
    work.executeThrow("PRAGMA main.journal_mode=DELETE");
}

void IOS6RestoreMessagesThread::emptyWorkDb(IOS6MessageDb& work) const
{
    work.open();
    for (const char* table : {"attachment", "chat", "handle", "message", "message_attachment_join",
                              "chat_message_join", "chat_handle_join"})
        work.executeThrow(QStringLiteral("delete from %1").arg(QLatin1String(table)));
    if (work.tableDdl().contains(QStringLiteral("sqlite_sequence")))
        work.executeThrow(
            "update sqlite_sequence set seq=0 where name in ('handle', 'chat', 'message', 'attachment')");
    work.executeThrow("vacuum");
}

void IOS6RestoreMessagesThread::copyKeptTables(IOS6MessageDb& work) const
{
    // The backup's conversations, contacts and attachments keep their row ids; only messages move.
    // The work file is a copy of the backup's, so both have the same columns in the same order.
    for (const char* table : {"chat", "handle", "chat_handle_join", "attachment"})
        work.executeThrow(QStringLiteral("insert into main.%1 select * from kept.%1").arg(QLatin1String(table)));
    if (work.tbInfo(QStringLiteral("chat")).contains(QStringLiteral("properties")))
        work.executeThrow("update main.chat set properties=NULL");
}

IOS6RestoreMessagesThread::KeptRows IOS6RestoreMessagesThread::readKeptRows(IOS6MessageDb& work) const
{
    KeptRows kept;
    const auto read = [&work](const char* sql, TextHash<QList<qint64>>& lists) {
        Sqlite3Cursor cursor = work.queryThrow(sql);
        while (cursor.moveNext())
            lists[cursor.getText(1)].append(cursor.getInt64(0));
    };
    read("select ma.attachment_id, m.guid from kept.message_attachment_join as ma"
         " inner join kept.message as m on ma.message_id=m.rowid",
         kept.attachments);
    read("select cm.chat_id, m.guid from kept.chat_message_join as cm"
         " inner join kept.message as m on cm.message_id=m.rowid",
         kept.chats);
    Sqlite3Cursor cursor = work.queryThrow("select rowid, date, guid from kept.message");
    while (cursor.moveNext()) {
        const qint64 rowid = cursor.getInt64(0);
        kept.dates.append({rowid, appleDateSeconds(cursor.getInt64(1)), nullptr, true});
        kept.guids.insert(rowid, cursor.getText(2));
    }
    return kept;
}

Sqlite3Sql IOS6RestoreMessagesThread::copyOldRowSql(IOS6MessageDb& work) const
{
    // Every column but the row id, so the row gets a new one.
    QStringList columns;
    const TextHash<_SqliteCol> info = work.tbInfo(QStringLiteral("message"));
    for (const _SqliteCol& column : info) {
        const bool isRowid = column.name().compare(QLatin1String("rowid"), Qt::CaseInsensitive) == 0
                             || (column.primaryKey() && column.isInteger());
        if (!isRowid)
            columns << sqliteQuoteIdentifier(column.name());
    }
    return QStringLiteral("insert into main.message(%1) select %1 from kept.message where rowid=?")
        .arg(columns.join(QLatin1Char(',')));
}

QVector<RestoreItem> IOS6RestoreMessagesThread::mergeList(const KeptRows& kept, bool canHoldItemTypes)
{
    QVector<RestoreItem> items = kept.dates;
    for (const _MsgMessage* message : *m_messages) {
        if (!message)
            continue;
        if (!Ios6MessageMerge::hasStorableChat(*message)) {
            qDebug("IOS6RestoreMessagesThread skip message with unknown chat.");
            ++m_skippedCount;
            continue;
        }
        if (message->item_type != 0 && !canHoldItemTypes)
            continue;
        ++m_mergedCount;
        if (!message->sortedAttachments().isEmpty())
            m_withAttachments.append(message);
        items.append({message->sortKey, message->date, message, false});
    }
    return items;
}

void IOS6RestoreMessagesThread::mergeOldRow(IOS6MessageDb& work, const RestoreItem& item, const KeptRows& kept,
                                            const Sqlite3Sql& copyOldRow) const
{
    const QString guid = kept.guids.value(item.rowid);
    qint64 rowid = work.messageRowidByGuid(guid);
    if (rowid == 0) {
        work.executeThrow(Sqlite3Sql(copyOldRow).addInt64Param(item.rowid));
        rowid = work.lastInsertId();
    }
    for (qint64 chat : kept.chats.value(guid))
        work.replaceChatMessageJoin(chat, rowid);
    for (qint64 attachment : kept.attachments.value(guid))
        work.replaceMessageAttachmentJoin(rowid, attachment);
}

void IOS6RestoreMessagesThread::writeBackup(const QString& workPath) const
{
    const QString manifestPath = m_backupDir.absoluteFilePath(kManifestName);
    if (!QFileInfo::exists(manifestPath))
        throwUtf8(QStringLiteral("can not find %1.").arg(manifestPath));
    MbdbRecordSet records = readMbdb(manifestPath);
    BackupReplacement replacement(m_backupDir, now(), m_fileOps);

    const QString smsId = mbdbFileId(kHomeDomain, kSmsDbPath);
    replacement.stageFile(smsId, workPath);
    addMbdbFile(records, workPath, kHomeDomain, kSmsDbPath);
    records[smsId].size = quint64(QFileInfo(workPath).size());
    emptyWriteAheadLogs(records, replacement);
    addAttachmentFiles(records, replacement);
    replacement.stageContent(kManifestName, serializeMbdb(records.values()));
    replacement.commit();
}

void IOS6RestoreMessagesThread::emptyWriteAheadLogs(MbdbRecordSet& records, BackupReplacement& replacement) const
{
    // Only where the backup lists them: the device expects the layout it wrote.
    const QByteArray emptyHash = QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha1);
    const quint32 time = quint32(QDateTime::currentSecsSinceEpoch());
    for (const char* suffix : {"-wal", "-shm"}) {
        const QString id = mbdbFileId(kHomeDomain, kSmsDbPath + QLatin1String(suffix));
        const auto found = records.find(id);
        if (found == records.end())
            continue;
        replacement.stageContent(id, QByteArray());
        found->dataHash.setBytes(emptyHash);
        found->size = 0;
        found->mtime = found->atime = found->ctime = time;
    }
}

void IOS6RestoreMessagesThread::addAttachmentFiles(MbdbRecordSet& records, BackupReplacement& replacement) const
{
    for (const _MsgMessage* message : m_withAttachments) {
        for (const _MsgAttachment* attachment : message->sortedAttachments()) {
            const QString localPath = attachment->localPath.path();
            const QFileInfo local(localPath);
            if (localPath.isEmpty() || !local.isFile() || local.isSymLink())
                continue;
            const QString path = attachmentBackupPath(*attachment);
            if (path.isEmpty())
                continue;
            const QString id = mbdbFileId(kMediaDomain, path);
            if (!QFileInfo::exists(m_backupDir.absoluteFilePath(id)) && !replacement.isStaged(id))
                replacement.stageFile(id, localPath);
            addMbdbFile(records, localPath, kMediaDomain, path);
        }
    }
}
