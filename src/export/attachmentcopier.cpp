#include "export/attachmentcopier.h"

#include "core/errors.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace {

// Copies not begun yet, in each lane: enough that a burst of attachments does not hold up the rows,
// few enough in bytes that the copies left when the rows end take no more than a moment.
constexpr std::size_t kMaxQueued = 256;
constexpr qint64 kMaxQueuedBytes = 32 * 1024 * 1024;
constexpr int kLanes = 4;
constexpr std::size_t kWakeBatch = 8;  // copies queued before an idle lane is woken
constexpr std::chrono::milliseconds kIdleLook{5};  // how often an idle lane looks at its queue
// How long the worker waits for the oldest source put off before it looks at the queue again.
constexpr std::chrono::milliseconds kSourceWait{10};


// The lane of the copy of filename: the same for every device path that leads to the same place.
std::size_t laneOf(const QString& filename)
{
    // The seeded hash: crafted paths would otherwise all share one lane.
    return qHash(TextKey(deviceRelativePath(filename).replace(QLatin1Char('\\'), QLatin1Char('/')))) % kLanes;
}

int depthOf(const QString& path)
{
    return path.count(QLatin1Char('/'));
}

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
    if (m_lanes.empty()) {
        m_stop = false;
        m_cancelled = false;
        for (int i = 0; i < kLanes; ++i) {
            m_lanes.push_back(std::make_unique<Lane>());
            Lane& lane = *m_lanes.back();
            lane.thread = std::thread([this, &lane] { work(lane); });
        }
    }
    Lane& lane = *m_lanes[laneOf(attachment.filename)];
    // The recorded size only paces the queue; a false one makes it shorter or longer, nothing more.
    const qint64 bytes = qBound<qint64>(0, attachment.total_bytes, kMaxQueuedBytes);
    lane.queue.push_back({attachment.localPath, attachment.filename, QString(), QString(), bytes});
    lane.queuedBytes += bytes;
    // Only an idle lane waits for work, and it is woken for a few copies at once: waking a thread is
    // a system call, too dear for every file. Until then it finds them when it looks by itself.
    if (!lane.busy && lane.queue.size() >= kWakeBatch)
        lane.wake.notify_one();
    // The rows wait for the copies when these fall behind, so the job's progress and Cancel stay
    // true to the files, and finish() has little left to do.
    m_changed.wait(lock, [&] {
        return (lane.queue.size() < kMaxQueued && lane.queuedBytes < kMaxQueuedBytes) || m_failure;
    });
    rethrowFailure();
}

bool AttachmentCopier::isIdle() const
{
    return std::all_of(m_lanes.cbegin(), m_lanes.cend(),
                       [](const std::unique_ptr<Lane>& lane) { return lane->queue.empty() && !lane->busy; });
}

void AttachmentCopier::finish()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        wakeLanes();
        m_changed.wait(lock, [this] { return isIdle() || m_failure; });
        m_stop = true;
    }
    stopLanes();
    const std::lock_guard<std::mutex> lock(m_mutex);
    rethrowFailure();
}

void AttachmentCopier::cancel()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const std::unique_ptr<Lane>& lane : m_lanes) {
            lane->queue.clear();
            lane->queuedBytes = 0;
        }
        m_stop = true;
        m_cancelled = true;
    }
    stopLanes();
}

void AttachmentCopier::wakeLanes()
{
    for (const std::unique_ptr<Lane>& lane : m_lanes)
        lane->wake.notify_one();
}

void AttachmentCopier::stopLanes()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        wakeLanes();
    }
    for (const std::unique_ptr<Lane>& lane : m_lanes)
        lane->thread.join();
    m_lanes.clear();
    // The lanes made folders side by side: a rollback removes the deepest first.
    std::stable_sort(m_createdFolders.begin(), m_createdFolders.end(),
                     [](const QString& a, const QString& b) { return depthOf(a) < depthOf(b); });
}

void AttachmentCopier::rethrowFailure()
{
    if (m_failure)
        std::rethrow_exception(m_failure);
}

