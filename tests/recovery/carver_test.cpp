// Carving deleted messages out of real files, and the rules a candidate record has to pass.
#include "recovery/sqlite3file.h"

#include "fixtures/deleted_records.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <QFile>
#include <QHash>

#include <gtest/gtest.h>

namespace {

using fixtures::recordKey;
constexpr int kMessageRoot = 2;  // the first table both schemas create

class CarverTest : public TempHomeTest {
protected:
    QString path() const { return homePath(QStringLiteral("sms.db")); }
};

// Every deleted message comes back whole, and its row id is either the true one or unknown (0): the
// freeblock header SQLite writes over a freed cell's first bytes leaves it unknown.
TEST_F(CarverTest, FindsEveryDeletedMessageWhole)
{
    const struct {
        const char* name;
        fixtures::DeletedRecordsOptions options;
        bool emptied;  // the table's pages are on the freelist; else its leaves' gaps and freeblocks hold the rows
    } cases[] = {
        {"iOS 6: freeblocks, gaps and overflow chains", {fixtures::DeviceLayout::IOS6, 4096, 600, 3, 30, 1}, false},
        {"iOS 5: an emptied table on freelist leaves", {fixtures::DeviceLayout::IOS5, 1024, 150, 0, 100, 1}, true},
    };
    for (const auto& c : cases) {
        const fixtures::DeletedRecordsDb truth = fixtures::createDeletedRecordsDb(path(), c.options);
        Sqlite3File file(path());
        file.open();
        QHash<QString, qint64> found;  // row id by record
        const auto keep = [&found](const QList<RecoveredRow>& rows) {
            for (const RecoveredRow& row : rows)
                found.insert(recordKey(row.values), row.rowid);
        };
        int inGaps = 0;
        for (const Sqlite3FreelistTrunk& trunk : c.emptied ? file.freelistTrunks() : QList<Sqlite3FreelistTrunk>()) {
            for (const quint32 leaf : trunk.leaves)
                // The validator refuses a NULL date (column 2), so the carver may drop those on their types.
                keep(file.carvePage(truth.columns, 0, leaf, 0, [](const RecoveredRow& row) { return row.values[2].toInt() > 0; },
                                    {2}));
        }
        for (const Sqlite3Page& page : c.emptied ? QList<Sqlite3Page>() : file.collectLeafPages(file.readPage(kMessageRoot))) {
            inGaps += file.carveRecords(truth.columns, 0, file.usableSize(), page.cellArrayEnd(),
                                        page.pageStart + page.cellContentStart, {}).size();
            keep(file.carveFreeSpace(truth.columns, 0, page, {}));
        }
        EXPECT_EQ(inGaps > 0, !c.emptied) << c.name;
        for (const fixtures::DeletedMessage& message : truth.deleted) {
            const QString key = recordKey(message.values);
            EXPECT_TRUE(found.contains(key)) << c.name << " " << message.rowid;
            EXPECT_EQ(found.take(key), c.emptied ? message.rowid : 0) << c.name << " " << message.rowid;
        }
        EXPECT_EQ(found.size(), 0) << c.name << ": what was neither deleted nor a record";
    }
}

// A freed record whose last bytes a later cell took: where that cell began is told by its prefix, so
// the date it overwrote is not read as whole. The later cell's own bytes were taken in turn and it no
// longer decodes, but its prefix is intact; or it decodes, but a freeblock header took the payload size
// and row id before its intact header length and NULL; or neither, but its header stands whole.
TEST_F(CarverTest, EndsARecordWhereALaterCellsPrefixBegins)
{
    fixtures::createSqliteFile(path(), "PRAGMA page_size=1024; CREATE TABLE t(id INTEGER PRIMARY KEY);");
    QVector<_SqliteCol> columns{{"ROWID", "INTEGER", false, false, true},
                                {"guid", "TEXT", true, false, false},
                                {"n", "INTEGER", false, false, false},
                                {"date", "INTEGER", false, false, false}};
    // Whether the guid is never NULL (else only the later cell's whole header tells it from zeros among
    // other bytes); the types of the earlier record, its guid and n (and two bytes of its date), then the
    // later cell.
    for (const auto& [guidNotNull, hex] : std::initializer_list<std::pair<bool, const char*>>{
             {true, "17 01 04 6741414141 05  20 07 05 00  17 01 04 7842424242 05 0102030405"},
             {true, "17 01 04 6741414141 05 0102  00000030 05 00  17 01 04 6742424242 07 0a0b0c0d"},
             // The byte before the later cell's payload size has its top bit set, as if it began the size.
             {false, "17 01 04 6741414141 90  0f 07 05 00  17 01 04 7842424242 05 01020304"},
             // A six-byte date. A freeblock header took the two-byte payload size and row id of a later
             // cell that no longer decodes: its header stands whole.
             {true, "17 01 05 6741414141 05  0000 0040 05 00  17 01 04 7842424242 05 01020304"}}) {
        columns[1] = _SqliteCol("guid", "TEXT", guidNotNull, false, false);
        const QByteArray bytes = QByteArray::fromHex(hex);
        constexpr qint64 kAt = 1024 + 200;
        QFile file(path());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        file.seek(kAt);
        file.write(bytes);
        file.close();
        Sqlite3File db(path());
        db.open();
        const QList<RecoveredRow> rows = db.carveRecords(columns, 0, db.usableSize(), kAt, kAt + bytes.size(),
                                                         [](const RecoveredRow& row) { return row.values[1].toString().startsWith('g'); });
        ASSERT_FALSE(rows.isEmpty()) << hex;
        EXPECT_EQ(rows[0].values[1].toString(), QStringLiteral("gAAAA")) << hex;
        EXPECT_TRUE(rows[0].isWhole(2)) << hex;
        EXPECT_FALSE(rows[0].isWhole(3)) << hex;
    }
}

// A spilled record's cell ends with its first overflow page's number: a deleted cell just after it is
// its neighbour, not a later cell written over it, and the record comes back whole with its chain.
TEST_F(CarverTest, ASpilledRecordEndsWithItsOverflowPageNumber)
{
    // The dropped table's pages make the freelist's trunk, so the chain's page is freed as a leaf.
    fixtures::createSqliteFile(path(), "PRAGMA page_size=4096; PRAGMA secure_delete=OFF;"
                                       "CREATE TABLE t(id INTEGER PRIMARY KEY, guid TEXT NOT NULL, body TEXT);"
                                       "CREATE TABLE pad(x); INSERT INTO pad VALUES(zeroblob(20000));"
                                       "INSERT INTO t VALUES(1,'g1','one'),(2,'g2','two'),"
                                       "(3,'g3',replace(hex(zeroblob(2500)),'0','b')),(4,'g4','four');"
                                       "DROP TABLE pad; DELETE FROM t WHERE id IN (2,3);");
    const QVector<_SqliteCol> columns{{"ROWID", "INTEGER", false, false, true},
                                      {"guid", "TEXT", true, false, false},
                                      {"body", "TEXT", false, false, false}};
    Sqlite3File db(path());
    db.open();
    const auto guid = [](const RecoveredRow& row) { return row.values[1].toString().startsWith('g'); };
    QStringList bodies;
    for (const Sqlite3Page& page : db.collectLeafPages(db.readPage(kMessageRoot))) {
        for (const RecoveredRow& row : db.carveFreeSpace(columns, 0, page, guid))
            bodies.append(row.isWhole(2) ? row.values[2].toString() : QStringLiteral("cut"));
    }
    bodies.sort();
    EXPECT_EQ(bodies, (QStringList{QString(5000, QLatin1Char('b')), QStringLiteral("two")}));
}

}  // namespace
