#include "msgdb/attachmentpath.h"

#include "core/safepath.h"

QString deviceRelativePath(const QString& filename)
{
    QString path = filename;
    if (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    if (path.startsWith(QLatin1String("~/")))
        path.replace(0, 2, QStringLiteral("var/mobile/"));
    // Characters a Windows file name cannot hold; copies are stored without them.
    static const QString kDropped = QStringLiteral(":*?\"<>|");
    QString kept;
    kept.reserve(path.size());
    for (const QChar c : qAsConst(path)) {
        if (!kDropped.contains(c))
            kept.append(c);
    }
    return kept;
}

QString attachmentLocalPath(const QDir& fileRelayDir, const QString& filename)
{
    return attachmentLocalPath(ContainedFolder(fileRelayDir.absolutePath()), filename);
}

QString attachmentLocalPath(const ContainedFolder& fileRelay, const QString& filename)
{
    if (filename.isEmpty())
        return QString();
    return fileRelay.resolve(deviceRelativePath(filename)).value_or(QString());
}
