#include "export/attachmentextractthread.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "core/htmltext.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "msgdb/msgutil.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

namespace {

bool isUsableName(const QString& name)
{
    return !name.trimmed().isEmpty() && name != QLatin1String(".") && name != QLatin1String("..");
}

// Access and modification time of the copy: the message's date.
void setFileDate(const QString& path, int appleSeconds)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return;
    const QDateTime date = appleTimeToDateTime(appleSeconds);
    file.setFileTime(date, QFileDevice::FileAccessTime);
    file.setFileTime(date, QFileDevice::FileModificationTime);
}

}  // namespace

QString extractedFileName(const _MsgAttachment& attachment)
{
    // Device paths use "/" whatever system made the backup; a trailing "/" or ".." names no file.
    QString name = attachment.filename.mid(attachment.filename.lastIndexOf(QLatin1Char('/')) + 1);
    if (!isUsableName(name))
        name = attachment.transfer_name;
    if (!isUsableName(name))
        name = attachment.guid;
    return sanitizeFileName(name);
}

AttachmentExtractThread::AttachmentExtractThread(ProgressSink* progress, const MsgMessageList& messages,
                                                 const QString& outDir, QObject* parent)
    : QThread(parent), m_progress(progress), m_messages(messages), m_outDir(outDir)
{
}

void AttachmentExtractThread::run()
{
    runGuarded(
        m_progress,
        [this] {
            const QString path = m_outDir.absolutePath();
            if (!m_outDir.exists()) {
                if (!QDir().mkpath(path))
                    throwUtf8(tr("Cannot create the folder %1.").arg(path));
                m_outDirCreated = true;
            }
            const int copied = extractAll();
            ProgressSink::postSucceed(
                m_progress, tr("IDS_SUC_EXTRACT_%1_MEDIA_FILES_TO_%2").arg(copied).arg(htmlEscape(path)));
        },
        [this] { removeCreated(); });
}

int AttachmentExtractThread::extractAll()
{
    const int n = m_messages.size();
    int k = 0;
    int copied = 0;
    ProgressThrottle throttle(n);
    for (const _MsgMessage* message : qAsConst(m_messages)) {
        if (ProgressSink::isCancelled(m_progress))
            throw -1;
        ++k;
        if (throttle.due(k))
            ProgressSink::postUpdateProgress(m_progress, tr("IDS_EXTRACTING_MEDIA_FILES"), throttle.percent(), QString());
        for (const _MsgAttachment* attachment : message->sortedAttachments()) {
            if (ProgressSink::isCancelled(m_progress))
                throw -1;
            if (extract(*message, *attachment))
                ++copied;
        }
    }
    return copied;
}

bool AttachmentExtractThread::extract(const _MsgMessage& message, const _MsgAttachment& attachment)
{
    const QString localPath = attachment.localPath.path();
    if (localPath.isEmpty() || !QFileInfo(localPath).isFile())
        return false;  // not copied from the device: nothing to extract
    const QString destination = uniqueFilePath(m_outDir.absoluteFilePath(extractedFileName(attachment)));
    if (!QFile::copy(localPath, destination))
        throwUtf8(tr("Cannot copy %1 to %2.").arg(localPath, destination));
    m_createdFiles.append(destination);
    setFileDate(destination, message.date);
    return true;
}

void AttachmentExtractThread::removeCreated()
{
    if (m_outDirCreated) {
        removeDirRecursive(m_outDir.absolutePath());
        return;
    }
    for (const QString& file : qAsConst(m_createdFiles))
        QFile::remove(file);
}
