#pragma once
// Copies of backup files made on a few threads of their own while the caching job walks on: the
// bytes of one file are read, decrypted and written while the next files are opened and created.
// Outcomes come back in the order the copies were queued, so the job records them (and logs what
// it left out) exactly as if it had copied the files one after another.
#include "platform/seededhash.h"

#include <QString>

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class BackupManifest;
struct BackupFileNode;

class CacheCopies {
public:
    // Told a copy's destination as soon as the copy has ended, on the copying thread, and whether a
    // file now lies there that this copy wrote.
    using Landed = std::function<void(const QString& destPath, bool written)>;
    // Asked on the copying thread before a file is written; false leaves the file alone (not copied).
    using MayWrite = std::function<bool(const QString& destPath)>;
    // manifest must not change while copies run.
    CacheCopies(BackupManifest& manifest, int threads, Landed landed = nullptr, MayWrite mayWrite = nullptr);
    ~CacheCopies();  // drops the copies not begun and waits for those under way
    CacheCopies(const CacheCopies&) = delete;
    CacheCopies& operator=(const CacheCopies&) = delete;

    struct Outcome {
        const BackupFileNode* node;
        bool copied;                 // false when the backup holds no stored file for it
        std::exception_ptr failure;  // null when the copy succeeded
    };
    // Queues the copy of node to destPath: nothing when the backup lists the file but holds no
    // stored file; else a folder found at destPath (left by an older cache) is removed and the file
    // copied with BackupManifest::copyFile.
    void queue(const BackupFileNode& node, const QString& destPath);
    // Queues the making of the folder destPath by make(), which throws what keeps it from being made.
    // Its outcome is never "copied"; the copies and folders queued into it later wait for it, and are
    // left out without an outcome of their own (neither copied nor failed) when it could not be made.
    // Making folders costs the file system more than the bytes of small files do.
    void queueFolder(const BackupFileNode& node, const QString& destPath, std::function<void()> make);
    // Queues the outcome of a copy to destPath made before, for it to be taken in its turn.
    void queueDone(const QString& destPath, const Outcome& outcome);
    // True while a queued copy to destPath has not been taken back: a second copy to the same place
    // must wait for it, or the two could land in either order.
    bool isQueued(const QString& destPath) const;
    int queued() const;
    // The outcome of the oldest queued copy; nullopt when none is queued or, unless wait, when the
    // oldest is not done yet.
    std::optional<Outcome> takeOldest(bool wait);

private:
    struct Copy {
        const BackupFileNode* node;
        QString destPath;
        std::function<void()> makeFolder;  // set for a folder
        std::shared_ptr<Copy> within;      // the queued folder it goes into, made first
        bool done = false;
        bool copied = false;
        bool leftOut = false;  // its folder could not be made
        std::exception_ptr failure;
    };
    // Queues copy, after the folder it goes into when that is still queued or was left out.
    void enqueue(const std::shared_ptr<Copy>& copy);
    void work();
    void run(Copy& copy);
    void settle(const Copy& copy);  // tells the handoff a file's copy is over

    BackupManifest& m_manifest;
    Landed m_landed;
    MayWrite m_mayWrite;
    mutable std::mutex m_mutex;
    std::condition_variable m_work;  // for the threads: a copy is queued, or they stop
    std::condition_variable m_done;  // for the caller: a copy is done
    std::deque<std::shared_ptr<Copy>> m_order;    // every copy not taken back, oldest first
    std::deque<std::shared_ptr<Copy>> m_waiting;  // not begun yet
    // Paths from the backup: keyed by the seeded hash.
    TextSet m_destinations;                          // of m_order
    TextHash<std::shared_ptr<Copy>> m_folders;       // folders queued, until taken back
    TextSet m_foldersLeftOut;                        // folders that could not be made, or left out
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};
