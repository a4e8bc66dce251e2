#include "core/filehandoff.h"

#include <QDebug>

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
}

void FileHandoff::settle(const QString& path)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_unsettled.remove(path))
            return;
    }
    m_changed.notify_all();
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

std::optional<QString> FileHandoff::finish(const ProgressSink* user)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_end == End::Running) {
        if (ProgressSink::isCancelled(user)) {
            lock.unlock();
            cancel();
            return std::nullopt;
        }
        m_changed.wait_for(lock, kCancelPoll);
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
