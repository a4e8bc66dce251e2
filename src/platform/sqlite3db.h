#pragma once
// Our thin object layer over the SQLite C API.
//
// Rules every caller may rely on:
//  - Column names are case-insensitive everywhere: cursor reads, row lookups, insert skip sets.
//  - SQL NULL is bound only for an invalid QVariant (or addNullParam, or a null QByteArray blob);
//    addTextParam always binds text, so a null QString binds "".
//  - Reads of NULL, of a column the result lacks, or with no current row give 0, "" or empty bytes.
//  - A failed open leaves the handle null, so the next open retries.
//  - moveNext() never steps again after the last row; an error while stepping throws.
//  - Identifiers we interpolate are double-quoted; values are always bound.
//  - foreign_keys and recursive_triggers are never enabled; views are refused (a statement using one fails).
//  - With a step budget or a cancel check set, a statement stopped by them throws Sqlite3Interrupted.
//  - Every ...Throw member throws Sqlite3Exception (UTF-8 text: message, code and SQL).

#include "platform/seededhash.h"

#include <QByteArray>
#include <QHash>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;
class Sqlite3StepGuard;

// Version of this layer's contract; start-up refuses to run with another.
int sqlite_qt_version();

// Text as the getters give it: null for NULL (a null view), empty but not null for ''.
QString sqliteTextValue(std::string_view utf8);

// Double-quotes an SQL identifier, doubling embedded quotes.
QString sqliteQuoteIdentifier(const QString& name);

class Sqlite3Exception : public std::runtime_error {
public:
    Sqlite3Exception(const QString& message, int code = 0, const QString& sql = QString());
    int code() const { return m_code; }

private:
    int m_code;
};

// A statement stopped before its end by the limits of its connection (Sqlite3DB::setStepBudget,
// Sqlite3DB::setCancelCheck).
class Sqlite3Interrupted : public Sqlite3Exception {
public:
    enum Reason { StepBudget, Cancelled };
    Sqlite3Interrupted(Reason reason, const QString& sql);
    Reason reason() const { return m_reason; }

private:
    Reason m_reason;
};

// SQL text with positional parameters bound in call order.
class Sqlite3Sql {
public:
    Sqlite3Sql(const char* sql);  // NOLINT: implicit on purpose, callers pass literals
    Sqlite3Sql(const QString& sql);  // NOLINT

    Sqlite3Sql& addIntParam(int value);
    Sqlite3Sql& addInt64Param(qint64 value);
    Sqlite3Sql& addDoubleParam(double value);
    Sqlite3Sql& addTextParam(const QString& value);     // null QString binds ""
    Sqlite3Sql& addBlobParam(const QByteArray& value);  // null QByteArray binds NULL
    Sqlite3Sql& addNullParam();
    // Binds by QVariant type: integers and bool as int64, double, QString as text, QByteArray as blob,
    // invalid as NULL. Throws Sqlite3Exception for any other type.
    Sqlite3Sql& addVariantParam(const QVariant& value);
    Sqlite3Sql& appendSql(const QString& sql);

    const QString& sql() const { return m_sql; }
    int paramCount() const { return m_params.size(); }

    // Room for count parameters, for a statement with many: saves growing the list step by step.
    Sqlite3Sql& reserveParams(int count);

    // How bound texts and blobs are handed over: copied by SQLite, or only pointed at, which holds
    // while this object lives unchanged and the statement is reset and its bindings cleared first.
    enum class Binding { Copied, Borrowed };
    // Binds every parameter to a prepared statement; throws when the counts differ.
    void bindTo(sqlite3_stmt* stmt, Binding binding = Binding::Copied) const;

private:
    struct Param {
        enum Kind { Null, Int64, Double, Text, Blob } kind = Null;
        qint64 i = 0;
        double d = 0;
        QByteArray bytes;  // UTF-8 text or blob bytes
    };
    QString m_sql;
    QVector<Param> m_params;
};

// Declared type of one table column, as PRAGMA table_info reports it.
class _SqliteCol {
public:
    _SqliteCol() = default;
    _SqliteCol(const QString& name, const QString& type, bool notNull, bool hasDefault, bool primaryKey);

    const QString& name() const { return m_name; }
    const QString& type() const { return m_type; }
    bool notNull() const { return m_notNull; }
    bool hasDefault() const { return m_hasDefault; }
    bool primaryKey() const { return m_primaryKey; }

