#pragma once
// Copies attachment files into a local database's attachment folders on a thread of its own, while
// the caller goes on writing rows: a copy of a large history writes thousands of files. Copies run in
// the order queued, exactly as they would one after another on the caller's thread: a source that is
// no regular file is passed over, a device path that does not lead into the attachment folders is
// logged and passed over, and a destination already there (from before, or from an earlier copy of
// the same run) is kept as it is. Each copy is listed in the pending list before it is made, and the
// files and folders made are remembered for a rollback.
//
// Source files may still be on their way (the rest of a backup's cache, made meanwhile): a copy then
// waits until its source is settled in the handoff, while the copies behind it whose sources are
// there go ahead, except those into the same place, which keep their order.
#include "export/pendingcopies.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/records.h"

#include <QDir>
#include <QSet>
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
    // Drops the copies not begun yet and waits for the one under way.
    void cancel();

    // What the copies made, in the order made; complete only after finish() or cancel().
    const QStringList& createdFiles() const { return m_createdFiles; }
    const QStringList& createdFolders() const { return m_createdFolders; }

private:
    struct Job {
        AttachmentLocation source;
        QString filename;  // the device path
        QString sourcePath;   // once looked at
        QString destination;  // of a job put off
    };
    void work();
    // Copies job now, or puts it off while its source is on its way or a copy put off before goes
    // to the same place.
    void place(Job job);
    // Copies the jobs put off whose turn has come, oldest first; waits a little when none has.
    void retryPutOff();
    void copyOne(const Job& job);
    // Makes folder and the missing folders above it, remembering those it made.
    void makeFolder(const QString& folder);
    void rethrowFailure();

    QDir m_fileRelayDir;
    PendingCopies& m_pending;  // the worker's while it runs
    FileHandoff* m_sources;    // not owned; may be null
    std::vector<Job> m_putOff;  // the worker's, oldest first
    std::unique_ptr<AttachmentArea> m_area;  // the worker's; looked at on its first copy
    QSet<QString> m_knownFolders;            // the worker's: folders seen or made by this run
    QStringList m_createdFiles;
    QStringList m_createdFolders;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Job> m_queue;
    bool m_busy = false;  // the worker is copying a job taken off the queue, or holds jobs put off
    bool m_stop = false;
    bool m_cancelled = false;  // the jobs put off are dropped too
    std::exception_ptr m_failure;
    std::thread m_worker;  // started by the first copy
};
