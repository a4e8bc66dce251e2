#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "backup/manifestcachedb.h"
#include "core/datadir.h"
#include "core/filehandoff.h"
#include "export/backupsmsthread.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/sample_backups.h"
#include "fixtures/temp_home.h"
#include "fixtures/warning_log.h"
#include "msgdb/attachmentpath.h"
#include "msgdb/messagedbfolder.h"
#include "platform/sqlite3db.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <ostream>
#include <thread>

// Readable failure messages for path lists.
void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}

namespace {

using fixtures::BackupBuilder;
using fixtures::RecordingProgressSink;
using fixtures::SampleBackupOptions;

const QString kHome = QStringLiteral("HomeDomain");

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Every entry below folder, relative to it, sorted: what a run left behind.
QStringList listing(const QString& folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

// The rest of a cache held at its first node until opened or cancelled.
class GatedHandoff : public FileHandoff {
public:
    ~GatedHandoff() override { cancel(); }  // before the gate goes
    std::atomic<bool> open{false};
    void postUpdateProgress(const QString&, int, const QString&) override
    {
        while (!open && !isCancelled())
            std::this_thread::yield();
    }
};

qint64 scalar(const QString& dbPath, const QString& sql)
{
    Sqlite3DB db;
    db.openThrow(dbPath, 1);
    Sqlite3Cursor cursor = db.queryThrow(sql);
    return cursor.moveNext() ? cursor.getInt64(0) : -1;
}

class CacheJobTest : public TempHomeTest {
protected:
    QString backupPath() const { return homePath(QStringLiteral("backups/one")); }

    // Writes builder's backup and loads it as the command does before starting the job.
    BackupManifest& load(const BackupBuilder& builder, const QString& linkedFolder = QString())
    {
        builder.write(backupPath());
        if (!linkedFolder.isEmpty()) {
            EXPECT_TRUE(QFile::link(backupPath(), linkedFolder));
        }
        m_manifest = std::make_unique<BackupManifest>(QDir(linkedFolder.isEmpty() ? backupPath() : linkedFolder));
        m_manifest->loadManifestPlist();
        if (m_manifest->deviceInfo.isEncrypted) {
            EXPECT_TRUE(m_manifest->unlock(QStringLiteral("secret")));
        }
        m_manifest->loadMbdb();
        return *m_manifest;
    }

    // Runs a job on the test thread into the default cache folder, or into cacheDir when given.
    int run(RecordingProgressSink& sink, const QString& cacheDir = QString())
    {
        const std::unique_ptr<ITunesCacheSMSThread> job =
            cacheDir.isEmpty() ? std::make_unique<ITunesCacheSMSThread>(m_manifest.get(), &sink)
                               : std::make_unique<ITunesCacheSMSThread>(m_manifest.get(), QDir(cacheDir), &sink);
        m_cacheDir = job->cacheDir().absolutePath();
        job->run();
        m_skippedFiles = job->skippedFiles();
        m_skippedPaths = job->skippedPaths();
        return job->copiedFiles();
    }

    QString cached(const QString& relative) const
    {
        return m_cacheDir + QStringLiteral("/file-relay/var/mobile/Library/") + relative;
    }
    QString cacheDb() const { return m_cacheDir + QStringLiteral("/manifest.db"); }

    // A device's cache folder holding the files of others, as the device route passes it.
    QString deviceCacheWithOthers()
    {
        const QString dir = homePath(QStringLiteral("device-cache"));
        writeFile(dir + QStringLiteral("/ct-phone.db"), "contacts");
        writeFile(dir + QStringLiteral("/recycle.db"), "recovered messages");
        return dir;
    }

    QString stored(const QString& path) const { return QDir(backupPath()).absoluteFilePath(mbdbFileId(kHome, path)); }

    std::unique_ptr<BackupManifest> m_manifest;
    QString m_cacheDir;
    int m_skippedFiles = 0;
    QStringList m_skippedPaths;
};

class CacheJobFirstRunTest : public CacheJobTest, public ::testing::WithParamInterface<bool> {};

TEST_P(CacheJobFirstRunTest, CopiesDecryptsAndRemembersEveryFileUnderTheDevicePaths)
{
    SampleBackupOptions options;
    options.encrypted = GetParam();
    const fixtures::SampleBackupFiles files = fixtures::sampleBackupFiles(options);
    const BackupBuilder builder = fixtures::sampleBackupBuilder(options, files);
    load(builder);
    RecordingProgressSink sink;

    EXPECT_EQ(run(sink), files.files.size());

    EXPECT_EQ(m_cacheDir, dataDir().absoluteFilePath(QStringLiteral("itunes_cache/") + m_manifest->cacheId()));
    for (const auto& file : files.files) {
        SCOPED_TRACE(file.first.toStdString());
        const QFileInfo info(cached(file.first));
        ASSERT_TRUE(info.isFile());  // an empty sms.db-wal too: never a folder
        EXPECT_EQ(readAll(info.filePath()), file.second);
        EXPECT_EQ(info.lastModified().toSecsSinceEpoch(), qint64(BackupBuilder::defaultMtime));
    }
    EXPECT_FALSE(QFileInfo::exists(cached(QStringLiteral("Preferences"))));
    EXPECT_EQ(scalar(cacheDb(), QStringLiteral("select count(*) from manifest")), files.files.size());
    const QString smsDbId = mbdbFileId(kHome, QStringLiteral("Library/SMS/sms.db"));
    EXPECT_EQ(scalar(cacheDb(), QStringLiteral("select last_date from manifest where file_name='%1'").arg(smsDbId)),
              qint64(BackupBuilder::defaultMtime));
    // The copy opens as a database beside its empty log.
    EXPECT_GT(scalar(cached(QStringLiteral("SMS/sms.db")), QStringLiteral("select count(*) from message")), 0);

    ASSERT_FALSE(sink.updates().empty());
    EXPECT_EQ(sink.updates().front().status, QStringLiteral("IDS_LOADING_ITUNES_BACKUP"));
    EXPECT_EQ(sink.updates().front().progress, 99);
    EXPECT_EQ(sink.successes(), QStringList{QString()});
    EXPECT_TRUE(sink.errors().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, CacheJobFirstRunTest, ::testing::Bool());

TEST_F(CacheJobTest, LaterRunsCopyOnlyChangedOrMissingFiles)
{
    BackupBuilder builder = fixtures::sampleBackupBuilder();
    load(builder);
    RecordingProgressSink first;
    run(first);
    const QString book = cached(QStringLiteral("AddressBook/AddressBook.sqlitedb"));
    writeFile(book, "tampered");
    const QString image = cached(QStringLiteral("SMS/Attachments/3f/15/A1B2C3D4-0000-4000-8000-000000000001/IMG_0001.JPG"));
    QFile::remove(image);

    RecordingProgressSink second;
    EXPECT_EQ(run(second), 1);  // only the deleted copy comes back
    EXPECT_EQ(readAll(book), QByteArray("tampered"));
    EXPECT_EQ(readAll(image), QByteArray(3000, '\xd8'));
    EXPECT_EQ(second.updates().back().text, first.updates().back().text);  // up to the last node
    EXPECT_EQ(second.successes(), QStringList{QString()});

    // A changed time in the manifest copies the file again and updates its row.
    const quint32 later = BackupBuilder::defaultMtime + 3600;
    builder.addFile(kHome, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"), "new book",
                    BackupBuilder::fileMode, later);
    load(builder);
    RecordingProgressSink third;
    EXPECT_EQ(run(third), 1);
    EXPECT_EQ(readAll(book), QByteArray("new book"));
    const QString bookId = mbdbFileId(kHome, QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"));
    EXPECT_EQ(scalar(cacheDb(), QStringLiteral("select last_date from manifest where file_name='%1'").arg(bookId)),
              qint64(later));
}

TEST_F(CacheJobTest, AFileDatedZeroIsCopiedOnceAndThenKept)
{
    BackupBuilder builder;
    builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), "db", BackupBuilder::fileMode, 0);
    load(builder);
    RecordingProgressSink first;
    EXPECT_EQ(run(first), 1);
    EXPECT_EQ(readAll(cached(QStringLiteral("SMS/sms.db"))), QByteArray("db"));
    RecordingProgressSink second;
    EXPECT_EQ(run(second), 0);
}

TEST_F(CacheJobTest, FolderNamesOfAnyCaseAreWrittenAsTheReadersNameThem)
{
    SampleBackupOptions options;
    options.libraryName = QStringLiteral("library");
    options.smsName = QStringLiteral("sms");
    options.addressBookName = QStringLiteral("ADDRESSBOOK");
    options.layout = fixtures::DeviceLayout::IOS5;
    load(fixtures::sampleBackupBuilder(options));
    RecordingProgressSink sink;
    run(sink);
    EXPECT_EQ(sink.successes(), QStringList{QString()});
    const QStringList top = QDir(cached(QString())).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    EXPECT_EQ(top, (QStringList{QStringLiteral("AddressBook"), QStringLiteral("SMS")}));
    EXPECT_GT(scalar(cached(QStringLiteral("SMS/sms.db")), QStringLiteral("select count(*) from msg_group")), 0);
}

// Names the cache once spelled apart from the readers: every attachment is found where the copy lies,
// also where names differ only in characters a copy's name cannot hold (files and folders alike),
// and a name that meets no other keeps the name it always had. So for an import that overtakes the cache.
TEST_F(CacheJobTest, AttachmentsOfAnyNameAreFoundByTheReaderOfTheCache)
{
    const QString cjk(70, QChar(0x6587));  // 210 bytes
    const QStringList names = {" leading.jpg",     "trailing.jpg ",  cjk + ".jpg",
                               cjk + "x.jpg",      "dir<x>/in.jpg",  "a:b*c?.png",
                               "q\"|>.gif",        "<>/\x01.jpg",   QString(260, 'y') + "/" + cjk + ".mov",
                               "m/ab.jpg",         "m/a:b.jpg",      "m/a*b.jpg",
                               "m/a?b.jpg",        "m/a\"b.jpg",     "m/a<b>.jpg",
                               "m/a|b.jpg",        "m/a\x01" "b.jpg", "m/a\x7f" "b.jpg",
                               "02/f.jpg",         "0:2/f.jpg",      "0?2/f.jpg"};
    const QString dbPath = homePath(QStringLiteral("work/sms.db"));
    fixtures::createIos6DeviceDb(dbPath);
    fixtures::fillSampleHistory(dbPath, {40, 2, 7, false, false});
    BackupBuilder builder;
    Sqlite3DB db;
    db.openThrow(dbPath, 2);
    for (int i = 0; i < names.size(); ++i) {
        db.executeThrow(Sqlite3Sql("insert into attachment(guid, filename) values(?, ?)")
                            .addTextParam(QString::number(i))
                            .addTextParam("~/Library/SMS/Attachments/ab/" + names[i]));
        builder.addFile(kHome, "Library/SMS/Attachments/ab/" + names[i], names[i].toUtf8());
    }
    db.executeThrow("insert into message_attachment_join select ROWID, ROWID from attachment");  // messages 1 to 9
    db.close();
    builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), readAll(dbPath));
    load(builder);
    RecordingProgressSink sink;
    EXPECT_EQ(run(sink), names.size() + 1);
    EXPECT_EQ(m_skippedFiles, 0);
    EXPECT_EQ(readAll(cached("SMS/Attachments/ab/abc.png")), "a:b*c?.png");
    EXPECT_EQ(readAll(cached("SMS/Attachments/ab/m/ab.jpg")), "m/ab.jpg");
    _MsgStore store;
    openMessageDbFolder(QDir(m_cacheDir))->messages(store, 0);
    AttachmentArea area(QDir(m_cacheDir + QStringLiteral("/file-relay")));
    ASSERT_EQ(store.data()->attachments.size(), names.size());
    for (const _MsgAttachment* attachment : store.data()->attachments) {
        const QString path = attachment->localPath.path();
        EXPECT_EQ(readAll(path), names[attachment->guid.toInt()].toUtf8()) << qPrintable(attachment->filename);
        EXPECT_EQ(area.path(attachment->filename), path);
        EXPECT_LE(QFileInfo(path).fileName().toUtf8().size(), 200);
    }
    for (int i = 0; i < 300; ++i)  // cached before the attachments
        builder.addFile(kHome, QStringLiteral("Library/SMS/Attachments/00/%1").arg(i), QByteArray(256 << 10, 'o'));
    load(builder);
    for (const bool held : {true, false}) {  // the rest held back, or real timing
        const auto rest = std::make_shared<GatedHandoff>();
        rest->open = !held;
        ITunesCacheSMSThread job(m_manifest.get(), QDir(homePath(QStringLiteral("handed%1").arg(held))), &sink);
        job.handOverTo(rest);
        job.run();
        _MsgStore read, copied;
        openMessageDbFolder(job.cacheDir(), QString(), rest.get())->messages(read, 0);
        BackupSMSThread copy(read.messageList(), QDir(homePath(QString("local%1").arg(held))), QString(), &sink);
        copy.awaitCache(rest);
        std::thread opener([&rest] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); rest->open = true; });
        copy.run();
        opener.join();
        openMessageDbFolder(QDir(homePath(QString("local%1").arg(held))))->messages(copied, 0);
        EXPECT_EQ(copied.data()->attachments.size(), names.size());
        for (const _MsgAttachment* attachment : copied.data()->attachments)
            EXPECT_EQ(readAll(attachment->localPath.path()), names[attachment->guid.toInt()].toUtf8()) << held;
    }
}

