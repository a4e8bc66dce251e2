#pragma once
#include "core/progresssink.h"
#include "msgdb/records.h"

#include <QDir>
#include <QThread>

// Deletes the messages from the database in dbDir in one transaction; only after the commit are
// attachment files removed, and only those no remaining message uses and that lie in the
// database's attachment folders. A cancel or an error leaves database and files as they were.
// The removal is part of the progress, and from the commit on the job can no longer be cancelled.
class DeleteMMSThread : public QThread {
    Q_OBJECT
public:
    DeleteMMSThread(const QDir& dbDir, const MsgMessageList& messages, ProgressSink* progress,
                    QObject* parent = nullptr);

    void run() override;

private:
    // The attachments of the messages, each once, in the messages' order.
    QList<const _MsgAttachment*> distinctAttachments() const;

    QDir m_dbDir;
    MsgMessageList m_messages;
    ProgressSink* m_progress;  // not owned
};
