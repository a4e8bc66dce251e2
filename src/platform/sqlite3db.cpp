#include "platform/sqlite3db.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

// Counts the virtual-machine steps of each statement through SQLite's progress handler and stops
// a statement that runs past the budget or whose caller cancelled. Shared by a connection and its
// statements; a statement names its own counter for each call into SQLite, so interleaved cursors
// are counted apart and a long series of small statements never adds up to a refusal.
class Sqlite3StepGuard {
public:
    // SQLite calls the handler every kInterval steps, some tens of microseconds of work: a cancel is
    // seen at once, and the handler's cost (an addition, a comparison, the cancel check) disappears
    // among the steps between.
    static constexpr int kInterval = 4096;

    qint64 budget = 0;  // per statement; 0: none
    qint64 prepareBudget = 0;  // per prepare, which only runs steps to read the file's schema; 0: none
    std::function<bool()> cancelled;
    qint64 peak = 0;

    bool active() const { return budget > 0 || prepareBudget > 0 || bool(cancelled); }

    // Runs one call into SQLite (a step, a prepare, a script) on behalf of the statement whose steps
    // so far are spent, within limit steps (0: none).
    template <typename Call>
    int run(qint64& spent, qint64 limit, Call&& call)
    {
        qint64* const outer = m_spent;
        const qint64 outerLimit = m_limit;
        m_spent = &spent;
        m_limit = limit;
        m_stop.reset();
        const int rc = call();
        m_spent = outer;
        m_limit = outerLimit;
        return rc;
    }

    // Why the last run stopped early, when this guard stopped it.
    std::optional<Sqlite3Interrupted::Reason> stop() const { return m_stop; }

    static int onProgress(void* self) noexcept
    {
        auto& guard = *static_cast<Sqlite3StepGuard*>(self);
        qint64& spent = guard.m_spent ? *guard.m_spent : guard.m_unowned;
        spent += kInterval;
        guard.peak = std::max(guard.peak, spent);
        const qint64 limit = guard.m_spent ? guard.m_limit : guard.budget;
        if (limit > 0 && spent > limit) {
            guard.m_stop = Sqlite3Interrupted::StepBudget;
        } else if (guard.cancelled) {
            try {
                if (guard.cancelled())
                    guard.m_stop = Sqlite3Interrupted::Cancelled;
            } catch (...) {
                // Nothing may unwind through SQLite; a check that fails counts as a cancel.
                guard.m_stop = Sqlite3Interrupted::Cancelled;
            }
        }
        return guard.m_stop ? 1 : 0;
    }

private:
    qint64* m_spent = nullptr;
    qint64 m_limit = 0;
    qint64 m_unowned = 0;  // steps outside run(), which none of our calls makes
    std::optional<Sqlite3Interrupted::Reason> m_stop;
};

// An empty text shares Qt's empty string, where decoding would allocate a buffer for it (devices
// store '' in many columns of every row).
QString sqliteTextValue(std::string_view utf8)
{
    if (!utf8.data())
        return QString();
    return utf8.empty() ? QString(QLatin1String("")) : QString::fromUtf8(utf8.data(), int(utf8.size()));
}

namespace {

struct StmtFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

const char kNotOpen[] = "database not open";

QString exceptionText(const QString& message, int code, const QString& sql)
{
    QString text = QStringLiteral("%1 (SQLite code %2)").arg(message, QString::number(code));
    if (!sql.isEmpty())
        text += QStringLiteral("\nSQL: ") + sql;
    return text;
}

// SQLite compares identifiers case-insensitively in ASCII only, so do we.
bool hasAsciiUpper(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            return true;
    }
    return false;
}

QString asciiLower(const QString& text)
{
    if (!hasAsciiUpper(text))
        return text;
    QString lower = text;
    for (QChar& c : lower) {
        if (c.unicode() >= 'A' && c.unicode() <= 'Z')
            c = QChar(c.unicode() + ('a' - 'A'));
    }
    return lower;
}

bool asciiEqualsIgnoringCase(const QString& a, const QString& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        ushort x = a.at(i).unicode();
        ushort y = b.at(i).unicode();
        x = x >= 'A' && x <= 'Z' ? x + ('a' - 'A') : x;
        y = y >= 'A' && y <= 'Z' ? y + ('a' - 'A') : y;
        if (x != y)
            return false;
    }
    return true;
}

void appendQuotedIdentifier(QString& out, const QString& name)
{
    out += QLatin1Char('"');
    for (const QChar c : name) {
        out += c;
        if (c == QLatin1Char('"'))
            out += c;
    }
    out += QLatin1Char('"');
}

// True when what follows a prepared statement holds no further statement: only white space,
// semicolons and comments. Anything else (a second statement, a stray NUL) is refused.
bool isBlankTail(const char* tail, const char* end)
{
    const char* p = tail;
    while (p < end) {
        const char c = *p;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' || c == ';') {
            ++p;
        } else if (c == '-' && p + 1 < end && p[1] == '-') {
            while (p < end && *p != '\n')
                ++p;
        } else if (c == '/' && p + 1 < end && p[1] == '*') {
            p += 2;
            while (p < end && !(*p == '*' && p + 1 < end && p[1] == '/'))
                ++p;
            p = p < end ? p + 2 : end;
        } else {
            return false;
        }
    }
    return true;
}

[[noreturn]] void throwDbError(sqlite3* db, int code, const QString& sql)
{
    throw Sqlite3Exception(QString::fromUtf8(sqlite3_errmsg(db)), code, sql);
}

// Runs call under guard's counting when there is a guard, within the statements' budget.
template <typename Call>
int guarded(Sqlite3StepGuard* guard, qint64& spent, Call&& call)
{
    return guard ? guard->run(spent, guard->budget, std::forward<Call>(call)) : call();
}

