#include "backup/itunescachesmsthread.h"

#include "backup/backupmanifest.h"
#include "backup/cachecopies.h"
#include "backup/manifestcachedb.h"
#include "core/datadir.h"
#include "core/errors.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "core/htmltext.h"
#include "core/jobguard.h"
#include "core/progresssink.h"
#include "core/safepath.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/messagedbfolder.h"
#include "platform/seededhash.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QVector>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

const QString kFileRelay = QString::fromLatin1(kFileRelayFolder);
const QString kLibraryPath = QStringLiteral("var/mobile/Library");
// The readers look for these names exactly; a backup may spell them in any case.
const QString kSmsFolder = QStringLiteral("SMS");
const QString kAddressBookFolder = QStringLiteral("AddressBook");
const QString kCacheDbName = QStringLiteral("manifest.db");
constexpr int kCancelled = -1;
// Folders below "SMS" or "AddressBook" that the cache makes; attachments lie four deep.
constexpr int kMaxDepth = 64;

// Copies under way at once, and the threads that make them: enough to keep the disk busy while the
// walk opens and creates the next files.
constexpr int kCopyThreads = 4;
constexpr int kMaxQueuedCopies = 256;

constexpr quint16 kTypeMask = 0170000;
constexpr quint16 kSymlinkType = 0120000;

// One path component taken as it stands: no separators, never "", "." or "..".
bool isPlainComponent(const QString& name)
{
    return isSafeRelativePath(name) && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

// Links have no stored file; copying them could only ever produce a link, which the cache never holds.
bool isLinkRecord(const MbdbRecord& record)
{
    return record.linkTarget.isPresent() || (record.mode & kTypeMask) == kSymlinkType;
}

// The names the children of folder get in the cache, in the children's order, the ones the readers
// look for: a name that loses characters takes its distinct name where it would meet another
// child's, and keeps the plain one otherwise. "" where a child can have none.
QStringList cacheNamesOf(const BackupFileNode& folder)
{
    QMap<QString, int> plainNames;  // ordered: the names are the backup's
    for (const std::unique_ptr<BackupFileNode>& child : folder.children)
        ++plainNames[deviceFileName(child->name)];
    QStringList names;
    names.reserve(int(folder.children.size()));
    for (const std::unique_ptr<BackupFileNode>& child : folder.children) {
        const QString plain = deviceFileName(child->name);
        const QString name = plainNames.value(plain) > 1 ? distinctDeviceFileName(child->name) : plain;
        names << (isPlainComponent(name) ? name : QString());
    }
    return names;
}

// The device tree's folders the cache copies, as the backup's paths begin below them.
bool isCachedArea(const QString& path)
{
    return path.startsWith(QLatin1String("Library/SMS/"), Qt::CaseInsensitive)
           || path.startsWith(QLatin1String("Library/AddressBook/"), Qt::CaseInsensitive);
}

// The cache makes no folder where the iOS 5 reader writes an MMS part kept in the message database.
bool isMmsPartPlace(const QString& relative)
{
    return mmsPartPlaceOf(relative) == MmsPartPlace::At;
}

bool isRealFolder(const QString& path)
{
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
}

// Makes a folder at path, replacing a file or a link found there (the cache never writes through
// links). 0, or the errno of the failure.
int ensureFolder(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::mkdir(name.constData(), S_IRWXU) == 0)
        return 0;
    struct stat status {};
    if (errno != EEXIST || ::lstat(name.constData(), &status) != 0)
        return errno;
    if (S_ISDIR(status.st_mode))
        return 0;
    if (::unlink(name.constData()) != 0)
        return errno;
    return ::mkdir(name.constData(), S_IRWXU) == 0 ? 0 : errno;
}

// Failures of a name the file system will not take, as opposed to the cache's own trouble (a full
// disk, no access), which no other name would escape.
bool isNameError(int errorNumber)
{
    return errorNumber == ENAMETOOLONG || errorNumber == EINVAL || errorNumber == EILSEQ;
}

// A file as a cached copy: a regular file, not a link or a folder.
bool isCachedFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
}

