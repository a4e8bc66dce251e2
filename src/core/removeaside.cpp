#include "core/removeaside.h"

#include "core/fileutil.h"

#include <QDebug>
#include <QFileInfo>
#include <QThreadPool>
#include <QUuid>

namespace {

const QString kAsidePrefix = QStringLiteral(".removing-");

void removeInBackground(const QString& path)
{
    QThreadPool::globalInstance()->start([path] {
        if (!removeDirRecursive(path))
            qWarning().noquote() << "could not remove all of" << path << "- the next start tries again";
    });
}

}  // namespace

bool removeFolderAside(const QString& folder)
{
    const QFileInfo info(folder);
    if (!info.isDir() || info.isSymLink())
        return false;
    const QString aside = info.absolutePath() + QLatin1Char('/') + kAsidePrefix
                          + QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!QDir().rename(info.absoluteFilePath(), aside))
        return false;
    removeInBackground(aside);
    return true;
}

void sweepFoldersLeftAside(const QDir& parent)
{
    const QStringList left = parent.entryList({kAsidePrefix + QLatin1Char('*')},
                                              QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString& name : left)
        removeInBackground(parent.absoluteFilePath(name));
}
