// Our SQLite layer against the plain SQLite C API doing the same work, timed in the same run.
// Both sides produce the same values (QString text included), so the slowdown is the layer's cost.
#include "floors.h"
#include "platform/sqlite3db.h"

#include <QTemporaryDir>
#include <QVector>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

const char kSchema[] =
    "create table message(ROWID integer primary key autoincrement, guid text, text text, date integer,"
    " is_from_me integer)";
const char kInsert[] = "insert into message(guid, text, date, is_from_me) values(?, ?, ?, ?)";
const char kSelect[] = "select ROWID, guid, text, date, is_from_me from message";

struct Message {
    QString guid;
    QString text;
    qint64 date;
    int fromMe;
};

QVector<Message> makeMessages(int n)
{
    QVector<Message> messages;
    messages.reserve(n);
    for (int i = 0; i < n; ++i)
        messages.append({QStringLiteral("GUID-%1").arg(i, 8, 10, QLatin1Char('0')),
                         QStringLiteral("Message number %1 with a little text, grüße").arg(i),
                         400000000 + i, i % 2});
    return messages;
}

void check(int rc, sqlite3* db)
{
    if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW)
        throw std::runtime_error(sqlite3_errmsg(db));
}

// A raw connection on a new file holding the empty message table.
sqlite3* openRaw(const QString& path)
{
    sqlite3* db = nullptr;
    check(sqlite3_open_v2(path.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
          db);
    check(sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr), db);
    return db;
}

void insertRaw(sqlite3* db, const QVector<Message>& messages)
{
    check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db);
    sqlite3_stmt* stmt = nullptr;
    check(sqlite3_prepare_v2(db, kInsert, -1, &stmt, nullptr), db);
    for (const Message& m : messages) {
        const QByteArray guid = m.guid.toUtf8();
        const QByteArray text = m.text.toUtf8();
        sqlite3_bind_text(stmt, 1, guid.constData(), guid.size(), SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, text.constData(), text.size(), SQLITE_STATIC);
        sqlite3_bind_int64(stmt, 3, m.date);
        sqlite3_bind_int(stmt, 4, m.fromMe);
        check(sqlite3_step(stmt), db);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
}

void insertOurs(Sqlite3DB& db, const QVector<Message>& messages)
{
    db.beginTran();
    for (const Message& m : messages)
        db.executeThrow(Sqlite3Sql(kInsert)
                            .addTextParam(m.guid)
                            .addTextParam(m.text)
                            .addInt64Param(m.date)
                            .addIntParam(m.fromMe));
    db.commitTran();
}

void setCounters(benchmark::State& state, qint64 rows, double ours, double raw)
{
    state.counters["ours_per_s"] = benchmark::Counter(rows / ours);
    state.counters["raw_per_s"] = benchmark::Counter(rows / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}

void BM_InsertInOneTransaction(benchmark::State& state)
{
    const QVector<Message> messages = makeMessages(floors::benchMessages());
    QTemporaryDir dir;
    double ours = 0;
    double raw = 0;
    int round = 0;
    for (auto _ : state) {
        ++round;
        const QString rawPath = dir.filePath(QStringLiteral("raw%1.db").arg(round));
        sqlite3* rawDb = openRaw(rawPath);
        auto start = Clock::now();
        insertRaw(rawDb, messages);
        raw += floors::seconds(Clock::now() - start);
        sqlite3_close(rawDb);

        const QString ourPath = dir.filePath(QStringLiteral("ours%1.db").arg(round));
        sqlite3_close(openRaw(ourPath));
        Sqlite3DB db;
        db.openThrow(ourPath, 2);
        start = Clock::now();
        insertOurs(db, messages);
        const double elapsed = floors::seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
    }
    setCounters(state, qint64(messages.size()) * round, ours, raw);
}

void BM_ReadByName(benchmark::State& state)
{
    const QVector<Message> messages = makeMessages(floors::benchMessages());
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("read.db"));
    sqlite3* rawDb = openRaw(path);
    insertRaw(rawDb, messages);
    Sqlite3DB db;
    db.openThrow(path, 1);

    double ours = 0;
    double raw = 0;
    qint64 rows = 0;
    for (auto _ : state) {
        qint64 sum = 0;
        auto start = Clock::now();
        sqlite3_stmt* stmt = nullptr;
        check(sqlite3_prepare_v2(rawDb, kSelect, -1, &stmt, nullptr), rawDb);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            sum += sqlite3_column_int64(stmt, 0) + sqlite3_column_int64(stmt, 3) + sqlite3_column_int(stmt, 4);
            const auto* guid = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
            sum += QString::fromUtf8(guid, sqlite3_column_bytes(stmt, 1)).size();
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
            sum += QString::fromUtf8(text, sqlite3_column_bytes(stmt, 2)).size();
        }
        sqlite3_finalize(stmt);
        raw += floors::seconds(Clock::now() - start);

        qint64 ourSum = 0;
        start = Clock::now();
        Sqlite3Cursor cursor = db.queryThrow(kSelect);
        while (cursor.moveNext()) {
            ourSum += cursor.getInt64(QStringLiteral("rowid")) + cursor.getInt64(QStringLiteral("date"))
                      + cursor.getInt(QStringLiteral("is_from_me"));
            ourSum += cursor.getText(QStringLiteral("guid")).size();
            ourSum += cursor.getText(QStringLiteral("text")).size();
        }
        const double elapsed = floors::seconds(Clock::now() - start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        if (ourSum != sum)
            state.SkipWithError("our layer read other values than the raw API");
        rows += messages.size();
        benchmark::DoNotOptimize(ourSum);
    }
    sqlite3_close(rawDb);
    setCounters(state, rows, ours, raw);
}

}  // namespace

BENCHMARK(BM_InsertInOneTransaction)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadByName)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    return floors::runInTemporaryHome(argc, argv);
}
