#include "platform/sqlite3db.h"

#include "fixtures/sqlite_file.h"

#include <QDate>
#include <QFile>
#include <QTemporaryDir>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <limits>

namespace {

class SqliteDbTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    // An open connection on a fresh file holding script.
    void openWith(Sqlite3DB& db, const QString& script, const QString& name = QStringLiteral("t.db"))
    {
        fixtures::createSqliteFile(path(name), script);
        db.openThrow(path(name), 2);
    }

    qint64 scalar(Sqlite3DB& db, const Sqlite3Sql& sql)
    {
        Sqlite3Cursor c = db.queryThrow(sql);
        return c.moveNext() ? c.getInt64(0) : -1;
    }

    QTemporaryDir m_dir;
};

// --- Opening ----------------------------------------------------------------------------------

TEST_F(SqliteDbTest, OpenFlagsOnMissingFile)
{
    Sqlite3DB db;
    EXPECT_THROW(db.openThrow(path("missing.db"), 1), Sqlite3Exception);
    EXPECT_FALSE(db.isOpen());
    EXPECT_THROW(db.openThrow(path("missing.db"), 2), Sqlite3Exception);
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFile::exists(path("missing.db")));

    db.openThrow(path("missing.db"), 6);
    EXPECT_TRUE(db.isOpen());
    EXPECT_TRUE(QFile::exists(path("missing.db")));
}

TEST_F(SqliteDbTest, FailedOpenLeavesHandleNullAndNextOpenWorks)
{
    Sqlite3DB db;
    openWith(db, "create table t(a);");
    EXPECT_THROW(db.openThrow(path("missing.db"), 2), Sqlite3Exception);
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(db.handle(), nullptr);

    EXPECT_THROW(db.openThrow(path("t.db") + QChar(0) + "x", 6), Sqlite3Exception);  // not "t.db"
    EXPECT_FALSE(db.isOpen());

    db.openThrow(path("t.db"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from t"), 0);
    EXPECT_THROW(db.executeThrow("insert into t values(1)"), Sqlite3Exception);  // read-only
}

TEST_F(SqliteDbTest, FileThatIsNotADatabaseFailsOnFirstRead)
{
    fixtures::writeTextFile(path("text.db"), QByteArray(4096, 'x'));
    Sqlite3DB db;
    db.openThrow(path("text.db"), 2);
    EXPECT_THROW(db.queryThrow("select * from sqlite_master"), Sqlite3Exception);
}

TEST_F(SqliteDbTest, AViewInAFileIsRefusedRatherThanRunWithoutEnd)
{
    Sqlite3DB db;
    openWith(db,
             "create table t(a); insert into t values(1);"
             "create view message as with recursive r(n) as (select 1 union all select n + 1 from r) select n from r;");
    EXPECT_THROW(db.queryThrow("select * from message").moveNext(), Sqlite3Exception);
    EXPECT_EQ(scalar(db, "select count(*) from t"), 1);  // tables read as always
}

// --- Limits -----------------------------------------------------------------------------------

TEST_F(SqliteDbTest, StepBudgetAndCancelCheckStopAnEndlessStatement)
{
    const QString endless = QStringLiteral("with recursive r(n) as (select 1 union all select n + 1 from r) select n from r");
    Sqlite3DB db;
    db.setStepBudget(1000000);  // holds for the open that follows
    openWith(db, "create table t(a);");
    std::atomic<bool> cancelled{false};
    db.setCancelCheck([&] { return cancelled.load(); });
    for (int round = 0; round < 2; ++round) {  // stopped by the budget, then by the cancel check
        EXPECT_THROW(for (Sqlite3Cursor c = db.queryThrow(endless); c.moveNext();) {}, Sqlite3Interrupted);
        EXPECT_THROW(db.executeThrow(QStringLiteral("insert into t ") + endless), Sqlite3Interrupted);
        db.setStepBudget(0);
        cancelled = true;  // asked while the next statements run
    }
}

// --- Binding ----------------------------------------------------------------------------------

TEST_F(SqliteDbTest, EveryStorageClassRoundTrips)
{
    Sqlite3DB db;
    openWith(db, "create table v(i, big, d, t, b, n, nb, nt, eb);");
    const QString text = QString::fromUtf8("Grüße, 日本 😀");
    const QByteArray blob("a\0b\xff", 4);
    db.executeThrow(Sqlite3Sql("insert into v values(?,?,?,?,?,?,?,?,?)")
                        .addIntParam(-7)
                        .addInt64Param(5000000000LL)
                        .addDoubleParam(2.5)
                        .addTextParam(text)
                        .addBlobParam(blob)
                        .addNullParam()
                        .addBlobParam(QByteArray())
                        .addTextParam(QString())
                        .addBlobParam(QByteArray("")));

    Sqlite3Cursor c = db.queryThrow("select v.*, typeof(nb) tnb, typeof(nt) tnt, typeof(eb) teb from v");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt("i"), -7);
    EXPECT_EQ(c.getInt64("big"), 5000000000LL);
    EXPECT_DOUBLE_EQ(c.getDouble("d"), 2.5);
    EXPECT_EQ(c.getText("t"), text);
    EXPECT_EQ(c.getBlob("b"), blob);
    EXPECT_TRUE(c.isNull("n"));
    EXPECT_EQ(c.getText("tnb"), "null");  // a null QByteArray binds NULL
    EXPECT_EQ(c.getText("tnt"), "text");  // a null QString binds ''
    EXPECT_EQ(c.getText("teb"), "blob");  // an empty one stays an empty blob
}

TEST_F(SqliteDbTest, VariantBindsByTypeAndRefusesOthers)
{
    Sqlite3DB db;
    openWith(db, "create table v(a, b, c, d, e, f);");
    db.executeThrow(Sqlite3Sql("insert into v values(?,?,?,?,?,?)")
                        .addVariantParam(true)
                        .addVariantParam(qulonglong(1) << 40)
                        .addVariantParam(1.5f)
                        .addVariantParam(QString())
                        .addVariantParam(QByteArray("x"))
                        .addVariantParam(QVariant()));
    Sqlite3Cursor c = db.queryThrow(
        "select typeof(a)||typeof(b)||typeof(c)||typeof(d)||typeof(e)||typeof(f) types, b from v");
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getText("types"), "integerintegerrealtextblobnull");
    EXPECT_EQ(c.getInt64("b"), qint64(1) << 40);

    Sqlite3Sql sql("select ?");
    EXPECT_THROW(sql.addVariantParam(QDate(2020, 1, 1)), Sqlite3Exception);
    EXPECT_THROW(sql.addVariantParam(std::numeric_limits<qulonglong>::max()), Sqlite3Exception);
    EXPECT_THROW(db.queryThrow(Sqlite3Sql("select ?, ?").addIntParam(1)), Sqlite3Exception);
}

