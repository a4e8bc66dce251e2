#include "backup/itunescachesmsthread.h"

#include "backup/backupmanifest.h"
#include "backup/cachecopies.h"
#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "core/htmltext.h"
#include "core/jobguard.h"
#include "core/progresssink.h"
#include "core/safepath.h"
#include "msgdb/attachmentpath.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
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

// The name a child gets in the cache, the one the readers look for; "" when it can have none.
QString cacheNameOf(const BackupFileNode& child)
{
    const QString name = deviceFileName(child.name);
    return isPlainComponent(name) ? name : QString();
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

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest* manifest, ProgressSink* sink, QObject* parent)
    : ITunesCacheSMSThread(manifest, defaultCacheDir(*manifest), sink, parent)
{
}

ITunesCacheSMSThread::ITunesCacheSMSThread(BackupManifest* manifest, const QDir& cacheDir, ProgressSink* sink,
                                           QObject* parent)
    : QThread(parent),
      m_manifest(manifest),
      m_sink(sink),
      m_cacheDir(cacheDir.absolutePath()),
      m_cacheDb(m_cacheDir.absoluteFilePath(kCacheDbName))
{
}

ITunesCacheSMSThread::~ITunesCacheSMSThread() = default;

void ITunesCacheSMSThread::run()
{
    m_copiedFiles = 0;
    m_skippedFiles = 0;
    m_skippedPaths.clear();
    m_createdFolders.clear();
    ProgressSink::postUpdateProgress(m_sink, tr("IDS_LOADING_ITUNES_BACKUP"), 99, QString());

    const BackupFileNode* library = m_manifest->root.childNamed(QStringLiteral("Library"));
    const BackupFileNode* sms = library ? library->childNamed(kSmsFolder) : nullptr;
    const BackupFileNode* addressBook = library ? library->childNamed(kAddressBookFolder) : nullptr;
    if (!sms) {
        ProgressSink::postError(m_sink, tr("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP"));
        return;
    }

    runGuarded(
        &m_posts,
        [&] {
            makeTargetFolder();
            m_copies = std::make_unique<CacheCopies>(*m_manifest, qBound(1, QThread::idealThreadCount(), kCopyThreads));
            cacheTree(*sms, kLibraryPath + QLatin1Char('/') + kSmsFolder);
            if (addressBook)
                cacheTree(*addressBook, kLibraryPath + QLatin1Char('/') + kAddressBookFolder);
            takeCopies(0);
            m_copies.reset();
            try {
                m_cacheDb.commit();
            } catch (const std::exception& error) {
                // The copies are good; without their rows they are merely copied again next time.
                qWarning().nospace() << "backup cache: " << error.what();
            }
            ProgressSink::postSucceed(&m_posts, QString());
        },
        [this] { removeOwnedFiles(); });
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

void ITunesCacheSMSThread::makeTargetFolder()
{
    // The cache folder may be reached through links (a data folder moved to another disk); the
    // folders below it are the job's own, and a link found in their place is replaced.
    const QString base = m_cacheDir.absolutePath();
    if (!QFileInfo(base).isDir())
        m_createdFolders << base;
    if (!makePrivatePath(base))
        throwUtf8(QStringLiteral("Cannot create the folder %1.").arg(base));
    QString path = base;
    for (const QString& part : (kFileRelay + QLatin1Char('/') + kLibraryPath).split(QLatin1Char('/'))) {
        path += QLatin1Char('/') + part;
        if (!isRealFolder(path))
            m_createdFolders << path;
        if (const int error = ensureFolder(path))
            throwUtf8(QStringLiteral("Cannot create the folder %1: %2").arg(path, systemErrorText(error)));
    }
}

void ITunesCacheSMSThread::cacheTree(const BackupFileNode& top, const QString& relativePath)
{
    const QString fileRelayPath = m_cacheDir.absoluteFilePath(kFileRelay);
    const ContainedFolder fileRelay(fileRelayPath);
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
        if (ProgressSink::isCancelled(m_sink))
            throw kCancelled;
        if (isLinkRecord(node.record))
            continue;
        try {
            if (entry.depth > kMaxDepth)
                refuse(node, QStringLiteral("it lies more than %1 folders deep.").arg(kMaxDepth));
            // The cache holds no links: one planted in a copy's place goes rather than be followed.
            const QString planted = fileRelayPath + QLatin1Char('/') + entry.relative;
            if (QFileInfo(planted).isSymLink())
                QFile::remove(planted);
            const std::optional<QString> dest = fileRelay.resolve(entry.relative);
            if (!dest)
                refuse(node, QStringLiteral("its path leads out of the cache folder."));
            if (!node.record.isFolder()) {
                cacheFile(node, *dest);
                continue;
            }
            if (m_copies->isQueued(*dest))
                takeCopies(0);  // a file copied to the same place earlier lands before the folder
            if (const int error = ensureFolder(*dest)) {
                const QString reason = QStringLiteral("cannot create the folder %1: %2").arg(*dest, systemErrorText(error));
                if (!isNameError(error))
                    throwUtf8(backupFileLabel(node.record) + QStringLiteral(": ") + reason);
                refuse(node, reason);
            }
        } catch (const BackupFileError& error) {
            takeCopies(0);  // what was skipped is listed in the tree's order
            skip(node, QString::fromUtf8(error.what()));
            continue;
        }
        for (auto child = node.children.crbegin(); child != node.children.crend(); ++child) {
            const QString name = cacheNameOf(**child);
            if (name.isEmpty()) {
                takeCopies(0);
                skip(**child, backupFileLabel((*child)->record) + QStringLiteral(": its name is no plain file name."));
            } else {
                pending.push_back({child->get(), entry.relative + QLatin1Char('/') + name, entry.depth + 1});
            }
        }
    }
}

