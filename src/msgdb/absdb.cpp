#include "msgdb/absdb.h"

#include <QHash>

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
        db.openThrow(path, 2);
        Sqlite3Cursor cursor = db.queryThrow("select * from sqlite_master where type='table'");
        while (cursor.moveNext())
            sqlByTable.insert(cursor.getText(QStringLiteral("name")), cursor.getText(QStringLiteral("sql")));
    }
    for (const char* table : {"chat", "handle", "chat_handle_join", "message", "chat_message_join"}) {
        if (!sqlByTable.contains(QLatin1String(table)))
            return false;
    }
    return true;
}
