// Carving deleted messages out of real files, and the rules a candidate record has to pass.
#include "recovery/sqlite3file.h"

#include "fixtures/deleted_records.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/sqlite_insert.h"
#include "fixtures/temp_home.h"

#include <QHash>

#include <gtest/gtest.h>

namespace {

using fixtures::recordKey;

class CarverTest : public TempHomeTest {
protected:
    QString path() const { return homePath(QStringLiteral("sms.db")); }

    QHash<QString, qint64> deletedRowids() const
    {
        QHash<QString, qint64> rowids;
        for (const fixtures::DeletedMessage& message : m_truth.deleted)
            rowids.insert(recordKey(message.values), message.rowid);
        return rowids;
    }

    fixtures::DeletedRecordsDb m_truth;
};

QByteArray varint(qint64 value)
{
    QByteArray bytes(1, char(value & 0x7f));
    while (value >>= 7)
        bytes.prepend(char(0x80 | (value & 0x7f)));
    return bytes;
}

TEST_F(CarverTest, FindsDeletedMessagesWholeInFreeblocksGapsAndOverflowChains)
{
    fixtures::DeletedRecordsOptions options;
    options.messages = 600;
    options.longMessages = 3;
    m_truth = fixtures::createDeletedRecordsDb(path(), options);
    const QHash<QString, qint64> deleted = deletedRowids();
    int rootPage = 0;
    for (const fixtures::TableRow& row : fixtures::tableRows(fixtures::openSqliteFile(path()).get(), "sqlite_master"))
        rootPage = row.values[1].toString() == QLatin1String("message") ? row.values[3].toInt() : rootPage;

    Sqlite3File file(path());
    file.open();
    QSet<QString> found;
    int inGaps = 0;
    for (const Sqlite3Page& page : file.collectLeafPages(file.readPage(rootPage))) {
        inGaps += file.carveRecords(m_truth.columns, 0, file.usableSize(), page.cellArrayEnd(),
                                    page.pageStart + page.cellContentStart, {}).size();
        for (const RecoveredRow& row : file.carveFreeSpace(m_truth.columns, 0, page, {})) {
            const QString key = recordKey(row.values);
            ASSERT_TRUE(deleted.contains(key)) << "neither garbage nor a live row: " << key.toStdString();
            EXPECT_TRUE(row.rowid == 0 || row.rowid == deleted.value(key)) << row.rowid;
            found.insert(key);
        }
    }
    int spilled = 0;
    for (const fixtures::DeletedMessage& message : m_truth.deleted) {
        const bool longText = message.values[2].toString().size() > options.pageSize;
        spilled += longText;
        if (message.survives || longText) {
            EXPECT_TRUE(found.contains(recordKey(message.values))) << message.rowid;
        }
    }
    EXPECT_EQ(spilled, 3);
    EXPECT_GT(inGaps, 0);
    EXPECT_GT(found.size() - inGaps, 0);
}

TEST_F(CarverTest, FindsAnEmptiedTableOnFreelistLeavesWithItsRowids)
{
    fixtures::DeletedRecordsOptions options;
    options.layout = fixtures::DeviceLayout::IOS5;
    options.pageSize = 1024;
    options.messages = 150;
    options.deletePercent = 100;
    m_truth = fixtures::createDeletedRecordsDb(path(), options);

    Sqlite3File file(path());
    file.open();
    QHash<QString, qint64> carved;
    QHash<QString, qint64> read;
    const auto dated = [](const RecoveredRow& row) { return row.values.value(2).toLongLong() > 0; };
    for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks()) {
        for (const quint32 leaf : trunk.leaves) {
            for (const RecoveredRow& row : file.carvePage(m_truth.columns, 0, leaf, 0, dated))
                carved.insert(recordKey(row.values), row.rowid);
            const Sqlite3Page page = file.readPage(leaf);
            for (const qint64 cell : page.pageType == 13 ? page.cellPointers : QVector<qint64>()) {
                const RecoveredRow row = file.rowData(file.readCell(page, cell));
                read.insert(recordKey(row.values), row.rowid);
            }
        }
    }
    EXPECT_EQ(carved, deletedRowids());
    EXPECT_EQ(read, deletedRowids());
}

