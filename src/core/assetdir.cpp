#include "core/assetdir.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace {

QString installedRoot(const QString& programDir)
{
    return QDir::cleanPath(programDir + QStringLiteral("/../share/tallowmere"));
}

}  // namespace

QString assetRoot(const QString& name)
{
    const QString programDir = QCoreApplication::applicationDirPath();
    if (QFileInfo::exists(QDir(programDir).filePath(name)))
        return programDir;
    const QString installed = installedRoot(programDir);
    if (QFileInfo::exists(QDir(installed).filePath(name)))
        return installed;
    return programDir;
}

QString assetPath(const QString& name)
{
    const QString top = name.section(QLatin1Char('/'), 0, 0);
    return QDir(assetRoot(top)).filePath(name);
}

QString programLibraryPath(const QString& fileName)
{
    const QDir programDir(QCoreApplication::applicationDirPath());
    if (QFileInfo::exists(programDir.filePath(fileName)))
        return programDir.filePath(fileName);
    return QDir::cleanPath(programDir.filePath(QStringLiteral("../lib/tallowmere/") + fileName));
}

QString programLibraryPath(const QString& fileName, const char* overrideVariable)
{
    const QString chosen = qEnvironmentVariable(overrideVariable);
    return chosen.isEmpty() ? programLibraryPath(fileName) : QFileInfo(chosen).absoluteFilePath();
}
