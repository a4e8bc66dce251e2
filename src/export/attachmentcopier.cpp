#include "export/attachmentcopier.h"

#include "core/errors.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <sys/stat.h>

#include <cerrno>
#include <optional>

namespace {

constexpr std::size_t kMaxQueued = 256;  // copies not begun yet
// How long the worker waits for the oldest source put off before it looks at the queue again.
constexpr std::chrono::milliseconds kSourceWait{10};

}  // namespace

AttachmentCopier::AttachmentCopier(const QDir& fileRelayDir, PendingCopies& pending, FileHandoff* sources)
    : m_fileRelayDir(fileRelayDir), m_pending(pending), m_sources(sources)
{
}

AttachmentCopier::~AttachmentCopier()
{
    cancel();
}

void AttachmentCopier::copy(const _MsgAttachment& attachment)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    rethrowFailure();
    m_queue.push_back({attachment.localPath, attachment.filename, QString(), QString()});
    if (!m_worker.joinable()) {
        m_stop = false;
        m_cancelled = false;
        m_worker = std::thread([this] { work(); });
    }
    m_changed.notify_all();
    // The rows wait for the copies when these fall behind, so the job's progress and Cancel stay
    // true to the files, and finish() has little left to do.
    m_changed.wait(lock, [this] { return m_queue.size() < kMaxQueued || m_failure; });
    rethrowFailure();
}

void AttachmentCopier::finish()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return (m_queue.empty() && !m_busy) || m_failure; });
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable())
        m_worker.join();
    const std::lock_guard<std::mutex> lock(m_mutex);
    rethrowFailure();
}

void AttachmentCopier::cancel()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_stop = true;
        m_cancelled = true;
    }
    m_changed.notify_all();
    if (m_worker.joinable())
        m_worker.join();
}

void AttachmentCopier::rethrowFailure()
{
    if (m_failure)
        std::rethrow_exception(m_failure);
}

void AttachmentCopier::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_queue.empty() || !m_putOff.empty(); });
        if (m_failure || (m_queue.empty() && (m_putOff.empty() || m_cancelled)))
            return;  // stopped; after a failure nothing more is copied
        std::optional<Job> job;
        if (!m_queue.empty()) {
            job = std::move(m_queue.front());
            m_queue.pop_front();
        }
        m_busy = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            if (job)
                place(std::move(*job));
            else
                retryPutOff();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        m_busy = !m_putOff.empty();
        if (failure && !m_failure)
            m_failure = failure;
        m_changed.notify_all();
    }
}

void AttachmentCopier::place(Job job)
{
    job.sourcePath = job.source.path();
    if (m_sources && !job.sourcePath.isEmpty()) {
        bool putOff = !m_sources->waitReady(job.sourcePath, std::chrono::milliseconds(0));
        if (!m_putOff.empty() || putOff) {
            if (!m_area)
                m_area = std::make_unique<AttachmentArea>(m_fileRelayDir);
            job.destination = m_area->path(job.filename);
            for (const Job& earlier : m_putOff)
                putOff = putOff || (!job.destination.isEmpty() && earlier.destination == job.destination);
        }
        if (putOff) {
            m_putOff.push_back(std::move(job));
            return;
        }
    }
    copyOne(job);
}

void AttachmentCopier::retryPutOff()
{
    std::vector<Job> waiting;
    QSet<QString> blocked;  // places a copy still put off goes to
    bool copied = false;
    for (Job& job : m_putOff) {
        const bool ready = (job.destination.isEmpty() || !blocked.contains(job.destination))
                           && m_sources->waitReady(job.sourcePath, std::chrono::milliseconds(0));
        if (ready) {
            copyOne(job);
            copied = true;
        } else {
            if (!job.destination.isEmpty())
                blocked.insert(job.destination);
            waiting.push_back(std::move(job));
        }
    }
    m_putOff = std::move(waiting);
    if (!copied && !m_putOff.empty())
        m_sources->waitReady(m_putOff.front().sourcePath, kSourceWait);
}

void AttachmentCopier::copyOne(const Job& job)
{
    const QString& source = job.sourcePath;
    struct stat status {};
    if (source.isEmpty() || ::stat(QFile::encodeName(source).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return;
    if (!m_area)
        m_area = std::make_unique<AttachmentArea>(m_fileRelayDir);
    const QString destination = m_area->path(job.filename);
    if (destination.isEmpty()) {
        qWarning().noquote() << "local database: attachment" << job.filename
                             << "not copied: it does not lead into the attachment folders";
        return;
    }
    if (::lstat(QFile::encodeName(destination).constData(), &status) == 0)
        return;
    makeFolder(QFileInfo(destination).absolutePath());
    m_pending.note(job.filename);
    // Without the sync to disk QFile::copy makes for every file: a copy writes thousands of them.
    if (!copyToNewFile(source, destination))
        throwUtf8(QStringLiteral("Cannot copy %1 to %2").arg(source, destination));
    m_createdFiles.append(destination);
}

void AttachmentCopier::makeFolder(const QString& folder)
{
    if (m_knownFolders.contains(folder))
        return;
    QStringList missing;
    struct stat status {};
    for (QString path = folder; ::lstat(QFile::encodeName(path).constData(), &status) != 0;
         path = QFileInfo(path).absolutePath())
        missing.prepend(path);
    for (const QString& path : qAsConst(missing)) {
        if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0)
            m_createdFolders.append(path);
        else if (errno != EEXIST)
            throwUtf8(QStringLiteral("Cannot create the folder %1").arg(folder));
    }
    m_knownFolders.insert(folder);
}
