// Opening local and device message databases: creation, upgrade, probes and failure recovery.
#include "msgdb/ios6messagedb.h"
#include "platform/schemascript.h"

#include "fixtures/message_history.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

// A local database as older versions made it: no chat.group_id and none of the message columns
// from is_audio_message on, logic_hash included.
const char kOldLocalSchema[] =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, text TEXT,"
    " handle_id INTEGER DEFAULT 0, date INTEGER, is_from_me INTEGER DEFAULT 0, cache_roomnames TEXT,"
    " was_data_detected INTEGER DEFAULT 0, was_deduplicated INTEGER DEFAULT 0);"
    "CREATE TABLE handle (ROWID INTEGER PRIMARY KEY AUTOINCREMENT UNIQUE, id TEXT NOT NULL, country TEXT,"
    " service TEXT NOT NULL, uncanonicalized_id TEXT, _ct_name TEXT, _photo BLOB, UNIQUE (id, service));"
    "CREATE TABLE chat (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, style INTEGER,"
    " chat_identifier TEXT, display_name TEXT, _last INTEGER DEFAULT 0);"
    "CREATE TABLE chat_handle_join (chat_id INTEGER, handle_id INTEGER, UNIQUE (chat_id, handle_id));"
    "CREATE TABLE chat_message_join (chat_id INTEGER, message_id INTEGER, PRIMARY KEY (chat_id, message_id));"
    "CREATE TABLE message_attachment_join (message_id INTEGER, attachment_id INTEGER);"
    "CREATE TABLE attachment (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL, filename TEXT);";

const QStringList kLaterMessageColumns = {
    "is_audio_message", "is_played", "date_played", "item_type", "other_handle", "group_title",
    "group_action_type", "share_status", "share_direction", "is_expirable", "expire_state",
    "message_action_type"};

class IOS6OpenTest : public TempHomeTest {
protected:
    QString dbDir() const { return homePath(QStringLiteral("source")); }
    QString dbPath() const { return fixtures::ios6DbPathIn(dbDir()); }

    void createFile(const QString& script)
    {
        QDir().mkpath(QFileInfo(dbPath()).absolutePath());
        fixtures::createSqliteFile(dbPath(), script);
    }

    // Every CREATE text of the file, to see whether anything changed.
    QStringList schemaOf(const QString& path)
    {
        Sqlite3DB db;
        db.openThrow(path, 1);
        QStringList schema;
        Sqlite3Cursor cursor = db.queryThrow("select type, name, sql from sqlite_master order by name");
        while (cursor.moveNext())
            schema << cursor.getText(QStringLiteral("type")) + QLatin1Char(' ') + cursor.getText(QStringLiteral("sql"));
        return schema;
    }

    QStringList namesOf(const QString& type)
    {
        Sqlite3DB db;
        db.openThrow(dbPath(), 1);
        QStringList names;
        Sqlite3Cursor cursor = db.queryThrow(
            Sqlite3Sql("select name from sqlite_master where type=? and sql is not null order by name").addTextParam(type));
        while (cursor.moveNext())
            names << cursor.getText(QStringLiteral("name"));
        return names;
    }

    QStringList columnsOf(const QString& table)
    {
        Sqlite3DB db;
        db.openThrow(dbPath(), 1);
        QStringList names;
        Sqlite3Cursor cursor = db.queryThrow(QStringLiteral("PRAGMA table_info(%1)").arg(table));
        while (cursor.moveNext())
            names << cursor.getText(QStringLiteral("name"));
        return names;
    }
};

}  // namespace

