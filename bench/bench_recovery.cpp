// Carving deleted messages out of a message database of 100,000 messages (BENCH_MESSAGES) after 30% of
// them were deleted, against a floor timed in the same run: the engine reading every row of every table,
// plus one plain pass over the same free regions that reads one varint per byte offset.
//
// Counters: ours_per_s and raw_per_s are bytes of free space a second, slowdown ours over the floor,
// MB_per_s the free space carved a second; recall is the deleted messages found whole (guid, text, date
// and is_from_me equal) over those whose guid and text are still bytes of the file; false_finds counts
// live messages reported as deleted.
//
// BM_ScanAndReadBack runs the whole deleted-message scan of an iOS 6 database (handles, then messages,
// into a fresh recycle database) and reads the recovered messages back into a store, against the same
// floor over what that scan carves besides: the gap of every page of the other b-trees.
// read_back_recall is the survivors that come back whole from the store.
//
// BM_RecoveryShapes does the same on databases deleted from as devices delete, one per shape of
// fixtures/recovery_shapes.h (10,000 messages unless BENCH_MESSAGES): recall is the surviving deleted
// messages read back with text, date, direction and address right, text_recall the same without the
// address (a deleted conversation's may stay unknown), false_finds every message read back that was
// not deleted as it is shown (live, cut, garbled, or with any field wrong). date_inversions counts the
// live rows dated before the row before them: what a check of dates against neighbours must allow.
//
// BM_ScanKeys scans 40,000 (BENCH_MESSAGES) deleted iOS 6 messages known by their guids, or live iOS 5
// ones known by their texts, with keys crafted so that Qt's string hashes agree under every seed
// (fixtures/crafted_keys.h), against plain keys of the same form: slowdown is crafted over plain.
#include "floors.h"
#include "recovery/deletedscan.h"
#include "recovery/sqlite3file.h"

#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6messagedb.h"
#include "platform/allocator.h"

#include "fixtures/crafted_keys.h"
#include "fixtures/deleted_records.h"
#include "fixtures/recovery_shapes.h"
#include "fixtures/sqlite_insert.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <limits>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Region {
    qint64 start;
    qint64 end;
};

// What a deleted-message scan carves: every freelist page whole, and the unallocated gap and the
// freeblocks of the message table's leaf pages (with otherTrees, the gap of every page of the other
// b-trees too, which the whole scan also carves).
std::vector<Region> freeRegions(const Sqlite3File& file, quint32 root, const std::vector<quint32>& otherTrees = {})
{
    std::vector<Region> regions;
    const auto wholePage = [&](quint32 n) {
        const qint64 start = qint64(n - 1) * file.pageSize();
        regions.push_back({start, start + file.usableSize()});
    };
    for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks()) {
        wholePage(trunk.pageNumber);
        for (const quint32 leaf : trunk.leaves)
            wholePage(leaf);
    }
    for (const Sqlite3Page& page : file.collectLeafPages(file.readPage(root))) {
        for (const Sqlite3Region& region : file.freeRegions(page))
            regions.push_back({region.start, region.end});
    }
    for (const quint32 other : otherTrees) {
        for (const Sqlite3Page& page : file.collectAllPages(file.readPage(other)))
            regions.push_back({page.cellArrayEnd(), page.pageStart + std::min<qint64>(page.cellContentStart, file.usableSize())});
    }
    return regions;
}

// The whole road for the database in dir: handles, then messages, into a fresh recycle database, and
// back into store beside the live conversations.
void scanAndReadBack(const QString& dir, fixtures::DeviceLayout layout, _MsgStore& store)
{
    if (layout == fixtures::DeviceLayout::IOS5) {
        IOS5MessageDb db(QDir(dir), QStringLiteral("310"));
        QFile::remove(db.recycleDb().filePath());
        scanDeletedMessages(db, nullptr);
        db.recycledMessages(store);
        return;
    }
    IOS6MessageDb db(QDir(dir), QStringLiteral("310"), false);
    QFile::remove(db.recycleDb().filePath());
    db.chats(store);
    scanDeletedHandles(db, nullptr);
    scanDeletedMessages(db, store.chatList(), nullptr);
    db.recycledMessages(store);
}

