// The raw file reader: its byte-level rules, every live row against the engine, and hostile files.
#include "recovery/sqlite3file.h"

#include "fixtures/deleted_records.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/sqlite_insert.h"
#include "fixtures/temp_home.h"

#include <QElapsedTimer>
#include <QFile>

#include <gtest/gtest.h>

#include <functional>

namespace {

using fixtures::recordKey;

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

QVariantList decode(const std::vector<qint64>& types, const QByteArray& content)
{
    QVariantList values;
    const auto* p = reinterpret_cast<const uchar*>(content.constData());
    sqlite3record::decodeValues(types, p, p + content.size(), values);
    return values;
}

// Every value with its type, every column of every table, and each page count.
class Sqlite3FileTest : public TempHomeTest {
protected:
    QString path() const { return homePath(QStringLiteral("t.db")); }

    void createTable(int pageSize, int rows)
    {
        fixtures::createSqliteFile(
            path(), QStringLiteral("PRAGMA page_size=") + QString::number(pageSize) +
                        QStringLiteral("; PRAGMA auto_vacuum=NONE;"
                                       "CREATE TABLE t(id INTEGER PRIMARY KEY, i INTEGER, r REAL, s TEXT, b BLOB, n);"
                                       "CREATE INDEX t_s ON t(s);"
                                       "WITH RECURSIVE c(x) AS (VALUES(1) UNION ALL SELECT x+1 FROM c WHERE x<") +
                        QString::number(rows) +
                        QStringLiteral(") INSERT INTO t SELECT x, CASE x%2 WHEN 0 THEN x << (x%63) ELSE ~(x << (x%63)) END,"
                                       " x+0.5, CASE WHEN x%7=0 THEN NULL ELSE"
                                       " replace(hex(zeroblob((x*397)%(1000+30*x))), '00', 'é') END,"
                                       " randomblob((x*7919)%70000), CASE x%3 WHEN 0 THEN NULL WHEN 1 THEN x ELSE 'v'||x END"
                                       " FROM c;"));
    }