// The error of a failed call into SQLite: Sqlite3Interrupted when the guard stopped it.
[[noreturn]] void throwCallError(sqlite3* db, const Sqlite3StepGuard* guard, int code, const QString& sql)
{
    if (code == SQLITE_INTERRUPT && guard && guard->stop())
        throw Sqlite3Interrupted(*guard->stop(), sql);
    throwDbError(db, code, sql);
}

// Prepares exactly one statement. Preparing may read the file's schema, so it runs under the guard.
StmtPtr prepareOne(sqlite3* db, Sqlite3StepGuard* guard, const Sqlite3Sql& sql)
{
    const QByteArray utf8 = sql.sql().toUtf8();
    sqlite3_stmt* raw = nullptr;
    const char* tail = nullptr;
    qint64 spent = 0;
    // The size includes the terminating NUL, which spares SQLite a copy.
    const auto prepare = [&] { return sqlite3_prepare_v2(db, utf8.constData(), utf8.size() + 1, &raw, &tail); };
    const int rc = guard ? guard->run(spent, guard->prepareBudget, prepare) : prepare();
    StmtPtr stmt(raw);
    if (rc != SQLITE_OK)
        throwCallError(db, guard, rc, sql.sql());
    if (!stmt)
        throw Sqlite3Exception(QStringLiteral("no SQL statement to run"), SQLITE_MISUSE, sql.sql());
    if (tail && !isBlankTail(tail, utf8.constData() + utf8.size()))
        throw Sqlite3Exception(QStringLiteral("text after the first SQL statement (one statement only)"),
                               SQLITE_MISUSE, sql.sql());
    return stmt;
}

// Prepares exactly one statement and binds its parameters.
StmtPtr prepareAndBind(sqlite3* db, Sqlite3StepGuard* guard, const Sqlite3Sql& sql)
{
    StmtPtr stmt = prepareOne(db, guard, sql);
    sql.bindTo(stmt.get());
    return stmt;
}

QString textValue(const char* utf8, int size)
{
    return sqliteTextValue(utf8 ? std::string_view(utf8, std::size_t(size)) : std::string_view());
}

// Over the bytes, which Qt hashes several at a time: the keys are whole insert statements.
struct QStringHasher {
    std::size_t operator()(const QString& text) const
    {
        return qHashBits(text.constData(), std::size_t(text.size()) * sizeof(QChar));  // our own keys
    }
};

}  // namespace

int sqlite_qt_version()
{
    return 5;
}

QString sqliteQuoteIdentifier(const QString& name)
{
    QString quoted;
    quoted.reserve(name.size() + 2);
    appendQuotedIdentifier(quoted, name);
    return quoted;
}

// ---------------------------------------------------------------------------------------------
// Sqlite3Exception

Sqlite3Exception::Sqlite3Exception(const QString& message, int code, const QString& sql)
    : std::runtime_error(exceptionText(message, code, sql).toUtf8().toStdString()), m_code(code)
{
}

Sqlite3Interrupted::Sqlite3Interrupted(Reason reason, const QString& sql)
    : Sqlite3Exception(reason == StepBudget ? QStringLiteral("the statement ran past its step budget")
                                            : QStringLiteral("the statement was cancelled"),
                       SQLITE_INTERRUPT, sql),
      m_reason(reason)
{
}

// ---------------------------------------------------------------------------------------------
// Sqlite3Sql

Sqlite3Sql::Sqlite3Sql(const char* sql) : m_sql(QString::fromUtf8(sql)) {}

Sqlite3Sql::Sqlite3Sql(const QString& sql) : m_sql(sql) {}

Sqlite3Sql& Sqlite3Sql::addIntParam(int value)
{
    return addInt64Param(value);
}

Sqlite3Sql& Sqlite3Sql::addInt64Param(qint64 value)
{
    Param p;
    p.kind = Param::Int64;
    p.i = value;
    m_params.append(p);
    return *this;
}

Sqlite3Sql& Sqlite3Sql::addDoubleParam(double value)
{
    Param p;
    p.kind = Param::Double;
    p.d = value;
    m_params.append(p);
    return *this;
}

Sqlite3Sql& Sqlite3Sql::addTextParam(const QString& value)
{
    Param p;
    p.kind = Param::Text;
    p.bytes = value.toUtf8();
    m_params.append(p);
    return *this;
}

Sqlite3Sql& Sqlite3Sql::addBlobParam(const QByteArray& value)
{
    if (value.isNull())
        return addNullParam();
    Param p;
    p.kind = Param::Blob;
    p.bytes = value;
    m_params.append(p);
    return *this;
}

Sqlite3Sql& Sqlite3Sql::addNullParam()
{
    m_params.append(Param());
    return *this;
}

