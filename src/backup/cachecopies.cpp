#include "backup/cachecopies.h"

#include "backup/backupmanifest.h"
#include "core/errors.h"
#include "core/fileutil.h"

#include <QFile>

#include <sys/stat.h>

#include <algorithm>

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

CacheCopies::CacheCopies(BackupManifest& manifest, int threads, Landed landed, MayWrite mayWrite)
    : m_manifest(manifest), m_landed(std::move(landed)), m_mayWrite(std::move(mayWrite))
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
    m_done.notify_all();  // copies waiting for their folder
    for (std::thread& thread : m_threads)
        thread.join();
}

void CacheCopies::queue(const BackupFileNode& node, const QString& destPath)
{
    auto copy = std::make_shared<Copy>();
    copy->node = &node;
    copy->destPath = destPath;
    enqueue(copy);
}

void CacheCopies::queueFolder(const BackupFileNode& node, const QString& destPath, std::function<void()> make)
{
    auto folder = std::make_shared<Copy>();
    folder->node = &node;
    folder->destPath = destPath;
    folder->makeFolder = std::move(make);
    enqueue(folder);
}

void CacheCopies::enqueue(const std::shared_ptr<Copy>& copy)
{
    const QString parent = copy->destPath.left(std::max(0, int(copy->destPath.lastIndexOf(QLatin1Char('/')))));
    bool settledNow = false;  // once queued, the copy is the threads' to change
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_foldersLeftOut.contains(parent)) {
            copy->done = true;
            copy->leftOut = true;
        } else {
            copy->within = m_folders.value(parent);
        }
        if (copy->makeFolder) {
            if (copy->leftOut)
                m_foldersLeftOut.insert(copy->destPath);
            else
                m_folders.insert(copy->destPath, copy);
        }
        m_order.push_back(copy);
        settledNow = copy->done;
        if (!settledNow)
            m_waiting.push_back(copy);
        m_destinations.insert(copy->destPath);
    }
    if (settledNow)
        settle(*copy);
    else
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
    if (oldest->makeFolder) {
        const auto folder = m_folders.constFind(oldest->destPath);
        if (folder != m_folders.constEnd() && *folder == oldest)
            m_folders.erase(folder);
    }
    return Outcome{oldest->node, oldest->copied, oldest->failure};
}

void CacheCopies::settle(const Copy& copy)
{
    // A file's copy lies there whole or not at all: one is written under another name first.
    if (m_landed && !copy.makeFolder)
        m_landed(copy.destPath, copy.copied);
}

void CacheCopies::run(Copy& copy)
{
    try {
        if (copy.makeFolder)
            copy.makeFolder();
        else if (!m_mayWrite || m_mayWrite(copy.destPath))
            copy.copied = cacheOne(m_manifest, *copy.node, copy.destPath);
    } catch (...) {
        copy.failure = std::current_exception();
    }
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
        // The folder was queued before, so it is under way on another thread or done already.
        if (copy->within) {
            m_done.wait(lock, [&] { return m_stop || copy->within->done; });
            if (m_stop)
                return;
            copy->leftOut = copy->within->leftOut || copy->within->failure;
            copy->within.reset();
        }
        if (copy->leftOut && copy->makeFolder)
            m_foldersLeftOut.insert(copy->destPath);
        lock.unlock();
        if (!copy->leftOut)
            run(*copy);
        settle(*copy);
        lock.lock();
        if (copy->makeFolder && copy->failure)
            m_foldersLeftOut.insert(copy->destPath);
        else if (copy->makeFolder && !copy->leftOut)
            m_foldersLeftOut.remove(copy->destPath);  // made after all, under another name of the tree
        copy->done = true;
        m_done.notify_all();  // the caller, and copies waiting for this folder
    }
}
