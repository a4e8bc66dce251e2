// The sequences driven by a scripted prompts object: which prompts each answer leads to, and what
// stays on disk when the user stops at any of them.
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "core/datadir.h"
#include "core/filehandoff.h"
#include "export/backupsmsthread.h"
#include "fixtures/message_history.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/sample_backups.h"
#include "fixtures/temp_home.h"
#include "flows/deviceflows.h"
#include "flows/flowprompts.h"
#include "flows/importflow.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "platform/sqlite3db.h"

#include <QDir>
#include <QFile>
#include <QThread>
#include <gtest/gtest.h>

#include <thread>

namespace {

// Answers from fields; every prompt reached is noted in trace.
class ScriptedPrompts : public FlowPrompts, public LocalDatabases {
public:
    QString backupFolder;  // empty: no backup chosen
    QString password;      // null: the user gives up
    QString database;      // empty: no database chosen
    int cancelledJob = -1;  // the job (counted from 0) the user cancels
    QStringList trace;
    QStringList databases;  // the databases written

    QSharedPointer<BackupManifest> chooseBackup() override
    {
        trace << QStringLiteral("backup");
        if (backupFolder.isEmpty())
            return {};
        auto manifest = QSharedPointer<BackupManifest>::create(QDir(backupFolder));
        manifest->loadManifestPlist();
        return manifest;
    }
    bool unlock(BackupManifest& manifest) override
    {
        trace << QStringLiteral("unlock");
        return !password.isNull() && manifest.unlock(password);
    }
    QString chooseLocalDb(const QStringList&, const QString&) override { return note("database", database); }
    std::optional<QString> chooseCountry() override { return note("country", QString()); }
    bool confirm(const QString&) override { return !note("confirm", QString()).isNull(); }
    void inform(const QString& text) override { note("inform", text); }
    void warn(const QString& text) override { note("warn", text); }
    void error(const QString& text) override { note("error", text); }
    std::unique_ptr<ProgressSink> progress() override { return std::make_unique<fixtures::RecordingProgressSink>(); }
    bool runJob(ProgressSink& progress, QThread& job) override
    {
        auto& sink = static_cast<fixtures::RecordingProgressSink&>(progress);
        if (trace.count(QStringLiteral("job")) == cancelledJob)
            sink.cancel();
        trace << QStringLiteral("job");
        job.start();
        job.wait();
        return sink.successes().size() == 1 && !sink.isCancelled();
    }

