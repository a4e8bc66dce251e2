// Writing records into iOS 6 layout files and deleting messages from them.
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"

#include "fixtures/message_history.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <QDir>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

class IOS6WriteTest : public TempHomeTest {
protected:
    // A new local database (every optional column) below the folder name.
    IOS6MessageDb& localDb(const QString& name = QStringLiteral("local"))
    {
        m_dbs.push_back(std::make_unique<IOS6MessageDb>(QDir(homePath(name)), QString(), true));
        m_dbs.back()->open();
        return *m_dbs.back();
    }

    // A device database made from the device schema with edit applied to its script.
    IOS6MessageDb& deviceDb(const std::function<void(QString&)>& edit = {})
    {
        const QString dir = homePath(QStringLiteral("device"));
        QString schema = fixtures::ios6DeviceSchema();
        if (edit)
            edit(schema);
        QDir().mkpath(QFileInfo(fixtures::ios6DbPathIn(dir)).absolutePath());
        fixtures::createSqliteFile(fixtures::ios6DbPathIn(dir), schema);
        m_dbs.push_back(std::make_unique<IOS6MessageDb>(QDir(dir), QString(), false));
        return *m_dbs.back();
    }

    static qint64 scalar(IOS6MessageDb& db, const Sqlite3Sql& sql)
    {
        db.open();
        Sqlite3Cursor c = db.queryThrow(sql);
        return c.moveNext() ? c.getInt64(0) : -1;
    }

    static QString text(IOS6MessageDb& db, const Sqlite3Sql& sql)
    {
        db.open();
        Sqlite3Cursor c = db.queryThrow(sql);
        return c.moveNext() ? c.getText(0) : QStringLiteral("<no row>");
    }

    static _MsgMessage message(const QString& guid, int date = 400000000)
    {
        _MsgMessage m;
        m.guid = guid;
        m.text = QStringLiteral("hello ") + guid;
        m.date = date;
        m.service = QStringLiteral("SMS");
        return m;
    }

    static _MsgChat chat(const QString& guid, const QString& service = QStringLiteral("SMS"))
    {
        _MsgChat c;
        c.guid = guid;
        c.chat_identifier = guid.section(QLatin1Char(';'), 2);
        c.service_name = service;
        return c;
    }

    std::vector<std::unique_ptr<IOS6MessageDb>> m_dbs;
};

QString thrownText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return QStringLiteral("<nothing thrown>");
}

}  // namespace

TEST_F(IOS6WriteTest, DeviceFileWithoutOptionalColumnsTakesEveryRecord)
{
    IOS6MessageDb& db = deviceDb([](QString& schema) {
        for (const char* column : {" is_audio_message INTEGER DEFAULT 0,", " group_title TEXT,", " user_info BLOB,",
                                   " transfer_name TEXT,", " display_name TEXT,", " group_id TEXT"})
            schema.remove(QLatin1String(column));
        schema.replace(QStringLiteral("last_addressed_handle TEXT,"), QStringLiteral("last_addressed_handle TEXT"));
    });
    _MsgMessage m = message(QStringLiteral("M1"));
    m.is_audio_message = 1;
    m.group_title = QStringLiteral("title");
    const qint64 row = db.insertMessage(m, 3, 0, QString());
    EXPECT_EQ(text(db, Sqlite3Sql("select text from message where rowid=?").addInt64Param(row)), m.text);
    EXPECT_EQ(scalar(db, Sqlite3Sql("select handle_id from message where rowid=?").addInt64Param(row)), 3);

    _MsgAttachment a;
    a.guid = QStringLiteral("A1");
    a.transfer_name = QStringLiteral("IMG_1.jpeg");
    a.user_info = QByteArray("info");
    a.total_bytes = 5000000000LL;
    const qint64 attachment = db.insertAttachment(a);
    EXPECT_EQ(scalar(db, Sqlite3Sql("select total_bytes from attachment where rowid=?").addInt64Param(attachment)),
              5000000000LL);

    _MsgChat c = chat(QStringLiteral("SMS;-;+15550001"));
    c.display_name = QStringLiteral("Ann");
    _MsgHandle h;
    h.rowid = 7;
    h.id = QStringLiteral("+15550001");
    h.contactName = QStringLiteral("Ann");  // the device handle table has no _ct_name
    c.handles.insert(7, &h);
    db.insertChat(c);
    EXPECT_EQ(scalar(db, "select count(*) from chat_handle_join"), 1);
    EXPECT_EQ(text(db, "select id from handle"), h.id);
}