// Files at or below top that the cache would hold.
int filesWithin(const BackupFileNode& top)
{
    int count = 0;
    std::vector<const BackupFileNode*> pending{&top};
    while (!pending.empty()) {
        const BackupFileNode* node = pending.back();
        pending.pop_back();
        if (isLinkRecord(node->record))
            continue;
        count += node->record.isFolder() ? 0 : 1;
        for (const std::unique_ptr<BackupFileNode>& child : node->children)
            pending.push_back(child.get());
    }
    return count;
}

bool isWithin(const BackupFileNode* node, const BackupFileNode& top)
{
    for (; node; node = node->parent)
        if (node == &top)
            return true;
    return false;
}

[[noreturn]] void refuse(const BackupFileNode& node, const QString& reason)
{
    throw BackupFileError(QStringLiteral("%1: %2").arg(backupFileLabel(node.record), reason).toUtf8().toStdString());
}

QDir defaultCacheDir(const BackupManifest& manifest)
{
    return QDir(dataFolderPath(DataFolder::BackupCache) + QLatin1Char('/') + manifest.cacheId());
}

}  // namespace

// The walk over the backup's tree and what it keeps: one run of the job, or the rest of it on a
// handoff's thread. One thread at a time.
struct ITunesCacheSMSThread::Walk {
    Walk(BackupManifest* manifest, const QDir& cacheDir)
        : manifest(manifest), cacheDir(cacheDir), cacheDb(cacheDir.absoluteFilePath(kCacheDbName))
    {
    }

    void begin(FileHandoff* handoff);
    // Throws what the reader would say of the backup's message database when it is about to replace
    // a cached one; checked before the run writes anything, so a refused one leaves the cache whole.
    void checkMessageDbFirst();
    // Copies node with everything below it to relativePath below the cache's "file-relay",
    // walking the tree without recursion and skipping what cannot be copied.
    void cacheTree(const BackupFileNode& node, const QString& relativePath);
    void cacheFile(const BackupFileNode& node, const QString& destPath);
    // The plain files directly in the message and address-book folders, copied before the walk,
    // which takes their outcomes in its turn; false (nothing copied) when the walk could reach them
    // otherwise than as copied here.
    bool copyReaderFilesFirst(const BackupFileNode& sms, const BackupFileNode* addressBook);
    using Places = QVector<QPair<const BackupFileNode*, QString>>;
    // The plain files directly in folder with their places in the cache; nullopt when the walk
    // could reach one of them otherwise.
    std::optional<Places> readerFiles(const BackupFileNode& folder, const QString& relative);
    // The files and folders the walk may write below top, for the handoff.
    void announce(const BackupFileNode& top, const QString& relative, QStringList& files, QStringList& folders) const;
    // Ends the copies and commits the records.
    void end();
    // Records the outcomes of the copies that are done, oldest first, waiting for them until at most
    // left copies remain queued.
    void takeCopies(int left);
    // Leaves node and everything below it out, logging reason; throws reason instead when the
    // message database lies there.
    void skip(const BackupFileNode& node, const QString& reason, bool withBelow = true);
    // Leaves out what the tree holds below file, a file that the backup also uses as a folder.
    void skipBelowFile(const BackupFileNode& file);
    // Counts the files of the copied folders the tree left out for their paths.
    void skipUnsafeRecords();
    void postCaching(const QString& name);
    // Creates the "file-relay/var/mobile/Library" chain, remembering which folders are new.
    void makeTargetFolder();
    // ensureFolder, remembering the folder when this run made it. Any thread.
    int makeFolder(const QString& path);
    // Drops this run's database changes, then removes the files this run wrote, "manifest.db" when
    // this run created it and the folders this run created that are empty then, and nothing else: a
    // cache an earlier run completed stays whole.
    void removeOwnedFiles();
    QString skippedNote() const
    {
        return skippedFiles > 0 ? ITunesCacheSMSThread::skippedFilesText(skippedFiles, skippedPaths) : QString();
    }
    QString destOf(const QString& relative) const { return QDir::cleanPath(fileRelayPath() + QLatin1Char('/') + relative); }
    QString fileRelayPath() const { return cacheDir.absoluteFilePath(kFileRelay); }

