#include "platform/sqlite3readahead.h"

#include "fixtures/sqlite_file.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Read = Sqlite3Read;

class ReadAheadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const QString path = m_dir.filePath(QStringLiteral("t.db"));
        fixtures::createSqliteFile(path, "create table t(i, n, s, b, skipped);");
        m_db.openThrow(path, 2);
    }

    void insert(const char* values) { m_db.executeThrow(QStringLiteral("insert into t values(%1)").arg(values)); }

    QTemporaryDir m_dir;
    Sqlite3DB m_db;
};

const std::vector<Read> kReads = {Read::Integer, Read::NullableInteger, Read::Text, Read::Blob, Read::Skip};

// Whatever a file holds, a row read ahead gives what the row view gives for the same getter: storage
// classes the column was not declared for, 64-bit values, NULL against '' and empty blobs, text with
// NUL bytes, and rows large and many enough to fill several batches.
TEST_F(ReadAheadTest, GivesWhatTheRowViewGives)
{
    const char* const rows[] = {
        "1, 2, 'text', x'00ff', 9",
        "5000000000, -5000000000, '', x'', 9",  // getInt truncates like sqlite3_column_int
        "null, null, null, null, null",
        "2.75, '12abc', 42, 'text in a blob column', 9",
        "'17', 3.5e300, x'41004200', 7, 9",
        "-1, 0, cast('a' || char(0) || 'b' as text), zeroblob(3), 9",
    };
    m_db.executeThrow("begin");
    for (int round = 0; round < 300; ++round) {
        for (const char* row : rows)
            insert(row);
    }
    // Rows larger than a batch's bytes.
    for (int big = 0; big < 3; ++big)
        insert("1, 1, replace(hex(zeroblob(700000)), '0', 'x'), zeroblob(600000), 9");
    m_db.executeThrow("commit");

    // The reader's connection is its own while it reads: the expected rows come through another one.
    Sqlite3DB other;
    other.openThrow(m_dir.filePath(QStringLiteral("t.db")), 1);
    Sqlite3Cursor expected = other.queryThrow("select * from t");
    Sqlite3ReadAhead ahead(m_db.queryThrow("select * from t"), kReads);
    int count = 0;
    while (ahead.moveNext()) {
        ASSERT_TRUE(expected.moveNext());
        const Sqlite3RowView want = expected.row();
        const Sqlite3ReadAheadRow& got = ahead.row();
        SCOPED_TRACE(count);
        EXPECT_EQ(got.getInt(0), want.getInt(0));
        EXPECT_EQ(got.getInt64(0), want.getInt64(0));
        EXPECT_EQ(got.getInt64(1), want.getInt64(1));
        EXPECT_EQ(got.isNull(1), want.isNull(1));
        EXPECT_EQ(got.getUtf8(2), want.getUtf8(2));
        EXPECT_EQ(got.getUtf8(2).data() == nullptr, want.getUtf8(2).data() == nullptr);
        const QString text = got.getText(2);
        EXPECT_EQ(text, want.getText(2));
        EXPECT_EQ(text.isNull(), want.getText(2).isNull());
        const QByteArray blob = got.getBlob(3);
        EXPECT_EQ(blob, want.getBlob(3));
        EXPECT_EQ(blob.isNull(), want.getBlob(3).isNull());
        // Positions the row lacks read as the row view reads them.
        EXPECT_EQ(got.getInt64(-1), 0);
        EXPECT_TRUE(got.getText(99).isNull());
        EXPECT_TRUE(got.isNull(99));
        ++count;
    }
    EXPECT_FALSE(expected.moveNext());
    EXPECT_EQ(count, 300 * int(std::size(rows)) + 3);
    EXPECT_FALSE(ahead.moveNext());  // and stays at the end
}

TEST_F(ReadAheadTest, AGetterOtherThanTheColumnWasReadForIsRefused)
{
    insert("1, 2, 'a', x'01', 3");
    Sqlite3ReadAhead ahead(m_db.queryThrow("select * from t"), kReads);
    ASSERT_TRUE(ahead.moveNext());
    const Sqlite3ReadAheadRow& row = ahead.row();
    EXPECT_THROW(row.getText(0), std::logic_error);
    EXPECT_THROW(row.isNull(0), std::logic_error);  // only nullable integers keep NULL apart
    EXPECT_THROW(row.getInt(2), std::logic_error);
    EXPECT_THROW(row.getBlob(2), std::logic_error);
    EXPECT_THROW(row.getUtf8(3), std::logic_error);
    EXPECT_THROW(row.getInt64(4), std::logic_error);
}

// A statement stopped by its step budget: the rows stepped before arrive first, then the stop, on
// every later call too; and a reader left early stops its thread without reading to the end. The
// connection serves the next statement either way.
TEST_F(ReadAheadTest, StopsAndLeavesTheConnectionUsable)
{
    const QString endless = QStringLiteral("with recursive r(n) as (select 1 union all select n + 1 from r) select n from r");
    m_db.setStepBudget(2000000);
    {
        Sqlite3ReadAhead ahead(m_db.queryThrow(endless), {Read::Integer});
        qint64 expected = 1;
        try {
            while (ahead.moveNext())
                ASSERT_EQ(ahead.row().getInt64(0), expected++);
            ADD_FAILURE() << "an endless statement ended";
        } catch (const Sqlite3Interrupted& stopped) {
            EXPECT_EQ(stopped.reason(), Sqlite3Interrupted::StepBudget);
        }
        EXPECT_GT(expected, 1000);  // the rows before the stop were all handed over, in order
        EXPECT_THROW(ahead.moveNext(), Sqlite3Interrupted);
    }
    m_db.setStepBudget(0);
    {
        Sqlite3ReadAhead ahead(m_db.queryThrow(endless), {Read::Integer});
        ASSERT_TRUE(ahead.moveNext());
        EXPECT_EQ(ahead.row().getInt64(0), 1);
    }  // must not step on for ever
    Sqlite3Cursor after = m_db.queryThrow("select count(*) from t");
    ASSERT_TRUE(after.moveNext());
    EXPECT_EQ(after.getInt64(0), 0);
}

}  // namespace