TEST_F(IOS6OpenTest, MissingLocalDatabaseIsCreatedWithEveryProbeTrue)
{
    IOS6MessageDb db(QDir(dbDir()), QStringLiteral("310"), true);
    EXPECT_FALSE(db.hasItemType());  // nothing cached before the first open
    EXPECT_FALSE(QFile::exists(dbPath()));

    db.open();
    EXPECT_TRUE(QFile::exists(dbPath()));
    QStringList tables(db.tableDdl().keyBegin(), db.tableDdl().keyEnd());
    tables.sort();
    EXPECT_EQ(tables, QStringList({"attachment", "chat", "chat_handle_join", "chat_message_join", "handle", "message",
                                   "message_attachment_join", "sqlite_sequence"}));
    EXPECT_EQ(namesOf(QStringLiteral("index")),
              QStringList({"chat_idx_identifier", "chat_idx_last", "chat_message_join_idx_message_id",
                           "message_idx_handle", "message_idx_logic_hash"}));
    EXPECT_EQ(namesOf(QStringLiteral("trigger")).size(), 6);

    EXPECT_TRUE(db.hasItemType());
    EXPECT_TRUE(db.hasLogicHash());
    EXPECT_TRUE(db.hasChatLast());
    for (const QString& column : kLaterMessageColumns)
        EXPECT_TRUE(db.ddlContains("message", column, Qt::CaseSensitive)) << column.toStdString();
    for (const char* text : {"user_info", "transfer_name", "total_bytes"})
        EXPECT_TRUE(db.ddlContains("attachment", text, Qt::CaseSensitive)) << text;
    for (const char* text : {"display_name", "group_id"})
        EXPECT_TRUE(db.ddlContains("chat", text, Qt::CaseSensitive)) << text;
    EXPECT_TRUE(db.ddlContains("handle", "_ct_name text", Qt::CaseInsensitive));
    EXPECT_TRUE(db.ddlContains("handle", "_photo blob", Qt::CaseInsensitive));
    EXPECT_FALSE(db.ddlContains("nosuchtable", "ROWID", Qt::CaseInsensitive));

    // Opening an open database does nothing.
    sqlite3* const handle = db.handle();
    db.open();
    EXPECT_EQ(db.handle(), handle);
}

TEST_F(IOS6OpenTest, MissingDeviceDatabaseIsNeverCreated)
{
    IOS6MessageDb db(QDir(dbDir()), QStringLiteral("310"), false);
    try {
        db.open();
        FAIL() << "opened a missing device file";
    } catch (const std::exception& e) {
        EXPECT_EQ(QString::fromUtf8(e.what()), QStringLiteral("Cannot find ") + dbPath());
    }
    EXPECT_FALSE(QFile::exists(dbPath()));
    EXPECT_FALSE(db.isOpen());
}

TEST_F(IOS6OpenTest, UpgradeAddsExactlyTheMissingColumnsOnce)
{
    createFile(QLatin1String(kOldLocalSchema));
    {
        IOS6MessageDb db(QDir(dbDir()), QString(), true);
        db.open();
        EXPECT_TRUE(db.hasItemType());  // the probes see the upgraded CREATE text
        EXPECT_TRUE(db.hasLogicHash());
    }
    const QStringList message = columnsOf(QStringLiteral("message"));
    EXPECT_EQ(message.mid(message.size() - 13), kLaterMessageColumns + QStringList{"logic_hash"});
    EXPECT_TRUE(columnsOf(QStringLiteral("chat")).contains(QStringLiteral("group_id")));
    EXPECT_TRUE(namesOf(QStringLiteral("index")).contains(QStringLiteral("message_idx_logic_hash")));

    const QStringList upgraded = schemaOf(dbPath());
    IOS6MessageDb again(QDir(dbDir()), QString(), true);
    again.open();
    again.close();
    EXPECT_EQ(schemaOf(dbPath()), upgraded);
}

TEST_F(IOS6OpenTest, FileWithLogicHashButNoItemTypeGainsOnlyItemType)
{
    QString schema = QLatin1String(kOldLocalSchema);
    schema.replace(QStringLiteral("was_deduplicated INTEGER DEFAULT 0"),
                   QStringLiteral("was_deduplicated INTEGER DEFAULT 0, is_audio_message INTEGER, is_played INTEGER,"
                                  " date_played INTEGER, other_handle INTEGER, group_title TEXT,"
                                  " group_action_type INTEGER, share_status INTEGER, share_direction INTEGER,"
                                  " is_expirable INTEGER, expire_state INTEGER, message_action_type INTEGER,"
                                  " logic_hash TEXT"));
    schema.replace(QStringLiteral("_last INTEGER"), QStringLiteral("group_id TEXT, _last INTEGER"));
    createFile(schema);
    const QStringList before = columnsOf(QStringLiteral("message"));

    IOS6MessageDb db(QDir(dbDir()), QString(), true);
    db.open();
    db.close();
    EXPECT_EQ(columnsOf(QStringLiteral("message")), before + QStringList{"item_type"});
    EXPECT_TRUE(namesOf(QStringLiteral("index")).isEmpty());
}

