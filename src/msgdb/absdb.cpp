#include "msgdb/absdb.h"

#include <sqlite3.h>

const char kNotAMessageDb[] = "This file is not a message database.";
const char kTooComplexMessageDb[] = "The message database is too complex to read.";
const qint64 kMessageDbStepBudget = 400000000;

namespace {

// A phone's schema has some tens of entries; SQLite runs about seven steps for each while reading it.
constexpr qint64 kSchemaStepBudget = 16 * 1024;
constexpr int kMaxColumns = 400;
constexpr int kMaxStatementBytes = 64 * 1024;

// SQLite's words for a schema entry past the limits set on the connection.
bool isPastSchemaLimits(const Sqlite3Exception& error)
{
    const QString text = QString::fromUtf8(error.what());
    return text.contains(QLatin1String("too many columns")) || text.contains(QLatin1String("statement too long"));
}

// Names SQLite reads as the rowid when no column takes them.
bool isRowidName(const QString& column)
{
    for (const char* name : {"rowid", "oid", "_rowid_"})
        if (column.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// True when table has no rowid, or a column named like it that is not its one integer key (which is
// the rowid itself).
bool hasForeignRowid(Sqlite3DB& db, const QString& table)
{
    Sqlite3Cursor list = db.queryThrow(Sqlite3Sql("select wr from pragma_table_list(?)").addTextParam(table));
    if (list.moveNext() && list.getInt64(0) != 0)
        return true;
    int keys = 0;
    bool integerKeyNamedRowid = false;
    bool otherRowidNames = false;
    Sqlite3Cursor columns = db.queryThrow(Sqlite3Sql("select name, type, pk from pragma_table_info(?)").addTextParam(table));
    while (columns.moveNext()) {
        const bool key = columns.getInt64(2) > 0;
        keys += key ? 1 : 0;
        if (!isRowidName(columns.getText(0)))
            continue;
        if (key && columns.getText(1).compare(QLatin1String("integer"), Qt::CaseInsensitive) == 0)
            integerKeyNamedRowid = true;
        else
            otherRowidNames = true;
    }
    return otherRowidNames || (integerKeyNamedRowid && keys != 1);
}

[[noreturn]] void refuseTable(const QString& table, const char* reason)
{
    throw std::runtime_error(QStringLiteral("The message database cannot be read: its table \"%1\" %2")
                                 .arg(table, QLatin1String(reason))
                                 .toUtf8()
                                 .toStdString());
}

}  // namespace

void limitOutsideDatabase(Sqlite3DB& db)
{
    db.setStepBudget(kMessageDbStepBudget);
    db.setSchemaLimits(kMaxColumns, kMaxStatementBytes, kSchemaStepBudget);
}

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

qint64 AbsDb::insertRow(const Sqlite3Row& row, const QString& table, const QSet<QString>& skip)  // our own keys
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
    TextHash<QString> sqlByTable;
    {
        Sqlite3DB db;  // closed by its destructor, also when a read throws
        limitOutsideDatabase(db);
        db.openThrow(path, 2);
        sqlByTable = readMessageDb([&] { return tableSqlOf(db); });
    }
    for (const char* table : {"chat", "handle", "chat_handle_join", "message", "chat_message_join"}) {
        if (!sqlByTable.contains(QLatin1String(table)))
            return false;
    }
    return true;
}

TextHash<QString> tableSqlOf(Sqlite3DB& db)
{
    TextHash<QString> sqlByTable;
    try {
        Sqlite3Cursor cursor = db.queryThrow("select name, sql from sqlite_master where type='table'");
        while (cursor.moveNext())
            sqlByTable.insert(cursor.getText(0), cursor.getText(1));
    } catch (const Sqlite3Exception& error) {
        if (error.code() == SQLITE_NOTADB)
            throw std::runtime_error(kNotAMessageDb);
        if (isPastSchemaLimits(error))
            throw std::runtime_error(kTooComplexMessageDb);
        throw;
    }
    return sqlByTable;
}

void checkReadableTables(Sqlite3DB& db, const TextHash<QString>& tableSql, const QStringList& required,
                         const QStringList& optional)
{
    for (const QString& table : required) {
        if (!tableSql.contains(table))
            throw std::runtime_error(kNotAMessageDb);
    }
    for (const QStringList* tables : {&required, &optional}) {
        for (const QString& table : *tables) {
            if (!tableSql.contains(table))
                continue;
            if (!db.generatedColumns(table).isEmpty())
                refuseTable(table, "has generated columns.");
            if (hasForeignRowid(db, table))
                refuseTable(table, "has a layout no phone writes.");
        }
    }
}
