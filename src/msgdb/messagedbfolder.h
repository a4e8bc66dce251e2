#pragma once
// A message database folder: what one source (a device cache, a backup cache, a local database or a
// virtual device) keeps of a device, its files below "file-relay" where the device keeps them, the
// recycle database beside them.
#include "msgdb/absdb.h"

#include <QDir>
#include <QSharedPointer>
#include <QString>

class FileHandoff;

// folder/file-relay: the root of the device tree copied into folder.
QDir fileRelayDir(const QDir& folder);

// Where the message database lies below folder: file-relay/var/mobile/Library/SMS/sms.db.
QString messageDbPath(const QDir& folder);

// The reader that fits the layout of folder's message database: the iOS 6 reader when the file holds
// the iOS 6 tables, else the iOS 5 reader. mcc picks the default country. maker, when given, still
// fills folder (IOS5MessageDb::shareFolderWith). Throws when the file is missing or not a database.
QSharedPointer<AbsIOSMessageDb> openMessageDbFolder(const QDir& folder, const QString& mcc = QString(),
                                                    FileHandoff* maker = nullptr);

// The local-layout database of folder with schema upgrading on: what local databases and virtual
// devices are read with. Construction opens nothing.
QSharedPointer<AbsMessageDb> makeLocalMessageDb(const QString& folder);