QList<RecoveredRow> carveOurs(const QString& path, const QVector<_SqliteCol>& columns, quint32 root,
                              const Sqlite3File::RowValidator& validator)
{
    Sqlite3File file(path);
    file.open();
    QList<RecoveredRow> rows;
    for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks()) {
        rows += file.carvePage(columns, 0, trunk.pageNumber, 0, validator);
        for (const quint32 leaf : trunk.leaves)
            rows += file.carvePage(columns, 0, leaf, 0, validator);
    }
    for (const Sqlite3Page& page : file.collectLeafPages(file.readPage(root)))
        rows += file.carveFreeSpace(columns, 0, page, validator);
    return rows;
}

// The engine reading every column of every row of every table.
qint64 readEveryTable(sqlite3* db, const QList<QByteArray>& tables)
{
    qint64 values = 0;
    for (const QByteArray& table : tables) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "select * from \"" + table + '"', -1, &stmt, nullptr);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                const int type = sqlite3_column_type(stmt, i);
                values += type == SQLITE_INTEGER ? sqlite3_column_int64(stmt, i) != 0
                        : type == SQLITE_TEXT   ? sqlite3_column_bytes(stmt, i)
                                                 : type != SQLITE_NULL;
            }
        }
        sqlite3_finalize(stmt);
    }
    return values;
}

// One varint per byte offset, decoded the plain way.
quint64 varintPass(const uchar* data, const std::vector<Region>& regions)
{
    quint64 sum = 0;
    for (const Region& region : regions) {
        for (qint64 s = region.start; s < region.end; ++s) {
            quint64 value = 0;
            for (qint64 i = s; i < region.end && i < s + 9; ++i) {
                value = (value << 7) | (data[i] & 0x7f);
                if (!(data[i] & 0x80))
                    break;
            }
            sum += value;
        }
    }
    return sum;
}

template <typename Values>
QString messageKey(const Values& values, const std::vector<int>& columns)
{
    QStringList parts;
    for (const int column : columns)
        parts.append(values.value(column).toString());
    return parts.join(QChar(0x1f));
}

// A deleted-records database of BENCH_MESSAGES messages where a message database object finds it, and
// what both benchmarks measure and time against.
struct Setup {
    QTemporaryDir dir;
    QString path = fixtures::ios6DbPathIn(dir.path());
    fixtures::DeletedRecordsDb truth;
    QList<QByteArray> tables;
    std::vector<Region> regions;
    std::vector<Region> scanRegions;  // what the whole scan carves
    qint64 freeBytes = 0;
    qint64 scanFreeBytes = 0;
    std::vector<int> wholeKey;
    int guid = -1;

    static constexpr quint32 kRoot = 2;  // the first table the schema creates

    Setup()
    {
        fixtures::DeletedRecordsOptions options;
        options.messages = floors::benchMessages();
        truth = fixtures::createDeletedRecordsDb(path, options);
        std::vector<quint32> otherTrees;
        for (const fixtures::TableRow& row : fixtures::tableRows(path, QStringLiteral("sqlite_master"))) {
            if (row.values[0].toString() == QLatin1String("table"))
                tables.append(row.values[1].toString().toUtf8());
            if (row.values[3].toUInt() > 0 && row.values[3].toUInt() != kRoot)
                otherTrees.push_back(row.values[3].toUInt());
        }
        guid = column("guid");
        wholeKey = {guid, column("text"), column("date"), column("is_from_me")};
        Sqlite3File file(path);
        file.open();
        regions = freeRegions(file, kRoot);
        scanRegions = freeRegions(file, kRoot, otherTrees);
        for (const Region& region : regions)
            freeBytes += region.end - region.start;
        for (const Region& region : scanRegions)
            scanFreeBytes += region.end - region.start;
    }

    int column(const char* name) const
    {
        for (int i = 0; i < truth.columns.size(); ++i) {
            if (truth.columns[i].name() == QLatin1String(name))
                return i;
        }
        return -1;
    }

