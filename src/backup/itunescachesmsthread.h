#pragma once
// The job that copies a backup's message folder ("Library/SMS") and address-book folder
// ("Library/AddressBook") into a cache folder laid out like the device, decrypting where the
// backup is encrypted, so the message readers open them as they would a device's files:
//   <cache folder>/manifest.db
//   <cache folder>/file-relay/var/mobile/Library/SMS/...
//   <cache folder>/file-relay/var/mobile/Library/AddressBook/...
// A file is copied again only when its record's mtime differs from the one remembered in
// "manifest.db", or when its cached copy is gone.
//
// The manifest's file tree must be loaded (and an encrypted backup unlocked) before the job starts;
// nobody else touches the manifest while the job runs. Reports go through the sink only.
#include "core/progressthrottle.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <QThread>

#include <memory>

class BackupManifest;
class FileHandoff;
struct BackupFileNode;

class ITunesCacheSMSThread : public QThread {
    Q_OBJECT
public:
    // Caches into dataDir()/itunes_cache/<the manifest's cache id>.
    ITunesCacheSMSThread(BackupManifest* manifest, ProgressSink* sink, QObject* parent = nullptr);
    // Caches into cacheDir, which may hold files of others (a device's "ct-phone.db", "recycle.db"):
    // the job only ever removes what it writes itself.
    ITunesCacheSMSThread(BackupManifest* manifest, const QDir& cacheDir, ProgressSink* sink,
                         QObject* parent = nullptr);
    ~ITunesCacheSMSThread() override;

    // Leaves the rest of the cache to handoff: run() then ends as soon as the files the message
    // reader opens (the plain files directly in the message and address-book folders) lie in the
    // cache, and the other files are copied on handoff's thread, each one settled there once it lies
    // in the cache. handoff's end is the cache's: the cache records are committed then, its success
    // text is the rich text of what was left out ("" when nothing), and an error or a cancel of it
    // removes what the run made as the job's own would. A file the handoff's user claims is never
    // written by the job, and stays. Where those files cannot be copied first exactly as
    // the walk would copy them, the whole cache is made before run() ends. The manifest must outlive
    // handoff's work.
    void handOverTo(std::shared_ptr<FileHandoff> handoff) { m_handoff = std::move(handoff); }

    QDir cacheDir() const { return m_cacheDir; }
    // Of the last run, once it has ended (with a handoff, once the handoff has ended):
    // Files copied.
    int copiedFiles() const;
    // Files left out (logged one by one): stored files that are no regular file or do not decrypt,
    // files or folders whose names the cache cannot make (too long, too deep, not contained), and
    // folders where the iOS 5 reader writes an MMS part, with what lies below them.
    // Only the message database itself fails the run instead.
    int skippedFiles() const;
    // The backup paths of what was left out, files or whole folders, in the tree's order.
    QStringList skippedPaths() const;
    // The rich text that tells the user count files were left out, naming the first of paths.
    static QString skippedFilesText(int count, const QStringList& paths);

    // The job's body; public so that tests can run it on their own thread. Ends with exactly one of
    // postSucceed(""), postError(text), or nothing after a cancel. An error or a cancel removes only
    // what the run made: the files it wrote (a copy under way lands first), "manifest.db" when the run
    // created it, and the folders it created that are empty then; its records are dropped. What an
    // earlier run cached stays, and its records with it.
    void run() override;

private:
    struct Walk;

    ProgressSink* m_sink;  // not owned
    ThrottledSink m_posts{m_sink};  // the nodes' names and the final report
    QDir m_cacheDir;
    std::shared_ptr<Walk> m_walk;  // shared with the handoff's thread
    std::shared_ptr<FileHandoff> m_handoff;
};
