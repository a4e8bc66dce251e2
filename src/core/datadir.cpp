#include "core/datadir.h"

#include "core/fileutil.h"
#include "core/product.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <mutex>

#include <unistd.h>

namespace {


// No real path comes near this; anything longer is not a redirection worth reading.
constexpr qint64 kMaxRedirectBytes = 64 * 1024;

QString redirectFilePath()
{
    return QDir(defaultDataRoot()).absoluteFilePath(QLatin1String(kProductId) + QStringLiteral(".redirect"));
}

// A relative target would move the data folder with the working directory.
bool isUsableRedirectTarget(const QString& path)
{
    const QFileInfo info(path);
    return info.isAbsolute() && info.isDir();
}

struct DataDirCache {
    std::mutex mutex;
    QString path;
};

DataDirCache& dataDirCache()
{
    static DataDirCache cache;
    return cache;
}

QString resolveDataDirPath()
{
    QString root = readDataDirRedirect();
    if (root.isEmpty())
        root = defaultDataRoot();
    return QDir(root).absoluteFilePath(QLatin1String(kProductId));
}

QString cachedDataDirPath()
{
    DataDirCache& cache = dataDirCache();
    const std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.path.isEmpty()) {
        cache.path = resolveDataDirPath();
        // Earlier versions left the folder open to everyone: close it once per run.
        const QFileInfo info(cache.path);
        if (info.isDir() && !info.isSymLink() && info.ownerId() == ::geteuid())
            QFile::setPermissions(cache.path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    }
    return cache.path;
}

const char* folderName(DataFolder folder)
{
    switch (folder) {
    case DataFolder::LocalDatabases: return "local_databases";
    case DataFolder::OldLocalDatabases: return "data";
    case DataFolder::VirtualDevices: return "virtual_ios";
    case DataFolder::DeviceCache: return "ios_cache";
    case DataFolder::BackupCache: return "itunes_cache";
    case DataFolder::ManifestCache: return "cache";
    case DataFolder::TempBackups: return "__varnelquist_iosbk_temp";
    case DataFolder::Logs: return "qlogs";
    case DataFolder::Thumbnails: return "thumbs";
    case DataFolder::CardImages: return "cards";
    }
    Q_UNREACHABLE();
}

const char* fileName(DataFile file)
{
    switch (file) {
    case DataFile::Countries: return "countries.db";
    case DataFile::TempBackupsState: return "__varnelquist_iosbk_temp.path";
    case DataFile::UpdateCheckTime: return "last-check-version-time";
    case DataFile::StatusLink: return "last-adv";
    }
    Q_UNREACHABLE();
}

}  // namespace

QString defaultDataRoot()
{
    const QString roaming = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir(roaming).absoluteFilePath(QStringLiteral("VarnelQuist"));
}

QString readDataDirRedirect()
{
    QFile file(redirectFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QByteArray bytes = file.read(kMaxRedirectBytes);
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QString target = QString::fromUtf8(bytes);
    return isUsableRedirectTarget(target) ? target : QString();
}

bool writeDataDirRedirect(const QString& path)
{
    // Written aside and renamed, so a failed write never leaves a shortened path that might
    // name some other existing folder.
    QSaveFile file(redirectFilePath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = path.toUtf8();
    return file.write(bytes) == bytes.size() && file.commit();
}

QDir dataDir()
{
    const QString path = cachedDataDirPath();
    // Asked for every thumbnail of a page: a look costs far less than a mkdir.
    if (!QFileInfo(path).isDir())
        makePrivatePath(path);
    return QDir(path);
}

QString dataFolderPath(DataFolder folder)
{
    return dataDir().absoluteFilePath(QLatin1String(folderName(folder)));
}

QString dataFilePath(DataFile file)
{
    return dataDir().absoluteFilePath(QLatin1String(fileName(file)));
}

QDir dataFolder(DataFolder folder)
{
    const QDir dir(dataFolderPath(folder));
    if (!dir.exists())
        makePrivatePath(dir.absolutePath());
    return dir;
}

QDir localDatabasesDir()
{
    return dataFolder(DataFolder::LocalDatabases);
}

void resetDataDirCacheForTesting()
{
    DataDirCache& cache = dataDirCache();
    const std::lock_guard<std::mutex> lock(cache.mutex);
    cache.path.clear();
}