    BackupManifest* manifest;    // not owned
    ProgressSink* sink = nullptr;  // where the walk posts and looks for a cancel
    FileHandoff* handoff = nullptr;  // told of each file the walk is done with; may be null
    QDir cacheDir;
    ManifestCacheDb cacheDb;
    // What this run made, also on the copying threads.
    struct Made {
        std::mutex mutex;
        QStringList files;    // written whole
        QStringList folders;  // a folder before those made inside it
        bool cacheDb = false;
    } made;
    std::unique_ptr<CacheCopies> copies;  // while the run copies
    QHash<const BackupFileNode*, CacheCopies::Outcome> copiedFirst;  // until the walk takes them
    int copiedFiles = 0;
    int skippedFiles = 0;
    QStringList skippedPaths;
};

void ITunesCacheSMSThread::Walk::begin(FileHandoff* fileHandoff)
{
    handoff = fileHandoff;
    {
        const std::lock_guard<std::mutex> lock(made.mutex);
        made.files.clear();
        made.folders.clear();
        const QFileInfo db(cacheDb.path());
        made.cacheDb = !db.exists() && !db.isSymLink();
    }
    makeTargetFolder();
    CacheCopies::Landed landed = [this](const QString& path, bool written) {
        if (written) {
            const std::lock_guard<std::mutex> lock(made.mutex);
            made.files << path;
        }
        if (handoff)
            handoff->settle(path);
    };
    // A file the reader of the cache writes itself (an MMS part kept in the message database) has
    // that one writer, whichever of the two comes first.
    CacheCopies::MayWrite mayWrite;
    if (handoff)
        mayWrite = [handoff = handoff](const QString& path) { return handoff->beginWrite(path); };
    copies = std::make_unique<CacheCopies>(*manifest, qBound(1, QThread::idealThreadCount(), kCopyThreads),
                                           std::move(landed), std::move(mayWrite));
}

void ITunesCacheSMSThread::Walk::checkMessageDbFirst()
{
    const BackupFileNode* db = manifest->smsDb;
    const QString cached = messageDbPath(cacheDir);
    if (!db || isLinkRecord(db->record) || !isCachedFile(cached))
        return;  // no good copy to keep, or none the walk would replace
    if (db->record.isFolder())
        refuse(*db, QStringLiteral("it is a folder, not a message database."));
    const QFileInfo stored(manifest->backupDir.absoluteFilePath(db->record.fileId()));
    if ((!stored.exists() && !stored.isSymLink()) || cacheDb.lastDate(db->record.fileId()) == db->record.mtime)
        return;
    // Opened as the reader opens it, in a folder laid out as the cache is.
    const QDir staging(cacheDir.absoluteFilePath(QStringLiteral("sms.db.new")));
    removeDirRecursive(staging.absolutePath());  // left by a run that was stopped
    const auto removeStaging = [&staging] { removeDirRecursive(staging.absolutePath()); };
    try {
        const QString staged = messageDbPath(staging);
        if (!makePrivatePath(QFileInfo(staged).path()))
            throwUtf8(QStringLiteral("Cannot create the folder %1.").arg(QFileInfo(staged).path()));
        manifest->copyFile(*db, staged);
        openMessageDbFolder(staging)->open();
    } catch (...) {
        removeStaging();
        throw;
    }
    removeStaging();
}

void ITunesCacheSMSThread::Walk::end()
{
    takeCopies(0);
    copies.reset();
    try {
        cacheDb.commit();
    } catch (const std::exception& error) {
        // The copies are good; without their rows they are merely copied again next time.
        qWarning().nospace() << "backup cache: " << error.what();
    }
}

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest* manifest, ProgressSink* sink, QObject* parent)
    : ITunesCacheSMSThread(manifest, defaultCacheDir(*manifest), sink, parent)
{
}

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest* manifest, const QDir& cacheDir, ProgressSink* sink,
                                           QObject* parent)
    : QThread(parent),
      m_sink(sink),
      m_cacheDir(cacheDir.absolutePath()),
      m_walk(std::make_shared<Walk>(manifest, m_cacheDir))
{
}

ITunesCacheSMSThread::~ITunesCacheSMSThread() = default;

int ITunesCacheSMSThread::copiedFiles() const
{
    return m_walk->copiedFiles;
}

