// Merging records into a local database: no duplicates on a second run, attachments copied once and
// only inside the database's folder, handles, groups, recovered and unstorable conversations, rollback.
#include "export/exportmessagesdb.h"
#include "export/logichashesahead.h"
#include "export/sample_records.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/msgutil.h"

#include "fixtures/message_history.h"
#include "fixtures/temp_home.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <limits>

using exporttest::SampleRecords;

namespace {

qint64 queryInt(const QString& dbPath, const char* sql)
{
    sqlite3* db = nullptr;
    qint64 value = -1;
    if (sqlite3_open_v2(dbPath.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
            value = sqlite3_column_int64(stmt, 0);
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

QList<qint64> tableCounts(const QString& dbPath)
{
    QList<qint64> counts;
    for (const char* sql :
         {"select count(*) from message", "select count(*) from chat", "select count(*) from handle",
          "select count(*) from attachment", "select count(*) from chat_handle_join",
          "select count(*) from chat_message_join", "select count(*) from message_attachment_join"})
        counts.append(queryInt(dbPath, sql));
    return counts;
}

void exportAll(const QString& dir, const MsgMessageList& messages, int* skipped = nullptr)
{
    ExportMessagesDb exporter{QDir(dir), QString()};
    exporter.begin();
    for (_MsgMessage* message : messages)
        exporter.exportMessage(message);
    exporter.end();
    if (skipped)
        *skipped = exporter.skippedMessages();
}

class LocalDbExport : public TempHomeTest {
protected:
    QTemporaryDir source;
    QTemporaryDir target;
    QString dbPath() const { return fixtures::ios6DbPathIn(target.path()); }
    QString sourceFile(const QString& name, const QByteArray& content = "data")
    {
        return exporttest::writeFile(source.filePath(name), content);
    }
    QString relayFile(const QString& relative) const { return target.filePath("file-relay/" + relative); }
};

}  // namespace

TEST_F(LocalDbExport, SecondRunAddsNothingAndCopiesOnlyMissingFiles)
{
    SampleRecords r;
    _MsgHandle* ann = r.handle(7, QStringLiteral("+1555"));
    _MsgChat* chat = r.chat(3, QStringLiteral("+1555"), {ann});
    _MsgMessage* m1 = r.message(10, chat, ann, 1000, QStringLiteral("hello"));
    r.message(11, chat, nullptr, 1100, QStringLiteral("from me"), true);
    r.attachment(m1, 5, QStringLiteral("/var/mobile/Library/SMS/Attachments/a/x.jpg"), sourceFile("x.jpg"));

    exportAll(target.path(), r.messages());
    const QList<qint64> first = tableCounts(dbPath());
    EXPECT_EQ(first, (QList<qint64>{2, 1, 1, 1, 1, 2, 1}));
    const QString copy = relayFile(QStringLiteral("var/mobile/Library/SMS/Attachments/a/x.jpg"));
    EXPECT_EQ(exporttest::readFile(copy), QByteArray("data"));
    EXPECT_EQ(queryInt(dbPath(), "select handle_id from message where guid='M11'"), 0);

    // A copied file that went missing comes back; one that is there stays as it is.
    QFile::remove(copy);
    exportAll(target.path(), r.messages());
    EXPECT_EQ(tableCounts(dbPath()), first);
    EXPECT_TRUE(QFileInfo::exists(copy));
    exporttest::writeFile(copy, "kept");
    exportAll(target.path(), r.messages());
    EXPECT_EQ(exporttest::readFile(copy), QByteArray("kept"));
}

TEST_F(LocalDbExport, KnownMessageGainsNewAttachmentAndTildePathsShareTheFile)
{
    SampleRecords r;
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {r.handle(1, QStringLiteral("+1"))});
    _MsgMessage* m = r.message(1, chat, nullptr, 1000, QString(QChar(0xFFFC)));
    exportAll(target.path(), r.messages());
    EXPECT_EQ(queryInt(dbPath(), "select count(*) from attachment"), 0);

    // The hash covers attachment names, so the guid finds the known message. Recorded sizes pace the
    // copies; false ones must neither hold them up nor drop them.
    r.attachment(m, 1, QStringLiteral("~/library/sms/parts/a.png"), sourceFile("a.png", "one"))  // any case
        ->total_bytes = std::numeric_limits<qint64>::max();
    r.attachment(m, 2, QStringLiteral("/var/mobile/library/sms/parts/a.png"), sourceFile("b.png", "two"))
        ->total_bytes = -1;
    exportAll(target.path(), r.messages());
    EXPECT_EQ(queryInt(dbPath(), "select count(*) from message"), 1);
    EXPECT_EQ(queryInt(dbPath(), "select count(*) from message_attachment_join"), 2);
    EXPECT_EQ(exporttest::readFile(relayFile(QStringLiteral("var/mobile/library/sms/parts/a.png"))), QByteArray("one"));
}

// Attachments whose names meet once the characters a copy cannot hold are dropped lie apart in the
// source's copies and stay apart in the local database; a name that meets no other keeps its name.
TEST_F(LocalDbExport, AttachmentsWhoseNamesMeetKeepTheirOwnCopies)
{
    SampleRecords r;
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {r.handle(1, QStringLiteral("+1"))});
    const QString folder = QStringLiteral("~/Library/SMS/Attachments/c/");
    const QStringList names = {"ab.jpg", "a:b.jpg", "02/f.jpg", "0:2/f.jpg", "x:y.jpg"};
    const QStringList sourceNames = {"ab.jpg", distinctDeviceFileName("a:b.jpg"), "02/f.jpg",
                                     distinctDeviceFileName("0:2") + "/f.jpg", "xy.jpg"};
    for (int i = 0; i < names.size(); ++i) {
        r.attachment(r.message(i + 1, chat, nullptr, 1000 + i, QString(QChar(0xFFFC))), i + 1, folder + names[i],
                     sourceFile(sourceNames[i], names[i].toUtf8()));
    }
    exportAll(target.path(), r.messages());
    for (const QString& name : names)
        EXPECT_EQ(exporttest::readFile(attachmentLocalPath(QDir(relayFile("")), folder + name)), name.toUtf8());
    EXPECT_EQ(exporttest::readFile(relayFile("var/mobile/Library/SMS/Attachments/c/xy.jpg")), "x:y.jpg");
}

TEST_F(LocalDbExport, OnlyTheAttachmentFoldersTakeCopiesOtherPathsKeepTheirRows)
{
    SampleRecords r;
    _MsgMessage* m = r.message(1, r.chat(1, QStringLiteral("+1"), {}), nullptr, 1000, QString());
    const QDir sms(relayFile(QStringLiteral("var/mobile/Library/SMS")));
    sms.mkpath(QStringLiteral("Attachments"));  // with links back to the database's own folder
    QFile::link(sms.path(), sms.filePath("Attachments/up")) && QFile::link(sms.path(), sms.filePath("Parts"));
    const QStringList aimed{"~/Library/AddressBook/AddressBook.sqlitedb", "/var/mobile/Library/SMS/sms.db-wal",
                            "~/library/sms/SMS.DB-journal", "~/Library/SMS/Attachments/up/sms.db-wal", "../recycle.db",
                            "~/Library/SMS/Parts/sms.db-shm", "~/../../../escaped.txt"};
    for (int i = 0; i < aimed.size(); ++i)
        r.attachment(m, i + 1, aimed[i], sourceFile(QString::number(i)));
    exportAll(target.path(), r.messages());
    EXPECT_EQ(queryInt(dbPath(), "select count(*) from attachment"), aimed.size());
    EXPECT_EQ(sms.entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("sms.db")});
    EXPECT_EQ(QDir(target.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"file-relay"});
    EXPECT_FALSE(QFileInfo::exists(relayFile(QStringLiteral("var/mobile/Library/AddressBook"))));
}

