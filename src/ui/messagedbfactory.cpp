#include "ui/messagedbfactory.h"

#include "msgdb/ios6messagedb.h"

#include <QDir>

QSharedPointer<AbsMessageDb> makeLocalMessageDb(const QString& folder)
{
    return QSharedPointer<AbsMessageDb>(new IOS6MessageDb(QDir(folder), QString(), true));
}

QString messageDbPath(const QString& folder)
{
    return QDir(folder).absoluteFilePath(QStringLiteral("file-relay/var/mobile/Library/SMS/sms.db"));
}
