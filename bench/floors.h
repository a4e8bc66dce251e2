#pragma once
// Raw floors the benchmarks share: the same work as our code done with the plain SQLite C API, plain
// system calls and OpenSSL EVP, for benchmarks that time one stage and for those that time a whole
// road (cache, read, copy) against the sum of its floors. Also the rules the file-writing
// benchmarks follow: fresh folders on the same file system, the two sides in turn.
#include "msgdb/records.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace floors {

// Points HOME and XDG_DATA_HOME at a temporary folder for the object's life, as the tests do: what a
// benchmark runs must never write into the data folder of whoever runs it.
class TemporaryHome {
public:
    TemporaryHome();
    TemporaryHome(const TemporaryHome&) = delete;
    TemporaryHome& operator=(const TemporaryHome&) = delete;

private:
    QTemporaryDir m_home;
};

// Runs the benchmarks the command line names; 1 when it names something unknown.
int runBenchmarks(int argc, char** argv);
// The benchmarks' main: runBenchmarks in a TemporaryHome.
int runInTemporaryHome(int argc, char** argv);

using Clock = std::chrono::steady_clock;
double seconds(Clock::duration elapsed);

// Messages of a generated history: BENCH_MESSAGES, else defaultCount.
int benchMessages(int defaultCount = 100000);
// Writes a generated device message database of benchMessages() messages at path; returns its bytes.
QByteArray generatedDatabase(const QString& path);

struct RawDb {
    sqlite3* db = nullptr;
    RawDb(const QString& path, int flags)
    {
        if (sqlite3_open_v2(path.toUtf8().constData(), &db, flags, nullptr) != SQLITE_OK)
            throw std::runtime_error("cannot open");
    }
    ~RawDb() { sqlite3_close(db); }
    void exec(const char* sql) const
    {
        if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(db));
    }
};

struct Stmt {
    sqlite3* db;
    sqlite3_stmt* s = nullptr;
    int bound = 0;
    Stmt(sqlite3* d, const char* sql) : db(d)
    {
        if (sqlite3_prepare_v2(d, sql, -1, &s, nullptr) != SQLITE_OK)
            throw std::runtime_error(sqlite3_errmsg(d));
    }
    ~Stmt() { sqlite3_finalize(s); }
    Stmt& i(qint64 v)
    {
        sqlite3_bind_int64(s, ++bound, v);
        return *this;
    }
    Stmt& t(const QString& v)
    {
        const QByteArray u = v.toUtf8();
        sqlite3_bind_text(s, ++bound, u.constData(), u.size(), SQLITE_TRANSIENT);
        return *this;
    }
    // The first column of the first row, or 0.
    qint64 run()
    {
        qint64 first = 0;
        int rc;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW)
            first = first ? first : sqlite3_column_int64(s, 0);
        if (rc != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db));
        sqlite3_reset(s);
        bound = 0;
        return first;
    }
    qint64 insert()
    {
        run();
        return sqlite3_last_insert_rowid(db);
    }
};

// The text of a column of the current row as UTF-8; "" for NULL.
std::string columnText(sqlite3_stmt* s, int col);

// Reads every conversation, handle, message and attachment row the message reader reads, with the
// same queries, into plain values. Returns the messages.
qint64 readRaw(const QString& dbPath);

// The local-database exporter's look-ups and inserts per message with statements prepared once,
// and plain copies of the attachment files found below sourceRelay, into a new database at dir.
// Without synchronous, SQLite never waits for the disk: the rows at their physical floor.
void localDbRaw(const MsgMessageList& messages, const QString& sourceRelay, const QString& dir,
                bool synchronous = true);
// Empty when both local databases hold the same rows and the same number of files, else the first
// difference.
std::string localDbDifference(const QString& oursDir, const QString& rawDir);

// Copies with fopen and fwrite.
bool copyRaw(const QString& from, const QString& to);

// One file of a backup as the cache floor copies it.
struct BackupFile {
    QString stored;         // the file in the backup folder
    QString relative;       // its place below the cache's "file-relay"
    QByteArray wrappedKey;  // the file's key wrapped with its class key; empty when stored plain
    int protectionClass = 0;
    qint64 size = 0;  // the plain size
    quint32 mtime = 0;
};
// Copies files, decrypting those with a key (unwrapped with EVP from the key of its class) into the
// same layout below cacheDir: folders made as needed, each file written under a temporary name,
// given its time and renamed into place, as the cache job writes it.
void cacheRaw(const std::vector<BackupFile>& files, const QMap<int, QByteArray>& classKeys, const QString& cacheDir);
// Empty when the two folders hold the same files with the same bytes, else the first difference.
// Files named in skip (relative paths) are left out.
std::string folderDifference(const QString& oursDir, const QString& rawDir, const QStringList& skip = {});

// Runs the two sides of one measurement in turn: the floor first on even calls, ours first on odd
// ones, each after a sync (not timed), so neither meets the file system's write-back of the other.
// Returns (ours, raw) seconds.
struct Timing {
    double ours = 0;
    double raw = 0;
};
Timing alternate(int call, const std::function<void()>& ours, const std::function<void()>& raw);

// Every iteration of state: ours and the floor, in turn going first, each into a fresh folder of its
// own (all kept until the program ends), then difference of the two folders, which must be empty
// (else the run fails with it). Ours is the iteration's time. Returns the totals of both sides.
Timing timeInTurns(benchmark::State& state, const std::function<void(const QString&)>& ours,
                   const std::function<void(const QString&)>& raw,
                   const std::function<std::string(const QString&, const QString&)>& difference);
// The counters ours_per_s, raw_per_s and slowdown of items done in total.
void reportCounters(benchmark::State& state, double items, const Timing& total);

}  // namespace floors
