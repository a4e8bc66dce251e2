#pragma once
// Creating a database file from a schema script, all or nothing.
#include "platform/sqlite3db.h"

#include <QByteArray>
#include <QString>

// Opens path on db, creating the file, and runs script (up to its first NUL) in one transaction. When
// the script fails, the connection is closed and the half-made file removed, so the next open creates
// it again instead of taking a broken file as it is; then std::runtime_error(errorPrefix + SQLite's
// message) is thrown in UTF-8.
void createDatabaseFromScript(Sqlite3DB& db, const QString& path, QByteArray script, const QString& errorPrefix);

// The bytes of a script resource; throws std::runtime_error(errorPrefix + the error) when unreadable.
QByteArray readScriptResource(const QString& resource, const QString& errorPrefix);
