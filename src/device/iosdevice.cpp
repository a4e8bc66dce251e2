#include "device/iosdevice.h"

#include "core/datadir.h"
#include "core/errors.h"

#include <QRegularExpression>

QDir IOSDevice::cacheDir() const
{
    if (isVirtual()) {
        QDir folder(virtualFolder);
        folder.mkpath(QStringLiteral("."));
        return folder;
    }
    if (!isValidUdid(udid))
        throwUtf8(QStringLiteral("Invalid device identifier: ") + udid.left(80));
    const QString path = dataFolderPath(DataFolder::DeviceCache) + QLatin1Char('/') + udid;
    QDir().mkpath(path);
    return QDir(path);
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

bool IOSDevice::isValidUdid(const QString& udid)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[A-Za-z0-9-]{1,64}\\z"));
    return pattern.match(udid).hasMatch();
}
