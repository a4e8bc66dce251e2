#include "backup/backupmanifest.h"

#include "core/plistnode.h"

BackupDeviceInfo parseManifestPlist(const QByteArray& data)
{
    // Typed getters give empty values for missing keys and values of another type, so a partial or
    // foreign property list describes an unknown device rather than failing.
    const PlistNode root = PlistNode::fromData(data);
    const PlistNode lockdown = root.value(QStringLiteral("Lockdown"));
    BackupDeviceInfo info;
    info.uniqueDeviceId = lockdown.value(QStringLiteral("UniqueDeviceID")).toString();
    info.deviceName = lockdown.value(QStringLiteral("DeviceName")).toString();
    info.date = root.value(QStringLiteral("Date")).toDateTime();
    info.productType = lockdown.value(QStringLiteral("ProductType")).toString();
    info.productVersion = lockdown.value(QStringLiteral("ProductVersion")).toString();
    info.serialNumber = lockdown.value(QStringLiteral("SerialNumber")).toString();
    info.isEncrypted = root.value(QStringLiteral("IsEncrypted")).toBool();
    info.keyBagData = root.value(QStringLiteral("BackupKeyBag")).toByteArray();
    return info;
}
