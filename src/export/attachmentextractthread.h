#pragma once
#include "core/progresssink.h"
#include "msgdb/records.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <QThread>

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