// --- Reading ----------------------------------------------------------------------------------

class SqliteReadTest : public SqliteDbTest {
protected:
    void SetUp() override
    {
        openWith(db, "create table m(ROWID integer primary key autoincrement, Text text, n integer);"
                     "insert into m(Text, n) values('one', 1), (NULL, 4294967301), ('three', 3);");
    }
    Sqlite3DB db;
};

TEST_F(SqliteReadTest, NamesAreCaseInsensitiveAndMissingOrNullGiveDefaults)
{
    Sqlite3Cursor c = db.queryThrow("select * from m where n > 1 order by ROWID");
    EXPECT_EQ(c.getInt64("rowid"), 0);  // no current row yet
    EXPECT_TRUE(c.getText("text").isEmpty());
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt64("rowid"), 2);
    EXPECT_EQ(c.getText("TEXT"), "");
    EXPECT_TRUE(c.isNull("text"));
    EXPECT_EQ(c.getInt("n"), 5);  // truncated to 32 bits like sqlite3_column_int
    EXPECT_EQ(c.getInt64("N"), 4294967301LL);
    EXPECT_EQ(c.getInt64("nosuch"), 0);
    EXPECT_TRUE(c.getBlob("nosuch").isEmpty());
    EXPECT_EQ(c.columnNames(), QStringList({"ROWID", "Text", "n"}));

    Sqlite3Cursor dup = db.queryThrow("select 1 as A, 2 as a");
    ASSERT_TRUE(dup.moveNext());
    EXPECT_EQ(dup.getInt("a"), 1);  // the first of equal names wins
}

