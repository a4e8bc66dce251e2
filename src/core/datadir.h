#pragma once
// The per-user data folder that holds every cache, local database, log and state file:
//   <GenericDataLocation>/VarnelQuist/5F2C9A0E7D3B4E6A9C1F08B2D4E6A7C3
// A redirection file in the maker folder may move the maker folder elsewhere.
#include <QDir>
#include <QString>

// <GenericDataLocation>/VarnelQuist (follows XDG_DATA_HOME). Creates nothing.
QString defaultDataRoot();

// The folder named by the redirection file, exactly as stored (UTF-8, up to the first NUL, not
// trimmed), or "" when the file is missing or unreadable or the text is not an absolute path of an
// existing folder.
QString readDataDirRedirect();

// Replaces the redirection file with path (UTF-8, no line break). Creates no folders.
// Returns false when the file could not be written; the old file then stays as it was.
bool writeDataDirRedirect(const QString& path);

// The data folder. Resolved once per process (thread-safe) and created on every call.
QDir dataDir();

// dataDir()/local_databases, created when missing.
QDir localDatabasesDir();

// Forgets the resolved data folder so the next dataDir() resolves it again. Tests only.
void resetDataDirCacheForTesting();