TEST_F(IOS6WriteTest, LogicHashIsComputedForAnEmptyArgumentAndStoredAsGiven)
{
    IOS6MessageDb& db = localDb();
    const _MsgMessage computed = message(QStringLiteral("M1"));
    const qint64 a = db.insertMessage(computed, 0, 0, QString());
    const qint64 b = db.insertMessage(message(QStringLiteral("M2")), 0, 0, QStringLiteral("given"));
    EXPECT_EQ(text(db, Sqlite3Sql("select logic_hash from message where rowid=?").addInt64Param(a)),
              messageLogicHash(&computed));
    EXPECT_EQ(text(db, Sqlite3Sql("select logic_hash from message where rowid=?").addInt64Param(b)),
              QStringLiteral("given"));
    EXPECT_EQ(db.messageRowidByLogicHash(computed), a);
}

TEST_F(IOS6WriteTest, OtherHandleIsWrittenOnlyForARealRow)
{
    IOS6MessageDb& db = localDb();
    for (const qint64 other : {0LL, -1LL, 5LL}) {
        _MsgMessage m = message(QStringLiteral("M%1").arg(other));
        m.other_handle = 9;  // the record's own value never counts
        const qint64 row = db.insertMessage(m, 1, other, QString());
        EXPECT_EQ(scalar(db, Sqlite3Sql("select other_handle from message where rowid=?").addInt64Param(row)),
                  other > 0 ? other : -1)
            << other;
    }
}

TEST_F(IOS6WriteTest, OnlyTheExactServiceNamesAreAccepted)
{
    IOS6MessageDb& db = localDb();
    EXPECT_EQ(thrownText([&] { db.insertChat(chat(QStringLiteral("sms;-;+1555"), QStringLiteral("sms"))); }),
              QStringLiteral("IOS6MessageDb::insertChat, invalid chat, service_name:sms"));
    EXPECT_EQ(scalar(db, "select count(*) from chat"), 0);
    EXPECT_GT(db.insertChat(chat(QStringLiteral("SMS;-;+1555"))), 0);
    EXPECT_GT(db.insertChat(chat(QStringLiteral("iMessage;-;a@b.org"), QStringLiteral("iMessage"))), 0);
}

TEST_F(IOS6WriteTest, GroupIdIsDerivedFromTheGuidAlikeInEveryFile)
{
    const _MsgChat derived = chat(QStringLiteral("iMessage;+;chat42"), QStringLiteral("iMessage"));
    _MsgChat given = chat(QStringLiteral("SMS;-;+1555"));
    given.group_id = QStringLiteral("GIVEN");
    IOS6MessageDb& first = localDb(QStringLiteral("one"));
    IOS6MessageDb& second = localDb(QStringLiteral("two"));
    first.insertChat(given);
    first.insertChat(derived);
    second.insertChat(derived);
    const QString sql = QStringLiteral("select group_id from chat where guid=?");
    const QString inFirst = text(first, Sqlite3Sql(sql).addTextParam(derived.guid));
    EXPECT_EQ(inFirst, guidFromMd5(derived.guid.toUtf8()));
    EXPECT_EQ(text(second, Sqlite3Sql(sql).addTextParam(derived.guid)), inFirst);
    EXPECT_EQ(text(first, Sqlite3Sql(sql).addTextParam(given.guid)), QStringLiteral("GIVEN"));
}

TEST_F(IOS6WriteTest, ChatStoresOnlyItsNewHandlesAndLinksBoth)
{
    IOS6MessageDb& db = localDb();
    _MsgHandle stored;
    stored.rowid = 1;
    stored.id = QStringLiteral("+15550001");
    stored.contactName = QStringLiteral("Ann");
    stored.photo = QByteArray("\x89PNG", 4);
    _MsgHandle fresh;
    fresh.rowid = 2;
    fresh.id = QStringLiteral("+15550002");
    const qint64 storedRow = db.insertHandle(stored);
    EXPECT_EQ(text(db, "select _ct_name from handle"), QStringLiteral("Ann"));

    _MsgChat group = chat(QStringLiteral("SMS;+;chat1"));
    group.handles.insert(2, &fresh);
    group.handles.insert(1, &stored);
    const qint64 chatRow = db.insertChat(group);
    EXPECT_EQ(scalar(db, "select count(*) from handle"), 2);
    EXPECT_EQ(scalar(db, "select count(*) from chat_handle_join"), 2);
    EXPECT_TRUE(db.hasChatHandleJoin(chatRow, storedRow));
    db.replaceChatHandleJoin(chatRow, storedRow);
    EXPECT_EQ(scalar(db, "select count(*) from chat_handle_join"), 2);

    db.updateChatLastAddressedHandle(chatRow, fresh.id);
    EXPECT_EQ(text(db, "select last_addressed_handle from chat"), fresh.id);
}

