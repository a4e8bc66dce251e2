#include "msgdb/messagedbfolder.h"

#include "msgdb/attachmentpath.h"
#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6messagedb.h"

QDir fileRelayDir(const QDir& folder)
{
    return QDir(folder.absoluteFilePath(QLatin1String(kFileRelayFolder)));
}

QString messageDbPath(const QDir& folder)
{
    return fileRelayDir(folder).absoluteFilePath(QStringLiteral("var/mobile/Library/SMS/sms.db"));
}

QSharedPointer<AbsIOSMessageDb> openMessageDbFolder(const QDir& folder, const QString& mcc, FileHandoff* maker)
{
    if (AbsIOSMessageDb::isIOS6Layout(messageDbPath(folder)))
        return QSharedPointer<AbsIOSMessageDb>(new IOS6MessageDb(folder, mcc, false));
    auto ios5 = QSharedPointer<IOS5MessageDb>::create(folder, mcc);
    ios5->shareFolderWith(maker);
    return ios5;
}

QSharedPointer<AbsMessageDb> makeLocalMessageDb(const QString& folder)
{
    return QSharedPointer<AbsMessageDb>(new IOS6MessageDb(QDir(folder), QString(), true));
}