TEST_F(IOS6OpenTest, DeviceFileIsOpenedAsItIs)
{
    fixtures::createIos6DeviceDb(dbPath());
    const QStringList before = schemaOf(dbPath());
    IOS6MessageDb db(QDir(dbDir()), QString(), false);
    db.open();
    EXPECT_TRUE(db.hasItemType());
    EXPECT_FALSE(db.hasLogicHash());
    EXPECT_FALSE(db.hasChatLast());
    EXPECT_FALSE(db.ddlContains("handle", "_ct_name TEXT", Qt::CaseInsensitive));
    db.close();
    EXPECT_EQ(schemaOf(dbPath()), before);
}

TEST_F(IOS6OpenTest, FailedUpgradeClosesAndFailsAgainOnTheNextCall)
{
    // A chat table that cannot be altered.
    createFile(QString::fromLatin1(kOldLocalSchema)
                   .replace(QRegularExpression(QStringLiteral("CREATE TABLE chat \\([^;]*")),
                            QStringLiteral("CREATE VIRTUAL TABLE chat USING fts4(guid)")));
    IOS6MessageDb db(QDir(dbDir()), QString(), true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            db.open();
            FAIL() << "an upgrade that cannot alter chat succeeded";
        } catch (const std::exception& e) {
            const QString text = QString::fromUtf8(e.what());
            EXPECT_TRUE(text.startsWith(QStringLiteral("line:"))) << e.what();
            EXPECT_TRUE(text.contains(QStringLiteral("sql:ALTER TABLE chat ADD COLUMN group_id TEXT;, error:")))
                << e.what();
        }
        // Never left open with empty probes, where readers would take it for a device file.
        EXPECT_FALSE(db.isOpen());
        EXPECT_TRUE(db.tableDdl().isEmpty());
    }
}

TEST_F(IOS6OpenTest, DeviceTriggersCallingDeviceFunctionsRun)
{
    fixtures::createIos6DeviceDb(dbPath());
    fixtures::SampleHistoryOptions options;
    options.messages = 200;
    fixtures::fillSampleHistory(dbPath(), options);

    IOS6MessageDb db(QDir(dbDir()), QString(), false);
    db.open();
    EXPECT_NO_THROW(db.executeThrow("delete from attachment"));
    Sqlite3Cursor left = db.queryThrow("select count(*) from attachment");
    ASSERT_TRUE(left.moveNext());
    EXPECT_EQ(left.getInt64(0), 0);
    // The functions come back with every new connection.
    db.close();
    db.open();
    EXPECT_NO_THROW(db.executeThrow("select delete_attachment_path('x'), before_delete_attachment_path(1, 'y')"));
}

TEST_F(IOS6OpenTest, FailedCreationScriptLeavesNoFile)
{
    const QString path = homePath(QStringLiteral("half.db"));
    Sqlite3DB db;
    try {
        createDatabaseFromScript(db, path, "create table a(x); create table a(y);", QStringLiteral("create error. "));
        FAIL() << "a failing script succeeded";
    } catch (const std::exception& e) {
        EXPECT_TRUE(QString::fromUtf8(e.what()).startsWith(QStringLiteral("create error. table a already exists")))
            << e.what();
    }
    EXPECT_FALSE(db.isOpen());
    EXPECT_FALSE(QFile::exists(path));
}

TEST(AppleDateTest, NanosecondDatesBecomeSeconds)
{
    EXPECT_EQ(appleDateSeconds(0), 0);
    EXPECT_EQ(appleDateSeconds(400000000), 400000000);
    EXPECT_EQ(appleDateSeconds(100000000000LL), 2147483647);  // at the threshold: still seconds, clamped
    EXPECT_EQ(appleDateSeconds(600000000123456789LL), 600000000);
    EXPECT_EQ(appleDateSeconds(-600000000123456789LL), -600000000);
    EXPECT_EQ(appleDateSeconds(5000000000LL), 2147483647);
}
