#include "backup/manifestcachedb.h"

#include "core/datadir.h"
#include "platform/schemascript.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kSchemaResource = QStringLiteral(":/res/cache_db.sql");

}  // namespace

ManifestCacheDb::ManifestCacheDb(const QString& path) : m_path(path) {}

ManifestCacheDb::~ManifestCacheDb()
{
    if (!m_db.isOpen())
        return;
    try {
        commit();
    } catch (const std::exception& error) {
        qWarning().nospace() << "manifest.db: commit failed: " << error.what();
    }
}

void ManifestCacheDb::open()
{
    if (m_db.isOpen())
        return;
    // The cache's own files: a link planted in their place is removed, never written through.
    for (const QString& path : {m_path, m_path + QStringLiteral("-journal")})
        if (QFileInfo(path).isSymLink())
            QFile::remove(path);
    if (QFileInfo::exists(m_path))
        m_db.openThrow(m_path, 2);
    else
        create();
    try {
        m_db.beginTran();
    } catch (const std::exception& error) {
        // Without the transaction every row is written on its own: slower, still correct.
        qWarning().nospace() << "manifest.db: no transaction: " << error.what();
    }
}

void ManifestCacheDb::create()
{
    const QString prefix = QStringLiteral("create manifest.db error. ");
    createDatabaseFromScript(m_db, m_path, readScriptResource(kSchemaResource, prefix), prefix);
}

std::optional<qint64> ManifestCacheDb::lastDate(const QString& fileId)
{
    try {
        open();
        // Asked for every file of a backup: one statement prepared once.
        return m_db.queryFirstInt64(
            Sqlite3Sql("select last_date from manifest where file_name=?").addTextParam(fileId));
    } catch (const std::exception& error) {
        qWarning().nospace() << "manifest.db: reading " << fileId << " failed: " << error.what();
    }
    return std::nullopt;
}

void ManifestCacheDb::setLastDate(const QString& fileId, qint64 date)
{
    try {
        open();
        const std::optional<qint64> stored = lastDate(fileId);
        if (!stored)
            m_db.executeThrow(Sqlite3Sql("insert into manifest(file_name,last_date) values(?,?)")
                                  .addTextParam(fileId)
                                  .addInt64Param(date));
        else if (*stored != date)
            m_db.executeThrow(Sqlite3Sql("update manifest set last_date=? where file_name=?")
                                  .addInt64Param(date)
                                  .addTextParam(fileId));
    } catch (const std::exception& error) {
        qWarning().nospace() << "manifest.db: writing " << fileId << " failed: " << error.what();
    }
}

void ManifestCacheDb::remove(const QString& fileId)
{
    try {
        open();
        m_db.executeThrow(Sqlite3Sql("delete from manifest where file_name=?").addTextParam(fileId));
    } catch (const std::exception& error) {
        qWarning().nospace() << "manifest.db: removing " << fileId << " failed: " << error.what();
    }
}

void ManifestCacheDb::commit()
{
    if (!m_db.isOpen())
        return;
    struct Closer {
        Sqlite3DB& db;
        ~Closer() { db.close(); }
    } closer{m_db};
    if (m_db.inTransaction())
        m_db.commitTran();
}

void ManifestCacheDb::rollbackAndClose()
{
    m_db.close();  // rolls back an open transaction
}

QDir ManifestCacheDb::cacheRoot()
{
    return QDir(dataFolderPath(DataFolder::ManifestCache));
}