    // The floor: the engine reading every table, and one varint per free byte.
    double rawSeconds(bool wholeScan = false) const
    {
        const auto db = fixtures::openSqliteFile(path);
        Sqlite3File file(path);
        file.open();
        const auto start = Clock::now();
        benchmark::DoNotOptimize(readEveryTable(db.get(), tables));
        benchmark::DoNotOptimize(varintPass(file.data(), wholeScan ? scanRegions : regions));
        return secondsSince(start);
    }

    // Survivors found whole among keys, over all survivors.
    double recall(const QSet<QString>& keys) const
    {
        int survivors = 0;
        int foundWhole = 0;
        for (const fixtures::DeletedMessage& message : truth.deleted) {
            survivors += message.survives;
            foundWhole += message.survives && keys.contains(messageKey(message.values, wholeKey));
        }
        return survivors ? double(foundWhole) / survivors : 1;
    }

    void report(benchmark::State& state, double ours, double raw, bool wholeScan = false) const
    {
        const double iterations = double(state.iterations());
        const double freeBytes = double(wholeScan ? scanFreeBytes : this->freeBytes);
        state.counters["ours_per_s"] = benchmark::Counter(freeBytes * iterations / ours);
        state.counters["raw_per_s"] = benchmark::Counter(freeBytes * iterations / raw);
        state.counters["slowdown"] = benchmark::Counter(ours / raw);
        state.counters["MB_per_s"] = benchmark::Counter(freeBytes * iterations / ours / 1e6);
    }
};

void BM_CarveDeletedMessages(benchmark::State& state)
{
    const Setup setup;
    const int service = setup.column("service");
    // The check a deleted-message scan makes of an iOS 6 row.
    const Sqlite3File::RowValidator validator = [service](const RecoveredRow& row) {
        const QString value = row.values.value(service).toString();
        return value.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0 ||
               value.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
    };

    double ours = 0;
    double raw = 0;
    QList<RecoveredRow> carved;
    for (auto _ : state) {
        raw += setup.rawSeconds();
        const auto start = Clock::now();
        carved = carveOurs(setup.path, setup.truth.columns, Setup::kRoot, validator);
        const double elapsed = secondsSince(start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
    }

    QSet<QString> live;
    for (const fixtures::TableRow& row : fixtures::tableRows(setup.path, QStringLiteral("message")))
        live.insert(row.values.value(setup.guid).toString());
    QSet<QString> found;
    int falseFinds = 0;
    for (const RecoveredRow& row : carved) {
        found.insert(messageKey(row.values, setup.wholeKey));
        falseFinds += live.contains(row.values.value(setup.guid).toString());
    }
    setup.report(state, ours, raw);
    state.counters["recall"] = benchmark::Counter(setup.recall(found));
    state.counters["false_finds"] = benchmark::Counter(falseFinds);
    state.counters["deleted"] = benchmark::Counter(setup.truth.deleted.size());
}

void BM_ScanAndReadBack(benchmark::State& state)
{
    const Setup setup;
    double ours = 0;
    double raw = 0;
    std::unique_ptr<_MsgStore> store;
    for (auto _ : state) {
        raw += setup.rawSeconds(true);
        store = std::make_unique<_MsgStore>();
        const auto start = Clock::now();
        scanAndReadBack(setup.dir.path(), fixtures::DeviceLayout::IOS6, *store);
        const double elapsed = secondsSince(start);
        ours += elapsed;
        state.SetIterationTime(elapsed);
    }

    // The store's recovered messages as rows of the message table: guid, text, date and direction.
    QSet<QString> readBack;
    for (const _MsgMessage* m : store->data()->messages) {
        if (m->isHighlighted)
            readBack.insert(QStringList{m->guid, m->text, QString::number(m->date), QString::number(m->is_from_me)}.join(QChar(0x1f)));
    }
    setup.report(state, ours, raw, true);
    state.counters["read_back_recall"] = benchmark::Counter(setup.recall(readBack));
    state.counters["recovered"] = benchmark::Counter(readBack.size());
}

// Live rows dated before the live row just before them by row id; iOS 5 SMS rows keep Unix seconds.
int dateInversions(const QString& path, fixtures::DeviceLayout layout)
{
    const auto db = fixtures::openSqliteFile(path);
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db.get(),
                       layout == fixtures::DeviceLayout::IOS5
                           ? "select case when is_madrid = 1 then date else date - 978307200 end from message order by rowid"
                           : "select date from message order by rowid",
                       -1, &raw, nullptr);
    const std::unique_ptr<sqlite3_stmt, fixtures::SqliteFinalizer> rows(raw);
    int inversions = 0;
    qint64 before = std::numeric_limits<qint64>::min();
    while (sqlite3_step(raw) == SQLITE_ROW) {
        const qint64 date = sqlite3_column_int64(raw, 0);
        inversions += date < before;
        before = date;
    }
    return inversions;
}