    QByteArray bytes() const
    {
        QFile file(path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    void write(const QByteArray& content) const { fixtures::writeTextFile(path(), content); }
};

TEST(Sqlite3Bytes, VarintsSerialTypesAndSpill)
{
    const struct {
        QByteArray bytes;
        qint64 value;
        int length;
    } varints[] = {{hex("818000"), 16384, 3}, {hex("ffffffffffffffffff"), -1, 9}, {hex("7f"), 127, 1},
                   {hex("8180"), 0, 0}, {QByteArray(), 0, 0}};
    for (const auto& v : varints) {
        qint64 value = 0;
        const auto* p = reinterpret_cast<const uchar*>(v.bytes.constData());
        EXPECT_EQ(Sqlite3File::readVarint(value, p, p + v.bytes.size()), v.length) << v.bytes.toHex().constData();
        EXPECT_EQ(value, v.value);
    }
    for (const auto& [value, length] : {std::pair<qint64, int>{127, 1}, {128, 2}, {16384, 3}, {(1LL << 56) - 1, 8},
                                        {1LL << 56, 9}, {-1, 9}})
        EXPECT_EQ(Sqlite3File::varintLength(value), length) << value;

    const QVariantList values = decode({3, 5, 7, 19, 1, 6}, hex("fffffe") + hex("000000000100") +
                                                                hex("3ff0000000000000") + QByteArray("a\0b", 3) + hex("80"));
    EXPECT_EQ(values, (QVariantList{-2, qlonglong(256), 1.0, QStringLiteral("a"), -128, qlonglong(0)}));
    EXPECT_EQ(values[0].userType(), QMetaType::Int);
    EXPECT_EQ(decode({18, 0, 10, -1}, "abc"), (QVariantList{QByteArray("abc"), QVariant(), QVariant(), QVariant()}));

    EXPECT_EQ(sqlite3record::localPayloadSize(5000, 4096, true), 908);
    EXPECT_EQ(sqlite3record::localPayloadSize(4061, 4096, true), 4061);
    EXPECT_EQ(sqlite3record::localPayloadSize(4062, 4096, true), 489);
}

TEST_F(Sqlite3FileTest, OpensOnlyAPowerOfTwoPageSizeAfterAWholeHeader)
{
    const struct {
        int size;
        const char* pageSizeField;
        int reserved;
        int pageSize;  // 0: refused
    } cases[] = {{1024, "0200", 0, 512},    {1024, "0001", 0, 65536}, {1024, "8000", 0, 32768}, {1024, "0000", 0, 0},
                 {1024, "0003", 0, 0},      {1024, "0004", 0, 0},     {1024, "012c", 0, 0},     {1024, "0400", 32, 1024},
                 {1024, "0200", 33, 0},     {99, "0200", 0, 0},       {18, "0200", 0, 0},       {0, "", 0, 0}};
    for (const auto& c : cases) {
        QByteArray content(c.size, '\0');
        content.replace(16, 2, hex(c.pageSizeField));
        if (c.size > 20)
            content[20] = char(c.reserved);
        write(content.left(c.size));
        Sqlite3File file(path());
        if (c.pageSize == 0) {
            EXPECT_THROW(file.open(), std::runtime_error) << c.size << " " << c.pageSizeField;
            continue;
        }
        ASSERT_NO_THROW(file.open());
        EXPECT_EQ(file.pageSize(), c.pageSize);
        EXPECT_EQ(file.usableSize(), c.pageSize - c.reserved);
        EXPECT_EQ(file.pageCount(), quint32(c.size / c.pageSize));
    }
}

TEST_F(Sqlite3FileTest, ReadsEveryRowPageAndFreePageLikeTheEngine)
{
    for (const int pageSize : {512, 4096, 65536}) {
        SCOPED_TRACE(pageSize);
        createTable(pageSize, 200);
        const auto db = fixtures::openSqliteFile(path());
        for (const auto& [table, root] : {std::pair<const char*, int>{"sqlite_master", 1}, {"t", 2}}) {
            Sqlite3File file(path());
            file.open();
            QStringList ours;
            for (const Sqlite3Page& page : file.collectLeafPages(file.readPage(root))) {
                for (const qint64 cell : page.cellPointers) {
                    const RecoveredRow row = file.rowData(file.readCell(page, cell));
                    ours.append(QString::number(row.rowid) + recordKey(row.values));
                }
            }
            QStringList engine;
            for (const fixtures::TableRow& row : fixtures::tableRows(db.get(), QLatin1String(table)))
                engine.append(QString::number(row.rowid) + recordKey(row.values));
            EXPECT_EQ(ours, engine) << table;
        }
        fixtures::execSql(db.get(), "PRAGMA secure_delete=OFF; DELETE FROM t WHERE id % 3 > 0;");
        Sqlite3File file(path());
        file.open();
        int freePages = 0;
        for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks())
            freePages += 1 + trunk.leaves.size();
        const QString counts = QStringLiteral("select 1 from pragma_freelist_count where freelist_count = %1 and %2 = %1"
                                              " and (select count(*) from dbstat where name = 't' and pagetype <> 'overflow') = %3")
                                   .arg(QString::number(freePages), QString::number(file.freelistPageCount()),
                                        QString::number(file.collectAllPages(file.readPage(2)).size()));
        EXPECT_TRUE(freePages > 0 && fixtures::sqliteHasRow(db.get(), counts.toUtf8().constData())) << counts.toStdString();
    }
}

TEST_F(Sqlite3FileTest, HostileFilesEndQuicklyKeepingWhatTheyHold)
{
    createTable(512, 60);
    const QByteArray valid = bytes();
    const auto put = [](QByteArray& f, int at, const char* hexBytes) { f.replace(at, qstrlen(hexBytes) / 2, hex(hexBytes)); };
    // Page 4 as a table leaf with one cell at +100 whose payload spills into page 5 (M = 39 at U = 512).
    const auto spillingCell = [&](QByteArray& f, const char* cell) {
        put(f, 3 * 512, "0d00000001006400006400");
        put(f, 3 * 512 + 100, cell);
    };
    const struct {
        const char* name;
        std::function<void(QByteArray&)> damage;
        bool opens;
    } cases[] = {
        {"page size 0", [&](QByteArray& f) { put(f, 16, "0000"); }, false},
        {"page size 3", [&](QByteArray& f) { put(f, 16, "0003"); }, false},
        {"page size 4", [&](QByteArray& f) { put(f, 16, "0004"); }, false},
        {"page size 300", [&](QByteArray& f) { put(f, 16, "012c"); }, false},
        {"page size 1", [&](QByteArray& f) { put(f, 16, "0001"); }, true},
        {"truncated mid-page", [](QByteArray& f) { f.chop(f.size() / 2 % 512 + 200); }, true},
        {"0 bytes", [](QByteArray& f) { f.clear(); }, false},
        {"18 bytes", [](QByteArray& f) { f.truncate(18); }, false},
        {"99 bytes", [](QByteArray& f) { f.truncate(99); }, false},
        {"freeblock loop", [&](QByteArray& f) { put(f, 1536, "0d0100"), put(f, 1536 + 256, "0100ffff"); }, true},
        {"trunk loop, leaf count 0xffffffff", [&](QByteArray& f) { put(f, 32, "00000003"), put(f, 1024, "00000003ffffffff"); }, true},
        {"child loop", [&](QByteArray& f) { put(f, 512, "050000000200000000000002"); }, true},
        {"child above the page count", [&](QByteArray& f) { put(f, 512, "050000000000000000ffffff"); }, true},
        {"overflow loop", [&](QByteArray& f) { spillingCell(f, "876801"), put(f, 3 * 512 + 103 + 39, "00000005"),
                                                   put(f, 4 * 512, "00000005"); }, true},
        {"payload size of nine 0xff", [&](QByteArray& f) { spillingCell(f, "ffffffffffffffffff01"); }, true},
        {"serial type of nine 0xff", [&](QByteArray& f) { spillingCell(f, "0c010affffffffffffffffff"); }, true},
        {"header longer than its payload", [&](QByteArray& f) { spillingCell(f, "0c01ff7f01"); }, true},
        {"cell count 0x7fff, cell at 0x8000 on page 1", [&](QByteArray& f) { put(f, 103, "7fff"), put(f, 108, "8000"); }, true},
    };
    const QVector<_SqliteCol> columns = fixtures::tableColumns(fixtures::openSqliteFile(path()).get(), "t");
    for (const auto& c : cases) {
        QByteArray content = valid;
        c.damage(content);
        write(content);
        QElapsedTimer timer;
        timer.start();
        Sqlite3File file(path());
        if (!c.opens) {
            EXPECT_THROW(file.open(), std::runtime_error) << c.name;
            continue;
        }
        ASSERT_NO_THROW(file.open()) << c.name;
        int found = 0;
        for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks())
            for (const quint32 leaf : trunk.leaves)
                found += file.carvePage(columns, 0, leaf, 0, {}).size();
        for (quint32 n = 1; n <= file.pageCount(); ++n) {
            const Sqlite3Page page = file.readPage(n);
            for (const Sqlite3Page& leaf : file.collectAllPages(page))
                for (const qint64 cell : leaf.cellPointers)
                    found += file.rowData(file.readCell(leaf, cell)).values.size() > 0;
            found += file.carveFreeSpace(columns, 0, page, {}).size();
        }
        EXPECT_LT(timer.elapsed(), 1000 * TM_TIME_SCALE) << c.name;
        EXPECT_TRUE(found > 0 || file.pageCount() == 0) << c.name;
    }
}

}  // namespace