TEST_F(CacheJobTest, ABackupWithoutMessagesGivesTheErrorAndCreatesNothing)
{
    SampleBackupOptions options;
    options.withMessages = false;
    load(fixtures::sampleBackupBuilder(options));
    RecordingProgressSink sink;
    run(sink);
    EXPECT_EQ(sink.errors(), QStringList{QStringLiteral("IDS_NOT_CONTAIN_SMS_DB_IN_ITUNES_BACKUP")});
    EXPECT_EQ(sink.finalReports(), 1);
    EXPECT_FALSE(QFileInfo::exists(m_cacheDir));
}

TEST_F(CacheJobTest, ACancelRemovesOnlyWhatTheJobOwns)
{
    load(fixtures::sampleBackupBuilder());
    const QString cacheDir = deviceCacheWithOthers();
    const QStringList before = listing(cacheDir);

    RecordingProgressSink cancelledAtOnce;
    cancelledAtOnce.cancel();
    run(cancelledAtOnce, cacheDir);
    EXPECT_EQ(listing(cacheDir), before);
    EXPECT_EQ(cancelledAtOnce.finalReports(), 0);

    // A good cache first, then a run of a changed backup cancelled at its first node (the names of
    // the nodes after it are posted a few times a second).
    RecordingProgressSink good;
    run(good, cacheDir);
    ASSERT_EQ(good.successes().size(), 1);
    const QStringList complete = listing(cacheDir);
    {  // The import cancelled (at its chooser) while the rest of the cache is held.
        const auto rest = std::make_shared<GatedHandoff>();
        ITunesCacheSMSThread job(m_manifest.get(), QDir(cacheDir), &good);
        job.handOverTo(rest);
        job.run();
    }
    EXPECT_EQ(listing(cacheDir), complete);
    EXPECT_EQ(run(good, cacheDir), 0);  // every file there, its record with it
    BackupBuilder changed = fixtures::sampleBackupBuilder();
    changed.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), readAll(cached(QStringLiteral("SMS/sms.db"))), BackupBuilder::fileMode, 1);
    load(changed);
    RecordingProgressSink cancelledLater(2);
    run(cancelledLater, cacheDir);
    // Nothing was copied yet: the earlier run's cache stays whole.
    EXPECT_EQ(listing(cacheDir), complete);
    EXPECT_EQ(cancelledLater.finalReports(), 0);
    EXPECT_EQ(readAll(cacheDir + QStringLiteral("/recycle.db")), QByteArray("recovered messages"));
}

