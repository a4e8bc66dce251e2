#include "export/deletemmsthread.h"

#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/ios6messagedb.h"
#include "platform/seededhash.h"

#include <QFile>
#include <QFileInfo>

DeleteMMSThread::DeleteMMSThread(const QDir& dbDir, const MsgMessageList& messages, ProgressSink* progress,
                                 QObject* parent)
    : QThread(parent), m_dbDir(dbDir), m_messages(messages), m_progress(progress)
{
}

namespace {

// What removing one file costs next to deleting one message row, as the bar counts them: on a local
// disk a removal takes about as long as this many row deletions of a large database.
constexpr qint64 kRemovalWeight = 16;

}  // namespace

QList<const _MsgAttachment*> DeleteMMSThread::distinctAttachments() const
{
    QList<const _MsgAttachment*> attachments;
    TextSet seen;
    for (const _MsgMessage* message : qAsConst(m_messages)) {
        for (const _MsgAttachment* attachment : message->sortedAttachments()) {
            if (attachment->guid.isEmpty() || seen.contains(attachment->guid))
                continue;
            seen.insert(attachment->guid);
            attachments.append(attachment);
        }
    }
    return attachments;
}

void DeleteMMSThread::run()
{
    IOS6MessageDb db(m_dbDir, QString(), false);
    runGuarded(
        m_progress,
        [this, &db] {
            ProgressSink::postUpdateProgress(m_progress, tr("IDS_DELETING_MMS"), 0, QString());
            const QList<const _MsgAttachment*> attachments = distinctAttachments();
            const int n = m_messages.size();
            const int files = attachments.size();
            // The bar reaches its end only when the last file is gone.
            ProgressThrottle throttle(n + kRemovalWeight * files);
            db.beginTransaction();
            int i = 0;
            for (const _MsgMessage* message : qAsConst(m_messages)) {
                if (ProgressSink::isCancelled(m_progress))
                    throw -1;
                ++i;
                if (throttle.due(i))
                    ProgressSink::postUpdateProgress(m_progress, QString(), throttle.percent(),
                                                     tr("Messages: %1/%2").arg(i).arg(n));
                db.deleteMessage(*message);
            }
            ProgressSink::postNotCancellable(m_progress);
            if (ProgressSink::isCancelled(m_progress))
                throw -1;  // pressed before the button went
            db.endTransaction(true);

            // The files go only now that the rows are gone for good. An attachment row that survived the
            // delete is still linked to another message, which keeps its file.
            AttachmentArea area(db.fileRelayDir());
            int k = 0;
            for (const _MsgAttachment* attachment : attachments) {
                ++k;
                if (db.attachmentRowidByGuid(*attachment) == 0) {
                    // Mapped again through this database's own attachment folders: a row naming any
                    // other file, the database's own above all, never removes it.
                    const QString path = area.path(attachment->filename);
                    if (!path.isEmpty() && QFileInfo(path).isFile())
                        QFile::remove(path);
                }
                if (throttle.due(n + kRemovalWeight * k))
                    ProgressSink::postUpdateProgress(m_progress, QString(), throttle.percent(),
                                                     tr("Attachments: %1/%2").arg(k).arg(files));
            }
            db.close();
            ProgressSink::postSucceed(m_progress, tr("IDS_SUC_DELETE_%1_MESSAGES").arg(n));
        },
        [&db] { db.close(); });  // rolls back
}
