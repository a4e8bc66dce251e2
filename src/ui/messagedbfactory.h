#pragma once
// The message database objects the main window puts behind its nodes. Construction opens nothing.
#include "msgdb/absdb.h"

#include <QSharedPointer>
#include <QString>

// The local-layout database of folder (its file is folder/file-relay/var/mobile/Library/SMS/sms.db),
// with schema upgrading on: what local databases and virtual devices are read with.
QSharedPointer<AbsMessageDb> makeLocalMessageDb(const QString& folder);

// Where that database file lies below folder.
QString messageDbPath(const QString& folder);