void AttachmentCopier::work(Lane& lane)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // An idle lane also looks at its queue now and then by itself: the rows wake it only for a
        // few copies at once.
        while (!m_stop && lane.queue.empty() && lane.putOff.empty())
            lane.wake.wait_for(lock, kIdleLook);
        if (m_failure || (lane.queue.empty() && (lane.putOff.empty() || m_cancelled)))
            return;  // stopped; after a failure nothing more is copied
        std::optional<Job> job;
        if (!lane.queue.empty()) {
            job = std::move(lane.queue.front());
            lane.queue.pop_front();
            lane.queuedBytes -= job->bytes;
        }
        lane.busy = true;
        lock.unlock();
        std::exception_ptr failure;
        try {
            if (job)
                place(lane, std::move(*job));
            else
                retryPutOff(lane);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        lane.busy = !lane.putOff.empty();
        if (failure && !m_failure)
            m_failure = failure;
        m_changed.notify_all();
    }
}

AttachmentArea& AttachmentCopier::areaOf(Lane& lane)
{
    if (!lane.area)
        lane.area = std::make_unique<AttachmentArea>(m_fileRelayDir);
    return *lane.area;
}

void AttachmentCopier::place(Lane& lane, Job job)
{
    // Named as the cache announced it: what lies there now may be a sibling's copy.
    job.sourcePath = job.source.path(m_sources);
    if (m_sources && !job.sourcePath.isEmpty()) {
        bool putOff = !m_sources->waitReady(job.sourcePath, std::chrono::milliseconds(0));
        if (!lane.putOff.empty() || putOff) {
            job.destination = areaOf(lane).copyPath(job.filename, job.sourcePath);
            for (const Job& earlier : lane.putOff)
                putOff = putOff || (!job.destination.isEmpty() && earlier.destination == job.destination);
        }
        if (putOff) {
            lane.putOff.push_back(std::move(job));
            return;
        }
    }
    copyOne(lane, job);
}

void AttachmentCopier::retryPutOff(Lane& lane)
{
    std::vector<Job> waiting;
    TextSet blocked;  // places a copy still put off goes to
    bool copied = false;
    for (Job& job : lane.putOff) {
        const bool ready = (job.destination.isEmpty() || !blocked.contains(job.destination))
                           && m_sources->waitReady(job.sourcePath, std::chrono::milliseconds(0));
        if (ready) {
            copyOne(lane, job);
            copied = true;
        } else {
            if (!job.destination.isEmpty())
                blocked.insert(job.destination);
            waiting.push_back(std::move(job));
        }
    }
    lane.putOff = std::move(waiting);
    if (!copied && !lane.putOff.empty())
        m_sources->waitReady(lane.putOff.front().sourcePath, kSourceWait);
}

void AttachmentCopier::copyOne(Lane& lane, const Job& job)
{
    const QString& source = job.sourcePath;
    struct stat status {};
    if (source.isEmpty() || ::stat(QFile::encodeName(source).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return;
    const QString destination = areaOf(lane).copyPath(job.filename, source);
    if (destination.isEmpty()) {
        qWarning().noquote() << "local database: attachment" << job.filename
                             << "not copied: it does not lead into the attachment folders";
        return;
    }
    if (::lstat(QFile::encodeName(destination).constData(), &status) == 0)
        return;
    makeFolder(lane, QFileInfo(destination).absolutePath());
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_pending.note(job.filename);
    }
    // Without the sync to disk QFile::copy makes for every file: a copy writes thousands of them.
    if (!copyToNewFile(source, destination))
        throwUtf8(QStringLiteral("Cannot copy %1 to %2").arg(source, destination));
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_createdFiles.append(destination);
}

void AttachmentCopier::makeFolder(Lane& lane, const QString& folder)
{
    if (lane.knownFolders.contains(folder))
        return;
    QStringList missing;
    struct stat status {};
    for (QString path = folder; ::lstat(QFile::encodeName(path).constData(), &status) != 0;
         path = QFileInfo(path).absolutePath())
        missing.prepend(path);
    for (const QString& path : qAsConst(missing)) {
        // Another lane may make the same folder meanwhile: it is then that lane's.
        if (::mkdir(QFile::encodeName(path).constData(), 0700) == 0) {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_createdFolders.append(path);
        } else if (errno != EEXIST) {
            throwUtf8(QStringLiteral("Cannot create the folder %1").arg(folder));
        }
    }
    lane.knownFolders.insert(folder);
}
