#pragma once
#include "core/progresssink.h"
#include "export/exportmessagesdb.h"
#include "msgdb/records.h"

#include <QDir>
#include <QString>
#include <QThread>

// Copies the messages (in message order) into the local database in dbDir in one transaction. On a
// cancel or an error nothing of the run stays: no rows, no attachment files it copied.
class BackupSMSThread : public QThread {
    Q_OBJECT
public:
    BackupSMSThread(const MsgMessageList& messages, const QDir& dbDir, const QString& mcc, ProgressSink* progress,
                    QObject* parent = nullptr);

    // Rich text added to the success text (what an earlier step of the same command left out).
    void setSuccessNote(const QString& note) { m_successNote = note; }

    void run() override;

private:
    MsgMessageList m_messages;
    ProgressSink* m_progress;  // not owned
    ExportMessagesDb m_exporter;
    QString m_successNote;
};
