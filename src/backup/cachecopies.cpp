#include "backup/cachecopies.h"

#include "backup/backupmanifest.h"
#include "core/errors.h"
#include "core/fileutil.h"

#include <QFile>

#include <sys/stat.h>

namespace {

// Copies node's stored file to destPath; false when there is none.
bool cacheOne(BackupManifest& manifest, const BackupFileNode& node, const QString& destPath)
{
    struct stat status {};
    const QByteArray stored = QFile::encodeName(manifest.backupDir.absoluteFilePath(node.record.fileId()));
    if (::lstat(stored.constData(), &status) != 0)
        return false;  // listed but not backed up: nothing to copy (anything else there, copyFile checks)
    // An older cache may hold a folder where the backup has a file (an empty "sms.db-wal").
    if (::lstat(QFile::encodeName(destPath).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && !removeDirRecursive(destPath))
        throwUtf8(QStringLiteral("Cannot replace the folder %1 with a file.").arg(destPath));
    manifest.copyFile(node, destPath);
    return true;
}

}  // namespace

CacheCopies::CacheCopies(BackupManifest& manifest, int threads, Landed landed)
    : m_manifest(manifest), m_landed(std::move(landed))
{
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

CacheCopies::~CacheCopies()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_waiting.clear();
    }
    m_work.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

void CacheCopies::queue(const BackupFileNode& node, const QString& destPath)
{
    auto copy = std::make_shared<Copy>();
    copy->node = &node;
    copy->destPath = destPath;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_order.push_back(copy);
        m_waiting.push_back(copy);
        m_destinations.insert(destPath);
    }
    m_work.notify_one();
}

void CacheCopies::queueDone(const QString& destPath, const Outcome& outcome)
{
    auto copy = std::make_shared<Copy>();
    copy->node = outcome.node;
    copy->destPath = destPath;
    copy->done = true;
    copy->copied = outcome.copied;
    copy->failure = outcome.failure;
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_order.push_back(copy);
    m_destinations.insert(destPath);
}

bool CacheCopies::isQueued(const QString& destPath) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_destinations.contains(destPath);
}

int CacheCopies::queued() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_order.size());
}

std::optional<CacheCopies::Outcome> CacheCopies::takeOldest(bool wait)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_order.empty())
        return std::nullopt;
    if (wait)
        m_done.wait(lock, [this] { return m_order.front()->done; });
    else if (!m_order.front()->done)
        return std::nullopt;
    const std::shared_ptr<Copy> oldest = m_order.front();
    m_order.pop_front();
    m_destinations.remove(oldest->destPath);
    return Outcome{oldest->node, oldest->copied, oldest->failure};
}

void CacheCopies::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return m_stop || !m_waiting.empty(); });
        if (m_stop)
            return;
        const std::shared_ptr<Copy> copy = m_waiting.front();
        m_waiting.pop_front();
        lock.unlock();
        std::exception_ptr failure;
        bool copied = false;
        try {
            copied = cacheOne(m_manifest, *copy->node, copy->destPath);
        } catch (...) {
            failure = std::current_exception();
        }
        if (m_landed)
            m_landed(copy->destPath);  // whole or not there: a copy is written under another name first
        lock.lock();
        copy->copied = copied;
        copy->failure = failure;
        copy->done = true;
        m_done.notify_one();
    }
}
