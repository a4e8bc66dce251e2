#pragma once
#include "core/progresssink.h"
#include "export/exportmessagesdb.h"
#include "msgdb/records.h"

#include <QDir>
#include <QString>
#include <QThread>

#include <memory>

class FileHandoff;

// Copies the messages (in message order) into the local database in dbDir in one transaction. On a
// cancel or an error nothing of the run stays: no rows, no attachment files it copied.
class BackupSMSThread : public QThread {
    Q_OBJECT
public:
    BackupSMSThread(const MsgMessageList& messages, const QDir& dbDir, const QString& mcc, ProgressSink* progress,
                    QObject* parent = nullptr);

    // The attachment files are still being cached by the handoff's maker: copies wait for them,
    // the job ends only after the maker, with the maker's success text (what the cache left out)
    // ending its own, and fails with the maker's error. A cancel or an error of the job cancels the
    // maker.
    void awaitCache(std::shared_ptr<FileHandoff> cache);

    void run() override;

private:
    void copyMessages();

    MsgMessageList m_messages;
    ProgressSink* m_progress;  // not owned
    ExportMessagesDb m_exporter;
    std::shared_ptr<FileHandoff> m_cache;
};