TEST_F(SqliteReadTest, MoveNextStopsAtTheEndAndCountDoesNotMove)
{
    Sqlite3Cursor c = db.queryThrow("select ROWID from m order by ROWID;  -- all rows");
    EXPECT_EQ(c.count(), 3);
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.getInt64("rowid"), 1);
    ASSERT_TRUE(c.moveNext());
    EXPECT_EQ(c.count(), 3);
    EXPECT_EQ(c.getInt64(0), 2);
    ASSERT_TRUE(c.moveNext());
    EXPECT_FALSE(c.moveNext());
    EXPECT_FALSE(c.moveNext());  // a restarted query would answer true here
    EXPECT_EQ(c.getInt64(0), 0);
    EXPECT_TRUE(c.getRow().names().isEmpty());

    EXPECT_EQ(db.queryThrow(Sqlite3Sql("select * from m where n >= ?;").addIntParam(3)).count(), 2);
    EXPECT_EQ(scalar(db, "select count(*) from m"), 3);
}

TEST_F(SqliteReadTest, ErrorWhileSteppingThrowsAndDoesNotRestart)
{
    Sqlite3Cursor c = db.queryThrow(
        "select case when n = 1 then 1 else abs(n - n - 9223372036854775807 - 1) end from m order by ROWID");
    ASSERT_TRUE(c.moveNext());
    EXPECT_THROW(c.moveNext(), Sqlite3Exception);  // integer overflow
    EXPECT_THROW(c.moveNext(), Sqlite3Exception);
}

// --- Errors and transactions ----------------------------------------------------------------------

TEST_F(SqliteDbTest, ErrorsCarryTheirMessage)
{
    Sqlite3DB db;  // closed: every call fails cleanly
    QString error;
    EXPECT_NE(db.exec("select 1", error), 0);
    EXPECT_EQ(error, "database not open");
    EXPECT_THROW(db.executeThrow("select 1"), Sqlite3Exception);
    EXPECT_THROW(db.queryThrow("select 1"), Sqlite3Exception);
    EXPECT_THROW(db.beginTran(), Sqlite3Exception);
    EXPECT_FALSE(db.inTransaction());

    openWith(db, "create table t(id integer primary key, a text not null);");
    EXPECT_NE(db.exec("insert into t values(1, 'x'); insert into nosuch values(1);", error), 0);
    EXPECT_TRUE(error.contains("no such table")) << error.toStdString();
    EXPECT_EQ(db.exec("insert into t values(2, 'y'); insert into t values(3, 'z');", error), 0);
    EXPECT_TRUE(error.isEmpty());

    try {
        db.executeThrow(Sqlite3Sql("insert into t values(?, 'dup')").addIntParam(1));
        FAIL() << "no exception";
    } catch (const Sqlite3Exception& e) {
        EXPECT_EQ(e.code(), SQLITE_CONSTRAINT);
        const std::string what = e.what();
        EXPECT_NE(what.find("UNIQUE constraint failed"), std::string::npos) << what;
        EXPECT_NE(what.find("insert into t values(?, 'dup')"), std::string::npos) << what;
    }
    // Text from the file that looks like a placeholder stays as it is.
    EXPECT_THAT([&] { db.queryThrow("select * from \"t%2\""); },
                testing::ThrowsMessage<Sqlite3Exception>(testing::HasSubstr("no such table: t%2 (SQLite code 1)")));

    // A second statement is refused before the first one runs.
    EXPECT_THROW(db.executeThrow("insert into t values(10, 'a'); insert into t values(11, 'b')"),
                 Sqlite3Exception);
    EXPECT_EQ(scalar(db, "select count(*) from t where id >= 10"), 0);
    EXPECT_THROW(db.executeThrow("   -- nothing"), Sqlite3Exception);
    db.executeThrow("insert into t values(12, 'c'); /* done */ ;");
    EXPECT_EQ(db.changes(), 1);
    db.executeThrow("vacuum");
}

