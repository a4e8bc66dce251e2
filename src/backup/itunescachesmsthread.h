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
#include "backup/manifestcachedb.h"
#include "core/progressthrottle.h"

#include <QDir>
#include <QString>
#include <QStringList>
#include <QThread>

#include <memory>

class BackupManifest;
class CacheCopies;
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

    QDir cacheDir() const { return m_cacheDir; }
    // Files copied by the last run.
    int copiedFiles() const { return m_copiedFiles; }
    // Files the last run left out (logged one by one): stored files that are no regular file or do
    // not decrypt, and files or folders whose names the cache cannot make (too long, too deep, not
    // contained). Only the message database itself fails the run instead.
    int skippedFiles() const { return m_skippedFiles; }
    // The backup paths of what the last run left out, files or whole folders, in the tree's order.
    QStringList skippedPaths() const { return m_skippedPaths; }
    // The rich text that tells the user count files were left out, naming the first of paths.
    static QString skippedFilesText(int count, const QStringList& paths);

    // The job's body; public so that tests can run it on their own thread. Ends with exactly one of
    // postSucceed(""), postError(text), or nothing after a cancel. After an error or a cancel the
    // cache holds neither this job's folders nor "manifest.db", whatever it held before.
    void run() override;

private:
    // Copies node with everything below it to relativePath below the cache's "file-relay",
    // walking the tree without recursion and skipping what cannot be copied.
    void cacheTree(const BackupFileNode& node, const QString& relativePath);
    void cacheFile(const BackupFileNode& node, const QString& destPath);
    // Records the outcomes of the copies that are done, oldest first, waiting for them until at most
    // left copies remain queued.
    void takeCopies(int left);
    // Leaves node and everything below it out, logging reason; throws reason instead when the
    // message database lies there.
    void skip(const BackupFileNode& node, const QString& reason);
    void postCaching(const QString& name);
    // Creates the "file-relay/var/mobile/Library" chain, remembering which folders are new.
    void makeTargetFolder();
    // Drops this run's database changes, then removes the copied folders, "manifest.db" and the
    // folders this run created, and nothing else.
    void removeOwnedFiles();

    BackupManifest* m_manifest;  // not owned
    ProgressSink* m_sink;        // not owned
    ThrottledSink m_posts{m_sink};  // the nodes' names and the final report
    QDir m_cacheDir;
    ManifestCacheDb m_cacheDb;
    QStringList m_createdFolders;  // deepest last
    std::unique_ptr<CacheCopies> m_copies;  // while the run copies
    int m_copiedFiles = 0;
    int m_skippedFiles = 0;
    QStringList m_skippedPaths;
};
