#pragma once
// Jobs on the attachments and the local databases, each run under a progress sink like the export
// job: extracting attachment files into a new folder, copying messages into a local database, and
// deleting messages with the attachment files no other message uses.
#include "core/progresssink.h"
#include "export/exportmessagesdb.h"
#include "msgdb/records.h"

#include <QDir>
#include <QStringList>
#include <QThread>

#include <memory>

class FileHandoff;

// Copies the attachment files of the messages into outDir, each named after its device file name
// (made unique) and dated with its message's date. Counts only files really copied; a cancel or an
// error removes what the run created (the whole folder when the run made it).
class AttachmentExtractThread : public QThread {
    Q_OBJECT
public:
    AttachmentExtractThread(ProgressSink* progress, const MsgMessageList& messages, const QString& outDir,
                            QObject* parent = nullptr);

    void run() override;

private:
    int extractAll();
    bool extract(const _MsgMessage& message, const _MsgAttachment& attachment);
    void removeCreated();

    ProgressSink* m_progress;  // not owned
    MsgMessageList m_messages;
    QDir m_outDir;
    bool m_outDirCreated = false;
    QStringList m_createdFiles;
};

// The name an attachment is extracted under: the file name of its device path, else its transfer
// name, else its guid, made safe as a file name.
QString extractedFileName(const _MsgAttachment& attachment);

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