Sqlite3Sql& Sqlite3Sql::addVariantParam(const QVariant& value)
{
    if (!value.isValid())
        return addNullParam();
    switch (static_cast<QMetaType::Type>(value.userType())) {
    case QMetaType::Bool:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
        return addInt64Param(value.toLongLong());
    case QMetaType::ULongLong:
        if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
            throw Sqlite3Exception(QStringLiteral("unsigned value too large for an SQLite integer"),
                                   SQLITE_RANGE, m_sql);
        return addInt64Param(value.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return addDoubleParam(value.toDouble());
    case QMetaType::QString:
        return addTextParam(value.toString());
    case QMetaType::QByteArray:
        return addBlobParam(value.toByteArray());
    default:
        throw Sqlite3Exception(QStringLiteral("cannot bind a value of type %1")
                                   .arg(QString::fromLatin1(value.typeName())),
                               SQLITE_MISMATCH, m_sql);
    }
}

Sqlite3Sql& Sqlite3Sql::appendSql(const QString& sql)
{
    m_sql += sql;
    return *this;
}

Sqlite3Sql& Sqlite3Sql::reserveParams(int count)
{
    m_params.reserve(count);
    return *this;
}

void Sqlite3Sql::bindTo(sqlite3_stmt* stmt, Binding binding) const
{
    const auto lifetime = binding == Binding::Borrowed ? SQLITE_STATIC : SQLITE_TRANSIENT;
    const int expected = sqlite3_bind_parameter_count(stmt);
    if (expected != m_params.size())
        throw Sqlite3Exception(QStringLiteral("%1 parameters bound, the statement has %2")
                                   .arg(m_params.size())
                                   .arg(expected),
                               SQLITE_RANGE, m_sql);
    for (int i = 0; i < m_params.size(); ++i) {
        const Param& p = m_params.at(i);
        const int index = i + 1;
        int rc = SQLITE_OK;
        switch (p.kind) {
        case Param::Null:
            rc = sqlite3_bind_null(stmt, index);
            break;
        case Param::Int64:
            rc = sqlite3_bind_int64(stmt, index, p.i);
            break;
        case Param::Double:
            rc = sqlite3_bind_double(stmt, index, p.d);
            break;
        case Param::Text:
            // constData() is never null, so even "" binds text, not NULL.
            rc = sqlite3_bind_text(stmt, index, p.bytes.constData(), p.bytes.size(), lifetime);
            break;
        case Param::Blob:
            rc = p.bytes.isEmpty() ? sqlite3_bind_zeroblob(stmt, index, 0)
                                   : sqlite3_bind_blob(stmt, index, p.bytes.constData(), p.bytes.size(), lifetime);
            break;
        }
        if (rc != SQLITE_OK)
            throwDbError(sqlite3_db_handle(stmt), rc, m_sql);
    }
}

// ---------------------------------------------------------------------------------------------
// _SqliteCol

namespace {

enum class Affinity { Integer, Text, Blob, Real, Numeric };

// SQLite's rules for the affinity of a declared type, applied in SQLite's order.
Affinity affinityOf(const QString& declaredType)
{
    const QString type = declaredType.toUpper();
    const auto has = [&type](const char* part) { return type.contains(QLatin1String(part)); };
    if (has("INT"))
        return Affinity::Integer;
    if (has("CHAR") || has("CLOB") || has("TEXT"))
        return Affinity::Text;
    if (has("BLOB") || type.trimmed().isEmpty())
        return Affinity::Blob;
    if (has("REAL") || has("FLOA") || has("DOUB"))
        return Affinity::Real;
    return Affinity::Numeric;
}

}  // namespace

_SqliteCol::_SqliteCol(const QString& name, const QString& type, bool notNull, bool hasDefault, bool primaryKey)
    : m_name(name), m_type(type), m_notNull(notNull), m_hasDefault(hasDefault), m_primaryKey(primaryKey)
{
}

bool _SqliteCol::isInteger() const { return affinityOf(m_type) == Affinity::Integer; }
bool _SqliteCol::isText() const { return affinityOf(m_type) == Affinity::Text; }
bool _SqliteCol::isBlob() const { return affinityOf(m_type) == Affinity::Blob; }
bool _SqliteCol::isReal() const { return affinityOf(m_type) == Affinity::Real; }
bool _SqliteCol::isNumeric() const { return affinityOf(m_type) == Affinity::Numeric; }

// ---------------------------------------------------------------------------------------------
// Sqlite3Row

void Sqlite3Row::Columns::append(const QString& name)
{
    if (!indexed) {
        names.append(name);
        return;
    }
    const QString key = asciiLower(name);
    if (!indexByLowerName.contains(key))
        indexByLowerName.insert(key, names.size());
    names.append(name);
}

int Sqlite3Row::Columns::indexOf(const QString& name) const
{
    if (!indexed) {
        for (int i = 0; i < names.size(); ++i) {
            if (asciiEqualsIgnoringCase(names.at(i), name))
                return i;
        }
        return -1;
    }
    // Callers mostly pass lower-case names already: try them as they are before folding.
    auto it = indexByLowerName.constFind(name);
    if (it != indexByLowerName.constEnd())
        return it.value();
    if (!hasAsciiUpper(name))
        return -1;
    it = indexByLowerName.constFind(asciiLower(name));
    return it != indexByLowerName.constEnd() ? it.value() : -1;
}

Sqlite3Row::Sqlite3Row() = default;

QSharedPointer<const Sqlite3Row::Columns> Sqlite3Row::columnsForCopy(const Sqlite3Row& other)
{
    if (!other.m_ownColumns)
        return other.m_columns;
    return QSharedPointer<const Columns>(QSharedPointer<Columns>::create(*other.m_ownColumns));
}

Sqlite3Row::Sqlite3Row(const Sqlite3Row& other)
    : m_columns(columnsForCopy(other)), m_values(other.m_values)
{
}

Sqlite3Row& Sqlite3Row::operator=(const Sqlite3Row& other)
{
    if (this == &other)
        return *this;
    m_columns = columnsForCopy(other);
    m_ownColumns.reset();
    m_values = other.m_values;
    return *this;
}

Sqlite3Row::Sqlite3Row(const QStringList& names, const QVector<QVariant>& values) : m_values(values)
{
    Q_ASSERT(names.size() == values.size());
    auto columns = QSharedPointer<Columns>::create();
    columns->indexed = false;
    columns->names = names;
    m_columns = columns;
    m_ownColumns = columns;
    m_values.resize(names.size());
}

int Sqlite3Row::indexOf(const QString& name) const
{
    return m_columns ? m_columns->indexOf(name) : -1;
}

QVariant Sqlite3Row::value(const QString& name) const
{
    return valueAt(indexOf(name));
}

void Sqlite3Row::setValue(const QString& name, const QVariant& value)
{
    const int index = indexOf(name);
    if (index >= 0) {
        m_values[index] = value;
        return;
    }
    // The column names may be shared with other rows of the same query: extend a private copy, made
    // once, so a row built column by column stays linear.
    if (!m_ownColumns) {
        m_ownColumns = m_columns ? QSharedPointer<Columns>::create(*m_columns) : QSharedPointer<Columns>::create();
        m_columns = m_ownColumns;
    }
    m_ownColumns->append(name);
    m_values.append(value);
}

bool Sqlite3Row::contains(const QString& name) const
{
    return indexOf(name) >= 0;
}

QStringList Sqlite3Row::names() const
{
    return m_columns ? m_columns->names : QStringList();
}

QVariant Sqlite3Row::valueAt(int index) const
{
    return index >= 0 && index < m_values.size() ? m_values.at(index) : QVariant();
}

Sqlite3Sql Sqlite3Row::insertSql(const QString& table, const QSet<QString>& skip) const  // our own keys
{
    QSet<QString> skipLower;  // our own keys
    for (const QString& name : skip)
        skipLower.insert(asciiLower(name));

    // Writers call this once per row: build the text in one buffer rather than from lists.
    const QStringList allNames = names();
    QVector<int> bound;
    bound.reserve(allNames.size());
    QString text = QStringLiteral("insert into ") + sqliteQuoteIdentifier(table);
    text.reserve(text.size() + 2 + allNames.size() * 24 + 10);
    for (int i = 0; i < allNames.size(); ++i) {
        if (!skipLower.isEmpty() && skipLower.contains(asciiLower(allNames.at(i))))
            continue;
        text += bound.isEmpty() ? QLatin1Char('(') : QLatin1Char(',');
        appendQuotedIdentifier(text, allNames.at(i));
        bound.append(i);
    }
    if (bound.isEmpty())
        return Sqlite3Sql(text + QStringLiteral(" default values"));
    text += QStringLiteral(") values(?");
    for (int i = 1; i < bound.size(); ++i)
        text += QStringLiteral(",?");
    text += QLatin1Char(')');
    Sqlite3Sql sql(text);
    for (const int i : bound)
        sql.addVariantParam(m_values.at(i));
    return sql;
}

// ---------------------------------------------------------------------------------------------
// Sqlite3Stmt

Sqlite3Stmt::Sqlite3Stmt(sqlite3* db, sqlite3_stmt* stmt, const Sqlite3Sql& sql,
                         QSharedPointer<const std::atomic<bool>> connectionOpen,
                         std::shared_ptr<Sqlite3StepGuard> guard)
    : m_db(db), m_stmt(stmt), m_sql(sql), m_connectionOpen(std::move(connectionOpen)), m_guard(std::move(guard))
{
    auto columns = QSharedPointer<Sqlite3Row::Columns>::create();
    m_columnCount = stmt ? sqlite3_column_count(stmt) : 0;
    for (int i = 0; i < m_columnCount; ++i)
        columns->append(QString::fromUtf8(sqlite3_column_name(stmt, i)));
    m_columns = columns;
}

Sqlite3Stmt::~Sqlite3Stmt()
{
    // Also releases a connection that close() left as a zombie for this statement.
    sqlite3_finalize(m_stmt);
}

int Sqlite3Stmt::columnIndex(const QString& name) const
{
    return m_columns->indexOf(name);
}

// ---------------------------------------------------------------------------------------------
// Sqlite3Cursor

Sqlite3Cursor::Sqlite3Cursor(QSharedPointer<Sqlite3Stmt> stmt) : m_stmt(std::move(stmt)) {}

bool Sqlite3Cursor::moveNext()
{
    if (!m_stmt || !m_stmt->stmt())
        return false;
    Sqlite3Stmt& s = *m_stmt;
    switch (s.state) {
    case Sqlite3Stmt::Done:
        return false;  // stepping again would restart the query
    case Sqlite3Stmt::Failed:
        throw Sqlite3Exception(QStringLiteral("the query failed earlier"), SQLITE_MISUSE, s.sql().sql());
    default:
        break;
    }
    if (!s.connectionOpen())
        throw Sqlite3Exception(QString::fromLatin1(kNotOpen), SQLITE_MISUSE, s.sql().sql());
    const int rc = guarded(s.guard(), s.steps, [&] { return sqlite3_step(s.stmt()); });
    if (rc == SQLITE_ROW) {
        s.state = Sqlite3Stmt::OnRow;
        return true;
    }
    if (rc == SQLITE_DONE) {
        s.state = Sqlite3Stmt::Done;
        return false;
    }
    s.state = Sqlite3Stmt::Failed;
    throwCallError(s.db(), s.guard(), rc, s.sql().sql());
}

int Sqlite3Cursor::currentColumn(const QString& column) const
{
    if (!m_stmt || m_stmt->state != Sqlite3Stmt::OnRow || !m_stmt->connectionOpen())
        return -1;
    return m_stmt->columnIndex(column);
}

int Sqlite3Cursor::getInt(const QString& column) const
{
    const int i = currentColumn(column);
    return i < 0 ? 0 : sqlite3_column_int(m_stmt->stmt(), i);
}

qint64 Sqlite3Cursor::getInt64(const QString& column) const
{
    const int i = currentColumn(column);
    return i < 0 ? 0 : sqlite3_column_int64(m_stmt->stmt(), i);
}

Sqlite3RowView Sqlite3Cursor::row() const
{
    Sqlite3RowView view;
    if (m_stmt && m_stmt->state == Sqlite3Stmt::OnRow && m_stmt->connectionOpen()) {
        view.m_stmt = m_stmt->stmt();
        view.m_columns = m_stmt->columnCount();
    }
    return view;
}

qint64 Sqlite3Cursor::getInt64(int position) const
{
    return row().getInt64(position);
}

int Sqlite3Cursor::columnIndex(const QString& column) const
{
    return m_stmt ? m_stmt->columnIndex(column) : -1;
}

int Sqlite3Cursor::getInt(int position) const
{
    return row().getInt(position);
}

QString Sqlite3Cursor::getText(int position) const
{
    return row().getText(position);
}

std::string_view Sqlite3Cursor::getUtf8(int position) const
{
    return row().getUtf8(position);
}

QByteArray Sqlite3Cursor::getBlob(int position) const
{
    return row().getBlob(position);
}

double Sqlite3Cursor::getDouble(const QString& column) const
{
    const int i = currentColumn(column);
    return i < 0 ? 0.0 : sqlite3_column_double(m_stmt->stmt(), i);
}

QString Sqlite3Cursor::getText(const QString& column) const
{
    const int i = currentColumn(column);
    if (i < 0)
        return QString();
    // Text first, then its size: the conversion may change the size.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt->stmt(), i));
    return textValue(text, sqlite3_column_bytes(m_stmt->stmt(), i));
}

QByteArray Sqlite3Cursor::getBlob(const QString& column) const
{
    const int i = currentColumn(column);
    if (i < 0)
        return QByteArray();
    const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt->stmt(), i));
    return data ? QByteArray(data, sqlite3_column_bytes(m_stmt->stmt(), i)) : QByteArray();
}