void ITunesCacheSMSThread::cacheFile(const BackupFileNode& node, const QString& destPath)
{
    const QString fileId = node.record.fileId();
    const qint64 mtime = node.record.mtime;
    // No row yet is its own state: a file whose mtime is 0 is copied like any other.
    const std::optional<qint64> remembered = m_cacheDb.lastDate(fileId);
    if (remembered == mtime && isCachedFile(destPath))
        return;
    // The copy is first written beside destPath under a name 7 bytes longer.
    if (QFile::encodeName(destPath).size() + 7 >= PATH_MAX)
        refuse(node, QStringLiteral("its path in the cache would be too long."));
    // The earlier copy to the same place lands first, as it always did; and a folder this file
    // replaces (two names can map to one) is left only once the copies into it have landed.
    if (m_copies->isQueued(destPath) || isRealFolder(destPath))
        takeCopies(0);
    m_copies->queue(node, destPath);
}

void ITunesCacheSMSThread::takeCopies(int left)
{
    while (const std::optional<CacheCopies::Outcome> done = m_copies->takeOldest(m_copies->queued() > left)) {
        const BackupFileNode& node = *done->node;
        if (done->failure) {
            try {
                std::rethrow_exception(done->failure);
            } catch (const BackupFileError& error) {
                skip(node, QString::fromUtf8(error.what()));
                continue;
            }
        }
        if (!done->copied)
            continue;
        m_cacheDb.setLastDate(node.record.fileId(), node.record.mtime);
        ++m_copiedFiles;
    }
}

void ITunesCacheSMSThread::skip(const BackupFileNode& node, const QString& reason)
{
    if (isWithin(m_manifest->smsDb, node))
        throwUtf8(reason);  // without its message database the import has nothing to read
    qWarning().noquote() << "backup cache: skipped" << reason;
    m_skippedFiles += filesWithin(node);
    m_skippedPaths << node.record.domain.toString() + QLatin1Char('-') + node.record.path.toString();
}

void ITunesCacheSMSThread::postCaching(const QString& name)
{
    ProgressSink::postUpdateProgress(&m_posts, QString(), -1, tr("IDS_CACHING_BACKUP_FILE_%1").arg(name));
}

void ITunesCacheSMSThread::removeOwnedFiles()
{
    m_copies.reset();  // no copy may land after the removal
    // The connection goes first, so no open handle keeps the file and no later commit brings
    // back rows for copies that are about to be deleted.
    m_cacheDb.rollbackAndClose();
    const QDir library(m_cacheDir.absoluteFilePath(kFileRelay + QLatin1Char('/') + kLibraryPath));
    for (const QString& folder : {kSmsFolder, kAddressBookFolder}) {
        const QString path = library.absoluteFilePath(folder);
        if (!removeDirRecursive(path))
            qWarning().nospace() << "backup cache: could not remove all of " << path;
    }
    for (const QString& suffix : {QString(), QStringLiteral("-journal")})
        QFile::remove(m_cacheDb.path() + suffix);
    // Folders this run made, deepest first; rmdir leaves any that others have filled meanwhile.
    for (auto folder = m_createdFolders.crbegin(); folder != m_createdFolders.crend(); ++folder)
        QDir().rmdir(*folder);
    m_createdFolders.clear();
}