int ITunesCacheSMSThread::skippedFiles() const
{
    return m_walk->skippedFiles;
}

QStringList ITunesCacheSMSThread::skippedPaths() const
{
    return m_walk->skippedPaths;
}

void ITunesCacheSMSThread::run()
{
    Walk& walk = *m_walk;
    walk.copiedFiles = 0;
    walk.skippedFiles = 0;
    walk.skippedPaths.clear();
    walk.sink = &m_posts;
    ProgressSink::postUpdateProgress(m_sink, tr("IDS_LOADING_ITUNES_BACKUP"), 99, QString());

    const BackupFileNode* library = walk.manifest->root.childNamed(QStringLiteral("Library"));
    const BackupFileNode* sms = library ? library->childNamed(kSmsFolder) : nullptr;
    const BackupFileNode* addressBook = library ? library->childNamed(kAddressBookFolder) : nullptr;
    if (!sms) {
        ProgressSink::postError(m_sink, tr("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP"));
        return;
    }
    const QString smsPath = kLibraryPath + QLatin1Char('/') + kSmsFolder;
    const QString addressBookPath = kLibraryPath + QLatin1Char('/') + kAddressBookFolder;
    const auto cacheRest = [sms, addressBook, smsPath, addressBookPath](Walk& walk) {
        walk.cacheTree(*sms, smsPath);
        if (addressBook)
            walk.cacheTree(*addressBook, addressBookPath);
        walk.end();
        walk.skipUnsafeRecords();
    };

    runGuarded(
        &m_posts,
        [&] {
            walk.begin(m_handoff.get());
            walk.checkMessageDbFirst();
            if (m_handoff) {
                QStringList files;
                QStringList folders;
                walk.announce(*sms, smsPath, files, folders);
                if (addressBook)
                    walk.announce(*addressBook, addressBookPath, files, folders);
                m_handoff->expect(files, folders);
                if (walk.copyReaderFilesFirst(*sms, addressBook)) {
                    // The walk goes on where nobody waits for it; the handoff outlives this job.
                    FileHandoff* handoff = m_handoff.get();
                    handoff->start([handoff, walk = m_walk, cacheRest] {
                        walk->sink = handoff;
                        runGuarded(
                            handoff,
                            [&] {
                                cacheRest(*walk);
                                ProgressSink::postSucceed(handoff, walk->skippedNote());
                            },
                            [&] { walk->removeOwnedFiles(); });
                    });
                    ProgressSink::postSucceed(&m_posts, QString());
                    return;
                }
            }
            cacheRest(walk);
            if (m_handoff)
                m_handoff->endWith(walk.skippedNote());
            ProgressSink::postSucceed(&m_posts, QString());
        },
        [&walk] { walk.removeOwnedFiles(); });
}

QString ITunesCacheSMSThread::skippedFilesText(int count, const QStringList& paths)
{
    constexpr int kNamedAtMost = 20;  // the log names every one
    QString text = tr("IDS_SKIPPED_%1_BACKUP_FILES").arg(count);
    for (const QString& path : paths.mid(0, kNamedAtMost))
        text += QStringLiteral("<br/>") + htmlEscape(path);
    if (paths.size() > kNamedAtMost)
        text += QStringLiteral("<br/>...");
    return text;
}

void ITunesCacheSMSThread::Walk::makeTargetFolder()
{
    // The cache folder may be reached through links (a data folder moved to another disk); the
    // folders below it are the job's own, and a link found in their place is replaced.
    const QString base = cacheDir.absolutePath();
    if (!QFileInfo(base).isDir()) {
        const std::lock_guard<std::mutex> lock(made.mutex);
        made.folders << base;
    }
    if (!makePrivatePath(base))
        throwUtf8(QStringLiteral("Cannot create the folder %1.").arg(base));
    QString path = base;
    for (const QString& part : (kFileRelay + QLatin1Char('/') + kLibraryPath).split(QLatin1Char('/'))) {
        path += QLatin1Char('/') + part;
        if (const int error = makeFolder(path))
            throwUtf8(QStringLiteral("Cannot create the folder %1: %2").arg(path, systemErrorText(error)));
    }
}

