#pragma once
// "manifest.db" of a backup's cache folder: for every file copied out of the backup, the record's
// modification time at the copy, so that a later run copies only what changed.
//
// The connection opens at the first operation and holds one transaction from then on, so a whole
// run writes its rows in one go. The owner ends it with commit() or rollbackAndClose(); the
// destructor commits whatever is still open.
#include "platform/sqlite3db.h"

#include <QDir>
#include <QString>

#include <optional>

class ManifestCacheDb {
public:
    explicit ManifestCacheDb(const QString& path);
    ~ManifestCacheDb();
    ManifestCacheDb(const ManifestCacheDb&) = delete;
    ManifestCacheDb& operator=(const ManifestCacheDb&) = delete;

    const QString& path() const { return m_path; }

    // Opens the file (read-write), creating it from ":/res/cache_db.sql" when missing, and begins
    // the transaction. Does nothing when open. Throws when the file cannot be opened or created.
    void open();

    // The date remembered for fileId; nullopt when there is no row, and when the database cannot
    // be read (the caller then copies the file again, which is always safe).
    std::optional<qint64> lastDate(const QString& fileId);
    // Remembers date for fileId. Failures are logged and otherwise ignored: the file is then
    // simply copied again next time.
    void setLastDate(const QString& fileId, qint64 date);
    // Forgets fileId; failures are ignored.
    void remove(const QString& fileId);

    // Commits the open transaction and closes the connection. Throws when the commit fails; the
    // connection is closed and the transaction rolled back either way.
    void commit();
    // Drops every change since open() and closes the connection. Never throws.
    void rollbackAndClose();

    // dataDir()/cache (not created).
    static QDir cacheRoot();

private:
    void create();

    QString m_path;
    Sqlite3DB m_db;
};