TEST_F(CacheJobTest, AnErrorIsReportedAndRemovesOnlyWhatTheJobOwns)
{
    SampleBackupOptions options;
    options.encrypted = true;
    const BackupBuilder builder = fixtures::sampleBackupBuilder(options);
    load(builder);
    // Only the message database failing fails the run: a stored length of no whole cipher blocks.
    writeFile(stored(QStringLiteral("Library/SMS/sms.db")), QByteArray(33, 'x'));
    const QString cacheDir = deviceCacheWithOthers();
    const QStringList before = listing(cacheDir);

    RecordingProgressSink sink;
    run(sink, cacheDir);
    ASSERT_EQ(sink.errors().size(), 1);
    EXPECT_TRUE(sink.errors().front().startsWith(QStringLiteral("HomeDomain-Library/SMS/sms.db (")));
    EXPECT_TRUE(sink.successes().isEmpty());
    EXPECT_EQ(listing(cacheDir), before);
    // Over a good cache: random bytes, empty, SQLite without the message tables, a folder replace nothing.
    load(builder);
    run(sink, cacheDir);
    for (const QByteArray& bytes : {QByteArray(4096, '\xa7'), QByteArray(""), readAll(cacheDb()), QByteArray()}) {
        load(BackupBuilder(builder).addFile(kHome, QStringLiteral("Library/SMS/sms.db"), bytes,
                                            bytes.isNull() ? BackupBuilder::folderMode : BackupBuilder::fileMode, 1));
        run(sink, cacheDir);
        EXPECT_GT(scalar(cached(QStringLiteral("SMS/sms.db")), QStringLiteral("select count(*) from message")), 0);
    }
    EXPECT_TRUE(sink.successes().size() == 1 && sink.errors().size() == 5) << sink.errors().join('\n').toStdString();
}