int ITunesCacheSMSThread::Walk::makeFolder(const QString& path)
{
    const bool existed = isRealFolder(path);
    const int error = ensureFolder(path);
    if (error == 0 && !existed) {
        const std::lock_guard<std::mutex> lock(made.mutex);
        made.folders << path;
    }
    return error;
}

void ITunesCacheSMSThread::Walk::announce(const BackupFileNode& top, const QString& relative, QStringList& files,
                                          QStringList& folders) const
{
    // The names as cacheTree makes them, without looking at the disk: a file the walk refuses
    // instead is simply settled at the end.
    std::vector<std::pair<const BackupFileNode*, QString>> pending{{&top, relative}};
    while (!pending.empty()) {
        const auto [node, path] = std::move(pending.back());
        pending.pop_back();
        if (isLinkRecord(node->record))
            continue;
        if (!node->record.isFolder()) {
            files << destOf(path);
            continue;
        }
        if (isMmsPartPlace(path))
            continue;
        folders << destOf(path);
        const QStringList names = cacheNamesOf(*node);
        for (std::size_t i = 0; i < node->children.size(); ++i) {
            if (!names.at(int(i)).isEmpty())
                pending.emplace_back(node->children[i].get(), path + QLatin1Char('/') + names.at(int(i)));
        }
    }
}

bool ITunesCacheSMSThread::Walk::copyReaderFilesFirst(const BackupFileNode& sms, const BackupFileNode* addressBook)
{
    std::optional<Places> files = readerFiles(sms, kLibraryPath + QLatin1Char('/') + kSmsFolder);
    if (files && addressBook) {
        const std::optional<Places> more = readerFiles(*addressBook, kLibraryPath + QLatin1Char('/') + kAddressBookFolder);
        files = more ? std::optional<Places>(*files + *more) : std::nullopt;
    }
    if (!files)
        return false;
    for (const auto& [node, dest] : *files) {
        const std::optional<qint64> remembered = cacheDb.lastDate(node->record.fileId());
        if (remembered == node->record.mtime && isCachedFile(dest)) {
            copiedFirst.insert(node, {node, false, nullptr});
            if (handoff)
                handoff->settle(dest);
        } else {
            copies->queue(*node, dest);
        }
    }
    while (const std::optional<CacheCopies::Outcome> done = copies->takeOldest(true))
        copiedFirst.insert(done->node, *done);
    // Without its message database the reader has nothing to read: the walk would fail on it too.
    const auto smsDb = copiedFirst.constFind(manifest->smsDb);
    if (smsDb != copiedFirst.constEnd() && smsDb->failure) {
        try {
            std::rethrow_exception(smsDb->failure);
        } catch (const BackupFileError& error) {
            skip(*manifest->smsDb, QString::fromUtf8(error.what()));
        }
    }
    return true;
}

std::optional<ITunesCacheSMSThread::Walk::Places> ITunesCacheSMSThread::Walk::readerFiles(const BackupFileNode& folder,
                                                                                          const QString& relative)
{
    // Only where the walk reaches every such file under the same name, and nothing else there under
    // that name: then a copy made now is the copy the walk would make.
    if (isLinkRecord(folder.record) || !folder.record.isFolder())
        return std::nullopt;
    const ContainedFolder fileRelay(fileRelayPath());
    const std::optional<QString> folderDest = fileRelay.resolve(relative);
    if (!folderDest || QFileInfo(*folderDest).isSymLink() || makeFolder(*folderDest) != 0)
        return std::nullopt;
    const QStringList childNames = cacheNamesOf(folder);
    QMap<QString, int> names;
    for (const QString& name : childNames)
        ++names[name];
    Places places;
    for (std::size_t i = 0; i < folder.children.size(); ++i) {
        const BackupFileNode* child = folder.children[i].get();
        const QString& name = childNames.at(int(i));
        if (name.isEmpty() || isLinkRecord(child->record) || child->record.isFolder())
            continue;
        if (!child->children.empty())
            return std::nullopt;  // the walk tells of what lies below it
        const QString childRelative = relative + QLatin1Char('/') + name;
        const std::optional<QString> dest = fileRelay.resolve(childRelative);
        if (names.value(name) > 1 || !dest || *dest != destOf(childRelative) || QFileInfo(*dest).isSymLink()
            || QFile::encodeName(*dest).size() + 7 >= PATH_MAX)
            return std::nullopt;
        places.append({child, *dest});
    }
    return places;
}

