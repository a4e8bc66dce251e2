#pragma once
#include "core/progresssink.h"
#include "msgdb/records.h"

#include <QDir>
#include <QThread>

// Deletes the messages from the database in dbDir in one transaction; only after the commit are
// attachment files removed, and only those no remaining message uses and that lie in the
// database's attachment folders. A cancel or an error leaves database and files as they were.
class DeleteMMSThread : public QThread {
    Q_OBJECT
public:
    DeleteMMSThread(const QDir& dbDir, const MsgMessageList& messages, ProgressSink* progress,
                    QObject* parent = nullptr);

    void run() override;

private:
    QDir m_dbDir;
    MsgMessageList m_messages;
    ProgressSink* m_progress;  // not owned
};
