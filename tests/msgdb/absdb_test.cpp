#include "msgdb/absdb.h"

#include "fixtures/sqlite_file.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace {

// A database object over one file, as the concrete databases are.
class FileDb : public AbsDb {
public:
    explicit FileDb(QString path) : m_path(std::move(path)) {}
    void open() override
    {
        if (!isOpen())
            openThrow(m_path, 6);
    }

private:
    QString m_path;
};

const char* const kIos6Tables =
    "create table chat(guid text);"
    "create table handle(id text);"
    "create table chat_handle_join(chat_id integer, handle_id integer);"
    "create table message(text text);";

class AbsDbTest : public ::testing::Test {
protected:
    QString path(const char* name) const { return m_dir.filePath(QLatin1String(name)); }
    QTemporaryDir m_dir;
};

}  // namespace

TEST_F(AbsDbTest, LayoutProbeTellsTheLayoutsApart)
{
    fixtures::createSqliteFile(path("ios6.db"),
                               QLatin1String(kIos6Tables) + QStringLiteral("create table chat_message_join(a, b);"));
    fixtures::createSqliteFile(path("partial.db"), QLatin1String(kIos6Tables));
    fixtures::createSqliteFile(path("ios5.db"),
                               QStringLiteral("create table message(ROWID integer primary key, text);"
                                              "create table msg_group(ROWID integer primary key);"
                                              "create table group_member(group_id, address);"));
    fixtures::createSqliteFile(path("upper.db"),
                               QStringLiteral("create table CHAT(a); create table HANDLE(a); create table CHAT_HANDLE_JOIN(a);"
                                              "create table MESSAGE(a); create table CHAT_MESSAGE_JOIN(a);"));
    fixtures::writeTextFile(path("text.db"), QByteArray(4096, 'x'));

    EXPECT_TRUE(AbsIOSMessageDb::isIOS6Layout(path("ios6.db")));
    EXPECT_FALSE(AbsIOSMessageDb::isIOS6Layout(path("partial.db")));
    EXPECT_FALSE(AbsIOSMessageDb::isIOS6Layout(path("ios5.db")));
    EXPECT_FALSE(AbsIOSMessageDb::isIOS6Layout(path("upper.db")));
    EXPECT_THROW(AbsIOSMessageDb::isIOS6Layout(path("missing.db")), Sqlite3Exception);
    EXPECT_FALSE(QFile::exists(path("missing.db")));
    EXPECT_THROW(AbsIOSMessageDb::isIOS6Layout(path("text.db")), std::runtime_error);  // not a message database
}

TEST_F(AbsDbTest, InsertRowAndSelectAll)
{
    FileDb db(path("rows.db"));
    db.open();
    db.executeThrow("create table t(ROWID integer primary key autoincrement, name text, \"replace\" integer, data blob)");
    EXPECT_TRUE(db.selectAll(QStringLiteral("t")).isEmpty());

    Sqlite3Row row;
    row.setValue(QStringLiteral("ROWID"), 99);
    row.setValue(QStringLiteral("name"), QStringLiteral("Zoë"));
    row.setValue(QStringLiteral("replace"), 1);
    row.setValue(QStringLiteral("data"), QVariant());
    EXPECT_EQ(db.insertRow(row, QStringLiteral("t"), {QStringLiteral("rowid")}), 1);
    EXPECT_EQ(db.insertRow(row, QStringLiteral("t")), 99);

    const QList<Sqlite3Row> rows = db.selectAll(QStringLiteral("t"));
    ASSERT_EQ(rows.size(), 2);
    EXPECT_EQ(rows[0].value(QStringLiteral("rowid")).toLongLong(), 1);
    EXPECT_EQ(rows[0].value(QStringLiteral("NAME")).toString(), QStringLiteral("Zoë"));
    EXPECT_FALSE(rows[0].value(QStringLiteral("data")).isValid());
}

TEST_F(AbsDbTest, TransactionsFollowTheConnection)
{
    FileDb db(path("tx.db"));
    // Ending without a transaction touches neither the file nor the connection.
    db.endTransaction(true);
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFile::exists(path("tx.db")));

    db.open();
    db.executeThrow("create table t(v integer)");
    db.beginTransaction();
    EXPECT_TRUE(db.inTransaction());
    db.executeThrow(Sqlite3Sql("insert into t values(?)").addIntParam(1));
    db.endTransaction(false);
    EXPECT_FALSE(db.inTransaction());
    EXPECT_EQ(db.selectAll(QStringLiteral("t")).size(), 0);

    db.beginTransaction();
    db.executeThrow(Sqlite3Sql("insert into t values(?)").addIntParam(2));
    db.endTransaction(true);
    EXPECT_EQ(db.selectAll(QStringLiteral("t")).size(), 1);

    // close() drops the transaction; a later end must not commit into thin air or throw.
    db.beginTransaction();
    db.executeThrow(Sqlite3Sql("insert into t values(?)").addIntParam(3));
    db.close();
    EXPECT_FALSE(db.inTransaction());
    EXPECT_NO_THROW(db.endTransaction(true));
    EXPECT_EQ(db.selectAll(QStringLiteral("t")).size(), 1);
}
