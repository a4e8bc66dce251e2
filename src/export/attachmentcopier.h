#pragma once
// Copies attachment files into a local database's attachment folders on threads of their own, while
// the caller goes on writing rows: a copy of a large history writes thousands of files, and making
// files and folders costs the file system more than their bytes do, so a few copies run at once.
// Copies into one place run in the order queued, exactly as they would one after another on the
// caller's thread: a source that is no regular file is passed over, a device path that does not lead
// into the attachment folders is logged and passed over, and a destination already there (from
// before, or from an earlier copy of the same run) is kept as it is. Each copy is listed in the
// pending list before it is made, and the files and folders made are remembered for a rollback.
//
// Source files may still be on their way (the rest of a backup's cache, made meanwhile): a copy then
// waits until its source is settled in the handoff, while the copies behind it whose sources are
// there go ahead, except those into the same place, which keep their order. A source whose name
// lost characters is named as the handoff announced it: a sibling's copy may lie under the plain name.
#include "export/pendingcopies.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/records.h"
#include "platform/seededhash.h"

#include <QDir>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class FileHandoff;

class AttachmentCopier {
public:
    // sources, when given, must outlive the copier.
    AttachmentCopier(const QDir& fileRelayDir, PendingCopies& pending, FileHandoff* sources = nullptr);
    ~AttachmentCopier();  // drops what is still queued
    AttachmentCopier(const AttachmentCopier&) = delete;
    AttachmentCopier& operator=(const AttachmentCopier&) = delete;

    // Queues the copy of attachment's file. Throws the error of an earlier copy, if one failed.
    void copy(const _MsgAttachment& attachment);
    // Waits until every queued copy is done; throws the first error (UTF-8 text).
    void finish();
    // Drops the copies not begun yet and waits for those under way.
    void cancel();

    // What the copies made; complete only after finish() or cancel(). Folders deepest last.
    const QStringList& createdFiles() const { return m_createdFiles; }
    const QStringList& createdFolders() const { return m_createdFolders; }

private:
    struct Job {
        AttachmentLocation source;
        QString filename;  // the device path
        QString sourcePath;   // once looked at
        QString destination;  // of a job put off
        qint64 bytes = 0;     // as recorded, bounded
    };
    // One of the threads that copy. Copies into one place always go to the same lane, in order.
    struct Lane {
        std::deque<Job> queue;
        qint64 queuedBytes = 0;  // of the jobs in queue
        std::vector<Job> putOff;  // the lane's thread's, oldest first
        bool busy = false;  // copying a job taken off the queue, or holding jobs put off
        std::condition_variable wake;  // for the lane's thread: work is queued, or the copier stops
        std::unique_ptr<AttachmentArea> area;  // the lane's thread's
        TextSet knownFolders;                  // the lane's thread's: folders seen or made by this run
        std::thread thread;
    };
    void work(Lane& lane);
    // Copies job now, or puts it off while its source is on its way or a copy put off before goes
    // to the same place.
    void place(Lane& lane, Job job);
    // Copies the jobs put off whose turn has come, oldest first; waits a little when none has.
    void retryPutOff(Lane& lane);
    void copyOne(Lane& lane, const Job& job);
    // Makes folder and the missing folders above it, remembering those it made.
    void makeFolder(Lane& lane, const QString& folder);
    AttachmentArea& areaOf(Lane& lane);
    bool isIdle() const;
    void wakeLanes();  // m_mutex held
    void stopLanes();
    void rethrowFailure();

    QDir m_fileRelayDir;
    PendingCopies& m_pending;  // under m_mutex
    FileHandoff* m_sources;    // not owned; may be null
    QStringList m_createdFiles;    // under m_mutex
    QStringList m_createdFolders;  // under m_mutex

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;  // for the rows and finish(): a lane is done with a copy
    std::vector<std::unique_ptr<Lane>> m_lanes;  // started by the first copy
    bool m_stop = false;
    bool m_cancelled = false;  // the jobs put off are dropped too
    std::exception_ptr m_failure;
};