    // SQLite's affinity rules on the declared type; exactly one of them is true.
    bool isInteger() const;
    bool isText() const;
    bool isBlob() const;
    bool isReal() const;
    bool isNumeric() const;  // NUMERIC affinity only: an INTEGER column does not answer true

private:
    QString m_name;
    QString m_type;
    bool m_notNull = false;
    bool m_hasDefault = false;
    bool m_primaryKey = false;
};

// One row: ordered column name -> value, looked up case-insensitively. Rows read from one
// statement share their column names, which keeps large result sets affordable.
class Sqlite3Row {
public:
    Sqlite3Row();
    // The columns names[i] = values[i], in this order; both lists have the same length. Builds the
    // name index once, where setValue column by column would copy it for every column.
    Sqlite3Row(const QStringList& names, const QVector<QVariant>& values);
    Sqlite3Row(const Sqlite3Row& other);
    Sqlite3Row& operator=(const Sqlite3Row& other);
    Sqlite3Row(Sqlite3Row&&) noexcept = default;
    Sqlite3Row& operator=(Sqlite3Row&&) noexcept = default;

    QVariant value(const QString& name) const;  // invalid QVariant when absent
    void setValue(const QString& name, const QVariant& value);  // replaces, else appends
    bool contains(const QString& name) const;
    QStringList names() const;
    QVariant valueAt(int index) const;
    int size() const { return m_values.size(); }

    // insert into "table"("c1",...) values(?,...) for every column not in skip (case-insensitive);
    // "default values" when every column is skipped.
    Sqlite3Sql insertSql(const QString& table, const QSet<QString>& skip = {}) const;  // our own keys

private:
    friend class Sqlite3Cursor;
    friend class Sqlite3Stmt;
    struct Columns {
        QStringList names;
        TextHash<int> indexByLowerName;  // ASCII-lower-cased like SQLite; first occurrence wins
        // Rows built whole for one insert skip the index: their few lookups scan the names.
        bool indexed = true;

        void append(const QString& name);
        int indexOf(const QString& name) const;  // -1 when absent
    };
    int indexOf(const QString& name) const;
    // The names a copy of other starts with: shared with a query's rows, but a list other owns, and so
    // may still extend in place, is copied.
    static QSharedPointer<const Columns> columnsForCopy(const Sqlite3Row& other);

    QSharedPointer<const Columns> m_columns;
    // The names this row alone holds, which setValue extends in place; null while they may be shared
    // (with a query's other rows, or with a copy of this row).
    QSharedPointer<Columns> m_ownColumns;
    QVector<QVariant> m_values;
};

// Owns one prepared statement; finalized when the last cursor copy goes.
class Sqlite3Stmt {
public:
    // connectionOpen is the connection's liveness flag; without one the connection counts as open.
    // guard holds the connection's limits; without one the statement runs unbounded.
    Sqlite3Stmt(sqlite3* db, sqlite3_stmt* stmt, const Sqlite3Sql& sql,
                QSharedPointer<const std::atomic<bool>> connectionOpen = {},
                std::shared_ptr<Sqlite3StepGuard> guard = {});
    ~Sqlite3Stmt();
    Sqlite3Stmt(const Sqlite3Stmt&) = delete;
    Sqlite3Stmt& operator=(const Sqlite3Stmt&) = delete;

    sqlite3* db() const { return m_db; }
    sqlite3_stmt* stmt() const { return m_stmt; }
    const Sqlite3Sql& sql() const { return m_sql; }
    int columnIndex(const QString& name) const;  // -1 when absent; case-insensitive
    const QSharedPointer<const Sqlite3Row::Columns>& columns() const { return m_columns; }
    int columnCount() const { return m_columnCount; }
    Sqlite3StepGuard* guard() const { return m_guard.get(); }
    // False once Sqlite3DB::close() ran: the statement must not step any more.
    bool connectionOpen() const { return !m_connectionOpen || m_connectionOpen->load(); }

    // Failed: stepping raised an error; stepping again would silently restart the query.
    enum State { BeforeFirst, OnRow, Done, Failed };
    State state = BeforeFirst;
    qint64 steps = 0;  // virtual-machine steps run so far, as the guard counts them

private:
    sqlite3* m_db;
    sqlite3_stmt* m_stmt;
    Sqlite3Sql m_sql;
    QSharedPointer<const Sqlite3Row::Columns> m_columns;
    int m_columnCount = 0;
    QSharedPointer<const std::atomic<bool>> m_connectionOpen;
    std::shared_ptr<Sqlite3StepGuard> m_guard;
};

