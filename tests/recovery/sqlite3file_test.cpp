// The raw file reader: every live row against the engine, and hostile files.
#include "recovery/sqlite3file.h"

#include "fixtures/deleted_records.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/sqlite_insert.h"
#include "fixtures/temp_home.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

namespace {

class Sqlite3FileTest : public TempHomeTest {
protected:
    QString path() const { return homePath(QStringLiteral("t.db")); }

    // Integers of every width, reals, NULLs, texts and blobs long enough to spill, and an index; t's root is page 2.
    void createTable(int pageSize, int rows) const
    {
        fixtures::createSqliteFile(path(), QStringLiteral("PRAGMA page_size=%1; PRAGMA auto_vacuum=NONE;").arg(pageSize) +
            "CREATE TABLE t(id INTEGER PRIMARY KEY, i INTEGER, r REAL, s TEXT, b BLOB, n); CREATE INDEX t_s ON t(s);"
            "WITH RECURSIVE c(x) AS (VALUES(1) UNION ALL SELECT x+1 FROM c WHERE x<" + QString::number(rows) + ")"
            " INSERT INTO t SELECT x, CASE x%2 WHEN 0 THEN x << (x%63) ELSE ~(x << (x%63)) END, x+0.5, CASE WHEN x%7=0"
            " THEN NULL ELSE replace(hex(zeroblob((x*397)%(1000+30*x))), '00', 'é') END, randomblob((x*7919)%70000),"
            " CASE x%3 WHEN 0 THEN NULL WHEN 1 THEN x ELSE 'v'||x END FROM c;");
    }
};

TEST_F(Sqlite3FileTest, ReadsEveryRowAndPageLikeTheEngine)
{
    for (const int pageSize : {512, 4096, 65536}) {
        SCOPED_TRACE(pageSize);
        createTable(pageSize, 200);
        const auto db = fixtures::openSqliteFile(path());
        for (const auto& [table, root] : {std::pair<QString, int>{"sqlite_master", 1}, {"t", 2}}) {
            Sqlite3File file(path());
            file.open();
            QStringList ours;
            QVector<quint32> leaves;
            for (const Sqlite3Page& page : file.collectLeafPages(file.readPage(root))) {
                leaves.append(page.pageNumber);
                for (const qint64 cell : page.cellPointers) {
                    const RecoveredRow row = file.rowData(file.readCell(page, cell));
                    ours.append(QString::number(row.rowid) + fixtures::recordKey(row.values));
                }
            }
            QStringList engine;
            for (const fixtures::TableRow& row : fixtures::tableRows(path(), table))
                engine.append(QString::number(row.rowid) + fixtures::recordKey(row.values));
            EXPECT_TRUE(ours == engine) << table.toStdString();
            EXPECT_EQ(leaves, file.leafPageNumbers(file.readPage(root))) << table.toStdString();
        }
        fixtures::execSql(db.get(), "PRAGMA secure_delete=OFF; DELETE FROM t WHERE id % 3 > 0;");
        Sqlite3File file(path());
        file.open();
        int freePages = 0;
        for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks())
            freePages += 1 + trunk.leaves.size();
        EXPECT_GT(freePages, 100);
        EXPECT_TRUE(fixtures::sqliteHasRow(db.get(), "select 1 from pragma_freelist_count where freelist_count = " +
                                                         QByteArray::number(freePages)));
    }
}

TEST_F(Sqlite3FileTest, HostileFilesEndQuicklyKeepingWhatTheyHold)
{
    createTable(512, 60);
    QFile original(path());
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray valid = original.readAll();
    const char* leaf = "0d00000001006400006400";  // page 4 as a table leaf with one cell at +100 (1636)
    const struct {
        const char* name;
        std::vector<std::pair<int, const char*>> writes;
        int size;  // -1: as it is
        bool opens;
    } cases[] = {
        {"page size 0", {{16, "0000"}}, -1, false},
        {"page size 3", {{16, "0003"}}, -1, false},
        {"page size 4", {{16, "0004"}}, -1, false},
        {"page size 300", {{16, "012c"}}, -1, false},
        {"page size 1", {{16, "0001"}}, -1, true},
        {"truncated mid-page", {}, 5 * 512 + 200, true},
        {"0 bytes", {}, 0, false},
        {"18 bytes", {}, 18, false},
        {"99 bytes", {}, 99, false},
        {"freeblock loop", {{1536, "0d0100"}, {1792, "0100ffff"}}, -1, true},
        {"trunk loop, 0xffffffff leaves", {{32, "00000003"}, {1024, "00000003ffffffff"}}, -1, true},
        {"child loop", {{512, "050000000200000000000002"}}, -1, true},
        // Payload 1000 keeps M = 39 bytes at U = 512; the overflow page number follows them.
        {"overflow loop", {{1536, leaf}, {1636, "876801"}, {1678, "00000005"}, {2048, "00000005"}}, -1, true},
        {"payload size of nine 0xff", {{1536, leaf}, {1636, "ffffffffffffffffff01"}}, -1, true},
        {"serial type of nine 0xff", {{1536, leaf}, {1636, "0c010affffffffffffffffff"}}, -1, true},
        {"header longer than its payload", {{1536, leaf}, {1636, "0c01ff7f01"}}, -1, true},
    };
    const QVector<_SqliteCol> columns = fixtures::tableColumns(path(), QStringLiteral("t"));
    for (const auto& c : cases) {
        QByteArray content = valid.left(c.size < 0 ? valid.size() : c.size);
        for (const auto& [at, hex] : c.writes)
            content.replace(at, int(qstrlen(hex) / 2), QByteArray::fromHex(hex));
        fixtures::writeTextFile(path(), content);
        QElapsedTimer timer;
        timer.start();
        Sqlite3File file(path());
        if (!c.opens) {
            EXPECT_THROW(file.open(), std::runtime_error) << c.name;
            continue;
        }
        ASSERT_NO_THROW(file.open()) << c.name;
        int found = file.freelistTrunks().size();
        for (quint32 n = 1; n <= file.pageCount(); ++n) {
            for (const Sqlite3Page& page : file.collectAllPages(file.readPage(n)))
                for (const qint64 cell : page.cellPointers)
                    found += !file.rowData(file.readCell(page, cell)).values.isEmpty();
            found += file.carveFreeSpace(columns, 0, file.readPage(n), {}).size() + file.carvePage(columns, 0, n, 0, {}).size();
        }
        EXPECT_LT(timer.elapsed(), 1000 * TM_TIME_SCALE) << c.name;
        EXPECT_TRUE(found > 0 || file.pageCount() == 0) << c.name;
    }
}

}  // namespace