    QStringList names() const override { return {}; }
    void release(const QString&) override {}
    void written(const QString& name, const QString&) override { databases << name; }

private:
    QString note(const char* prompt, const QString& answer)
    {
        trace << QLatin1String(prompt);
        return answer;
    }
};

class FlowsTest : public TempHomeTest {};

TEST_F(FlowsTest, EachAnswerLeadsOnOrStopsWithNothingHalfMade)
{
    enum class Route { Import, IntoBackup };
    const struct {
        const char* name;
        Route route;
        bool encrypted;
        const char* password;
        const char* database;
        int cancelledJob;
        QStringList trace;
    } cases[] = {
        {"no backup chosen", Route::Import, false, nullptr, "Mine", -1, {"backup"}},
        {"unlocking given up", Route::Import, true, nullptr, "Mine", -1, {"backup", "unlock"}},
        {"wrong password", Route::Import, true, "wrong", "Mine", -1, {"backup", "unlock"}},
        // Every long step is a job the user may cancel: the file list, the cache, the read, the copy.
        {"file list cancelled", Route::Import, false, nullptr, "Mine", 0, {"backup", "job"}},
        {"caching cancelled", Route::Import, false, nullptr, "Mine", 1, {"backup", "job", "job"}},
        {"reading cancelled", Route::Import, false, nullptr, "Mine", 2, {"backup", "job", "job", "job"}},
        {"no database chosen", Route::Import, false, nullptr, "", -1, {"backup", "job", "job", "job", "database"}},
        {"copy cancelled", Route::Import, false, nullptr, "Mine", 3, {"backup", "job", "job", "job", "database", "job"}},
        {"unlocked and copied", Route::Import, true, "secret", "Mine", -1,
         {"backup", "unlock", "job", "job", "job", "database", "job"}},
        {"encrypted backup refused", Route::IntoBackup, true, "secret", "", -1, {"backup", "warn"}},
        {"merged into a plain backup", Route::IntoBackup, false, nullptr, "", -1,
         {"backup", "job", "job", "job", "inform"}},
    };
    // Messages of another history, for the merge.
    const QString source = homePath(QStringLiteral("source"));
    fixtures::createIos6DeviceDb(fixtures::ios6DbPathIn(source));
    fixtures::fillSampleHistory(fixtures::ios6DbPathIn(source), {20, 3, 5, false});
    _MsgStore store;
    IOS6MessageDb(QDir(source), QString(), false).messages(store, 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fixtures::SampleBackupOptions options;
        options.encrypted = c.encrypted;
        const QString folder = homePath(QStringLiteral("backups/") + QLatin1String(c.name));
        fixtures::sampleBackupBuilder(options).write(folder);
        const QStringList backupFiles = QDir(folder).entryList(QDir::Files);
        ScriptedPrompts prompts;
        prompts.backupFolder = c.trace.size() > 1 ? folder : QString();
        prompts.password = c.password ? QString::fromLatin1(c.password) : QString();
        prompts.database = QString::fromLatin1(c.database);
        prompts.cancelledJob = c.cancelledJob;

        if (c.route == Route::Import)
            ImportFlow(prompts, prompts).importBackup(QString());
        else
            WriteBack(prompts).intoBackup(store.messageList());

        EXPECT_EQ(prompts.trace, c.trace);
        const bool copied = c.trace.count(QStringLiteral("job")) == 4 && c.route == Route::Import && c.cancelledJob < 0;
        EXPECT_EQ(prompts.databases, copied ? QStringList(QStringLiteral("Mine")) : QStringList());
        EXPECT_EQ(localDatabasesDir().entryList(QDir::Dirs | QDir::NoDotAndDotDot), prompts.databases);
        // Only a merge that ran leaves the backup changed (with the old index kept beside the new).
        const bool merged = c.route == Route::IntoBackup && c.trace.endsWith(QStringLiteral("inform"));
        EXPECT_EQ(QDir(folder).entryList(QDir::Files) != backupFiles, merged);
        QDir(localDatabasesDir()).removeRecursively();
    }
}

// The rest of a cache held at its first file until opened.
struct GatedHandoff : FileHandoff {
    std::atomic<bool> open{false};
    void postUpdateProgress(const QString&, int, const QString&) override
    {
        while (!open)
            std::this_thread::yield();
    }
};

// Attachments whose names meet once characters are dropped, copied into a local database while their
// cache is still being made (held back, or behind many other files): each row keeps its own bytes.
TEST_F(FlowsTest, AnImportOvertakingTheCacheCopiesEachAttachmentUnderItsOwnName)
{
    const QStringList names = {"ab.jpg", "a:b.jpg", "a*b.jpg", "a?b.jpg", "a\"b.jpg", "a<b>.jpg", "a|b.jpg",
                               "a\x01" "b.jpg", "a\x7f" "b.jpg", "5b/02/x.jpg", "5b/0:2/x.jpg", "5b/0?2/x.jpg"};
    const QString dbPath = homePath(QStringLiteral("sms.db")), home = QStringLiteral("HomeDomain");
    fixtures::createIos6DeviceDb(dbPath);
    fixtures::fillSampleHistory(dbPath, {40, 2, 7, false, false});
    fixtures::BackupBuilder builder;
    builder.setEncryption();
    Sqlite3DB db;
    db.openThrow(dbPath, 2);
    for (int i = 0; i < names.size(); ++i) {
        db.executeThrow(Sqlite3Sql("insert into attachment(guid, filename) values(?, ?)")
                            .addTextParam(QString::number(i)).addTextParam("~/Library/SMS/Attachments/G2/" + names[i]));
        builder.addFile(home, "Library/SMS/Attachments/G2/" + names[i], names[i].toUtf8());
    }
    db.executeThrow("insert into message_attachment_join select ROWID, ROWID from attachment");
    db.close();
    QFile sms(dbPath);
    ASSERT_TRUE(sms.open(QIODevice::ReadOnly));
    builder.addFile(home, QStringLiteral("Library/SMS/sms.db"), sms.readAll()).write(homePath(QStringLiteral("held")));
    for (int i = 0; i < 300; ++i)  // cached before the attachments
        builder.addFile(home, QStringLiteral("Library/SMS/Attachments/00/%1").arg(i), QByteArray(256 << 10, 'o'));
    builder.write(homePath(QStringLiteral("behind")));

    BackupManifest manifest{QDir(homePath(QStringLiteral("held")))};
    manifest.loadManifestPlist();
    ASSERT_TRUE(manifest.unlock(QStringLiteral("secret")));
    manifest.loadMbdb();
    fixtures::RecordingProgressSink sink;
    ITunesCacheSMSThread cache(&manifest, QDir(homePath(QStringLiteral("cache"))), &sink);
    const auto rest = std::make_shared<GatedHandoff>();
    cache.handOverTo(rest);
    cache.run();
    _MsgStore store;
    openMessageDbFolder(cache.cacheDir(), QString(), rest.get())->messages(store, 0);
    BackupSMSThread copy(store.messageList(), QDir(homePath(QStringLiteral("local"))), QString(), &sink);
    copy.awaitCache(rest);
    std::thread opener([&rest] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); rest->open = true; });
    copy.run();
    opener.join();
    ScriptedPrompts prompts;
    prompts.backupFolder = homePath(QStringLiteral("behind"));
    prompts.password = QStringLiteral("secret");
    prompts.database = QStringLiteral("Mine");
    ImportFlow(prompts, prompts).importBackup(QString());

    for (const QString& local : {homePath(QStringLiteral("local")), localDatabasesDir().absoluteFilePath("Mine")}) {
        _MsgStore copied;
        openMessageDbFolder(QDir(local))->messages(copied, 0);
        ASSERT_EQ(copied.data()->attachments.size(), names.size()) << qPrintable(local);
        for (const _MsgAttachment* attachment : copied.data()->attachments) {
            QFile file(attachment->localPath.path());
            file.open(QIODevice::ReadOnly);
            EXPECT_EQ(file.readAll(), names[attachment->guid.toInt()].toUtf8()) << qPrintable(local + attachment->filename);
        }
    }
}

}  // namespace
