#include "export/archivejobs.h"

#include "core/errors.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "core/htmltext.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

bool isUsableName(const QString& name)
{
    return !name.trimmed().isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
}

// Access and modification time of the copy: the message's date.
void setFileDate(const QString& path, int appleSeconds)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return;
    const QDateTime date = appleTimeToDateTime(appleSeconds);
    file.setFileTime(date, QFileDevice::FileAccessTime);
    file.setFileTime(date, QFileDevice::FileModificationTime);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Extraction

QString extractedFileName(const _MsgAttachment& attachment)
{
    // Device paths use "/" whatever system made the backup; a trailing "/" or ".." names no file.
    QString name = attachment.filename.mid(attachment.filename.lastIndexOf(QLatin1Char('/')) + 1);
    if (!isUsableName(name))
        name = attachment.transfer_name;
    if (!isUsableName(name))
        name = attachment.guid;
    return sanitizeFileName(name);
}

AttachmentExtractThread::AttachmentExtractThread(ProgressSink* progress, const MsgMessageList& messages,
                                                 const QString& outDir, QObject* parent)
    : QThread(parent), m_progress(progress), m_messages(messages), m_outDir(outDir)
{
}

void AttachmentExtractThread::run()
{
    runGuarded(
        m_progress,
        [this] {
            const QString path = m_outDir.absolutePath();
            if (!m_outDir.exists()) {
                if (!QDir().mkpath(path))
                    throwUtf8(tr("Cannot create the folder %1.").arg(path));
                m_outDirCreated = true;
            }
            const int copied = extractAll();
            ProgressSink::postSucceed(
                m_progress, tr("IDS_SUC_EXTRACT_%1_MEDIA_FILES_TO_%2").arg(copied).arg(htmlEscape(path)));
        },
        [this] { removeCreated(); });
}

int AttachmentExtractThread::extractAll()
{
    const int n = m_messages.size();
    int k = 0;
    int copied = 0;
    ProgressThrottle throttle(n);
    for (const _MsgMessage* message : qAsConst(m_messages)) {
        if (ProgressSink::isCancelled(m_progress))
            throw -1;
        ++k;
        if (throttle.due(k))
            ProgressSink::postUpdateProgress(m_progress, tr("IDS_EXTRACTING_MEDIA_FILES"), throttle.percent(), QString());
        for (const _MsgAttachment* attachment : message->sortedAttachments()) {
            if (ProgressSink::isCancelled(m_progress))
                throw -1;
            if (extract(*message, *attachment))
                ++copied;
        }
    }
    return copied;
}

bool AttachmentExtractThread::extract(const _MsgMessage& message, const _MsgAttachment& attachment)
{
    const QString localPath = attachment.localPath.path();
    if (localPath.isEmpty() || !QFileInfo(localPath).isFile())
        return false;  // not copied from the device: nothing to extract
    const QString destination = uniqueFilePath(m_outDir.absoluteFilePath(extractedFileName(attachment)));
    if (!QFile::copy(localPath, destination))
        throwUtf8(tr("Cannot copy %1 to %2.").arg(localPath, destination));
    m_createdFiles.append(destination);
    setFileDate(destination, message.date);
    return true;
}

void AttachmentExtractThread::removeCreated()
{
    if (m_outDirCreated) {
        removeDirRecursive(m_outDir.absolutePath());
        return;
    }
    for (const QString& file : qAsConst(m_createdFiles))
        QFile::remove(file);
}

// ---------------------------------------------------------------------------------------------
// Copy into a local database

BackupSMSThread::BackupSMSThread(const MsgMessageList& messages, const QDir& dbDir, const QString& mcc,
                                 ProgressSink* progress, QObject* parent)
    : QThread(parent), m_messages(messages), m_progress(progress), m_exporter(dbDir, mcc)
{
    sortMessages(m_messages);
}

void BackupSMSThread::awaitCache(std::shared_ptr<FileHandoff> cache)
{
    m_cache = std::move(cache);
    m_exporter.awaitSources(m_cache.get());
}