void ITunesCacheSMSThread::Walk::cacheTree(const BackupFileNode& top, const QString& relativePath)
{
    const QString fileRelayDir = fileRelayPath();
    const ContainedFolder fileRelay(fileRelayDir);
    struct Pending {
        const BackupFileNode* node;
        QString relative;
        int depth;  // folders below top
    };
    // Children are pushed in reverse so they come off the stack in the tree's order.
    std::vector<Pending> pending{{&top, relativePath, 0}};
    while (!pending.empty()) {
        const Pending entry = std::move(pending.back());
        pending.pop_back();
        takeCopies(kMaxQueuedCopies);
        const BackupFileNode& node = *entry.node;
        postCaching(node.name);
        if (ProgressSink::isCancelled(sink))
            throw kCancelled;
        if (isLinkRecord(node.record))
            continue;
        try {
            if (entry.depth > kMaxDepth)
                refuse(node, QStringLiteral("it lies more than %1 folders deep.").arg(kMaxDepth));
            const auto early = copiedFirst.constFind(&node);
            if (early != copiedFirst.constEnd()) {
                copies->queueDone(destOf(entry.relative), *early);
                copiedFirst.erase(early);
                continue;
            }
            // The cache holds no links: one planted in a copy's place goes rather than be followed.
            const QString planted = fileRelayDir + QLatin1Char('/') + entry.relative;
            if (QFileInfo(planted).isSymLink())
                QFile::remove(planted);
            const std::optional<QString> dest = fileRelay.resolve(entry.relative);
            if (!dest)
                refuse(node, QStringLiteral("its path leads out of the cache folder."));
            if (!node.record.isFolder()) {
                cacheFile(node, *dest);
                skipBelowFile(node);
                continue;
            }
            if (isMmsPartPlace(entry.relative))
                refuse(node, QStringLiteral("its place is an MMS part's file in the message database."));
            if (copies->isQueued(*dest))
                takeCopies(0);  // a file copied to the same place earlier lands before the folder
            // Made beside the copies; what goes into it waits for it, and is left out with it.
            copies->queueFolder(node, *dest, [this, &node, path = *dest] {
                if (const int error = makeFolder(path)) {
                    const QString reason =
                        QStringLiteral("cannot create the folder %1: %2").arg(path, systemErrorText(error));
                    if (!isNameError(error))
                        throwUtf8(backupFileLabel(node.record) + QStringLiteral(": ") + reason);
                    refuse(node, reason);
                }
            });
        } catch (const BackupFileError& error) {
            takeCopies(0);  // what was skipped is listed in the tree's order
            skip(node, QString::fromUtf8(error.what()));
            continue;
        }
        QStringList names = cacheNamesOf(node);
        TextSet taken;  // in the tree's order: the first child keeps a name two would share
        for (QString& name : names) {
            if (!name.isEmpty() && taken.contains(name))
                name = QStringLiteral("/");  // no name can hold "/"
            taken.insert(name);
        }
        for (int i = int(node.children.size()) - 1; i >= 0; --i) {
            const BackupFileNode& child = *node.children[std::size_t(i)];
            const QString& name = names.at(i);
            if (name.isEmpty() || name == QLatin1String("/")) {
                const QString reason = name.isEmpty() ? QStringLiteral(": its name is no plain file name.")
                                                      : QStringLiteral(": another file of its folder has its name.");
                takeCopies(0);
                skip(child, backupFileLabel(child.record) + reason);
            } else {
                pending.push_back({&child, entry.relative + QLatin1Char('/') + name, entry.depth + 1});
            }
        }
    }
}

