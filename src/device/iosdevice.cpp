#include "device/iosdevice.h"

#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "device/mobiledevice.h"

#include <QCoreApplication>
#include <QRegularExpression>

#include <exception>

namespace {

QString refusal(const char* text, const char* picture)
{
    return QStringLiteral("%1<br/><br/><img src=\"%2\"/>").arg(QLatin1String(text), QLatin1String(picture));
}

}  // namespace

QDir IOSDevice::cacheDir() const
{
    if (isVirtual()) {
        QDir folder(virtualFolder);
        folder.mkpath(QStringLiteral("."));
        return folder;
    }
    checkUdid();
    const QString path = dataFolderPath(DataFolder::DeviceCache) + QLatin1Char('/') + udid;
    makePrivatePath(path);
    return QDir(path);
}

void IOSDevice::checkUdid() const
{
    if (!isVirtual() && !isValidUdid(udid))
        throwUtf8(udidRefusal(udid));
}

QString IOSDevice::udidRefusal(const QString& udid)
{
    if (udid.isEmpty())
        return QCoreApplication::translate("IOSDevice", "The iPhone gave no usable device identifier.");
    return QStringLiteral("Invalid device identifier: ") + udid.left(80);
}

QList<int> IOSDevice::versionNumbers() const
{
    static const QRegularExpression number(QStringLiteral("\\.?(\\d+)"));
    QList<int> numbers;
    auto matches = number.globalMatch(productVersion);
    while (matches.hasNext())
        numbers.append(matches.next().captured(1).toInt());
    return numbers;
}

bool IOSDevice::readsThroughFileRelay() const
{
    const QList<int> numbers = versionNumbers();
    return numbers.isEmpty() || (numbers.first() >= 5 && numbers.first() <= 7);
}

bool IOSDevice::backsUpWithManifestDb() const
{
    const QList<int> numbers = versionNumbers();
    return !numbers.isEmpty() && numbers.first() >= 10;
}

bool IOSDevice::isValidUdid(const QString& udid)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9-]{1,64}\\z"));
    return pattern.match(udid).hasMatch();
}

QString IOSDevice::backupSettingsRefusal(bool checkICloud, bool checkEncryption) const
{
    QList<CFType> values;
    try {
        values = MobileDevice::copyValues(amDevice, {QString()}, QStringLiteral("com.apple.mobile.backup"));
    } catch (const std::exception&) {
        return QString();
    }
    const CFType settings = values.value(0);
    if (checkICloud && settings.value(QStringLiteral("CloudBackupEnabled")).toBool(false))
        return refusal("Failed to transfer data to device. Please turn off iCloud backup on your iPhone to try again.",
                       ":res/close_icloudbk.jpg");
    if (checkEncryption && settings.value(QStringLiteral("WillEncrypt")).toBool(false))
        return refusal("Failed to transfer data to device. Your iTunes backup is encrypted. Please run iTunes on "
                       "computer and then uncheck \"Encrypt iPhone backup\" option to try again.",
                       ":res/close_itunesbkenc.jpg");
    return QString();
}
