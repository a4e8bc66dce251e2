#include "backup/backupmanifest.h"
#include "backup/backupreplacement.h"
#include "backup/ios6restoremessagesthread.h"
#include "backup/itunescachesmsthread.h"
#include "core/fileutil.h"
#include "fixtures/backup_builder.h"
#include "fixtures/message_history.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/sqlite_insert.h"
#include "fixtures/temp_home.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"

#include <QCryptographicHash>
#include <QFile>

#include <climits>
#include <memory>

namespace {

using fixtures::DeviceLayout;
using fixtures::RecordingProgressSink;

const QString kHome = QStringLiteral("HomeDomain");
const QString kSmsId = mbdbFileId(kHome, QStringLiteral("Library/SMS/sms.db"));
const QString kWalId = mbdbFileId(kHome, QStringLiteral("Library/SMS/sms.db-wal"));
const QString kPicturePath = QStringLiteral("Library/SMS/Attachments/ab/01/G/x.jpg");

// The backup's own history, kept in write-ahead-log mode as devices keep it.
const char kOldRows[] = R"sql(
PRAGMA journal_mode=WAL;
insert into handle(ROWID, id, service) values(1, '+15550001', 'SMS');
insert into chat(ROWID, guid, style, chat_identifier, service_name)
  values(1, 'SMS;-;+15550001', 45, '+15550001', 'SMS');
insert into chat_handle_join values(1, 1);
insert into message(ROWID, guid, handle_id, date) values(1, 'O1', 1, 1000), (2, 'O2', 1, 2000), (3, 'O3', 1, 3000);
insert into chat_message_join values(1, 1), (1, 2), (1, 3);
insert into attachment(ROWID, guid, filename) values(1, 'A-O2', '~/Library/SMS/Attachments/o2.jpg');
insert into message_attachment_join values(2, 1);
)sql";

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QMap<QString, QByteArray> snapshot(const QString& folder)
{
    QMap<QString, QByteArray> files;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files | QDir::Hidden))
        files.insert(info.fileName(), readAll(info.filePath()));
    return files;
}

// The first column of every row, joined by commas.
QString rows(const QString& dbPath, const char* sql)
{
    Sqlite3DB db;
    db.openThrow(dbPath, 1);
    Sqlite3Cursor cursor = db.queryThrow(sql);
    QStringList values;
    while (cursor.moveNext())
        values << cursor.getText(0);
    return values.join(QLatin1Char(','));
}

// Fails the failAt-th write, copy or rename; undoing never fails.
class FailingOps : public BackupFileOps {
public:
    explicit FailingOps(int failAt) : m_failAt(failAt) {}
    bool writeFile(const QString& p, const QByteArray& c) override { return pass() && BackupFileOps::writeFile(p, c); }
    bool copyFile(const QString& s, const QString& p) override { return pass() && BackupFileOps::copyFile(s, p); }
    bool rename(const QString& f, const QString& t) override { return pass() && BackupFileOps::rename(f, t); }

private:
    bool pass() { return ++m_count != m_failAt; }
    int m_failAt;
    int m_count = 0;
};

class RestoreJobTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        m_handle.id = QStringLiteral("+15550001");
        m_chat.guid = QStringLiteral("SMS;-;+15550001");
        m_chat.handles.insert(1, &m_handle);
        m_unknown.rowid = -2047483650;
        QFile picture(homePath(QStringLiteral("x.jpg")));
        ASSERT_TRUE(picture.open(QIODevice::WriteOnly) && picture.write("picture") == 7);
        const QString names[][2] = {{QStringLiteral("A-N3"), QStringLiteral("~/") + kPicturePath},
                                    {QStringLiteral("A-UP"), QStringLiteral("~/Library/SMS/../../../evil.jpg")}};
        const char* guids[] = {"O2", "N2", "N3"};  // a duplicate, one of an unknown chat, one with files
        for (int i = 0; i < 3; ++i) {
            m_records[i].guid = QLatin1String(guids[i]);
            m_records[i].sortKey = 100 + i;
            m_records[i].date = 2000 + 250 * i;
            m_records[i].handle = &m_handle;
            m_records[i].chat = i == 1 ? &m_unknown : &m_chat;
            m_messages << &m_records[i];
        }
        for (int i = 0; i < 2; ++i) {
            m_pictures[i].rowid = i + 1;
            m_pictures[i].guid = names[i][0];
            m_pictures[i].filename = names[i][1];
            m_pictures[i].localPath = picture.fileName();
            m_records[2].attachments.insert(i + 1, &m_pictures[i]);
        }
    }

    void writeFixture(DeviceLayout layout = DeviceLayout::IOS6)
    {
        removeDirRecursive(cache());
        removeDirRecursive(backup());
        fixtures::createDeviceDb(fixtures::ios6DbPathIn(cache()), layout);
        if (layout == DeviceLayout::IOS6)
            fixtures::execSql(fixtures::openSqliteFile(fixtures::ios6DbPathIn(cache())).get(), kOldRows);
        fixtures::BackupBuilder()
            .addFile(kHome, QStringLiteral("Library/SMS/sms.db"), readAll(fixtures::ios6DbPathIn(cache())))
            .addFile(kHome, QStringLiteral("Library/SMS/sms.db-wal"), "stale frames")
            .write(backup());
        m_before = snapshot(backup());
    }

    void merge(RecordingProgressSink& sink, const MsgMessageList& messages,
               const std::shared_ptr<BackupFileOps>& ops = nullptr)
    {
        IOS6MessageDb target(QDir(cache()), QString(), false);
        IOS6RestoreMessagesThread job(QString(), &messages, &target, QDir(backup()), &sink);
        if (ops)
            job.setFileOps(ops);
        job.run();
        m_counts = {job.mergedCount(), job.skippedCount()};
    }

    void expectMerged() const
    {
        const QString merged = QDir(backup()).filePath(kSmsId);
        EXPECT_EQ(rows(merged, "select guid from message order by rowid"), QStringLiteral("O1,O2,N3,O3"));
        EXPECT_EQ(rows(merged, "select m.guid || '>' || j.chat_id from chat_message_join j join message m"
                               " on m.rowid = j.message_id order by m.rowid"),
                  QStringLiteral("O1>1,O2>1,N3>1,O3>1"));
        EXPECT_EQ(rows(merged, "select m.guid || '>' || a.guid from message_attachment_join j join message m"
                               " on m.rowid = j.message_id join attachment a on a.rowid = j.attachment_id"
                               " order by a.rowid"),
                  QStringLiteral("O2>A-O2,N3>A-N3,N3>A-UP"));
        EXPECT_EQ(readAll(merged).at(18), 1) << "rollback journal, never a write-ahead log";

        const MbdbRecordSet records = readMbdb(QDir(backup()).filePath(QStringLiteral("Manifest.mbdb")));
        EXPECT_EQ(records.value(kSmsId).dataHash.bytes, mbdbFileDigest(merged));
        EXPECT_EQ(records.value(kSmsId).size, quint64(QFileInfo(merged).size()));
        EXPECT_EQ(records.value(kWalId).size, 0u);
        EXPECT_EQ(readAll(QDir(backup()).filePath(kWalId)), QByteArray());
        const QString pictureId = mbdbFileId(QStringLiteral("MediaDomain"), kPicturePath);
        EXPECT_EQ(readAll(QDir(backup()).filePath(pictureId)), QByteArray("picture"));
        EXPECT_EQ(records.value(pictureId).dataHash.bytes,
                  QCryptographicHash::hash("picture", QCryptographicHash::Sha1));
        for (QString folder = kPicturePath; folder.contains(QLatin1Char('/'));) {
            folder.truncate(folder.lastIndexOf(QLatin1Char('/')));
            const MbdbRecord& record = records.value(mbdbFileId(QStringLiteral("MediaDomain"), folder));
            EXPECT_TRUE(record.isFolder()) << qPrintable(folder);
        }
        for (const MbdbRecord& record : records)
            EXPECT_FALSE(record.path.toString().contains(QLatin1String(".."))) << qPrintable(record.path.toString());

        const QMap<QString, QByteArray> after = snapshot(backup());
        for (const QString& name : {kSmsId, QStringLiteral("Manifest.mbdb"), kWalId}) {
            const auto kept = after.lowerBound(name + QLatin1Char('-'));
            ASSERT_TRUE(kept != after.end() && kept.key().startsWith(name + QLatin1Char('-')));
            EXPECT_EQ(kept.value(), m_before.value(name)) << "the previous file kept as " << qPrintable(kept.key());
        }
    }

    QString cache() const { return homePath(QStringLiteral("cache")); }
    QString backup() const { return homePath(QStringLiteral("backup")); }

    _MsgHandle m_handle;
    _MsgChat m_chat;
    _MsgChat m_unknown;
    _MsgAttachment m_pictures[2];
    _MsgMessage m_records[3];
    MsgMessageList m_messages;
    QMap<QString, QByteArray> m_before;
    std::pair<int, int> m_counts;  // merged, skipped
};

