// The export, extraction, local-copy and delete jobs, run on the test's thread against a recording
// sink: reports, ordering, per-conversation files, and clean-up that removes only what a run created.
#include "core/filehandoff.h"
#include "export/attachmentextractthread.h"
#include "export/backupsmsthread.h"
#include "export/deletemmsthread.h"
#include "export/exportmessagesthread.h"
#include "export/sample_records.h"
#include "msgdb/ios6messagedb.h"

#include "fixtures/deleted_records.h"
#include "fixtures/message_history.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/temp_home.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTranslator>
#include <QCoreApplication>
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <thread>

using exporttest::readFile;
using exporttest::SampleRecords;
using exporttest::writeFile;
using fixtures::RecordingProgressSink;

namespace {

// The jobs' texts are catalogue keys: the tests read them as the user does.
class Catalogue : public ::testing::Environment {
public:
    void SetUp() override
    {
        ASSERT_TRUE(m_translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&m_translator);
    }
    void TearDown() override { QCoreApplication::removeTranslator(&m_translator); }

private:
    QTranslator m_translator;
};
const auto* const kCatalogue = ::testing::AddGlobalTestEnvironment(new Catalogue);

QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// The texts of a page's message bubbles, in order.
QStringList bubbleTexts(const QString& page)
{
    QStringList texts;
    const QRegularExpression bubble(QStringLiteral("bottom_right\"></div>([^<]*)</div>"));
    for (auto match = bubble.globalMatch(QString::fromUtf8(readFile(page))); match.hasNext();)
        texts.append(match.next().captured(1));
    return texts;
}

// Two one-to-one conversations and a group, messages deliberately out of order.
struct History {
    SampleRecords r;
    History()
    {
        _MsgHandle* ann = r.handle(1, QStringLiteral("+1"), QStringLiteral("Ann"));
        _MsgHandle* bob = r.handle(2, QStringLiteral("+2"), QStringLiteral("Bob"));
        _MsgChat* withAnn = r.chat(1, QStringLiteral("+1"), {ann});
        _MsgChat* withBob = r.chat(2, QStringLiteral("+2"), {bob});
        r.message(3, withAnn, ann, 3000, QStringLiteral("ann 2"));
        r.message(1, withBob, bob, 1000, QStringLiteral("bob 1"));
        r.message(2, withAnn, ann, 2000, QStringLiteral("ann 1"));
    }
};

qint64 countRows(const QString& dbPath, const char* table)
{
    sqlite3* db = nullptr;
    qint64 n = -1;
    sqlite3_open_v2(dbPath.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    const QByteArray sql = QByteArray("select count(*) from ") + table;
    if (sqlite3_prepare_v2(db, sql.constData(), -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW)
        n = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
}

class Jobs : public TempHomeTest {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
};

}  // namespace

TEST_F(Jobs, ExportSortsByDateAndReportsEveryMessage)
{
    History h;
    RecordingProgressSink sink;
    ExportMessagesThread job(h.r.messages(), path("all.csv"), ExportMessagesThread::Csv, &sink);
    job.run();
    EXPECT_EQ(sink.successes(), QStringList{QStringLiteral("Successfully exported 3 Messages.")});
    const QList<QByteArray> lines = readFile(path("all.csv")).split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[1].endsWith("bob 1") && lines[2].endsWith("ann 1") && lines[3].endsWith("ann 2"));
    EXPECT_EQ(sink.updates().back().text, QStringLiteral("Messages: 3/3"));
    EXPECT_EQ(sink.updates().back().progress, 100);

    // A selection of one.
    ExportMessagesThread one({h.r.messages().first()}, path("one.txt"), ExportMessagesThread::Text, &sink);
    one.run();
    EXPECT_EQ(readFile(path("one.txt")).count('\n'), 2);
}

TEST_F(Jobs, ExportWritesRecoveredConversations)
{
    _MsgStore store;
    addRecycledMessages(store, {fixtures::recycledSms(1, QStringLiteral("+15550002"), 0, 1000, QStringLiteral("gone 1")),
                                fixtures::recycledSms(2, QString(), 0, 2000, QStringLiteral("gone 2"))});
    ASSERT_EQ(store.chatList().size(), 2);
    RecordingProgressSink sink;
    ExportMessagesThread(_MsgStore::messagesOfChats(store.chatList()), path("r.csv"), ExportMessagesThread::Csv, &sink).run();
    EXPECT_EQ(sink.successes(), QStringList{QStringLiteral("Successfully exported 2 Messages.")});
    EXPECT_TRUE(readFile(path("r.csv")).contains("gone 1") && readFile(path("r.csv")).contains("gone 2"));
}

TEST_F(Jobs, EmptyListSucceedsWithZeroAndMakesOnlyThePageFolder)
{
    RecordingProgressSink sink;
    ExportMessagesThread text({}, path("none.txt"), ExportMessagesThread::Text, &sink);
    text.run();
    ExportMessagesThread pages({}, path("none-pdf"), ExportMessagesThread::Pdf, &sink);
    pages.run();
    EXPECT_EQ(sink.successes().size(), 2);
    EXPECT_EQ(sink.successes().first(), QStringLiteral("Successfully exported 0 Messages."));
    EXPECT_EQ(entries(dir.path()), QStringList{QStringLiteral("none-pdf")});
}

TEST_F(Jobs, CancelAndErrorsLeaveWhatExistedBefore)
{
    History h;
    writeFile(path("keep.csv"), "mine");
    RecordingProgressSink cancelAtOnce;
    cancelAtOnce.cancel();
    ExportMessagesThread cancelled(h.r.messages(), path("keep.csv"), ExportMessagesThread::Csv, &cancelAtOnce);
    cancelled.run();
    EXPECT_EQ(readFile(path("keep.csv")), QByteArray("mine"));
    EXPECT_EQ(cancelAtOnce.finalReports(), 0);

    // A folder the user already had, with a file of their own: the cancelled run takes back its page, the
    // bubble files and the copied attachment, and nothing of the user's.
    writeFile(path("out-html/own.txt"), "own");
    QTemporaryDir sources;
    h.r.attachment(h.r.messages().at(1), 1, QString(), writeFile(sources.filePath("a.pdf"), "pdf"), "application/pdf");
    RecordingProgressSink sink(2);  // cancels after the first message
    ExportMessagesThread html(h.r.messages(), path("out-html"), ExportMessagesThread::Html, &sink);
    QTemporaryDir assets;
    writeFile(assets.filePath(QStringLiteral("bubble/style.css")), "css");
    html.setAssetRoot(assets.path());
    html.run();
    EXPECT_EQ(sink.finalReports(), 0);
    EXPECT_EQ(entries(path("out-html")), QStringList{QStringLiteral("own.txt")});

    RecordingProgressSink bad;
    ExportMessagesThread format5(h.r.messages(), path("x"), 5, &bad);
    format5.run();
    ExportMessagesThread negative(h.r.messages(), path("x"), -1, &bad);
    negative.run();
    EXPECT_EQ(bad.errors().size(), 2);
    EXPECT_EQ(entries(dir.path()), (QStringList{QStringLiteral("keep.csv"), QStringLiteral("out-html")}));
}

TEST_F(Jobs, CancelRemovesAPageFolderTheRunMadeOrTheFilesItWroteIntoAnother)
{
    History h;
    RecordingProgressSink sink(2);  // cancels after the first message
    ExportMessagesThread job(h.r.messages(), path("new-pdf"), ExportMessagesThread::Pdf, &sink);
    job.run();
    EXPECT_TRUE(entries(dir.path()).isEmpty());

    // Into a folder the user had: cancelled in the second conversation, after the first one's file
    // was finished.
    writeFile(path("old-pdf/own.txt"), "own");
    RecordingProgressSink later(3);
    ExportMessagesThread second(h.r.messages(), path("old-pdf"), ExportMessagesThread::Pdf, &later);
    second.run();
    EXPECT_EQ(entries(path("old-pdf")), QStringList{QStringLiteral("own.txt")});
}

TEST_F(Jobs, PagesGroupCaseVariantsAndKeepEqualNamesApart)
{
    SampleRecords r;
    _MsgHandle* a1 = r.handle(1, QStringLiteral("a@x"), QStringLiteral("Sam"));
    _MsgHandle* a2 = r.handle(2, QStringLiteral("b@x"), QStringLiteral("Sam"));
    _MsgChat* lower = r.chat(1, QStringLiteral("a@x"), {a1});
    _MsgChat* upper = r.chat(2, QStringLiteral("A@X"), {a1});
    _MsgChat* otherSam = r.chat(3, QStringLiteral("b@x"), {a2});
    lower->display_name = upper->display_name = otherSam->display_name = QStringLiteral("Sam");
    r.message(1, lower, a1, 1000, QStringLiteral("lower"));
    r.message(2, otherSam, a2, 1500, QStringLiteral("other"));
    r.message(3, upper, a1, 2000, QStringLiteral("upper"));
    r.message(4, nullptr, nullptr, 500, QStringLiteral("nochat 1"));
    r.message(5, nullptr, nullptr, 600, QStringLiteral("nochat 2"));
    writeFile(path("out-html/Sam.html"), "the user's");

    RecordingProgressSink sink;
    ExportMessagesThread job(r.messages(), path("out-html"), ExportMessagesThread::Html, &sink);
    QTemporaryDir assets;
    writeFile(assets.filePath(QStringLiteral("bubble/style.css")), "css");
    writeFile(assets.filePath(QStringLiteral("emoji/E415.png")), "png");
    job.setAssetRoot(assets.path());
    job.run();
    ASSERT_EQ(sink.successes().size(), 1) << sink.errors().join(QLatin1Char('\n')).toStdString();

    EXPECT_EQ(readFile(path("out-html/Sam.html")), QByteArray("the user's"));
    // "other" (newest 1500) comes first, then both spellings of a@x (newest 2000) in one file.
    EXPECT_EQ(bubbleTexts(path("out-html/Sam(1).html")), QStringList{"other"});
    EXPECT_EQ(bubbleTexts(path("out-html/Sam(2).html")), (QStringList{"lower", "upper"}));
    EXPECT_EQ(bubbleTexts(path("out-html/unknown-chat.html")), (QStringList{"nochat 1", "nochat 2"}));
    EXPECT_EQ(readFile(path("out-html/files/style.css")), QByteArray("css"));
    EXPECT_EQ(readFile(path("out-html/emoji/E415.png")), QByteArray("png"));
}

// Conversations sharing a page name take the numbers they always took, past a file already there; each
// number is tried about once, so 3,000 of them cost about what as many names apart do.
TEST_F(Jobs, ManyPagesOfOneNameAreNumberedInOnePass)
{
    struct NoPage : MessageExporter {
        void begin() override {}
        void exportMessage(_MsgMessage*) override {}
        void end() override {}
    };
    writeFile(path("out/Unknown(2).pdf"), "the user's");
    const auto timeToName = [&](bool shared, QStringList& names) {
        SampleRecords r;
        for (int i = 1; i <= 3000; ++i)
            r.message(i, r.chat(i, QString::number(i), {}), nullptr, i, {})->chat->display_name = shared ? "" : QString::number(i);
        ExportMessagesThread job(r.messages(), path("out"), ExportMessagesThread::Pdf, nullptr);
        job.setPageExporterFactory([&](int, const QString&, const QString& name) { names << name; return std::make_unique<NoPage>(); });
        QElapsedTimer timer;
        timer.start();
        job.run();
        return timer.nsecsElapsed() + 1;
    };
    QStringList names, apart;
    EXPECT_LT(timeToName(true, names), 3 * timeToName(false, apart));
    EXPECT_EQ(names.mid(0, 3), (QStringList{"Unknown.pdf", "Unknown(1).pdf", "Unknown(3).pdf"}));
    EXPECT_EQ(names.last(), QStringLiteral("Unknown(3000).pdf"));
}

TEST(ExportOrder, ConversationsByNewestDateThenIdentifierChatlessLast)
{
    SampleRecords r;
    _MsgChat* b = r.chat(1, QStringLiteral("B"), {});
    _MsgChat* a = r.chat(2, QStringLiteral("a"), {});
    b->last = a->last = 100;
    _MsgMessage* inB = r.message(1, b, nullptr, 50, QString());
    _MsgMessage* inA = r.message(2, a, nullptr, 60, QString());
    _MsgMessage* none = r.message(3, nullptr, nullptr, 10, QString());
    a->last = b->last = 100;
    EXPECT_TRUE(exportChatLessThan(inA, inB));
    EXPECT_FALSE(exportChatLessThan(inB, inA));
    EXPECT_TRUE(exportChatLessThan(inB, none));
    EXPECT_FALSE(exportChatLessThan(none, inA));
}

TEST_F(Jobs, LocalDatabaseFormatNeverDeletesTheDatabase)
{
    History h;
    RecordingProgressSink sink;
    ExportMessagesThread first(h.r.messages(), path("db"), ExportMessagesThread::LocalDb, &sink);
    first.run();
    ASSERT_EQ(sink.successes().size(), 1);
    h.r.message(9, nullptr, nullptr, 1, QString())->guid.clear();
    h.r.messages().last()->chat = h.r.messages().first()->chat;  // a message the writer refuses
    ExportMessagesThread failing(h.r.messages(), path("db"), ExportMessagesThread::LocalDb, &sink);
    failing.run();
    EXPECT_EQ(sink.errors().size(), 1);
    EXPECT_EQ(countRows(fixtures::ios6DbPathIn(path("db")), "message"), 3);
}

TEST_F(Jobs, ExtractKeepsSameNamesApartDatesCopiesAndCountsOnlyCopies)
{
    SampleRecords r;
    _MsgMessage* m1 = r.message(1, nullptr, nullptr, 400000000, QString());
    _MsgMessage* m2 = r.message(2, nullptr, nullptr, 400000100, QString());
    r.attachment(m1, 1, QStringLiteral("~/Library/SMS/a/IMG.JPG"), writeFile(path("src/1"), "one"));
    r.attachment(m2, 2, QStringLiteral("~/Library/SMS/b/IMG.JPG"), writeFile(path("src/2"), "two"));
    r.attachment(m2, 3, QStringLiteral("~/Library/SMS/c/gone.jpg"), path("src/missing"));
    r.attachment(m2, 4, QStringLiteral("~/Library/SMS/d/.."), writeFile(path("src/4"), "four"))->transfer_name =
        QStringLiteral("named.vcf");

    RecordingProgressSink sink;
    AttachmentExtractThread job(&sink, r.messages(), path("out/attachments"));
    job.run();
    ASSERT_EQ(sink.successes().size(), 1);
    EXPECT_TRUE(sink.successes().first().startsWith(QStringLiteral("Successfully extacted 3 MMS attachment to ")));
    EXPECT_EQ(entries(path("out/attachments")),
              (QStringList{QStringLiteral("IMG(1).JPG"), QStringLiteral("IMG.JPG"), QStringLiteral("named.vcf")}));
    EXPECT_EQ(readFile(path("out/attachments/IMG(1).JPG")), QByteArray("two"));
    EXPECT_EQ(QFileInfo(path("out/attachments/IMG.JPG")).lastModified().toSecsSinceEpoch(), 1378307200);

    RecordingProgressSink empty;
    AttachmentExtractThread none(&empty, {}, path("out/empty"));
    none.run();
    EXPECT_TRUE(empty.successes().first().startsWith(QStringLiteral("Successfully extacted 0 ")));
    EXPECT_TRUE(QFileInfo(path("out/empty")).isDir());

    RecordingProgressSink cancel;
    cancel.cancel();
    AttachmentExtractThread cancelled(&cancel, r.messages(), path("out/cancelled"));
    cancelled.run();
    EXPECT_FALSE(QFileInfo::exists(path("out/cancelled")));

    RecordingProgressSink blocked;
    writeFile(path("file"), "x");
    AttachmentExtractThread unwritable(&blocked, r.messages(), path("file/sub"));
    unwritable.run();
    EXPECT_EQ(blocked.errors().size(), 1);
    EXPECT_EQ(blocked.successes().size(), 0);
}

TEST_F(Jobs, BackupTwiceAddsNothingAndReportsEveryMessage)
{
    History h;
    h.r.message(8, h.r.chat(9, QStringLiteral("odd"), {}, QStringLiteral("Jabber")), nullptr, 1, QStringLiteral("j"));
    for (int run = 0; run < 2; ++run) {
        RecordingProgressSink sink;
        BackupSMSThread job(h.r.messages(), QDir(path("local")), QString(), &sink);
        job.run();
        ASSERT_EQ(sink.successes().size(), 1);
        EXPECT_TRUE(sink.successes().first().startsWith(
            QStringLiteral("Successfully Backup 4 Messages to local Database.<br/><br/>1 ")));
    }
    EXPECT_EQ(countRows(fixtures::ios6DbPathIn(path("local")), "message"), 3);

    RecordingProgressSink cancel;
    cancel.cancel();
    SampleRecords more;
    more.message(1, more.chat(1, QStringLiteral("n"), {}), nullptr, 5, QStringLiteral("new"));
    BackupSMSThread cancelled(more.messages(), QDir(path("local")), QString(), &cancel);
    cancelled.run();
    EXPECT_EQ(countRows(fixtures::ios6DbPathIn(path("local")), "message"), 3);
}

// Counts the progress posts that show the bar at its end while the file is still there, or that
// come after the file went while a cancel was still offered; when asked, cancels just as the job
// says it can no longer stop, as a press that came first.
class DeleteWatch : public RecordingProgressSink {
public:
    DeleteWatch(const QString& file, bool cancelAtClose) : m_file(file), m_cancelAtClose(cancelAtClose) {}
    void postNotCancellable() override
    {
        m_closed = true;
        if (m_cancelAtClose)
            cancel();
    }
    void postUpdateProgress(const QString& status, int curProgress, const QString& progressText) override
    {
        RecordingProgressSink::postUpdateProgress(status, curProgress, progressText);
        wrongPosts += QFileInfo::exists(m_file) ? curProgress >= 100 : !m_closed;
    }
    int wrongPosts = 0;

private:
    QString m_file;
    bool m_cancelAtClose;
    bool m_closed = false;
};

TEST_F(Jobs, DeleteRemovesRowsAndOnlyUnsharedFilesInsideTheDatabase)
{
    // Two messages share one attachment row; a third has its own file.
    SampleRecords r;
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {r.handle(1, QStringLiteral("+1"))});
    _MsgMessage* m1 = r.message(1, chat, nullptr, 1000, QString(QChar(0xFFFC)));
    _MsgMessage* m2 = r.message(2, chat, nullptr, 2000, QString(QChar(0xFFFC)));
    _MsgMessage* m3 = r.message(3, chat, nullptr, 3000, QString(QChar(0xFFFC)));
    _MsgAttachment* shared = r.attachment(m1, 1, QStringLiteral("~/Library/SMS/Parts/s"), writeFile(path("s"), "s"));
    m2->attachments.insert(1, shared);
    r.attachment(m3, 3, QStringLiteral("~/Library/SMS/Attachments/own.jpg"), writeFile(path("o"), "o"));
    r.attachment(m3, 4, QStringLiteral("~/Library/SMS/sms.db"), writeFile(path("d"), "d"));  // not its file
    RecordingProgressSink copySink;
    BackupSMSThread copy(r.messages(), QDir(path("local")), QString(), &copySink);
    copy.run();
    ASSERT_EQ(copySink.successes().size(), 1);