TEST_F(LocalDbExport, GroupSetsLastAddressedHandleAndNewSenderJoinsTheChat)
{
    SampleRecords r;
    _MsgHandle* a = r.handle(1, QStringLiteral("+1"));
    _MsgHandle* b = r.handle(2, QStringLiteral("+2"));
    _MsgHandle* c = r.handle(3, QStringLiteral("+3"));
    _MsgChat* group = r.chat(1, QStringLiteral("chat9"), {a, b});
    r.message(1, group, b, 1000, QStringLiteral("x"));
    r.message(2, group, c, 1100, QStringLiteral("y"));
    exportAll(target.path(), r.messages());
    EXPECT_EQ(queryInt(dbPath(), "select count(*) from chat_handle_join"), 3);
    EXPECT_EQ(queryInt(dbPath(), "select count(*) from chat where last_addressed_handle='+3'"), 1);
    EXPECT_EQ(queryInt(dbPath(), "select _last from chat"), 1100);
}

TEST_F(LocalDbExport, EmptyDatabaseFindsRepeatsAmongTheRunsOwnRows)
{
    SampleRecords r;
    _MsgHandle* ann = r.handle(1, QStringLiteral("+1"));
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {ann});
    r.message(1, chat, ann, 1200, QStringLiteral("same"));
    r.message(2, chat, ann, 1200, QStringLiteral("same"));  // found by its content
    _MsgMessage* b = r.message(3, chat, ann, 1100, QStringLiteral("b"));
    r.message(4, chat, ann, 1000, QStringLiteral("other"))->guid = b->guid;  // found by its guid
    const QString shared = QStringLiteral("~/Library/SMS/Attachments/s/x.jpg");
    r.attachment(b, 7, shared, sourceFile("x.jpg"));
    r.attachment(r.message(5, chat, ann, 900, QStringLiteral("c")), 8, shared, sourceFile("x.jpg"))->guid = "A7";
    exportAll(target.path(), r.messages());
    EXPECT_EQ(tableCounts(dbPath()), (QList<qint64>{3, 1, 1, 1, 1, 3, 2}));
    EXPECT_EQ(queryInt(dbPath(), "select _last from chat"), 1200);
    EXPECT_EQ(exporttest::readFile(relayFile(QStringLiteral("var/mobile/Library/SMS/Attachments/s/x.jpg"))), "data");
}