// The current row of a cursor, read by position with the checks made once for the row rather than
// for every read: for loops over many columns of many rows. Reads like the cursor's own: a position
// the row lacks, or a view taken when there is no row, gives 0, "" or empty bytes. Valid until the
// cursor moves or the connection closes.
class Sqlite3RowView {
public:
    int getInt(int position) const;  // 32-bit, truncated like sqlite3_column_int
    qint64 getInt64(int position) const;
    QString getText(int position) const;
    // The UTF-8 bytes of the text at position; a null view for NULL.
    std::string_view getUtf8(int position) const;
    QByteArray getBlob(int position) const;
    // The bytes of the blob at position; a null view for NULL and for an empty blob.
    std::string_view getBlobBytes(int position) const;
    bool isNull(int position) const;  // true also for a position the row lacks

private:
    friend class Sqlite3Cursor;
    bool has(int position) const { return m_stmt && position >= 0 && position < m_columns; }

    sqlite3_stmt* m_stmt = nullptr;  // null: no readable row
    int m_columns = 0;
};

// Result of a query. A copyable value: copies share one statement.
class Sqlite3Cursor {
public:
    Sqlite3Cursor() = default;  // an empty cursor has no rows
    explicit Sqlite3Cursor(QSharedPointer<Sqlite3Stmt> stmt);

    // Steps to the next row; false once the rows are exhausted (and from then on without stepping).
    // Throws on a stepping error (and on every later call), and once the connection was closed.
    bool moveNext();

    int getInt(const QString& column) const;  // 32-bit, truncated like sqlite3_column_int
    qint64 getInt64(const QString& column) const;
    qint64 getInt64(int position) const;

    // Reads by position, for loops over many rows: look the positions up once with columnIndex.
    // Position -1 (a column the result lacks) reads like a missing name: 0, "" or empty bytes.
    int columnIndex(const QString& column) const;  // -1 when absent; case-insensitive, first match wins
    Sqlite3RowView row() const;
    int getInt(int position) const;
    QString getText(int position) const;
    // The UTF-8 bytes of the text at position, valid until the cursor moves; a null view for NULL.
    std::string_view getUtf8(int position) const;
    QByteArray getBlob(int position) const;
    double getDouble(const QString& column) const;
    QString getText(const QString& column) const;
    QByteArray getBlob(const QString& column) const;
    bool isNull(const QString& column) const;  // true also for a missing column or no current row
    bool isNull(int position) const;
    bool hasColumn(const QString& column) const;
    QStringList columnNames() const;

    // Every column of the current row by storage class: INTEGER qlonglong, FLOAT double, TEXT QString,
    // BLOB QByteArray, NULL invalid QVariant. An empty row without a current row.
    Sqlite3Row getRow() const;

    // Number of rows the query yields; does not move this cursor.
    qint64 count() const;

private:
    int currentColumn(const QString& column) const;  // -1 unless on a row and the column exists

    QSharedPointer<Sqlite3Stmt> m_stmt;
};

class Sqlite3DB;

// Holds one transaction on a connection for a run of reads, so the file's locks and change checks are
// taken once rather than once per statement. Does nothing when a transaction is open already; ends it
// when it goes, never throwing.
class Sqlite3ReadTransaction {
public:
    explicit Sqlite3ReadTransaction(Sqlite3DB& db);
    ~Sqlite3ReadTransaction();
    Sqlite3ReadTransaction(const Sqlite3ReadTransaction&) = delete;
    Sqlite3ReadTransaction& operator=(const Sqlite3ReadTransaction&) = delete;

private:
    Sqlite3DB& m_db;
    bool m_began = false;
};

// One statement prepared once and run many times with its values bound straight into it: for loops
// of writes and look-ups that would otherwise build, hash and find the same text for every row.
// Values bind as Sqlite3Sql binds them: a null QString binds "", a null QByteArray NULL, an empty one
// a zero-length blob. Positions count from 1. After each run the statement is reset and its
// bindings cleared. Made by Sqlite3DB::prepare; stale once that connection closes (isLive() false),
// when running it throws.
class Sqlite3Prepared {
public:
    Sqlite3Prepared() = default;

    bool isLive() const;
    Sqlite3Prepared& bindInt64(int position, qint64 value);
    Sqlite3Prepared& bindText(int position, const QString& value);
    Sqlite3Prepared& bindBlob(int position, const QByteArray& value);
    Sqlite3Prepared& bindNull(int position);
    // Runs to the end.
    void run();
    // The first column of the first row as an integer, nullopt when there is no row.
    std::optional<qint64> firstInt64();

private:
    friend class Sqlite3DB;
    struct Finalizer {
        void operator()(sqlite3_stmt* stmt) const;
    };
    // SQLITE_ROW or SQLITE_DONE; anything else resets and throws.
    int step();
    void reset();
    void check(int rc) const;