void ITunesCacheSMSThread::Walk::cacheFile(const BackupFileNode& node, const QString& destPath)
{
    const QString fileId = node.record.fileId();
    const qint64 mtime = node.record.mtime;
    // No row yet is its own state: a file whose mtime is 0 is copied like any other.
    const std::optional<qint64> remembered = cacheDb.lastDate(fileId);
    if (remembered == mtime && isCachedFile(destPath)) {
        if (handoff)
            handoff->settle(destPath);
        return;
    }
    // The copy is first written beside destPath under a name 7 bytes longer.
    if (QFile::encodeName(destPath).size() + 7 >= PATH_MAX)
        refuse(node, QStringLiteral("its path in the cache would be too long."));
    // The earlier copy to the same place lands first, as it always did; and a folder this file
    // replaces (two names can map to one) is left only once the copies into it have landed.
    if (copies->isQueued(destPath) || isRealFolder(destPath))
        takeCopies(0);
    copies->queue(node, destPath);
}

void ITunesCacheSMSThread::Walk::skipBelowFile(const BackupFileNode& file)
{
    if (file.children.empty())
        return;
    takeCopies(0);
    for (const std::unique_ptr<BackupFileNode>& child : file.children)
        skip(*child, backupFileLabel(child->record) + QStringLiteral(": its folder is also a file in the backup."));
}

void ITunesCacheSMSThread::Walk::skipUnsafeRecords()
{
    for (const MbdbRecord& record : qAsConst(manifest->unsafeRecords)) {
        if (record.isFolder() || isLinkRecord(record) || !isCachedArea(record.path.toString())
            || record.domain.toString().startsWith(QLatin1String("AppDomain-")))
            continue;
        qWarning().noquote() << "backup cache: skipped" << backupFileLabel(record)
                             << ": its path holds an empty, \".\" or \"..\" component.";
        ++skippedFiles;
        skippedPaths << record.domain.toString() + QLatin1Char('-') + record.path.toString();
    }
}

void ITunesCacheSMSThread::Walk::takeCopies(int left)
{
    while (const std::optional<CacheCopies::Outcome> done = copies->takeOldest(copies->queued() > left)) {
        const BackupFileNode& node = *done->node;
        if (done->failure) {
            try {
                std::rethrow_exception(done->failure);
            } catch (const BackupFileError& error) {
                // A file's copy: what lies below it was left out when it was queued.
                skip(node, QString::fromUtf8(error.what()), node.record.isFolder());
                continue;
            }
        }
        if (!done->copied)
            continue;
        cacheDb.setLastDate(node.record.fileId(), node.record.mtime);
        ++copiedFiles;
    }
}

void ITunesCacheSMSThread::Walk::skip(const BackupFileNode& node, const QString& reason, bool withBelow)
{
    if (isWithin(manifest->smsDb, node))
        throwUtf8(reason);  // without its message database the import has nothing to read
    qWarning().noquote() << "backup cache: skipped" << reason;
    skippedFiles += withBelow ? filesWithin(node) : 1;
    skippedPaths << node.record.domain.toString() + QLatin1Char('-') + node.record.path.toString();
}

void ITunesCacheSMSThread::Walk::postCaching(const QString& name)
{
    ProgressSink::postUpdateProgress(sink, QString(), -1,
                                     ITunesCacheSMSThread::tr("IDS_CACHING_BACKUP_FILE_%1").arg(name));
}

void ITunesCacheSMSThread::Walk::removeOwnedFiles()
{
    copies.reset();  // no copy may land after the removal
    copiedFirst.clear();
    // The connection goes first, so no open handle keeps the file and no later commit brings
    // back rows for copies that are about to be deleted.
    cacheDb.rollbackAndClose();
    const std::lock_guard<std::mutex> lock(made.mutex);
    // The rows of the files this run replaced are the older ones again: without a file in their
    // place those are copied anew next time. A file the reader has taken over is the reader's.
    for (const QString& file : qAsConst(made.files))
        if (!(handoff && handoff->isClaimed(file)) && !QFile::remove(file) && QFileInfo::exists(file))
            qWarning().nospace() << "backup cache: could not remove " << file;
    if (made.cacheDb)
        for (const QString& suffix : {QString(), QStringLiteral("-journal")})
            QFile::remove(cacheDb.path() + suffix);
    // Folders this run made, deepest first; rmdir leaves any that others have filled meanwhile.
    for (auto folder = made.folders.crbegin(); folder != made.folders.crend(); ++folder)
        QDir().rmdir(*folder);
    made.files.clear();
    made.folders.clear();
}