    // Read back as the tree node would, then delete the first and the third message.
    IOS6MessageDb db(QDir(path("local")), QString(), true);
    _MsgStore store;
    db.messages(store, 0);
    db.close();
    MsgMessageList victims;
    for (_MsgMessage* m : store.messageList()) {
        if (m->date != 2000)
            victims.append(m);
    }
    const QString sharedCopy = path("local/file-relay/var/mobile/Library/SMS/Parts/s");
    const QString ownCopy = path("local/file-relay/var/mobile/Library/SMS/Attachments/own.jpg");

    RecordingProgressSink cancel;
    cancel.cancel();
    DeleteMMSThread cancelled(QDir(path("local")), victims, &cancel);
    cancelled.run();
    EXPECT_EQ(countRows(fixtures::ios6DbPathIn(path("local")), "message"), 3);
    EXPECT_TRUE(QFileInfo::exists(ownCopy));
    DeleteWatch pressedFirst(ownCopy, true);
    DeleteMMSThread(QDir(path("local")), victims, &pressedFirst).run();
    EXPECT_EQ(countRows(fixtures::ios6DbPathIn(path("local")), "message"), 3);
    EXPECT_TRUE(QFileInfo::exists(ownCopy));
    EXPECT_EQ(pressedFirst.finalReports(), 0);