TEST_F(CacheJobTest, LinksAndFilesMissingFromTheBackupAreSkipped)
{
    BackupBuilder builder;
    builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), "db");
    MbdbRecord link;
    link.domain = MbdbString::fromUtf8(kHome);
    link.path = MbdbString::fromUtf8(QStringLiteral("Library/SMS/outside"));
    link.linkTarget = MbdbString::fromUtf8(QStringLiteral("/etc"));
    link.mode = 0120755;
    builder.addRecord(link);
    MbdbRecord missing = link;
    missing.path = MbdbString::fromUtf8(QStringLiteral("Library/SMS/gone.db"));
    missing.linkTarget = MbdbString();
    missing.mode = BackupBuilder::fileMode;
    missing.size = 10;
    builder.addRecord(missing);  // no stored content
    load(builder);
    RecordingProgressSink sink;
    EXPECT_EQ(run(sink), 1);
    EXPECT_EQ(listing(cached(QStringLiteral("SMS"))), QStringList{QStringLiteral("sms.db")});
    EXPECT_EQ(sink.successes(), QStringList{QString()});
}

// Odd stored files and names the cache cannot make are left out, logged; the backup is reached through a link.
TEST_F(CacheJobTest, OddFilesAreSkippedLoggedAndCountedWhileTheRestIsCached)
{
    SampleBackupOptions options;
    options.encrypted = true;
    BackupBuilder builder = fixtures::sampleBackupBuilder(options);
    const QString tooDeep = QString("d/").repeated(64) + "d";  // 65 folders below SMS
    const QStringList odd = {"link", "pipe", "cut", "padding", tooDeep, "key"};
    for (const QString& name : odd)
        builder.addFile(kHome, "Library/SMS/" + name + (name.size() > 7 ? "/f" : ""), QByteArray(20, 'o'));
    MbdbRecord key = builder.records().constLast();  // "key", added last: a wrapped key that does not unwrap
    key.encryptionKey.setBytes(key.encryptionKey.bytes.left(4) + QByteArray(40, 'k'));
    builder.addRecord(key, QByteArray(32, 'k'));
    load(builder, homePath(QStringLiteral("linked")));
    ASSERT_TRUE(QFile::remove(stored("Library/SMS/link")) && QFile::link("/etc/passwd", stored("Library/SMS/link")));
    ASSERT_TRUE(QFile::remove(stored("Library/SMS/pipe")) && ::mkfifo(qPrintable(stored("Library/SMS/pipe")), 0600) == 0);
    writeFile(stored("Library/SMS/cut"), QByteArray(33, 'x'));
    QByteArray damaged = readAll(stored("Library/SMS/padding"));
    damaged[15] = char(damaged[15] ^ 1);  // changes the last byte of the last block: the padding's length
    writeFile(stored("Library/SMS/padding"), damaged);

    const fixtures::WarningLog log;
    RecordingProgressSink sink;
    EXPECT_EQ(run(sink), fixtures::sampleBackupFiles(options).files.size());
    EXPECT_EQ(m_skippedFiles, odd.size());
    EXPECT_EQ(sink.successes(), QStringList{QString()});
    for (const QString& name : odd) {
        EXPECT_EQ(log.texts.filter("skipped HomeDomain-Library/SMS/" + name + " (").size(), 1) << qPrintable(name);
        EXPECT_FALSE(QFileInfo::exists(cached("SMS/" + name))) << qPrintable(name);
    }
}

