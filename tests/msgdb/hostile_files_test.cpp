// Files made to stall or mislead the readers: repeated join rows, generated columns, reads past their
// step budget or cancelled, and files that hold no messages at all.
#include "msgdb/messagedbfolder.h"

#include "fixtures/message_history.h"
#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

namespace {

using fixtures::DeviceLayout;

class HostileFileTest : public TempHomeTest {
protected:
    QString dbPath() const { return fixtures::ios6DbPathIn(homePath()); }

    // A small history; the iOS 6 join tables lack their uniqueness, as a crafted file may.
    void createHistory(DeviceLayout layout)
    {
        fixtures::createDeviceDb(dbPath(), layout);
        QString schema = fixtures::ios6DeviceSchema();
        for (const char* unique : {", UNIQUE (chat_id, handle_id)", ", PRIMARY KEY (chat_id, message_id)",
                                   ", UNIQUE (message_id, attachment_id)"})
            schema.remove(QLatin1String(unique));
        if (layout == DeviceLayout::IOS6)
            fixtures::createSqliteFile(dbPath(), schema);
        fixtures::fillSampleHistory(dbPath(), {300, 12});
    }

    void run(const QString& sql)
    {
        Sqlite3DB db;
        db.openThrow(dbPath(), 2);
        QString error;  // a script of several statements too
        ASSERT_EQ(db.exec(sql, error), 0) << error.toStdString();
    }

    // Reads every message with reader, or else with the one the layout probe picks; the error, if any.
    std::string read(_MsgStore& store, AbsMessageDb* reader = nullptr)
    {
        try {
            const auto picked = reader ? QSharedPointer<AbsIOSMessageDb>() : openMessageDbFolder(QDir(homePath()));
            (reader ? reader : picked.data())->messages(store, 0);
            return {};
        } catch (const std::exception& e) {
            return e.what();
        }
    }
};

// Each message with its conversation, members and sender, in an order that does not depend on hashing.
std::string contentsOf(const _MsgStore& store)
{
    QStringList lines{QStringLiteral("%1 handles").arg(store.data()->handles.size())};
    for (const _MsgMessage* m : store.data()->messages)
        lines << QStringLiteral("%1 %2 %3 %4").arg(m->rowid).arg(m->chat ? m->chat->guid : QString(), m->chatLabel())
                     .arg(m->attachments.size());
    lines.sort();
    return lines.join(QLatin1Char('\n')).toStdString();
}

}  // namespace

TEST_F(HostileFileTest, RepeatedJoinRowsReadOnceAndFast)
{
    // Copies one row 4,000 times. The attachment read once joined the copies of both iOS 6 join
    // tables into each other: 16 million rows.
    const QString copies = QStringLiteral("with recursive n(i) as (select 1 union all select i+1 from n where i < 4000)"
                                          " insert into %1(%2) select %2 from n, (select %2 from %1 where %3 limit 1)");
    const QString ofAnAttachment = QStringLiteral("message_id = (select min(message_id) from message_attachment_join)");
    const QString member = copies.arg("group_member", "group_id, address, country", "1");
    const QStringList ios6 = {copies.arg("chat_message_join", "chat_id, message_id", ofAnAttachment),
                              copies.arg("message_attachment_join", "message_id, attachment_id", ofAnAttachment),
                              copies.arg("chat_handle_join", "chat_id, handle_id", "1")};
    for (const DeviceLayout layout : {DeviceLayout::IOS6, DeviceLayout::IOS5}) {
        createHistory(layout);
        _MsgStore plain, repeated;
        ASSERT_EQ(read(plain), "");
        for (const QString& sql : layout == DeviceLayout::IOS6 ? ios6 : QStringList{member, member, member})
            run(sql);
        QElapsedTimer timer;
        timer.start();
        ASSERT_EQ(read(repeated), "");
        EXPECT_LT(timer.elapsed(), 2000) << int(layout);
        EXPECT_EQ(contentsOf(repeated), contentsOf(plain)) << int(layout);

        // The same reader stopped at its step budget: an error that says why, not a frozen window.
        const QSharedPointer<AbsIOSMessageDb> db = openMessageDbFolder(QDir(homePath()));
        db->open();
        db->setStepBudget(1);  // stops every statement at the first check
        EXPECT_EQ(read(repeated, db.data()), kTooComplexMessageDb);
    }
}

TEST_F(HostileFileTest, FilesTheReadersCannotTakeAreRefusedWithTheReason)
{
    const char addGenerated[] = "alter table message add column heavy as (length(text) * 2)";
    const std::string generated = "The message database cannot be read: its table \"message\" has generated columns.";
    // Joins on ROWID that became scans of the whole table for every row; a schema SQLite takes
    // seconds and gigabytes to parse, here made small but past the limits in each direction.
    const std::string foreignLayout = "The message database cannot be read: its table \"message\" has a layout no phone writes.";
    const auto replaceMessages = [&](const char* table) {
        createHistory(DeviceLayout::IOS6);
        run("drop table message");
        run(table);
    };
    // Tables written straight into the schema: made one by one, ten thousand take seconds.
    const auto addTables = [&](int tables, int columns) {
        run(QStringLiteral("pragma writable_schema=on; with recursive t(i) as (select 1 union all select i+1 from t"
                           " where i < %1), c(i) as (select 1 union all select i+1 from c where i < %2) insert into"
                           " sqlite_master select 'table', 't'||i, 't'||i, (select rootpage from sqlite_master where"
                           " name='message'), 'create table t'||i||'('||(select group_concat('c'||i) from c)||')' from t")
                .arg(QString::number(tables), QString::number(columns)));
    };
    const std::pair<std::function<void()>, std::string> files[] = {
        {[&] { fixtures::writeTextFile(dbPath(), QByteArray()); }, kNotAMessageDb},
        {[&] { fixtures::createSqliteFile(dbPath(), QStringLiteral("create table note(body text);")); }, kNotAMessageDb},
        {[&] { fixtures::writeTextFile(dbPath(), QByteArray(4096, 'x')); }, kNotAMessageDb},  // not SQLite at all
        {[&] { createHistory(DeviceLayout::IOS6), run(addGenerated); }, generated},
        {[&] { createHistory(DeviceLayout::IOS5), run(addGenerated); }, generated},
        {[&] { replaceMessages("create table message(rowid integer, guid text primary key) without rowid"); }, foreignLayout},
        {[&] { replaceMessages("create table message(ROWID integer, guid text unique)"); }, foreignLayout},
        {[&] { createHistory(DeviceLayout::IOS6), addTables(1, 401); }, kTooComplexMessageDb},
        {[&] { createHistory(DeviceLayout::IOS5), addTables(10000, 1); }, kTooComplexMessageDb},
    };
    QDir().mkpath(QFileInfo(dbPath()).absolutePath());
    for (const auto& [write, error] : files) {
        write();
        _MsgStore store;
        QElapsedTimer timer;
        timer.start();
        EXPECT_EQ(read(store), error);
        EXPECT_LT(timer.elapsed(), 1000);
    }
}
