// The upgrade of old "mms.db" local databases: what each old message becomes, where it goes, and that
// every old file is moved aside or the run fails, so no start converts the same file again and again.
#include "core/datadir.h"
#include "export/updatelocaldbthread.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"

#include "fixtures/legacy_localdb.h"
#include "fixtures/message_history.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/temp_home.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

using fixtures::LegacyAttachment;

const QString kMark(QChar(0xFFFC));
// The test program loads the English catalogue (jobs_test.cpp).
const QString kSuccess = QStringLiteral("Successfully updated local database. Please restart software.");

class UpdateLocalDbTest : public TempHomeTest {
protected:
    static QString folder(const char* root, const QString& name) { return dataDir().filePath(root + ('/' + name)); }
    // The converted messages of local database name, oldest first.
    MsgMessageList convertedMessages(const QString& name)
    {
        IOS6MessageDb db(QDir(folder("local_databases", name)), QString(), false);
        db.messages(store, 0);
        MsgMessageList messages = store.messageList();
        sortMessages(messages);
        return messages;
    }
    QStringList run()
    {
        fixtures::RecordingProgressSink sink;
        UpdateLocalDbThread(&sink).run();
        EXPECT_EQ(sink.finalReports(), 1);
        return sink.successes() + sink.errors();
    }
    _MsgStore store;
};

TEST_F(UpdateLocalDbTest, EachTextAndMediaPartBecomesAMessageAndASecondRunAddsNothing)
{
    fixtures::LegacyLocalDb old;
    old.handles = {{1, QStringLiteral("+15551234567"), QStringLiteral("Ann")}};
    old.messages = {
        {1, QStringLiteral("word") + kMark, 978307200, true, {{QStringLiteral("IMG_1.jpg"), QStringLiteral("image/jpeg"), "jpg"}}},
        {1, kMark, 978307300, false, {{QStringLiteral("a.pdf"), QStringLiteral("application/PDF"), "pdf"}}},
        {1, kMark, 978307400, false,
         {{QStringLiteral("blank.txt"), QStringLiteral("text/plain"), " \n "},
          {QStringLiteral("note.txt"), QStringLiteral("TEXT/plain"), "hello\n"},
          {QStringLiteral("../outside.jpg"), QStringLiteral("image/jpeg"), "x"}}},
        {7, QStringLiteral("no handle row"), 978307500},
    };
    fixtures::createLegacyLocalDb(folder("local_databases", QStringLiteral("old")), old);
    const QStringList reports = run();
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports.front().startsWith(kSuccess + QStringLiteral("<br/><br/>1 old messages")));
    EXPECT_TRUE(QFile::exists(folder("local_databases", QStringLiteral("old/mms.db-bak"))));

    const MsgMessageList messages = convertedMessages(QStringLiteral("old"));
    ASSERT_EQ(messages.size(), 3);
    EXPECT_EQ(messages[0]->text, QStringLiteral("word"));
    EXPECT_EQ(messages[0]->date, 0);
    EXPECT_EQ(messages[0]->is_from_me, 1);
    EXPECT_TRUE(messages[0]->attachments.isEmpty());
    EXPECT_EQ(messages[0]->chat->guid, QStringLiteral("SMS;-;+15551234567"));
    EXPECT_EQ(messages[1]->text, kMark);
    ASSERT_EQ(messages[1]->attachments.size(), 1);
    const _MsgAttachment* image = messages[1]->attachments.begin().value();
    const QString g = guidFromMd5("attachments/IMG_1.jpg");
    EXPECT_EQ(image->filename, QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/IMG_1.jpg")
                                   .arg(g.left(2).toLower(), g.mid(2, 2).toLower(), g));
    EXPECT_EQ(image->uti, QStringLiteral("public.jpeg"));
    EXPECT_EQ(image->is_outgoing, 1);
    EXPECT_TRUE(QFile::exists(image->localPath));
    EXPECT_EQ(messages[2]->text, QStringLiteral("hello\n"));
    EXPECT_TRUE(messages[2]->attachments.isEmpty());

    // The same old file again, beside the first one's "-bak": it goes to a free name and adds nothing.
    fixtures::createLegacyLocalDb(folder("local_databases", QStringLiteral("old")), old);
    EXPECT_EQ(run().size(), 1);
    EXPECT_TRUE(QFile::exists(folder("local_databases", QStringLiteral("old/mms(1).db-bak"))));
    store = _MsgStore();
    EXPECT_EQ(convertedMessages(QStringLiteral("old")).size(), 3);
}

TEST_F(UpdateLocalDbTest, AnEmptyDatabaseOfDataBecomesALocalDatabaseOfTheSameName)
{
    fixtures::createLegacyLocalDb(folder("data", QStringLiteral("X")), {});
    EXPECT_EQ(oldLocalDatabaseFolders(), QStringList{folder("data", QStringLiteral("X"))});
    EXPECT_EQ(run(), QStringList{kSuccess});
    EXPECT_TRUE(QFile::exists(fixtures::ios6DbPathIn(folder("local_databases", QStringLiteral("X")))));
    EXPECT_TRUE(QFile::exists(folder("data", QStringLiteral("X/mms.db-bak"))));
    EXPECT_TRUE(oldLocalDatabaseFolders().isEmpty());
}

TEST_F(UpdateLocalDbTest, AnOldFileThatCannotBeMovedAsideIsAnError)
{
    const QString readOnly = folder("data", QStringLiteral("X"));
    fixtures::createLegacyLocalDb(readOnly, {});
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::ExeOwner);
    if (QFile(readOnly + QStringLiteral("/probe")).open(QIODevice::WriteOnly))
        GTEST_SKIP() << "permissions do not bind this user";
    const QStringList reports = run();
    QFile::setPermissions(readOnly, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports.front().contains(QStringLiteral("could not be renamed")));
    EXPECT_TRUE(QFile::exists(readOnly + QStringLiteral("/mms.db")));
}

}  // namespace