bool Sqlite3Cursor::isNull(const QString& column) const
{
    const int i = currentColumn(column);
    return i < 0 || sqlite3_column_type(m_stmt->stmt(), i) == SQLITE_NULL;
}

bool Sqlite3Cursor::isNull(int position) const
{
    return row().isNull(position);
}

bool Sqlite3Cursor::hasColumn(const QString& column) const
{
    return m_stmt && m_stmt->columnIndex(column) >= 0;
}

QStringList Sqlite3Cursor::columnNames() const
{
    return m_stmt ? m_stmt->columns()->names : QStringList();
}

Sqlite3Row Sqlite3Cursor::getRow() const
{
    Sqlite3Row row;
    if (!m_stmt || m_stmt->state != Sqlite3Stmt::OnRow || !m_stmt->connectionOpen())
        return row;
    sqlite3_stmt* stmt = m_stmt->stmt();
    const int count = m_stmt->columns()->names.size();
    row.m_columns = m_stmt->columns();
    row.m_values.reserve(count);
    for (int i = 0; i < count; ++i) {
        switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
            row.m_values.append(QVariant(qlonglong(sqlite3_column_int64(stmt, i))));
            break;
        case SQLITE_FLOAT:
            row.m_values.append(QVariant(sqlite3_column_double(stmt, i)));
            break;
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
            row.m_values.append(QVariant(textValue(text, sqlite3_column_bytes(stmt, i))));
            break;
        }
        case SQLITE_BLOB: {
            const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt, i));
            const int size = sqlite3_column_bytes(stmt, i);
            // A zero-length blob stays a blob, not NULL: keep it non-null.
            row.m_values.append(QVariant(data ? QByteArray(data, size) : QByteArray("")));
            break;
        }
        default:
            row.m_values.append(QVariant());
            break;
        }
    }
    return row;
}

