#include "core/filehandoff.h"

#include <QDebug>

#include <utility>

namespace {

// How often a wait looks at the user's cancel flag, which nobody signals.
constexpr std::chrono::milliseconds kCancelPoll{50};

}  // namespace

FileHandoff::~FileHandoff()
{
    cancel();
}

void FileHandoff::expect(const QStringList& files, const QStringList& folders)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    // A folder may replace a file an older run left, so the path is final only at the end.
    for (const QString& folder : folders)
        m_untilEnd.insert(folder);
    for (const QString& file : files) {
        const bool again = m_files.contains(file) || m_untilEnd.contains(file);
        m_files.insert(file);
        if (again) {
            m_unsettled.remove(file);
            m_untilEnd.insert(file);
        } else {
            m_unsettled.insert(file);
        }
    }
    m_expectedOnce = m_unsettled.size();
}

void FileHandoff::settle(const QString& path)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const bool wasWriting = m_writing.remove(path);
        if (!m_unsettled.remove(path) && !wasWriting)
            return;
    }
    m_changed.notify_all();
}

bool FileHandoff::beginWrite(const QString& path)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_claimed.contains(path))
        return false;
    m_writing.insert(path);
    return true;
}

void FileHandoff::claim(const QString& path)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return !m_writing.contains(path); });
        m_claimed.insert(path);
        m_unsettled.remove(path);
    }
    m_changed.notify_all();
}

bool FileHandoff::isClaimed(const QString& path) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_claimed.contains(path);
}

bool FileHandoff::isAnnounced(const QString& path) const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_files.contains(path) || m_untilEnd.contains(path);
}

int FileHandoff::percentDone() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return percentDoneLocked();
}

int FileHandoff::percentDoneLocked() const
{
    if (m_end != End::Running || m_expectedOnce == 0)
        return 100;
    // Files the walk leaves out are settled only at the end: the bar never reaches 100 before it.
    const qint64 settled = m_expectedOnce - m_unsettled.size();
    return int(qMin<qint64>(99, settled * 100 / m_expectedOnce));
}

void FileHandoff::postUpdateProgress(const QString&, int, const QString& progressText)
{
    if (progressText.isEmpty())
        return;
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_makerText = progressText;
}

void FileHandoff::start(std::function<void()> work)
{
    m_thread = std::thread([this, work = std::move(work)] {
        work();
        end(End::Cancelled, QString());  // a job posts nothing after a cancel
    });
}

void FileHandoff::endWith(const QString& successText)
{
    end(End::Succeeded, successText);
}

void FileHandoff::postError(const QString& text)
{
    qWarning().noquote() << "background job failed:" << text;
    end(End::Failed, text);
}

void FileHandoff::postSucceed(const QString& text)
{
    end(End::Succeeded, text);
}

void FileHandoff::end(End how, const QString& text)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_end != End::Running)
            return;
        m_end = how;
        m_text = text;
        m_failed = how == End::Failed;
    }
    m_changed.notify_all();
}

bool FileHandoff::mayChange(const QString& path) const
{
    if (m_end != End::Running)
        return false;
    if (m_unsettled.contains(path) || m_untilEnd.contains(path))
        return true;
    // A file replacing a folder of an older cache takes what lay below it.
    for (int slash = path.lastIndexOf(QLatin1Char('/')); slash > 0; slash = path.lastIndexOf(QLatin1Char('/'), slash - 1))
        if (m_files.contains(path.left(slash)))
            return true;
    return false;
}

bool FileHandoff::waitReady(const QString& path, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return !mayChange(path); });
}

std::optional<QString> FileHandoff::finish(ProgressSink* user)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<std::pair<int, QString>> shown;
    while (m_end == End::Running) {
        if (ProgressSink::isCancelled(user)) {
            lock.unlock();
            cancel();
            return std::nullopt;
        }
        // Without this the user's bar would stand full at the last message while the cache goes on.
        const std::pair<int, QString> now{percentDoneLocked(), m_makerText};
        if (now != shown) {
            shown = now;
            lock.unlock();
            ProgressSink::postUpdateProgress(user, QString(), now.first, now.second);
            lock.lock();
        }
        // At most one post per poll, however fast the files settle.
        m_changed.wait_for(lock, kCancelPoll, [this] { return m_end != End::Running; });
    }
    if (m_end != End::Succeeded || ProgressSink::isCancelled(user))
        return std::nullopt;
    return m_text;
}

void FileHandoff::cancel()
{
    m_cancelled = true;
    join();
    end(End::Cancelled, QString());  // a maker never started
}

void FileHandoff::join()
{
    const std::lock_guard<std::mutex> lock(m_joinMutex);
    if (m_thread.joinable() && m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}

std::optional<QString> FileHandoff::takeError()
{
    join();
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_end != End::Failed || m_errorTaken)
        return std::nullopt;
    m_errorTaken = true;
    return m_text;
}