// Files the cache has no place for are left out with a word, counted and named as other skipped files
// are: one below a name the backup also holds as a file, and records whose paths hold "", "." or ".."
// components (which never reach the tree); and one where the iOS 5 reader writes an MMS part.
TEST_F(CacheJobTest, FilesWithoutAPlaceInTheCacheAreCountedAndNamed)
{
    BackupBuilder builder;
    builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), "db");
    QStringList lost = {"Library/SMS/G/pic/inner.jpg", "Library/SMS/Parts/0a/01/1-1.jpg", "Library/SMS/./y.jpg",
                        "Library/SMS//z.jpg", "Library/SMS/Attachments/../x.jpg", "Library/SMS/Attachments/a/../../w.jpg"};
    for (const QString& path : lost)
        builder.addFile(kHome, path + (path.contains("Parts") ? "/child.jpg" : ""), path.toUtf8());
    builder.addFile(kHome, QStringLiteral("Library/SMS/G/pic"), "pic");  // G/pic was a folder record
    load(builder);
    RecordingProgressSink sink;
    EXPECT_EQ(run(sink), 2);
    EXPECT_EQ(readAll(cached("SMS/G/pic")), "pic");
    EXPECT_EQ(m_skippedFiles, lost.size());
    // In the tree's order, then in the backup's.
    EXPECT_EQ(m_skippedPaths, lost.replaceInStrings("Library/", kHome + "-Library/"));
}

