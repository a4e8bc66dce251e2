#include "msgdb/absdb.h"

#include <QFileInfo>

#include <sqlite3.h>

#include <limits>

const char kNotAMessageDb[] = "This file is not a message database.";
const char kTooComplexMessageDb[] = "The message database is too complex to read.";

void AbsDb::beginTransaction()
{
    open();
    beginTran();
}

void AbsDb::endTransaction(bool commit)
{
    // The state comes from the connection itself, so a close() that dropped the transaction, or a
    // failed commit that rolled it back, never leaves a stale "open" flag behind.
    if (!inTransaction())
        return;
    if (commit)
        commitTran();
    else
        rollbackTran();
}

qint64 AbsDb::insertRow(const Sqlite3Row& row, const QString& table, const QSet<QString>& skip)
{
    open();
    executeThrow(row.insertSql(table, skip));
    return lastInsertId();
}

QList<Sqlite3Row> AbsDb::selectAll(const QString& table)
{
    open();
    Sqlite3Cursor cursor = queryThrow(QStringLiteral("select * from %1").arg(sqliteQuoteIdentifier(table)));
    QList<Sqlite3Row> rows;
    while (cursor.moveNext())
        rows.append(cursor.getRow());
    return rows;
}

bool AbsIOSMessageDb::isIOS6Layout(const QString& path)
{
    QHash<QString, QString> sqlByTable;
    {
        Sqlite3DB db;  // closed by its destructor, also when a read throws
        db.setStepBudget(messageDbStepBudget(path));
        db.openThrow(path, 2);
        sqlByTable = readMessageDb([&] { return tableSqlOf(db); });
    }
    for (const char* table : {"chat", "handle", "chat_handle_join", "message", "chat_message_join"}) {
        if (!sqlByTable.contains(QLatin1String(table)))
            return false;
    }
    return true;
}

qint64 messageDbStepBudget(const QString& path)
{
    constexpr qint64 kStepsPerByte = 2000;
    constexpr qint64 kMinimum = 100000000;
    const qint64 bytes = QFileInfo(path).size() + QFileInfo(path + QStringLiteral("-wal")).size();
    if (bytes > std::numeric_limits<qint64>::max() / kStepsPerByte)
        return std::numeric_limits<qint64>::max();
    return qMax(kMinimum, bytes * kStepsPerByte);
}

QHash<QString, QString> tableSqlOf(Sqlite3DB& db)
{
    QHash<QString, QString> sqlByTable;
    try {
        Sqlite3Cursor cursor = db.queryThrow("select name, sql from sqlite_master where type='table'");
        while (cursor.moveNext())
            sqlByTable.insert(cursor.getText(0), cursor.getText(1));
    } catch (const Sqlite3Exception& error) {
        if (error.code() == SQLITE_NOTADB)
            throw std::runtime_error(kNotAMessageDb);
        throw;
    }
    return sqlByTable;
}

void checkReadableTables(Sqlite3DB& db, const QHash<QString, QString>& tableSql, const QStringList& required,
                         const QStringList& optional)
{
    for (const QString& table : required) {
        if (!tableSql.contains(table))
            throw std::runtime_error(kNotAMessageDb);
    }
    for (const QStringList* tables : {&required, &optional}) {
        for (const QString& table : *tables) {
            if (tableSql.contains(table) && !db.generatedColumns(table).isEmpty())
                throw std::runtime_error(QStringLiteral("The message database cannot be read: its table \"%1\" has"
                                                        " generated columns.")
                                             .arg(table)
                                             .toUtf8()
                                             .toStdString());
        }
    }
}