qint64 Sqlite3Cursor::count() const
{
    if (!m_stmt || !m_stmt->stmt())
        return 0;
    if (!m_stmt->connectionOpen())
        throw Sqlite3Exception(QString::fromLatin1(kNotOpen), SQLITE_MISUSE, m_stmt->sql().sql());
    // A second statement with the same text and binds leaves this cursor's position alone.
    Sqlite3StepGuard* const guard = m_stmt->guard();
    const StmtPtr counter = prepareAndBind(m_stmt->db(), guard, m_stmt->sql());
    qint64 rows = 0;
    qint64 spent = 0;
    int rc;
    while ((rc = guarded(guard, spent, [&] { return sqlite3_step(counter.get()); })) == SQLITE_ROW)
        ++rows;
    if (rc != SQLITE_DONE)
        throwCallError(m_stmt->db(), guard, rc, m_stmt->sql().sql());
    return rows;
}

// ---------------------------------------------------------------------------------------------
// Sqlite3RowView

int Sqlite3RowView::getInt(int position) const
{
    return has(position) ? sqlite3_column_int(m_stmt, position) : 0;
}

qint64 Sqlite3RowView::getInt64(int position) const
{
    return has(position) ? sqlite3_column_int64(m_stmt, position) : 0;
}

QString Sqlite3RowView::getText(int position) const
{
    return sqliteTextValue(getUtf8(position));
}

std::string_view Sqlite3RowView::getUtf8(int position) const
{
    if (!has(position))
        return std::string_view();
    // Text first, then its size: the conversion may change the size.
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(m_stmt, position));
    return text ? std::string_view(text, std::size_t(sqlite3_column_bytes(m_stmt, position))) : std::string_view();
}

QByteArray Sqlite3RowView::getBlob(int position) const
{
    const std::string_view bytes = getBlobBytes(position);
    return bytes.data() ? QByteArray(bytes.data(), int(bytes.size())) : QByteArray();
}

std::string_view Sqlite3RowView::getBlobBytes(int position) const
{
    if (!has(position))
        return std::string_view();
    const auto* data = static_cast<const char*>(sqlite3_column_blob(m_stmt, position));
    return data ? std::string_view(data, std::size_t(sqlite3_column_bytes(m_stmt, position))) : std::string_view();
}

bool Sqlite3RowView::isNull(int position) const
{
    return !has(position) || sqlite3_column_type(m_stmt, position) == SQLITE_NULL;
}

// ---------------------------------------------------------------------------------------------
// Sqlite3Prepared

void Sqlite3Prepared::Finalizer::operator()(sqlite3_stmt* stmt) const
{
    sqlite3_finalize(stmt);
}

bool Sqlite3Prepared::isLive() const
{
    return m_stmt && m_connectionOpen && m_connectionOpen->load();
}

void Sqlite3Prepared::check(int rc) const
{
    if (rc != SQLITE_OK)
        throwDbError(m_db, rc, m_sql);
}

Sqlite3Prepared& Sqlite3Prepared::bindInt64(int position, qint64 value)
{
    check(sqlite3_bind_int64(m_stmt.get(), position, value));
    return *this;
}