// Trees do not come only from Manifest.mbdb (whose reader drops such names): the job checks every
// destination itself.
TEST_F(CacheJobTest, DestinationsNeverLeaveTheCacheFolder)
{
    BackupBuilder builder;
    builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), "db");
    load(builder);
    BackupFileNode* sms = m_manifest->root.childNamed(QStringLiteral("Library"))->childNamed(QStringLiteral("SMS"));
    MbdbRecord folder;
    folder.mode = BackupBuilder::folderMode;
    for (const QString& name : {QStringLiteral(".."), QStringLiteral("a/../.."), QString()}) {
        BackupFileNode* up = sms->addChild(std::make_unique<BackupFileNode>(sms, folder, name));
        const MbdbRecord file = sms->children.front()->record;  // sms.db, stored in the backup
        up->addChild(std::make_unique<BackupFileNode>(up, file, QStringLiteral("escaped.db")));
    }
    // A link left in the cache folder is not written through either.
    const QString outside = homePath(QStringLiteral("outside"));
    QDir().mkpath(outside);
    RecordingProgressSink firstRun;
    run(firstRun);  // makes the cache folder
    const QString attachments = cached(QStringLiteral("SMS/Attachments"));
    ASSERT_TRUE(QFile::link(outside, attachments));
    BackupFileNode* linked = sms->addChild(std::make_unique<BackupFileNode>(sms, folder, QStringLiteral("Attachments")));
    MbdbRecord attachment = sms->children.front()->record;
    attachment.mtime = 7;
    linked->addChild(std::make_unique<BackupFileNode>(linked, attachment, QStringLiteral("x.jpg")));
    // Nor are links planted in the place of a cached copy or of "manifest.db", which has a row to change.
    const QString elsewhere = homePath(QStringLiteral("elsewhere.db"));
    ASSERT_TRUE(QFile::rename(cacheDb(), elsewhere) && QFile::link(elsewhere, cacheDb()));
    ASSERT_TRUE(QFile::remove(cached("SMS/sms.db")) && QFile::link(elsewhere, cached("SMS/sms.db")));
    const QByteArray before = readAll(elsewhere);
    sms->children.front()->record.mtime = 9;

    RecordingProgressSink sink;
    run(sink);
    EXPECT_EQ(sink.successes(), QStringList{QString()});
    EXPECT_EQ(readAll(elsewhere), before);
    EXPECT_TRUE(listing(outside).isEmpty());
    EXPECT_FALSE(QFileInfo::exists(cached(QStringLiteral("escaped.db"))));
    EXPECT_FALSE(QFileInfo::exists(cached(QStringLiteral("../escaped.db"))));
    EXPECT_TRUE(listing(homePath()).filter(QStringLiteral("escaped")).isEmpty());
}