    DeleteWatch sink(ownCopy, false);
    DeleteMMSThread job(QDir(path("local")), victims, &sink);
    job.run();
    EXPECT_EQ(sink.successes(), QStringList{QStringLiteral("Successfully Deleted 2 Messages.")});
    EXPECT_EQ(countRows(fixtures::ios6DbPathIn(path("local")), "message"), 1);
    EXPECT_TRUE(QFileInfo::exists(sharedCopy));
    EXPECT_FALSE(QFileInfo::exists(ownCopy));
    // The bar ends only once the files are gone, and no file goes while a cancel is still offered.
    EXPECT_EQ(sink.wrongPosts, 0);
    EXPECT_EQ(sink.updates().back().progress, 100);
    EXPECT_EQ(sink.updates().back().text, QStringLiteral("Attachments: 3/3"));
}

TEST_F(Jobs, CancelledOrFailedBackupTakesBackOnlyTheFilesItCopied)
{
    SampleRecords r;
    _MsgChat* chat = r.chat(1, QStringLiteral("+1"), {});
    for (int i = 1; i <= 3; ++i)
        r.attachment(r.message(i, chat, nullptr, i, {}), i, QStringLiteral("~/Library/SMS/Attachments/%1/x").arg(i),
                     writeFile(path("src"), "new"));
    r.messages().last()->guid.clear();  // refused by the writer: the run fails there
    const QString before = writeFile(path("local/file-relay/var/mobile/Library/SMS/Attachments/1/x"), "before");
    for (const int cancelAfter : {3, -1}) {  // before the last message; never
        RecordingProgressSink sink(cancelAfter);
        BackupSMSThread(r.messages(), QDir(path("local")), QString(), &sink).run();
        EXPECT_EQ(entries(QFileInfo(before).path() + QStringLiteral("/..")), QStringList{QStringLiteral("1")});
        EXPECT_EQ(readFile(before), QByteArray("before"));
    }
}