namespace {

// The UTF-8 of text into out, as QString::toUtf8 gives it; false for a lone surrogate, which that replaces.
bool encodeUtf8(const QString& text, std::string& out)
{
    out.resize(size_t(text.size()) * 3);
    char* o = &out[0];
    const ushort* p = text.utf16();
    const ushort* const end = p + text.size();
    while (p < end) {
        const uint c = *p++;
        if (c < 0x80) {
            *o++ = char(c);
        } else if (c < 0x800) {
            *o++ = char(0xc0 | c >> 6);
            *o++ = char(0x80 | (c & 0x3f));
        } else if (c < 0xd800 || c > 0xdfff) {
            *o++ = char(0xe0 | c >> 12);
            *o++ = char(0x80 | (c >> 6 & 0x3f));
            *o++ = char(0x80 | (c & 0x3f));
        } else {
            if (c > 0xdbff || p == end || *p < 0xdc00 || *p > 0xdfff)
                return false;
            const uint code = 0x10000 + ((c - 0xd800) << 10) + (*p++ - 0xdc00);
            *o++ = char(0xf0 | code >> 18);
            *o++ = char(0x80 | (code >> 12 & 0x3f));
            *o++ = char(0x80 | (code >> 6 & 0x3f));
            *o++ = char(0x80 | (code & 0x3f));
        }
    }
    out.resize(size_t(o - out.data()));
    return true;
}

}  // namespace

Sqlite3Prepared& Sqlite3Prepared::bindText(int position, const QString& value)
{
    if (position < 1 || size_t(position) > m_texts.size())
        check(SQLITE_RANGE);
    std::string& utf8 = m_texts[size_t(position) - 1];
    if (!encodeUtf8(value, utf8)) {
        const QByteArray qt = value.toUtf8();
        utf8.assign(qt.constData(), size_t(qt.size()));
    }
    // data() is never null, so even "" binds text, not NULL.
    check(sqlite3_bind_text(m_stmt.get(), position, utf8.data(), int(utf8.size()), SQLITE_STATIC));
    return *this;
}

Sqlite3Prepared& Sqlite3Prepared::bindBlob(int position, const QByteArray& value)
{
    if (value.isNull())
        check(sqlite3_bind_null(m_stmt.get(), position));
    else if (value.isEmpty())
        check(sqlite3_bind_zeroblob(m_stmt.get(), position, 0));
    else
        check(sqlite3_bind_blob(m_stmt.get(), position, value.constData(), value.size(), SQLITE_TRANSIENT));
    return *this;
}

Sqlite3Prepared& Sqlite3Prepared::bindNull(int position)
{
    check(sqlite3_bind_null(m_stmt.get(), position));
    return *this;
}

void Sqlite3Prepared::reset()
{
    sqlite3_reset(m_stmt.get());
    sqlite3_clear_bindings(m_stmt.get());
}

int Sqlite3Prepared::step()
{
    if (!isLive()) {
        if (m_stmt)
            reset();
        throw Sqlite3Exception(QString::fromLatin1(kNotOpen), SQLITE_MISUSE, m_sql);
    }
    qint64 spent = 0;
    const int rc = guarded(m_guard.get(), spent, [&] { return sqlite3_step(m_stmt.get()); });
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        reset();
        throwCallError(m_db, m_guard.get(), rc, m_sql);
    }
    return rc;
}

void Sqlite3Prepared::run()
{
    while (step() == SQLITE_ROW) {
    }
    reset();
}

std::optional<qint64> Sqlite3Prepared::firstInt64()
{
    std::optional<qint64> first;
    if (step() == SQLITE_ROW)
        first = sqlite3_column_int64(m_stmt.get(), 0);
    reset();
    return first;
}

// ---------------------------------------------------------------------------------------------
// Sqlite3DB::StatementCache

// Idle prepared statements keyed by SQL text. A statement is taken out while it runs and put back
// afterwards, so a nested run of the same text prepares its own and nothing steps one statement
// twice at once. Texts that embed values would each take an entry: the least recently used entry
// goes when the cache is full.
class Sqlite3DB::StatementCache {
public:
    // The idle statement for text, or null when there is none.
    StmtPtr take(const QString& text)
    {
        Entry* entry = find(text);
        return entry ? std::move(entry->stmt) : nullptr;
    }

    // Keeps stmt, reset and without bindings, for the next run of text.
    void put(const QString& text, StmtPtr stmt)
    {
        sqlite3_reset(stmt.get());  // also releases the locks the run took
        sqlite3_clear_bindings(stmt.get());
        Entry* entry = find(text);
        if (!entry) {
            if (m_entries.size() >= kCapacity)
                evictLeastRecentlyUsed();
            auto added = m_entries.emplace(text, Entry{});
            entry = &added.first->second;
            m_recent = &*added.first;
        }
        entry->stmt = std::move(stmt);  // a statement already idle for the same text is finalized
        entry->lastUse = ++m_tick;
    }

private:
    static constexpr std::size_t kCapacity = 64;

    struct Entry {
        StmtPtr stmt;  // null while taken
        quint64 lastUse = 0;
    };
    using Map = std::unordered_map<QString, Entry, QStringHasher>;  // our own keys: the program's SQL

    // A loop runs one text again and again from the same string: that entry is found without hashing
    // the text, which for a long insert costs more than running it.
    Entry* find(const QString& text)
    {
        if (m_recent && m_recent->first.isSharedWith(text))
            return &m_recent->second;
        const auto found = m_entries.find(text);
        if (found == m_entries.end())
            return nullptr;
        m_recent = &*found;
        return &found->second;
    }

    void evictLeastRecentlyUsed()
    {
        auto oldest = m_entries.begin();
        for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
            if (it->second.lastUse < oldest->second.lastUse)
                oldest = it;
        }
        if (oldest == m_entries.end())
            return;
        if (m_recent == &*oldest)
            m_recent = nullptr;
        m_entries.erase(oldest);
    }

    Map m_entries;
    Map::value_type* m_recent = nullptr;  // the entry last found or added; elements stay put in the map
    quint64 m_tick = 0;
};

// ---------------------------------------------------------------------------------------------
// Sqlite3DB