TEST_F(LocalDbExport, SkipsRecoveredUnstorableAndChatlessMessages)
{
    SampleRecords r;
    _MsgChat* good = r.chat(1, QStringLiteral("+1"), {r.handle(1, QStringLiteral("+1"))});
    _MsgChat* recovered = r.chat(-2047483647, QStringLiteral("+2"), {});
    _MsgChat* odd = r.chat(3, QStringLiteral("+3"), {}, QStringLiteral("sms"));
    r.message(1, good, nullptr, 1000, QStringLiteral("a"));
    r.message(2, recovered, nullptr, 1000, QStringLiteral("b"));
    r.message(3, odd, nullptr, 1000, QStringLiteral("c"));
    r.message(4, nullptr, nullptr, 1000, QStringLiteral("d"));
    r.message(5, good, nullptr, 1001, QStringLiteral("e"));
    int skipped = 0;
    exportAll(target.path(), r.messages(), &skipped);
    EXPECT_EQ(skipped, 3);
    EXPECT_EQ(queryInt(dbPath(), "select count(*) from message"), 2);
}

TEST_F(LocalDbExport, DestroyedWithoutEndLeavesNoRowsAndNoCopies)
{
    SampleRecords r;
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {r.handle(1, QStringLiteral("+1"))});
    r.attachment(r.message(1, chat, nullptr, 1000, QStringLiteral("a")), 1, "~/Library/SMS/Parts/q/y.jpg",
                 sourceFile("y.jpg"));
    {
        ExportMessagesDb exporter{QDir(target.path()), QString()};
        exporter.begin();
        exporter.exportMessage(r.messages().first());
    }
    EXPECT_EQ(tableCounts(dbPath()), (QList<qint64>{0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(QFileInfo::exists(relayFile(QStringLiteral("var/mobile/Library/SMS/Parts"))));
}

// A run killed before its commit leaves copies no row names; the next run removes those and only those.
// The list of them is private while it lasts.
TEST_F(LocalDbExport, CopiesLeftByAKilledRunGoWithTheNextRun)
{
    SampleRecords r;
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {r.handle(1, QStringLiteral("+1"))});
    _MsgMessage* kept = r.message(1, chat, nullptr, 1000, QStringLiteral("kept"));
    const QString keptName = QStringLiteral("~/Library/SMS/Attachments/a/kept.jpg");
    r.attachment(kept, 1, keptName, sourceFile("kept.jpg"));
    exportAll(target.path(), {kept});
    const QString keptCopy = relayFile("var/mobile/Library/SMS/Attachments/a/kept.jpg");
    ASSERT_TRUE(QFile::remove(keptCopy));  // copied again by the killed run, yet named by a committed row
    _MsgMessage* lost = r.message(2, chat, nullptr, 2000, QStringLiteral("lost"));
    r.attachment(lost, 2, QStringLiteral("/var/mobile/Library/SMS/Attachments/b/lost\n.jpg"), sourceFile("lost.jpg"));
    r.attachment(lost, 3, keptName, sourceFile("kept.jpg"));
    const QString lostCopy = relayFile("var/mobile/Library/SMS/Attachments/b/lost.jpg");
    const pid_t child = ::fork();
    if (child == 0) {
        ExportMessagesDb exporter{QDir(target.path()), QString()};
        exporter.begin();
        exporter.exportMessage(lost);
        // The copies are made beside the rows: killed once both are on disk, before the commit.
        for (int wait = 0; wait < 3000 && !(QFileInfo::exists(lostCopy) && QFileInfo::exists(keptCopy)); ++wait)
            ::usleep(10000);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_TRUE(QFileInfo::exists(lostCopy));
    // The list names one person's attachments: its owner's alone, as every file of the data folder.
    const QFileInfo list(target.filePath(QStringLiteral(".copies-in-progress")));
    ASSERT_TRUE(list.exists());
    EXPECT_EQ(list.permissions() & ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser), 0);
    exportAll(target.path(), {});
    EXPECT_FALSE(QFileInfo::exists(lostCopy));
    EXPECT_TRUE(QFileInfo::exists(keptCopy));
    EXPECT_EQ(QDir(target.path()).entryList(QDir::Files | QDir::Hidden).filter("copies").size(), 0);
}

// Hashes made ahead are each message's own, taken in the list's order; a message out of that order
// gets none, nor does any after it: the caller then makes them itself.
TEST(LogicHashesAhead, EachMessageGetsItsOwnHashInOrderAndNoneOutOfIt)
{
    SampleRecords r;
    _MsgHandle* handle = r.handle(1, QStringLiteral("+1"));
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {handle});
    MsgMessageList messages;
    for (int i = 1; i <= 600; ++i)
        messages << r.message(i, chat, handle, 1000 + i % 7, QString::number(i % 5));
    LogicHashesAhead ahead(messages);
    for (int i = 0; i < 300; ++i) {
        const QString* hash = ahead.take(messages[i]);
        ASSERT_TRUE(hash);
        EXPECT_EQ(*hash, messageLogicHash(messages[i]));
    }
    EXPECT_EQ(ahead.take(messages[301]), nullptr);
    EXPECT_EQ(ahead.take(messages[300]), nullptr);
}