// The attachment files are still being cached while the rows are written.
TEST_F(Jobs, ACopyWaitsForItsCachedFileAndTheJobEndsWithTheCache)
{
    SampleRecords r;
    const QString source = path("cache/x");
    r.attachment(r.message(1, r.chat(1, QStringLiteral("+1"), {}), nullptr, 1, {}), 1,
                 QStringLiteral("~/Library/SMS/Attachments/a/x"), source);
    enum Ending { Lands, Fails, UserCancels };
    for (const Ending ending : {Lands, Fails, UserCancels}) {
        const QString local = path(QStringLiteral("local%1").arg(ending));
        const QString copy = local + QStringLiteral("/file-relay/var/mobile/Library/SMS/Attachments/a/x");
        RecordingProgressSink sink(ending == UserCancels ? 2 : -1);  // after the last row
        bool shown = false;  // the cache's own text, while the job waits for it
        auto cache = std::make_shared<FileHandoff>();
        cache->expect({source}, {});
        cache->start([&, cache = cache.get()] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // well after the rows
            if (ending == Lands) {
                cache->postUpdateProgress(QString(), -1, QStringLiteral("Saving x..."));
                for (int wait = 0; wait < 5000 && !shown; ++wait) {  // fails below when never shown
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    shown = sink.updates().back().text == "Saving x...";
                }
                writeFile(source, "late");
                cache->settle(source);
                cache->postSucceed(QStringLiteral("left out"));
            } else if (ending == Fails) {
                cache->postError(QStringLiteral("disk full"));
            }
            while (!cache->isCancelled() && ending == UserCancels)
                std::this_thread::yield();
        });
        BackupSMSThread job(r.messages(), QDir(local), QString(), &sink);
        job.awaitCache(cache);
        job.run();
        if (ending == Lands) {
            EXPECT_TRUE(sink.successes().value(0).endsWith(QStringLiteral("<br/><br/>left out")));
            EXPECT_EQ(readFile(copy), QByteArray("late"));
            EXPECT_TRUE(shown);
            for (const auto& update : sink.updates())  // never full while waiting for the cache
                EXPECT_LT(update.progress, 100) << qPrintable(update.text);
            continue;
        }
        EXPECT_EQ(sink.errors(), ending == Fails ? QStringList{QStringLiteral("disk full")} : QStringList());
        EXPECT_EQ(sink.finalReports(), ending == Fails ? 1 : 0);
        EXPECT_EQ(countRows(fixtures::ios6DbPathIn(local), "message"), 0) << ending;
        EXPECT_FALSE(QFileInfo::exists(copy)) << ending;
    }
}
