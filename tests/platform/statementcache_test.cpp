// Reuse of prepared statements by executeThrow, and the connection settings every open makes.
#include "platform/sqlite3db.h"

#include "fixtures/sqlite_file.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

class StatementCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fixtures::createSqliteFile(path(), QStringLiteral("create table t (k integer primary key, v text unique);"));
        m_db.openThrow(path(), 2);
    }

    QString path() const { return m_dir.filePath(QStringLiteral("t.db")); }

    int preparedStatements() const
    {
        int count = 0;
        for (sqlite3_stmt* s = sqlite3_next_stmt(m_db.handle(), nullptr); s; s = sqlite3_next_stmt(m_db.handle(), s))
            ++count;
        return count;
    }

    qint64 scalar(const Sqlite3Sql& sql)
    {
        Sqlite3Cursor c = m_db.queryThrow(sql);
        return c.moveNext() ? c.getInt64(0) : -1;
    }

    QTemporaryDir m_dir;
    Sqlite3DB m_db;
};

}  // namespace

TEST_F(StatementCacheTest, OneTextIsPreparedOnceAndOneOffTextsStayBounded)
{
    for (int i = 0; i < 200; ++i)
        m_db.executeThrow(Sqlite3Sql("insert into t(v) values(?)").addTextParam(QString::number(i)));
    EXPECT_EQ(preparedStatements(), 1);
    EXPECT_EQ(scalar("select count(*) from t"), 200);

    // Values written into the text make a new text each time: the cache keeps only the recent ones.
    for (int i = 0; i < 500; ++i)
        m_db.executeThrow(QStringLiteral("update t set v='x%1' where k=%1").arg(i));
    EXPECT_LE(preparedStatements(), 64);
    EXPECT_EQ(scalar("select count(*) from t where v like 'x%'"), 200);
}

TEST_F(StatementCacheTest, FailedRunLeavesNoLockAndTheStatementWorksAgain)
{
    const auto insert = [](const char* v) { return Sqlite3Sql("insert into t(v) values(?)").addTextParam(v); };
    m_db.executeThrow(insert("a"));
    EXPECT_THROW(m_db.executeThrow(insert("a")), Sqlite3Exception);

    // Another connection can write at once: the failed statement holds no lock.
    Sqlite3DB other;
    other.openThrow(path(), 2);
    other.executeThrow(insert("from other"));

    m_db.executeThrow(insert("b"));
    EXPECT_EQ(scalar("select count(*) from t"), 3);
    // A wrong parameter count is refused before stepping and leaves the statement usable too.
    EXPECT_THROW(m_db.executeThrow("insert into t(v) values(?)"), Sqlite3Exception);
    m_db.executeThrow(insert("c"));
    EXPECT_EQ(scalar("select count(*) from t"), 4);
}

TEST_F(StatementCacheTest, CursorOfTheSameTextIsNotDisturbed)
{
    for (const char* v : {"a", "b", "c"})
        m_db.executeThrow(Sqlite3Sql("insert into t(v) values(?)").addTextParam(v));
    const Sqlite3Sql select("select v from t order by k");
    Sqlite3Cursor cursor = m_db.queryThrow(select);
    ASSERT_TRUE(cursor.moveNext());
    m_db.executeThrow(select);  // runs to its end on a statement of its own
    ASSERT_TRUE(cursor.moveNext());
    EXPECT_EQ(cursor.getText(0), QStringLiteral("b"));
}

TEST_F(StatementCacheTest, CloseFinalizesAndReopenPreparesAfresh)
{
    m_db.executeThrow("insert into t(v) values('a')");
    m_db.close();
    m_db.openThrow(path(), 2);
    EXPECT_EQ(preparedStatements(), 0);
    m_db.executeThrow("insert into t(v) values('b')");
    EXPECT_EQ(scalar("select count(*) from t"), 2);
}

TEST_F(StatementCacheTest, ForeignKeysAndRecursiveTriggersAreOff)
{
    EXPECT_EQ(scalar("pragma foreign_keys"), 0);
    EXPECT_EQ(scalar("pragma recursive_triggers"), 0);
}

// A held statement's texts, bound row after row: short after long, ASCII or not, surrogate pairs
// and a lone surrogate come back as Qt's UTF-8 of them, each binding intact when the positions after
// it are bound.
TEST_F(StatementCacheTest, HeldStatementStoresEveryTextAsItsUtf8RowAfterRow)
{
    m_db.executeThrow("create table w (a, b, c, d)");
    const QStringList texts = {QString(), QStringLiteral("short"), QString(40, QLatin1Char('l')),
                               QStringLiteral("\u00e9t\u00e9"), QStringLiteral("nul") + QChar(0) + QStringLiteral("x"),
                               QStringLiteral("caf\u00e9 \u20ac \u4e2d"), QString::fromUtf16(u"pair \U0001F600 end"),
                               QString::fromUtf16(u"lone \xd800 x"), QStringLiteral("x")};
    const auto text = [&](int row, int column) { return texts[(row + column) % texts.size()]; };
    Sqlite3Prepared insert = m_db.prepare(QStringLiteral("insert into w values(?,?,?,?)"));
    for (int row = 0; row < texts.size(); ++row) {
        for (int column = 0; column < 4; ++column)
            insert.bindText(column + 1, text(row, column));
        insert.run();
    }
    Sqlite3Cursor rows = m_db.queryThrow("select cast(a as blob), cast(b as blob), cast(c as blob), cast(d as blob)"
                                         " from w order by rowid");
    for (int row = 0; row < texts.size(); ++row) {
        ASSERT_TRUE(rows.moveNext());
        for (int column = 0; column < 4; ++column)
            EXPECT_EQ(rows.getBlob(column), text(row, column).toUtf8()) << row << "," << column;
    }
}