void BM_RecoveryShapes(benchmark::State& state)
{
    const fixtures::ShapeCase& shape = fixtures::shapeCases().at(int(state.range(0)));
    state.SetLabel(shape.name);
    QTemporaryDir dir;
    const fixtures::ShapeDb truth =
        fixtures::createShapeDb(fixtures::ios6DbPathIn(dir.path()), shape, floors::benchMessages(10000), 20261209);
    fixtures::ShapeScore score;
    for (auto _ : state) {
        _MsgStore store;
        const auto start = Clock::now();
        scanAndReadBack(dir.path(), shape.layout, store);
        state.SetIterationTime(secondsSince(start));
        score = fixtures::scoreRecovered(truth, store);
    }
    state.counters["recall"] = benchmark::Counter(score.recall());
    state.counters["text_recall"] = benchmark::Counter(score.textRecall());
    state.counters["false_finds"] = benchmark::Counter(score.falseFinds);
    state.counters["wrong_address"] = benchmark::Counter(score.wrongAddress);
    state.counters["survivors"] = benchmark::Counter(score.survivors);
    state.counters["deleted"] = benchmark::Counter(truth.deleted.size());
    state.counters["date_inversions"] =
        benchmark::Counter(dateInversions(fixtures::ios6DbPathIn(dir.path()), shape.layout));
}

// The scan of a database of one layout holding keys, in seconds.
double scanSeconds(fixtures::DeviceLayout layout, const QStringList& keys)
{
    QTemporaryDir dir;
    fixtures::createKeyedMessagesDb(fixtures::ios6DbPathIn(dir.path()), layout, keys);
    IOS6MessageDb db6(QDir(dir.path()), QStringLiteral("310"), false);
    IOS5MessageDb db5(QDir(dir.path()), QStringLiteral("310"));
    const auto start = Clock::now();
    layout == fixtures::DeviceLayout::IOS6 ? scanDeletedMessages(db6, {}, nullptr) : scanDeletedMessages(db5, nullptr);
    return secondsSince(start);
}

// range(0): 1 for iOS 6 deleted guids, 0 for iOS 5 live texts.
void BM_ScanKeys(benchmark::State& state)
{
    const auto layout = state.range(0) == 1 ? fixtures::DeviceLayout::IOS6 : fixtures::DeviceLayout::IOS5;
    state.SetLabel(state.range(0) == 1 ? "iOS 6 deleted guids" : "iOS 5 live texts");
    const int rows = floors::benchMessages(40000);
    const QString prefix = QStringLiteral("k");
    const QStringList crafted = crcCollidingTexts(prefix, prefix, rows);
    const QStringList plain = plainTextsLike(prefix, prefix, rows);
    double craftedSeconds = 0;
    double plainSeconds = 0;
    for (auto _ : state) {
        const double seconds = scanSeconds(layout, crafted);
        state.SetIterationTime(seconds);
        craftedSeconds += seconds;
        plainSeconds += scanSeconds(layout, plain);
    }
    state.counters["crafted_s"] = benchmark::Counter(craftedSeconds);
    state.counters["plain_s"] = benchmark::Counter(plainSeconds);
    state.counters["slowdown"] = benchmark::Counter(craftedSeconds / plainSeconds);
}

}  // namespace

BENCHMARK(BM_ScanKeys)->Arg(1)->Arg(0)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecoveryShapes)->DenseRange(0, int(fixtures::shapeCases().size()) - 1)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CarveDeletedMessages)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAndReadBack)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    tuneAllocator();
    // The scans copy the country library into a data folder: ours, not the user's.
    const floors::TemporaryHome home;
    QCoreApplication app(argc, argv);
    return floors::runBenchmarks(argc, argv);
}