class ManifestCacheDbTest : public TempHomeTest {
protected:
    QString dbPath() const { return homePath(QStringLiteral("manifest.db")); }
};

TEST_F(ManifestCacheDbTest, RemembersDatesAndTellsNoRowFromZero)
{
    {
        ManifestCacheDb db(dbPath());
        EXPECT_EQ(db.lastDate(QStringLiteral("abc")), std::nullopt);
        db.setLastDate(QStringLiteral("abc"), 0);
        db.setLastDate(QStringLiteral("big"), 4000000000LL);  // mtimes are unsigned 32-bit
        EXPECT_EQ(db.lastDate(QStringLiteral("abc")), 0);
        db.setLastDate(QStringLiteral("abc"), 5);
        EXPECT_EQ(db.lastDate(QStringLiteral("abc")), 5);
        // Names are compared exactly: "_" is no wildcard and case counts.
        EXPECT_EQ(db.lastDate(QStringLiteral("a_c")), std::nullopt);
        EXPECT_EQ(db.lastDate(QStringLiteral("ABC")), std::nullopt);
    }  // the destructor commits
    ManifestCacheDb again(dbPath());
    EXPECT_EQ(again.lastDate(QStringLiteral("abc")), 5);
    EXPECT_EQ(again.lastDate(QStringLiteral("big")), 4000000000LL);
    again.remove(QStringLiteral("abc"));
    again.rollbackAndClose();
    EXPECT_EQ(again.lastDate(QStringLiteral("abc")), 5);
}

TEST_F(ManifestCacheDbTest, AnUnreadableDatabaseOnlyForgets)
{
    writeFile(dbPath(), QByteArray(4096, 'x'));
    ManifestCacheDb db(dbPath());
    EXPECT_EQ(db.lastDate(QStringLiteral("abc")), std::nullopt);
    db.setLastDate(QStringLiteral("abc"), 1);
    EXPECT_EQ(db.lastDate(QStringLiteral("abc")), std::nullopt);
}

}  // namespace

