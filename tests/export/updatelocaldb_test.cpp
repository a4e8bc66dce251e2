// The upgrade of old "mms.db" local databases: what each old message becomes, where it goes, and that
// every old file is moved aside or the run fails, so no start converts the same file again and again.
#include "core/datadir.h"
#include "export/updatelocaldbthread.h"
#include "fixtures/message_history.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/temp_home.h"
#include "msgdb/msgutil.h"
#include "platform/sqlite3db.h"

#include <QFile>
#include <gtest/gtest.h>

namespace {

// The test program loads the English catalogue (jobs_test.cpp).
const QString kSuccess = QStringLiteral("Successfully updated local database. Please restart software.");

class UpdateLocalDbTest : public TempHomeTest {
protected:
    static QString folder(const char* relative) { return dataDir().filePath(QLatin1String(relative)); }
    static QString run()
    {
        fixtures::RecordingProgressSink sink;
        UpdateLocalDbThread(&sink).run();
        return (sink.successes() + sink.errors()).join(QStringLiteral("\n"));
    }
    // Each converted message as "text|date|from me|conversation|attachment path|uti", oldest first.
    static QStringList converted()
    {
        Sqlite3DB db;
        db.openThrow(fixtures::ios6DbPathIn(folder("local_databases/old")), 1);
        Sqlite3Cursor rows = db.queryThrow(
            "select m.text||'|'||m.date||'|'||m.is_from_me||'|'||c.guid||ifnull('|'||a.filename||'|'||a.uti, '')"
            " from message m join chat_message_join j on j.message_id=m.rowid join chat c on c.rowid=j.chat_id"
            " left join message_attachment_join ma on ma.message_id=m.rowid left join attachment a"
            " on a.rowid=ma.attachment_id order by m.date, m.rowid");
        QStringList texts;
        while (rows.moveNext())
            texts << rows.getText(0);
        return texts;
    }
};

TEST_F(UpdateLocalDbTest, EachTextAndMediaPartBecomesAMessageAndASecondRunAddsNothing)
{
    const auto makeOld = [] {
        fixtures::createLegacyLocalDb(
            folder("local_databases/old"),
            "insert into handle values(1, '+15551234567', 'Ann');"
            "insert into message values(1, 1, 'word' || char(65532), '', 978307200, 1), (2, 1, char(65532), '', 1, 0),"
            " (3, 1, char(65532), '', 2, 0), (4, 7, 'handle row missing', '', 3, 0);"
            "insert into attachment values(1, 'IMG_1.jpg', 'image/jpeg'), (2, 'a.pdf', 'application/PDF'),"
            " (3, 'blank.txt', 'text/plain'), (4, 'note.txt', 'TEXT/plain'), (5, '../outside.jpg', 'image/jpeg');"
            "insert into message_attachment values(1, 1), (2, 2), (3, 3), (3, 4), (3, 5);",
            {{"IMG_1.jpg", "jpg"}, {"a.pdf", "%"}, {"blank.txt", " \n "}, {"note.txt", "hi\n"}, {"../outside.jpg", "x"}});
    };
    makeOld();
    EXPECT_TRUE(run().startsWith(kSuccess + QStringLiteral("<br/><br/>1 old messages without")));
    const QString g = guidFromMd5("attachments/IMG_1.jpg");
    const QString image = QStringLiteral("Attachments/%1/%2/%3/IMG_1.jpg").arg(g.left(2).toLower(), g.mid(2, 2).toLower(), g);
    const QStringList expected{"hi\n|-978307198|0|SMS;-;+15551234567", "word|0|1|SMS;-;+15551234567",
                               QChar(0xFFFC) + QStringLiteral("|0|1|SMS;-;+15551234567|~/Library/SMS/") + image + "|public.jpeg"};
    EXPECT_EQ(converted(), expected);
    EXPECT_TRUE(QFile::exists(folder("local_databases/old/file-relay/var/mobile/Library/SMS/") + image));

    // The same old file again, beside the first one's "-bak": it goes to a free name and adds nothing.
    makeOld();
    EXPECT_EQ(run().left(kSuccess.size()), kSuccess);
    EXPECT_TRUE(QFile::exists(folder("local_databases/old/mms(1).db-bak")));
    EXPECT_EQ(converted(), expected);
}

TEST_F(UpdateLocalDbTest, AnEmptyDatabaseOfDataMovesToLocalDatabasesOnceItsFileCanBeMovedAside)
{
    fixtures::createLegacyLocalDb(folder("data/X"));
    EXPECT_EQ(oldLocalDatabaseFolders(), QStringList{folder("data/X")});
    setOldDbRenameForTesting([](const QString&, const QString&) { return false; });  // as in a read-only folder
    EXPECT_TRUE(run().contains(QStringLiteral("could not be renamed")));
    setOldDbRenameForTesting({});
    EXPECT_EQ(oldLocalDatabaseFolders().size(), 1);
    EXPECT_EQ(run(), kSuccess);
    EXPECT_TRUE(QFile::exists(fixtures::ios6DbPathIn(folder("local_databases/X"))));
    EXPECT_TRUE(oldLocalDatabaseFolders().isEmpty());
}

}  // namespace