TEST_F(RestoreJobTest, MergesByDateIntoTheBackupWhichItsOwnReaderReadsBack)
{
    writeFixture();
    RecordingProgressSink sink;
    merge(sink, m_messages);

    ASSERT_EQ(sink.errors(), QStringList());
    EXPECT_EQ(sink.successes(), QStringList(QString()));
    EXPECT_EQ(m_counts, std::make_pair(2, 1));
    expectMerged();

    BackupManifest manifest{QDir(backup())};
    manifest.loadManifestPlist();
    manifest.loadMbdb();
    ITunesCacheSMSThread cacheJob(&manifest, QDir(homePath(QStringLiteral("read"))), &sink);
    cacheJob.run();
    _MsgStore store;
    openMessageDbFolder(QDir(homePath(QStringLiteral("read"))))->messages(store, 0);
    EXPECT_EQ(store.messageList().size(), 4);
}

TEST_F(RestoreJobTest, RefusalsAndCancelLeaveTheBackupByteIdenticalAndNoWorkCopy)
{
    const struct {
        DeviceLayout layout;
        MsgMessageList messages;
        int cancelAfter;
        const char* error;
    } cases[] = {
        {DeviceLayout::IOS6, {&m_records[1]}, -1, "IDS_NO_VALID_MESSAGE_RESTORE_TO_IOS_1_UNKNOWN_CHAT_MSG"},
        {DeviceLayout::IOS5, m_messages, -1, "IDS_CANT_RESTORE_IOS_VERSION_BELOW_60"},
        {DeviceLayout::IOS6, m_messages, 2, nullptr},
    };
    for (const auto& c : cases) {
        writeFixture(c.layout);
        RecordingProgressSink sink(c.cancelAfter);
        merge(sink, c.messages);
        EXPECT_EQ(sink.errors(), c.error ? QStringList(QLatin1String(c.error)) : QStringList());
        EXPECT_EQ(sink.finalReports(), c.error ? 1 : 0);
        EXPECT_EQ(snapshot(backup()), m_before) << c.error;
        EXPECT_EQ(QFileInfo(fixtures::ios6DbPathIn(cache())).dir().entryList(QDir::Files), QStringList("sms.db"));
    }
}

TEST_F(RestoreJobTest, AFailureAtAnyFileStepPutsEveryFileBack)
{
    int failAt = 1;
    for (;; ++failAt) {
        writeFixture();
        RecordingProgressSink sink;
        merge(sink, m_messages, std::make_shared<FailingOps>(failAt));
        if (sink.errors().isEmpty())
            break;
        EXPECT_EQ(snapshot(backup()), m_before) << "failing step " << failAt;
    }
    // Four staged files, then each old one moved aside and each new one moved in.
    EXPECT_EQ(failAt, 12);
    expectMerged();
}

TEST(RestoreOrder, DateWindowsRowidWindowsAndTies)
{
    const auto item = [](qint64 rowid, int date, bool isOld) { return RestoreItem{rowid, date, nullptr, isOld}; };
    const struct {
        RestoreItem a, b;
        bool aFirst, bFirst;
    } cases[] = {
        {item(1, 1000, true), item(100, 1000, true), false, false},  // same date, row ids apart: a tie
        {item(5, 1000, false), item(5, 1050, false), false, false},  // same row id inside both windows
        {item(5, 1000, false), item(5, 1000, true), false, true},    // a tie puts the backup's row first
        {item(900, 800, false), item(10, 1000, true), true, false},  // 200 s earlier goes first
        {item(15, 940, false), item(10, 1000, true), false, true},   // 60 s earlier, row id 5 higher: after
        {item(LLONG_MIN, INT_MAX, true), item(LLONG_MAX, INT_MIN, true), false, true},  // no overflow
    };
    for (const auto& c : cases) {
        EXPECT_EQ(restoreOrderLessThan(c.a, c.b), c.aFirst) << c.a.rowid << " " << c.b.rowid;
        EXPECT_EQ(restoreOrderLessThan(c.b, c.a), c.bFirst) << c.a.rowid << " " << c.b.rowid;
    }
}

}  // namespace