    std::unique_ptr<sqlite3_stmt, Finalizer> m_stmt;
    // The UTF-8 of the bound texts by position, which SQLite reads in place until reset: kept from run to
    // run, so a loop of many rows encodes its texts without allocating.
    std::vector<std::string> m_texts;
    sqlite3* m_db = nullptr;
    QString m_sql;
    QSharedPointer<const std::atomic<bool>> m_connectionOpen;
    std::shared_ptr<Sqlite3StepGuard> m_guard;
};

// One connection, used by one thread at a time: a job may take it over from the thread that made
// it, never share it while that thread still uses it.
class Sqlite3DB {
public:
    Sqlite3DB();
    virtual ~Sqlite3DB();
    Sqlite3DB(const Sqlite3DB&) = delete;
    Sqlite3DB& operator=(const Sqlite3DB&) = delete;

    sqlite3* handle() const { return m_db; }
    bool isOpen() const { return m_db != nullptr; }
    const QString& path() const { return m_path; }

    // flags as SQLite's: 1 read-only, 2 read-write, 6 read-write and create. Closes first when open.
    void openThrow(const QString& path, int flags);
    // Rolls back an open transaction and releases the connection; never throws.
    void close();

    void beginTran();
    void commitTran();  // on failure rolls back, then throws
    void rollbackTran();
    bool inTransaction() const;  // an explicit transaction is open on this connection

    qint64 lastInsertId() const;
    int changes() const;

    // Runs one statement to its end; a non-blank tail is an error. The prepared statement is kept,
    // keyed by its SQL text, and reused by the next call with the same text (reset and with its
    // bindings cleared) until close(), so a loop of writes prepares each text once.
    void executeThrow(const Sqlite3Sql& sql);
    // The first column of the statement's first row as an integer, nullopt when it yields no row; for
    // look-ups run many times. Through the same cache as executeThrow, stepped no further.
    std::optional<qint64> queryFirstInt64(const Sqlite3Sql& sql);
    // Prepares one statement to be bound and run many times; a non-blank tail is an error.
    Sqlite3Prepared prepare(const QString& sql);
    // Prepares and binds one statement; the cursor steps it. A non-blank tail is an error.
    Sqlite3Cursor queryThrow(const Sqlite3Sql& sql);
    // Runs a script of statements; 0 on success, else SQLite's code with the text in error. Never throws.
    int exec(const QString& sql, QString& error);
    // Columns of a table keyed by name as declared; empty for a missing table. Throws when closed.
    TextHash<_SqliteCol> tbInfo(const QString& table);
    // The table's generated columns, which compute an expression on every row read or written;
    // empty for a missing table.
    QStringList generatedColumns(const QString& table);

    // Limits for files from devices and backups, where a crafted schema or set of rows can make a
    // legal query run for hours. Both hold for the open connection and for every later open.
    // At most maxSteps virtual-machine steps per statement; 0 lifts the limit.
    void setStepBudget(qint64 maxSteps);
    // For the schema of such a file, which SQLite reads whole when the first statement is prepared:
    // at most maxColumns columns to a table, index or result, at most maxStatementBytes to one
    // statement, the schema's included, and at most maxSteps steps to a prepare (some seven for
    // each entry of the schema read). A schema beyond them fails that prepare: a malformed schema,
    // or Sqlite3Interrupted. Values apply to later opens; 0 leaves SQLite's limit. Set before open.
    void setSchemaLimits(int maxColumns, int maxStatementBytes, qint64 maxSteps);
    // Asked every few thousand steps while a statement runs; true stops it. Empty: never asked.
    void setCancelCheck(std::function<bool()> cancelled);
    // The most steps one statement of the current connection ran, as far as the limits counted them
    // (only while a limit is set, and in units of the check interval). For measurements.
    qint64 peakStatementSteps() const;

private:
    class StatementCache;
    class CachedStatement;

    sqlite3_stmt* prepareThrow(const Sqlite3Sql& sql);
    void requireOpen(const Sqlite3Sql& sql) const;
    void applyLimits();

    sqlite3* m_db = nullptr;
    // Idle statements of executeThrow on the current connection; finalized by close().
    std::unique_ptr<StatementCache> m_statements;
    QString m_path;
    // Shared with every statement of the current connection; cleared by close().
    QSharedPointer<std::atomic<bool>> m_open;
    // The limits; shared with every statement, which counts its own steps against them.
    int m_maxColumns = 0;  // 0: SQLite's own limits
    int m_maxStatementBytes = 0;
    std::shared_ptr<Sqlite3StepGuard> m_guard;
};
