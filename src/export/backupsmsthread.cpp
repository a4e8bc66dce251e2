#include "export/backupsmsthread.h"

#include "core/errors.h"
#include "core/filehandoff.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "msgdb/msgutil.h"

#include <algorithm>
#include <optional>

BackupSMSThread::BackupSMSThread(const MsgMessageList& messages, const QDir& dbDir, const QString& mcc,
                                 ProgressSink* progress, QObject* parent)
    : QThread(parent), m_messages(messages), m_progress(progress), m_exporter(dbDir, mcc)
{
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
    // Sorted here, not by the command: a million messages take a second to sort.
    sortMessages(m_messages);
    m_exporter.begin();
    m_exporter.expect(m_messages);
    const int n = m_messages.size();
    int i = 0;
    ProgressThrottle throttle(n);
    for (_MsgMessage* message : qAsConst(m_messages)) {
        if (ProgressSink::isCancelled(m_progress) || (m_cache && m_cache->hasFailed()))
            throw -1;
        ++i;
        if (throttle.due(i)) {
            // The rows wait for the rest of the cache at the end: the bar is full only when both are.
            const int percent = m_cache ? std::min(throttle.percent(), m_cache->percentDone()) : throttle.percent();
            ProgressSink::postUpdateProgress(m_progress, status, percent, tr("SMS: %1/%2").arg(i).arg(n));
        }
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
