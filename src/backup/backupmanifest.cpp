#include "backup/backupmanifest.h"

#include "core/errors.h"
#include "core/fileutil.h"
#include "core/plistnode.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

QDir iTunesBackupRoot()
{
    const QDir roaming(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    return QDir(roaming.absoluteFilePath(QStringLiteral("Apple Computer/MobileSync/Backup")));
}

bool BackupDeviceInfo::operator==(const BackupDeviceInfo& other) const
{
    return uniqueDeviceId == other.uniqueDeviceId && deviceName == other.deviceName && date == other.date &&
           productType == other.productType && productVersion == other.productVersion &&
           serialNumber == other.serialNumber && isEncrypted == other.isEncrypted && keyBagData == other.keyBagData;
}

QString backupDisplayName(const QString& folderName, const BackupDeviceInfo& info)
{
    // QString::replace with an empty needle would insert the name between every two characters.
    if (!info.uniqueDeviceId.isEmpty() && folderName.contains(info.uniqueDeviceId, Qt::CaseSensitive))
        return QString(folderName).replace(info.uniqueDeviceId, info.deviceName, Qt::CaseSensitive);
    if (info.deviceName.isEmpty())
        return folderName;
    return info.deviceName + QLatin1Char('-') + folderName;
}

BackupManifest::BackupManifest(const QDir& backupDir) : backupDir(backupDir), root(nullptr, MbdbRecord(), QString())
{
}

BackupManifest::~BackupManifest() = default;

void BackupManifest::loadManifestPlist()
{
    const QString path = backupDir.absoluteFilePath(QStringLiteral("Manifest.plist"));
    if (!QFileInfo::exists(path))
        throwUtf8(QStringLiteral("Cannot find ") + path);
    QFile file;
    if (const QString reason = openRegularFile(file, path); !reason.isEmpty())
        throwUtf8(QStringLiteral("Cannot read %1: %2").arg(path, reason));
    // Reading one byte past the parser's limit keeps a huge file from being loaded whole; the
    // parser then refuses it like any other bytes that are no property list.
    deviceInfo = parseManifestPlist(file.read(qint64(PlistNode::kMaxInputBytes) + 1));
    displayName = backupDisplayName(backupDir.dirName(), deviceInfo);
}

QString BackupManifest::cacheId() const
{
    const QByteArray path = backupDir.absolutePath().toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(path, QCryptographicHash::Md5).toHex());
}