// A database this program creates holds someone's messages: made empty and open to its owner alone
// before SQLite fills it (SQLite would follow the umask, and its journals follow the file's mode).
static void precreatePrivateFile(const QByteArray& path, int flags)
{
    if (!(flags & SQLITE_OPEN_CREATE) || (flags & SQLITE_OPEN_MEMORY) || path.isEmpty() || path == ":memory:"
        || path.startsWith("file:"))
        return;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd >= 0)
        ::close(fd);  // otherwise it is there already, or SQLite reports why it cannot be made
}

// Settings of the library as a whole. SQLite takes them only before it initialises, which its first
// connection does, wherever made (tests and tools open files with the C API too), so they are made
// while the program starts. Without its memory statistics, which nothing here reads, an allocation or
// free inside SQLite takes no process-wide mutex: a copy of a large history makes millions of them.
[[maybe_unused]] static const int kLibraryConfigured = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);

Sqlite3DB::Sqlite3DB() : m_guard(std::make_shared<Sqlite3StepGuard>()) {}

Sqlite3DB::~Sqlite3DB()
{
    close();
}

void Sqlite3DB::openThrow(const QString& path, int flags)
{
    close();
    const QByteArray utf8 = path.toUtf8();
    if (utf8.contains('\0'))  // the C API would silently cut the path there
        throw Sqlite3Exception(QStringLiteral("cannot open a path holding a NUL character"), SQLITE_CANTOPEN);
    precreatePrivateFile(utf8, flags);
    sqlite3* db = nullptr;
    // A connection serves one thread at a time (its statement cache and limits are not locked
    // either), so SQLite need not lock it again for every call, one per column of every row.
    const int rc = sqlite3_open_v2(utf8.constData(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const QString message = db ? QString::fromUtf8(sqlite3_errmsg(db)) : QString::fromUtf8(sqlite3_errstr(rc));
        // SQLite usually hands back a handle even on failure; it must not stay half-open.
        sqlite3_close(db);
        throw Sqlite3Exception(QStringLiteral("cannot open %1: %2").arg(path, message), rc);
    }
    sqlite3_busy_timeout(db, 5000);
    // Whatever the library's build defaults: with recursive triggers, "replace into" a join table
    // would fire the delete triggers that remove the very message or attachment being linked again.
    sqlite3_exec(db, "PRAGMA foreign_keys=OFF; PRAGMA recursive_triggers=OFF;", nullptr, nullptr, nullptr);
    // Files come from devices and backups: a view in place of a table we read could be a recursive
    // query without end and hang the reader. We only ever read tables, so views are refused.
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    m_db = db;
    m_path = path;
    m_open = QSharedPointer<std::atomic<bool>>::create(true);
    m_statements = std::make_unique<StatementCache>();
    m_guard->peak = 0;
    applyLimits();
}

void Sqlite3DB::applyLimits()
{
    if (!m_db)
        return;
    if (m_maxColumns > 0)
        sqlite3_limit(m_db, SQLITE_LIMIT_COLUMN, m_maxColumns);
    if (m_maxStatementBytes > 0)
        sqlite3_limit(m_db, SQLITE_LIMIT_SQL_LENGTH, m_maxStatementBytes);
    if (m_guard->active())
        sqlite3_progress_handler(m_db, Sqlite3StepGuard::kInterval, &Sqlite3StepGuard::onProgress, m_guard.get());
    else
        sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
}

void Sqlite3DB::setStepBudget(qint64 maxSteps)
{
    m_guard->budget = qMax<qint64>(0, maxSteps);
    applyLimits();
}

void Sqlite3DB::setSchemaLimits(int maxColumns, int maxStatementBytes, qint64 maxSteps)
{
    m_maxColumns = qMax(0, maxColumns);
    m_maxStatementBytes = qMax(0, maxStatementBytes);
    m_guard->prepareBudget = qMax<qint64>(0, maxSteps);
    applyLimits();
}

void Sqlite3DB::setCancelCheck(std::function<bool()> cancelled)
{
    m_guard->cancelled = std::move(cancelled);
    applyLimits();
}

qint64 Sqlite3DB::peakStatementSteps() const
{
    return m_guard->peak;
}

void Sqlite3DB::close()
{
    if (!m_db)
        return;
    // Cursors that outlive the connection never step again (they see m_open false); resetting
    // their statements now releases the file locks they hold, so other connections can write.
    m_open->store(false);
    m_open.reset();
    m_statements.reset();  // finalizes the idle statements
    // Nothing below may be stopped half-way, and a zombie connection must not call the handler.
    sqlite3_progress_handler(m_db, 0, nullptr, nullptr);
    for (sqlite3_stmt* s = sqlite3_next_stmt(m_db, nullptr); s; s = sqlite3_next_stmt(m_db, s))
        sqlite3_reset(s);
    if (inTransaction())
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    // With statements still alive in cursors the connection lingers until the last is finalized.
    sqlite3_close_v2(m_db);
    m_db = nullptr;
}

void Sqlite3DB::beginTran()
{
    executeThrow("BEGIN");
}

void Sqlite3DB::commitTran()
{
    try {
        executeThrow("COMMIT");
    } catch (const Sqlite3Exception&) {
        // A busy or full disk leaves the transaction open; drop it so no caller thinks it still runs.
        if (inTransaction())
            sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Sqlite3DB::rollbackTran()
{
    executeThrow("ROLLBACK");
}

bool Sqlite3DB::inTransaction() const
{
    return m_db && !sqlite3_get_autocommit(m_db);
}

qint64 Sqlite3DB::lastInsertId() const
{
    return m_db ? sqlite3_last_insert_rowid(m_db) : 0;
}

int Sqlite3DB::changes() const
{
    return m_db ? sqlite3_changes(m_db) : 0;
}

void Sqlite3DB::requireOpen(const Sqlite3Sql& sql) const
{
    if (!m_db)
        throw Sqlite3Exception(QString::fromLatin1(kNotOpen), SQLITE_MISUSE, sql.sql());
}

sqlite3_stmt* Sqlite3DB::prepareThrow(const Sqlite3Sql& sql)
{
    requireOpen(sql);
    return prepareAndBind(m_db, m_guard.get(), sql).release();
}

// A statement of the cache, prepared the first time its text runs, bound, and handed back to the
// cache however its run ends: a failed step or bind leaves it usable once reset.
class Sqlite3DB::CachedStatement {
public:
    CachedStatement(Sqlite3DB& db, const Sqlite3Sql& sql)
        : m_db(db), m_sql(sql), m_stmt(db.m_statements->take(sql.sql()))
    {
        if (!m_stmt)
            m_stmt = prepareOne(db.m_db, db.m_guard.get(), sql);
    }
    ~CachedStatement()
    {
        if (m_stmt && m_db.m_statements)
            m_db.m_statements->put(m_sql.sql(), std::move(m_stmt));
    }
    CachedStatement(const CachedStatement&) = delete;
    CachedStatement& operator=(const CachedStatement&) = delete;

    // The caller's parameters outlive the run, and the cache clears the bindings before it ends.
    void bind() { m_sql.bindTo(m_stmt.get(), Sqlite3Sql::Binding::Borrowed); }
    // SQLITE_ROW or SQLITE_DONE; any other result throws.
    int step()
    {
        const int rc = m_db.m_guard->run(m_spent, m_db.m_guard->budget, [&] { return sqlite3_step(m_stmt.get()); });
        if (rc != SQLITE_ROW && rc != SQLITE_DONE)
            throwCallError(m_db.m_db, m_db.m_guard.get(), rc, m_sql.sql());
        return rc;
    }
    sqlite3_stmt* get() const { return m_stmt.get(); }

private:
    Sqlite3DB& m_db;
    const Sqlite3Sql& m_sql;
    StmtPtr m_stmt;
    qint64 m_spent = 0;
};

void Sqlite3DB::executeThrow(const Sqlite3Sql& sql)
{
    requireOpen(sql);
    CachedStatement statement(*this, sql);
    statement.bind();
    while (statement.step() == SQLITE_ROW) {
    }
}

std::optional<qint64> Sqlite3DB::queryFirstInt64(const Sqlite3Sql& sql)
{
    requireOpen(sql);
    CachedStatement statement(*this, sql);
    statement.bind();
    if (statement.step() != SQLITE_ROW)
        return std::nullopt;
    return sqlite3_column_int64(statement.get(), 0);
}

Sqlite3Prepared Sqlite3DB::prepare(const QString& sql)
{
    const Sqlite3Sql text(sql);
    requireOpen(text);
    Sqlite3Prepared prepared;
    prepared.m_stmt.reset(prepareOne(m_db, m_guard.get(), text).release());
    prepared.m_texts.resize(size_t(sqlite3_bind_parameter_count(prepared.m_stmt.get())));
    prepared.m_db = m_db;
    prepared.m_sql = sql;
    prepared.m_connectionOpen = m_open;
    prepared.m_guard = m_guard;
    return prepared;
}

Sqlite3Cursor Sqlite3DB::queryThrow(const Sqlite3Sql& sql)
{
    StmtPtr stmt(prepareThrow(sql));
    auto owner = QSharedPointer<Sqlite3Stmt>::create(m_db, stmt.get(), sql, m_open, m_guard);
    stmt.release();  // owned by the Sqlite3Stmt now
    return Sqlite3Cursor(owner);
}

int Sqlite3DB::exec(const QString& sql, QString& error)
{
    error.clear();
    if (!m_db) {
        error = QString::fromLatin1(kNotOpen);
        return SQLITE_MISUSE;
    }
    char* message = nullptr;
    const QByteArray utf8 = sql.toUtf8();
    qint64 spent = 0;
    const int rc = m_guard->run(spent, m_guard->budget,
                                [&] { return sqlite3_exec(m_db, utf8.constData(), nullptr, nullptr, &message); });
    if (rc == SQLITE_INTERRUPT && m_guard->stop())
        error = QString::fromUtf8(Sqlite3Interrupted(*m_guard->stop(), QString()).what());
    else if (rc != SQLITE_OK)
        error = QString::fromUtf8(message ? message : sqlite3_errmsg(m_db));
    sqlite3_free(message);
    return rc;
}

TextHash<_SqliteCol> Sqlite3DB::tbInfo(const QString& table)
{
    TextHash<_SqliteCol> columns;  // names from the file
    Sqlite3Cursor cursor = queryThrow(QStringLiteral("PRAGMA table_info(%1)").arg(sqliteQuoteIdentifier(table)));
    while (cursor.moveNext()) {
        const QString name = cursor.getText(QStringLiteral("name"));
        columns.insert(name, _SqliteCol(name, cursor.getText(QStringLiteral("type")),
                                        cursor.getInt(QStringLiteral("notnull")) != 0,
                                        !cursor.isNull(QStringLiteral("dflt_value")),
                                        cursor.getInt(QStringLiteral("pk")) > 0));
    }
    return columns;
}

QStringList Sqlite3DB::generatedColumns(const QString& table)
{
    // hidden is 2 for a generated column computed on reading, 3 for one stored on writing.
    Sqlite3Cursor cursor =
        queryThrow(Sqlite3Sql("select name from pragma_table_xinfo(?) where hidden in (2, 3)").addTextParam(table));
    QStringList names;
    while (cursor.moveNext())
        names.append(cursor.getText(0));
    return names;
}

// ---------------------------------------------------------------------------------------------
// Sqlite3ReadTransaction

Sqlite3ReadTransaction::Sqlite3ReadTransaction(Sqlite3DB& db) : m_db(db)
{
    if (m_db.isOpen() && !m_db.inTransaction()) {
        m_db.beginTran();
        m_began = true;
    }
}

Sqlite3ReadTransaction::~Sqlite3ReadTransaction()
{
    if (!m_began || !m_db.isOpen() || !m_db.inTransaction())
        return;
    try {
        m_db.commitTran();
    } catch (...) {  // it wrote nothing: a failed end only releases the locks
    }
}
