#pragma once
// Files one job goes on making on a thread of its own after its dialog has closed, for a later job of
// the same command that uses them meanwhile: the rest of a backup's cache, made while the backup's
// messages are read and copied into a local database.
//
// The maker announces the files it may write and settles each one once it lies there whole (copies
// appear under their final name only when complete), or once it found the file unchanged or left it
// out. The user reads a file once it is settled, and at once when the maker never writes there: what
// it reads is then what it would have read after the whole cache. A file the user writes itself it
// claims first: the maker then leaves it alone, so each path has one writer at a time and the user's
// bytes stay. The maker's end is kept for the user's job, so its error reaches the user's dialog; a
// cancel of the user's job reaches the maker.
#include "core/progresssink.h"
#include "platform/seededhash.h"

#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

class FileHandoff : public ProgressSink {
public:
    FileHandoff() = default;
    ~FileHandoff() override;  // cancels the maker and waits for it
    FileHandoff(const FileHandoff&) = delete;
    FileHandoff& operator=(const FileHandoff&) = delete;

    // --- the maker
    // The files the maker may write and the folders it may make, as absolute clean paths. A file
    // asked for waits until settled; a folder, a path named twice, or a path below one of the files
    // (a file that replaces a folder) waits for the maker's end. Before start().
    void expect(const QStringList& files, const QStringList& folders);
    void settle(const QString& path);
    // Before the maker writes the file path: false when the user has claimed it (the maker then leaves
    // it alone and settles it). A write begun keeps a claim of path waiting until path is settled.
    bool beginWrite(const QString& path);
    // Runs work on a thread of its own, once. work reports through this sink like a job's run():
    // its final post (or none, after a cancel) ends the maker. Without a call, the maker has ended
    // with success text.
    void start(std::function<void()> work);
    void endWith(const QString& successText);

    // The maker's dialog has closed: its progress text is kept for the user's (see finish()). The end
    // is kept.
    void postUpdateProgress(const QString& status, int curProgress, const QString& progressText) override;
    void postError(const QString& text) override;
    void postSucceed(const QString& text) override;
    bool isCancelled() const override { return m_cancelled.load(); }

    // --- the user
    // True once path may be read: settled, never written by the maker, or the maker has ended.
    // Waits at most timeout for it.
    bool waitReady(const QString& path, std::chrono::milliseconds timeout);
    // True once the maker has failed with an error.
    bool hasFailed() const { return m_failed.load(); }
    // Takes the file path over: the maker never writes it from now on. Waits while the maker's write
    // of it is under way; path is ready at once afterwards.
    void claim(const QString& path);
    bool isClaimed(const QString& path) const;
    // True when the maker announced path as a file or a folder it may make: a name its copy has
    // in the cache whether or not it lies there yet.
    bool isAnnounced(const QString& path) const;
    // The share of the expected files settled, in percent; 100 once the maker has ended.
    int percentDone() const;
    // Waits for the maker's end, cancelling it as soon as user is cancelled, and meanwhile shows in
    // user's dialog what it waits for: the maker's last progress text, the bar at percentDone(). The
    // maker's success text; nullopt after a failure or a cancel (takeError() tells them apart).
    std::optional<QString> finish(ProgressSink* user);
    // Cancels the maker when it still runs, and waits for its end.
    void cancel();
    // The maker's error (rich text) when it failed on its own, the first time asked.
    std::optional<QString> takeError();

private:
    enum class End { Running, Succeeded, Failed, Cancelled };
    // The maker may still write path; m_mutex held.
    bool mayChange(const QString& path) const;
    int percentDoneLocked() const;
    void end(End how, const QString& text);
    void join();

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    // Paths from the backup: keyed by the seeded hash.
    TextSet m_unsettled;     // expected files written once, not settled yet
    TextSet m_untilEnd;      // folders, and paths named more than once
    TextSet m_files;         // the expected files: what lies below one waits for the end
    TextSet m_writing;       // files the maker writes now
    TextSet m_claimed;       // files the user writes, never the maker
    int m_expectedOnce = 0;        // files expected once: the measure of percentDone()
    QString m_makerText;           // the maker's last progress text
    End m_end = End::Running;
    QString m_text;  // the success text or the error
    bool m_errorTaken = false;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_failed{false};
    std::mutex m_joinMutex;  // the user's thread and the command's may both wait for the maker
    std::thread m_thread;
};