TEST_F(SqliteDbTest, TransactionsBeginCommitAndRollBack)
{
    Sqlite3DB db;
    openWith(db, "create table t(id integer primary key autoincrement, a);");
    db.beginTran();
    EXPECT_TRUE(db.inTransaction());
    db.executeThrow("insert into t(a) values('kept')");
    EXPECT_EQ(db.lastInsertId(), 1);
    db.commitTran();
    EXPECT_FALSE(db.inTransaction());

    db.beginTran();
    db.executeThrow("insert into t(a) values('dropped')");
    db.rollbackTran();
    EXPECT_THROW(db.commitTran(), Sqlite3Exception);  // nothing to commit
    db.beginTran();
    EXPECT_THROW(db.beginTran(), Sqlite3Exception);  // no nesting
    db.executeThrow("insert into t(a) values('lost at close')");
    db.close();
    EXPECT_FALSE(db.inTransaction());
    db.openThrow(path("t.db"), 2);
    EXPECT_EQ(scalar(db, "select count(*) from t"), 1);
}

TEST_F(SqliteDbTest, FailedCommitLeavesNoTransactionOpen)
{
    Sqlite3DB writer;
    openWith(writer, "create table t(a);");
    Sqlite3DB reader;
    reader.openThrow(path("t.db"), 1);
    sqlite3_busy_timeout(writer.handle(), 10);

    writer.beginTran();
    writer.executeThrow("insert into t values(1)");
    reader.beginTran();
    EXPECT_EQ(scalar(reader, "select count(*) from t"), 0);  // holds a shared lock until its end
    EXPECT_THROW(writer.commitTran(), Sqlite3Exception);      // busy
    EXPECT_FALSE(writer.inTransaction());
    reader.rollbackTran();
    EXPECT_EQ(scalar(writer, "select count(*) from t"), 0);
}

// --- Schema and rows ----------------------------------------------------------------------------

TEST_F(SqliteDbTest, TableInfoGivesDeclaredColumns)
{
    Sqlite3DB db;
    openWith(db, "create table \"we\"\"ird\"(ROWID integer primary key, Count INT not null default 3, b);");
    const auto cols = db.tbInfo("we\"ird");
    ASSERT_EQ(cols.size(), 3);
    ASSERT_TRUE(cols.contains("Count"));  // keyed exactly as declared
    EXPECT_TRUE(cols["ROWID"].primaryKey());
    EXPECT_FALSE(cols["ROWID"].notNull());
    EXPECT_TRUE(cols["Count"].notNull());
    EXPECT_TRUE(cols["Count"].hasDefault());
    EXPECT_FALSE(cols["Count"].primaryKey());
    EXPECT_FALSE(cols["b"].hasDefault());
    EXPECT_TRUE(cols["b"].isBlob());
    EXPECT_TRUE(db.tbInfo("nosuch").isEmpty());
}

TEST(SqliteColTest, AffinityFollowsSqliteRuleOrder)
{
    enum Want { Int, Text, Blob, Real, Num };
    const std::pair<const char*, Want> cases[] = {
        {"INTEGER", Int}, {"tinyint", Int}, {"FLOATING POINT", Int},  // "POINT" holds INT
        {"varchar(10)", Text}, {"CLOB", Text}, {"charint", Int}, {"BLOBTEXT", Text},
        {"blob", Blob}, {"", Blob}, {"Double precision", Real}, {"FLOAT", Real}, {"real", Real},
        {"NUMERIC", Num}, {"decimal(10,2)", Num}, {"boolean", Num}, {"date", Num}};
    for (const auto& [type, want] : cases) {
        const _SqliteCol col("c", type, false, false, false);
        const int answers = col.isInteger() + col.isText() + col.isBlob() + col.isReal() + col.isNumeric();
        EXPECT_EQ(answers, 1) << type;
        const bool got[] = {col.isInteger(), col.isText(), col.isBlob(), col.isReal(), col.isNumeric()};
        EXPECT_TRUE(got[want]) << type;
    }
}

