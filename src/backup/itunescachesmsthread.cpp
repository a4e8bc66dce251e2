#include "backup/itunescachesmsthread.h"

#include "backup/backupmanifest.h"
#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "core/jobguard.h"
#include "core/progresssink.h"
#include "core/safepath.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

#include <stdexcept>
#include <utility>
#include <vector>

namespace {

const QString kFileRelay = QStringLiteral("file-relay");
const QString kLibraryPath = QStringLiteral("var/mobile/Library");
// The readers look for these names exactly; a backup may spell them in any case.
const QString kSmsFolder = QStringLiteral("SMS");
const QString kAddressBookFolder = QStringLiteral("AddressBook");
const QString kCacheDbName = QStringLiteral("manifest.db");
constexpr int kCancelled = -1;

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

// The name a child gets in the cache: folders keep theirs, files are made safe; "" to skip it.
QString cacheNameOf(const BackupFileNode& child)
{
    if (!isPlainComponent(child.name)) {
        qWarning().nospace() << "backup cache: skipped a node named " << child.name;
        return QString();
    }
    return child.record.isFolder() ? child.name : sanitizeFileName(child.name);
}

// A folder at path, replacing a file or a link found there (the cache never writes through links).
void ensureFolder(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return;
    if ((info.exists() || info.isSymLink()) && !QFile::remove(path))
        throwUtf8(QStringLiteral("Cannot replace %1 with a folder.").arg(path));
    if (!QDir().mkdir(path))
        throwUtf8(QStringLiteral("Cannot create the folder %1.").arg(path));
}

// A file as a cached copy: a regular file, not a link or a folder.
bool isCachedFile(const QString& path)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink();
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
        m_sink,
        [&] {
            makeTargetFolder();
            cacheTree(*sms, kLibraryPath + QLatin1Char('/') + kSmsFolder);
            if (addressBook)
                cacheTree(*addressBook, kLibraryPath + QLatin1Char('/') + kAddressBookFolder);
            try {
                m_cacheDb.commit();
            } catch (const std::exception& error) {
                // The copies are good; without their rows they are merely copied again next time.
                qWarning().nospace() << "backup cache: " << error.what();
            }
            ProgressSink::postSucceed(m_sink, QString());
        },
        [this] { removeOwnedFiles(); });
}

void ITunesCacheSMSThread::makeTargetFolder()
{
    QString path = m_cacheDir.absolutePath();
    QStringList chain;
    for (const QString& part : (kFileRelay + QLatin1Char('/') + kLibraryPath).split(QLatin1Char('/')))
        chain << (path += QLatin1Char('/') + part);
    chain.prepend(m_cacheDir.absolutePath());
    for (const QString& folder : chain)
        if (!QFileInfo(folder).isDir())
            m_createdFolders << folder;
    if (!QDir().mkpath(chain.last()))
        throwUtf8(QStringLiteral("Cannot create the folder %1.").arg(chain.last()));
}

void ITunesCacheSMSThread::cacheTree(const BackupFileNode& top, const QString& relativePath)
{
    const QString fileRelay = m_cacheDir.absoluteFilePath(kFileRelay);
    // Children are pushed in reverse so they come off the stack in the tree's order.
    std::vector<std::pair<const BackupFileNode*, QString>> pending{{&top, relativePath}};
    while (!pending.empty()) {
        const auto [node, relative] = std::move(pending.back());
        pending.pop_back();
        postCaching(node->name);
        if (ProgressSink::isCancelled(m_sink))
            throw kCancelled;
        if (isLinkRecord(node->record))
            continue;
        const std::optional<QString> dest = resolveContained(fileRelay, relative);
        if (!dest)
            continue;  // logged by the helper
        if (!node->record.isFolder()) {
            cacheFile(*node, *dest);
            continue;
        }
        ensureFolder(*dest);
        for (auto child = node->children.crbegin(); child != node->children.crend(); ++child) {
            const QString name = cacheNameOf(**child);
            if (!name.isEmpty())
                pending.emplace_back(child->get(), relative + QLatin1Char('/') + name);
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
    if (!QFileInfo(m_manifest->backupDir.absoluteFilePath(fileId)).isFile())
        return;  // listed but not backed up: nothing to copy
    // An older cache may hold a folder where the backup has a file (an empty "sms.db-wal").
    const QFileInfo existing(destPath);
    if (existing.isDir() && !existing.isSymLink() && !removeDirRecursive(destPath))
        throwUtf8(QStringLiteral("Cannot replace the folder %1 with a file.").arg(destPath));
    m_manifest->copyFile(node, destPath);
    m_cacheDb.setLastDate(fileId, mtime);
    ++m_copiedFiles;
}

void ITunesCacheSMSThread::postCaching(const QString& name)
{
    ProgressSink::postUpdateProgress(m_sink, QString(), -1, tr("IDS_CACHING_BACKUP_FILE_%1").arg(name));
}

void ITunesCacheSMSThread::removeOwnedFiles()
{
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