// One cell on page 2 of a file of 4096-byte pages, carved with the template
// ROWID (primary key), guid TEXT NOT NULL, body TEXT, flag INTEGER DEFAULT 0, extra BLOB.
TEST_F(CarverTest, AcceptsACandidateOnlyWhenEverySerialTypeFitsItsColumn)
{
    const QVector<_SqliteCol> columns = {{"ROWID", "INTEGER", false, false, true},
                                         {"guid", "TEXT", true, false, false},
                                         {"body", "TEXT", false, false, false},
                                         {"flag", "INTEGER", false, true, false},
                                         {"extra", "BLOB", false, false, false}};
    // With a 7-byte header, 10 bytes of guid and 4044 of body the payload is 4061 bytes, the most that
    // stays on a 4096-byte page.
    const QByteArray body(4044, 'x');
    const struct {
        const char* name;
        QVector<qint64> types;
        QByteArray content;
        bool freed;           // a freeblock header written over the cell's first 4 bytes
        QVariantList values;  // empty: refused
        qint64 rowid;
    } cases[] = {
        {"every column", {17, 17, 1, 16}, "g1hi\x05" "ab", false, {{}, "g1", "hi", 5, QByteArray("ab")}, 7},
        {"freed", {17, 17, 1, 16}, "g1hi\x05" "ab", true, {{}, "g1", "hi", 5, QByteArray("ab")}, 0},
        {"NULL guid", {0, 17, 1, 12}, "hi\x05", false, {}, 0},
        {"REAL text", {17, 7, 1, 12}, QByteArray("g1\x3f\xf0\0\0\0\0\0\0\x05", 11), false, {}, 0},
        {"NULL in a column with a default", {17, 17, 0, 12}, "g1hi", false, {}, 0},
        {"reserved type 10 anywhere", {17, 17, 10, 12}, "g1hi", false, {{}, "g1", "hi", {}, QByteArray("")}, 7},
        {"payload 4061 stays on the page", {33, 13 + 2 * 4044, 8, 12}, "0123456789" + body, false,
         {{}, "0123456789", QString(body), 0, QByteArray("")}, 7},
        {"payload 4062 spills", {33, 13 + 2 * 4045, 9, 12}, "0123456789" + body + 'y', false,
         {{}, "0123456789", QString(body + 'y'), 1, QByteArray("")}, 7},
    };
    for (const auto& c : cases) {
        QByteArray header(1, '\0');
        for (const qint64 type : c.types)
            header += varint(type);
        const QByteArray payload = varint(header.size() + 1) + header + c.content;
        const qint64 local = sqlite3record::localPayloadSize(payload.size(), 4096, true);
        QByteArray content(3 * 4096, '\0');
        content.replace(0, 18, QByteArray("SQLite format 3\0\x10\0", 18));
        QByteArray cell = varint(payload.size()) + varint(7) + payload.left(int(local));
        if (local < payload.size()) {
            cell += QByteArray::fromHex("00000003");
            content.replace(2 * 4096 + 4, payload.size() - int(local), payload.mid(int(local)));
        }
        if (c.freed)
            cell.replace(0, 4, QByteArray::fromHex("00000010"));
        content.replace(4096 + 8, cell.size(), cell);
        fixtures::writeTextFile(path(), content);
        Sqlite3File file(path());
        file.open();
        const QList<RecoveredRow> rows = file.carvePage(columns, 0, 2, 0, {});
        ASSERT_EQ(rows.size(), c.values.isEmpty() ? 0 : 1) << c.name;
        if (!rows.isEmpty()) {
            EXPECT_EQ(recordKey(rows[0].values), recordKey(c.values)) << c.name;
            EXPECT_EQ(rows[0].rowid, c.rowid) << c.name;
        }
    }
}

}  // namespace
