#include "device/tempbackupdir.h"

#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString stateFilePath()
{
    return dataFilePath(DataFile::TempBackupsState);
}

QString rootPath()
{
    return dataFolderPath(DataFolder::TempBackups);
}

void writeStateFile(const QString& base)
{
    QSaveFile file(stateFilePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(base.toUtf8()) < 0 || !file.commit()
        || !makeFilePrivate(stateFilePath()))
        qWarning("cannot write %s", qUtf8Printable(stateFilePath()));
}

void makePrivateFolder(const QString& path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        throwUtf8(QStringLiteral("Not a folder: ") + path);
    if (!info.exists() && !QDir().mkdir(path))
        throwUtf8(QStringLiteral("Cannot create ") + path);
    // Full backups hold every personal record of a device.
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    if (!QFile::setPermissions(path, ownerOnly | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser))
        throwUtf8(QStringLiteral("Cannot protect ") + path);
}

}  // namespace

QDir chooseTempBackupDir()
{
    const QString base = dataDir().absolutePath();
    QFile state(stateFilePath());
    const QByteArray recorded = state.open(QIODevice::ReadOnly) ? state.readAll() : QByteArray();
    state.close();
    if (QString::fromUtf8(recorded) != base)
        writeStateFile(base);  // missing, or left by a data folder that has moved
    const QString root = rootPath();
    makePrivateFolder(root);
    return QDir(root);
}

bool removeTempBackupDir(const std::function<bool()>& stopped)
{
    const QString state = stateFilePath();
    if (!QFileInfo(state).isFile())
        return true;
    const bool rootGone = removeDirRecursive(rootPath(), stopped);
    if (stopped && stopped())
        return false;
    return QFile::remove(state) && rootGone;
}
