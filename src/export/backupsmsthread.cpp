#include "export/backupsmsthread.h"

#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "msgdb/msgutil.h"

BackupSMSThread::BackupSMSThread(const MsgMessageList& messages, const QDir& dbDir, const QString& mcc,
                                 ProgressSink* progress, QObject* parent)
    : QThread(parent), m_messages(messages), m_progress(progress), m_exporter(dbDir, mcc)
{
    sortMessages(m_messages);
}

void BackupSMSThread::run()
{
    runGuarded(
        m_progress,
        [this] {
            const QString status = tr("IDS_BACKING_UP_SMS");
            ProgressSink::postUpdateProgress(m_progress, status, 0, QString());
            m_exporter.begin();
            const int n = m_messages.size();
            int i = 0;
            ProgressThrottle throttle(n);
            for (_MsgMessage* message : qAsConst(m_messages)) {
                if (ProgressSink::isCancelled(m_progress))
                    throw -1;
                ++i;
                if (throttle.due(i))
                    ProgressSink::postUpdateProgress(m_progress, status, throttle.percent(),
                                                     tr("SMS: %1/%2").arg(i).arg(n));
                m_exporter.exportMessage(message);
            }
            m_exporter.end();
            QString text = tr("IDS_SUC_BACKUP_%1_SMS").arg(n);
            if (m_exporter.skippedMessages() > 0)
                text += QStringLiteral("<br/><br/>") + tr("IDS_SKIPPED_%1_SMS").arg(m_exporter.skippedMessages());
            if (!m_successNote.isEmpty())
                text += QStringLiteral("<br/><br/>") + m_successNote;
            ProgressSink::postSucceed(m_progress, text);
        },
        [this] { m_exporter.rollBack(); });  // drops the transaction and the files it copied
}
