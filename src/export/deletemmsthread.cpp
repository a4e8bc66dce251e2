#include "export/deletemmsthread.h"

#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

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