TEST_F(SqliteDbTest, RowCopiesIntoAnotherTableSkippingRowid)
{
    Sqlite3DB db;
    openWith(db, "create table src(ROWID integer primary key autoincrement, \"replace\" text, n, d, b, x);"
                 "create table dst(ROWID integer primary key autoincrement, \"replace\" text, n, d, b, x);"
                 "insert into src values(7, 'r', 42, 0.5, x'0001', NULL);"
                 "insert into dst(ROWID, \"replace\") values(7, 'taken');");
    Sqlite3Cursor c = db.queryThrow("select * from src");
    ASSERT_TRUE(c.moveNext());
    const Sqlite3Row row = c.getRow();
    EXPECT_EQ(row.value("rowid"), QVariant(qlonglong(7)));
    EXPECT_EQ(row.value("REPLACE"), QVariant(QString("r")));
    EXPECT_EQ(row.value("d").userType(), int(QMetaType::Double));
    EXPECT_EQ(row.value("b"), QVariant(QByteArray("\0\1", 2)));
    EXPECT_FALSE(row.value("x").isValid());  // NULL stays an invalid QVariant

    const Sqlite3Sql insert = row.insertSql("dst", {"rowid"});
    EXPECT_EQ(insert.sql(), "insert into \"dst\"(\"replace\",\"n\",\"d\",\"b\",\"x\") values(?,?,?,?,?)");
    db.executeThrow(insert);  // re-inserting rowid 7 would collide
    const qint64 id = db.lastInsertId();
    EXPECT_EQ(id, 8);
    Sqlite3Cursor copy = db.queryThrow(
        Sqlite3Sql("select \"replace\", n, d, b, typeof(x) tx from dst where rowid = ?").addInt64Param(id));
    ASSERT_TRUE(copy.moveNext());
    EXPECT_EQ(copy.getText("replace"), "r");
    EXPECT_EQ(copy.getInt("n"), 42);
    EXPECT_DOUBLE_EQ(copy.getDouble("d"), 0.5);
    EXPECT_EQ(copy.getBlob("b"), QByteArray("\0\1", 2));
    EXPECT_EQ(copy.getText("tx"), "null");
}

TEST_F(SqliteDbTest, RowSetValueKeepsSharedNamesApartAndAllSkippedUsesDefaults)
{
    Sqlite3DB db;
    openWith(db, "create table t(a, b default 'dflt'); insert into t values(1, 2), (3, 4);");
    Sqlite3Cursor c = db.queryThrow("select * from t");
    ASSERT_TRUE(c.moveNext());
    Sqlite3Row first = c.getRow();
    ASSERT_TRUE(c.moveNext());
    const Sqlite3Row second = c.getRow();

    first.setValue("A", 10);  // replaces "a"
    first.setValue("properties", QVariant());
    EXPECT_EQ(first.names(), QStringList({"a", "b", "properties"}));
    EXPECT_EQ(first.value("a").toInt(), 10);
    EXPECT_TRUE(first.contains("PROPERTIES"));
    EXPECT_FALSE(second.contains("properties"));
    EXPECT_EQ(second.names(), QStringList({"a", "b"}));

    const Sqlite3Sql all = second.insertSql("t", {"A", "B"});
    EXPECT_EQ(all.sql(), "insert into \"t\" default values");
    db.executeThrow(all);
    EXPECT_EQ(scalar(db, "select count(*) from t where a is null and b = 'dflt'"), 1);
}

// --- Lifetime ----------------------------------------------------------------------------------

TEST_F(SqliteDbTest, CloseWhileCursorsLiveIsSafe)
{
    Sqlite3DB db;
    openWith(db, "create table t(a); insert into t values(1), (2);");
    Sqlite3Cursor cursor = db.queryThrow("select a from t");
    ASSERT_TRUE(cursor.moveNext());
    Sqlite3Cursor copy = cursor;
    db.close();
    EXPECT_FALSE(db.isOpen());
    EXPECT_EQ(copy.getInt("a"), 0);  // no row is current once the connection is gone
    EXPECT_THROW(copy.moveNext(), Sqlite3Exception);
    EXPECT_THROW(cursor.count(), Sqlite3Exception);
    cursor = Sqlite3Cursor();

    db.openThrow(path("t.db"), 2);  // the old statement no longer holds its read lock
    db.executeThrow("insert into t values(3)");
    EXPECT_EQ(scalar(db, "select count(*) from t"), 3);
}

}  // namespace