void BackupSMSThread::run()
{
    runGuarded(
        m_progress,
        [this] {
            try {
                copyMessages();
            } catch (...) {
                // A copy that failed for want of a cached file fails for the cache's reason.
                if (m_cache) {
                    m_cache->cancel();
                    if (const std::optional<QString> error = m_cache->takeError())
                        throwHtml(*error);
                }
                throw;
            }
        },
        [this] {
            m_exporter.rollBack();  // drops the transaction and the files it copied
            if (m_cache)
                m_cache->cancel();
        });
}

void BackupSMSThread::copyMessages()
{
    const QString status = tr("IDS_BACKING_UP_SMS");
    ProgressSink::postUpdateProgress(m_progress, status, 0, QString());
    m_exporter.begin();
    const int n = m_messages.size();
    int i = 0;
    ProgressThrottle throttle(n);
    for (_MsgMessage* message : qAsConst(m_messages)) {
        if (ProgressSink::isCancelled(m_progress) || (m_cache && m_cache->hasFailed()))
            throw -1;
        ++i;
        if (throttle.due(i))
            ProgressSink::postUpdateProgress(m_progress, status, throttle.percent(), tr("SMS: %1/%2").arg(i).arg(n));
        m_exporter.exportMessage(message);
    }
    QString note;
    if (m_cache) {
        // The rows wait for the rest of the cache, so the copies are whole before the commit.
        const std::optional<QString> cacheNote = m_cache->finish(m_progress);
        if (!cacheNote)
            throw -1;
        note = *cacheNote;
    }
    m_exporter.end();
    QString text = tr("IDS_SUC_BACKUP_%1_SMS").arg(n);
    if (m_exporter.skippedMessages() > 0)
        text += QStringLiteral("<br/><br/>") + tr("IDS_SKIPPED_%1_SMS").arg(m_exporter.skippedMessages());
    if (!note.isEmpty())
        text += QStringLiteral("<br/><br/>") + note;
    ProgressSink::postSucceed(m_progress, text);
}

// ---------------------------------------------------------------------------------------------
// Deleting

DeleteMMSThread::DeleteMMSThread(const QDir& dbDir, const MsgMessageList& messages, ProgressSink* progress,
                                 QObject* parent)
    : QThread(parent), m_dbDir(dbDir), m_messages(messages), m_progress(progress)
{
}

void DeleteMMSThread::run()
{
    IOS6MessageDb db(m_dbDir, QString(), false);
    runGuarded(
        m_progress,
        [this, &db] {
            ProgressSink::postUpdateProgress(m_progress, tr("IDS_DELETING_MMS"), 0, QString());
            db.beginTransaction();
            const int n = m_messages.size();
            int i = 0;
            ProgressThrottle throttle(n);
            for (const _MsgMessage* message : qAsConst(m_messages)) {
                if (ProgressSink::isCancelled(m_progress))
                    throw -1;
                ++i;
                if (throttle.due(i))
                    ProgressSink::postUpdateProgress(m_progress, QString(), throttle.percent(),
                                                     tr("Messages: %1/%2").arg(i).arg(n));
                db.deleteMessage(*message);
            }
            db.endTransaction(true);

            // The files go only now that the rows are gone for good. An attachment row that survived the
            // delete is still linked to another message, which keeps its file.
            QSet<QString> seen;
            AttachmentArea area(db.fileRelayDir());
            for (const _MsgMessage* message : qAsConst(m_messages)) {
                for (const _MsgAttachment* attachment : message->sortedAttachments()) {
                    if (attachment->guid.isEmpty() || seen.contains(attachment->guid))
                        continue;
                    seen.insert(attachment->guid);
                    if (db.attachmentRowidByGuid(*attachment) != 0)
                        continue;
                    // Mapped again through this database's own attachment folders: a row naming any
                    // other file, the database's own above all, never removes it.
                    const QString path = area.path(attachment->filename);
                    if (!path.isEmpty() && QFileInfo(path).isFile())
                        QFile::remove(path);
                }
            }
            db.close();
            ProgressSink::postSucceed(m_progress, tr("IDS_SUC_DELETE_%1_MESSAGES").arg(n));
        },
        [&db] { db.close(); });  // rolls back
}
