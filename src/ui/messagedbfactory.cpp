#include "ui/messagedbfactory.h"

#include <QDir>

QSharedPointer<AbsMessageDb> makeLocalMessageDb(const QString&)
{
    return {};
}

QString messageDbPath(const QString& folder)
{
    return QDir(folder).absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
}