TEST_F(IOS6WriteTest, LinkingAnExistingPairAgainKeepsMessageAndAttachment)
{
    IOS6MessageDb& db = localDb();
    db.beginTransaction();
    const qint64 chatRow = db.insertChat(chat(QStringLiteral("SMS;-;+1555")));
    const qint64 messageRow = db.insertMessage(message(QStringLiteral("M1")), 0, 0, QString());
    _MsgAttachment a;
    a.guid = QStringLiteral("A1");
    const qint64 attachmentRow = db.insertAttachment(a);
    for (int round = 0; round < 2; ++round) {
        db.replaceChatMessageJoin(chatRow, messageRow);
        db.replaceMessageAttachmentJoin(messageRow, attachmentRow);
    }
    db.endTransaction(true);
    EXPECT_EQ(scalar(db, "select count(*) from message"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from attachment"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from chat_message_join"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from message_attachment_join"), 1);
    EXPECT_EQ(scalar(db, "select cache_has_attachments from message"), 1);
}

TEST_F(IOS6WriteTest, RecordWithoutGuidIsRefusedByNameAndTheBatchGoesOn)
{
    IOS6MessageDb& db = localDb();
    db.beginTransaction();
    db.insertMessage(message(QStringLiteral("M1")), 0, 0, QString());
    _MsgMessage noGuid = message(QString());
    noGuid.rowid = 77;
    EXPECT_EQ(thrownText([&] { db.insertMessage(noGuid, 0, 0, QString()); }),
              QStringLiteral("IOS6MessageDb::insertMessage, message without guid, rowid:77, date:400000000, chat:"));
    _MsgAttachment a;
    a.rowid = 5;
    a.filename = QStringLiteral("~/Library/SMS/Attachments/x.jpg");
    EXPECT_TRUE(thrownText([&] { db.insertAttachment(a); }).contains(QStringLiteral("rowid:5")));
    EXPECT_TRUE(thrownText([&] { db.insertChat(chat(QString())); }).contains(QStringLiteral("chat without guid")));
    db.insertMessage(message(QStringLiteral("M2")), 0, 0, QString());
    db.endTransaction(true);
    EXPECT_EQ(scalar(db, "select count(*) from message"), 2);
    EXPECT_EQ(scalar(db, "select count(*) from attachment"), 0);
}

TEST_F(IOS6WriteTest, DeletingTheLastMessageRemovesTheChatAndOrphanedAttachment)
{
    IOS6MessageDb& db = localDb();
    _MsgChat c = chat(QStringLiteral("SMS;-;+1555"));
    c.rowid = db.insertChat(c);
    _MsgMessage first = message(QStringLiteral("M1"));
    _MsgMessage second = message(QStringLiteral("M2"));
    _MsgMessage loose = message(QStringLiteral("M3"));
    for (_MsgMessage* m : {&first, &second, &loose}) {
        m->rowid = db.insertMessage(*m, 0, 0, QString());
        m->chat = &c;
        db.replaceChatMessageJoin(c.rowid, m->rowid);
    }
    _MsgAttachment a;
    a.guid = QStringLiteral("A1");
    db.replaceMessageAttachmentJoin(first.rowid, db.insertAttachment(a));

    db.deleteMessage(first);
    EXPECT_EQ(scalar(db, "select count(*) from chat"), 1);
    EXPECT_EQ(scalar(db, "select count(*) from attachment"), 0);
    EXPECT_EQ(scalar(db, "select count(*) from message"), 2);

    loose.chat = nullptr;  // without a chat the chat row is never looked at
    db.deleteMessage(loose);
    db.deleteMessage(second);
    EXPECT_EQ(scalar(db, "select count(*) from message"), 0);
    EXPECT_EQ(scalar(db, "select count(*) from chat"), 0);
}

TEST_F(IOS6WriteTest, DeletingFromADeviceFileRunsItsAttachmentTriggers)
{
    IOS6MessageDb& db = deviceDb();
    _MsgChat c = chat(QStringLiteral("SMS;-;+1555"));
    c.rowid = db.insertChat(c);
    _MsgMessage m = message(QStringLiteral("M1"));
    m.rowid = db.insertMessage(m, 0, 0, QString());
    m.chat = &c;
    db.replaceChatMessageJoin(c.rowid, m.rowid);
    _MsgAttachment a;
    a.guid = QStringLiteral("A1");
    db.replaceMessageAttachmentJoin(m.rowid, db.insertAttachment(a));
    db.deleteMessage(m);
    EXPECT_EQ(scalar(db, "select count(*) from attachment"), 0);
    EXPECT_EQ(scalar(db, "select count(*) from chat"), 0);
}

TEST_F(IOS6WriteTest, DbPathChangesOnlyBeforeTheFirstOpen)
{
    IOS6MessageDb db(QDir(homePath(QStringLiteral("local"))), QString(), true);
    const QString work = homePath(QStringLiteral("work/sms.db"));
    db.setDbPath(work);
    db.open();
    db.setDbPath(homePath(QStringLiteral("elsewhere.db")));
    EXPECT_EQ(db.dbPath(), work);
    db.close();
    db.open();
    EXPECT_EQ(db.path(), work);
    EXPECT_FALSE(QFileInfo::exists(homePath(QStringLiteral("elsewhere.db"))));
}