// The import reads the message database while the rest is still being cached: the cache it ends
// with, its records and what it tells of the files left out are those of a run in one go.
TEST_F(CacheJobTest, TheRestHandedOverMakesTheSameCacheWithTheReadersFilesFirst)
{
    SampleBackupOptions options;
    options.encrypted = true;
    BackupBuilder builder = fixtures::sampleBackupBuilder(options);
    const QStringList cut = {"Library/SMS/cut", "Library/SMS/Attachments/zz/cut", "Library/AddressBook/cut"};
    for (const QString& name : cut)
        builder.addFile(kHome, name, QByteArray(20, 'o'));
    load(builder);
    for (const QString& name : cut)
        writeFile(stored(name), QByteArray(33, 'x'));  // no whole number of blocks
    const QString whole = homePath(QStringLiteral("whole"));
    const QString handed = homePath(QStringLiteral("handed"));
    RecordingProgressSink sink;
    ITunesCacheSMSThread inOneGo(m_manifest.get(), QDir(whole), &sink);
    inOneGo.run();

    const auto rest = std::make_shared<FileHandoff>();
    ITunesCacheSMSThread job(m_manifest.get(), QDir(handed), &sink);
    job.handOverTo(rest);
    job.run();
    for (const char* file : {"SMS/sms.db", "SMS/sms.db-wal", "AddressBook/AddressBook.sqlitedb"})
        EXPECT_TRUE(QFileInfo::exists(handed + "/file-relay/var/mobile/Library/" + file)) << file;
    EXPECT_EQ(rest->finish(nullptr), ITunesCacheSMSThread::skippedFilesText(3, inOneGo.skippedPaths()));
    EXPECT_EQ(sink.successes(), (QStringList{QString(), QString()}));
    EXPECT_EQ(job.skippedPaths(), inOneGo.skippedPaths());
    EXPECT_EQ(job.copiedFiles(), inOneGo.copiedFiles());
    const QStringList files = listing(whole);
    ASSERT_EQ(listing(handed), files);
    for (const QString& file : files)
        EXPECT_EQ(readAll(handed + '/' + file), readAll(whole + '/' + file)) << qPrintable(file);
}

// A backup may store files where the iOS 5 reader writes the MMS parts its database holds: read while
// the rest of the cache is held, the files keep the database's bytes, as when cached in one go.
TEST_F(CacheJobTest, AnMmsPartHoldsTheDatabasesBytesWhenReadBeforeTheRestIsCached)
{
    SampleBackupOptions options;
    options.layout = fixtures::DeviceLayout::IOS5;
    BackupBuilder builder = fixtures::sampleBackupBuilder(options);
    load(builder);
    RecordingProgressSink sink;
    ITunesCacheSMSThread(m_manifest.get(), QDir(homePath("whole")), &sink).run();
    _MsgStore store;
    openMessageDbFolder(QDir(homePath("whole")))->messages(store, 0);
    const QStringList parts = listing(homePath("whole/file-relay/var/mobile/Library/SMS/Parts")).filter(".");
    ASSERT_FALSE(parts.isEmpty());
    for (const QString& part : parts)
        builder.addFile(kHome, "Library/SMS/Parts/" + part + (part == parts[0] ? "/child.jpg" : ""), "stored");
    load(builder);

    const auto rest = std::make_shared<GatedHandoff>();
    ITunesCacheSMSThread job(m_manifest.get(), QDir(homePath("handed")), &sink);
    job.handOverTo(rest);
    job.run();
    _MsgStore handed;
    openMessageDbFolder(QDir(homePath("handed")), QString(), rest.get())->messages(handed, 0);
    rest->open = true;
    ASSERT_TRUE(rest->finish(nullptr).has_value());
    for (const QString& part : parts)
        EXPECT_EQ(readAll(homePath("handed/file-relay/var/mobile/Library/SMS/Parts/" + part)),
                  readAll(homePath("whole/file-relay/var/mobile/Library/SMS/Parts/" + part))) << qPrintable(part);
}
