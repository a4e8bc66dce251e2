// The sequences driven by a scripted prompts object: which prompts each answer leads to, and what
// stays on disk when the user stops at any of them.
#include "backup/backupmanifest.h"
#include "core/datadir.h"
#include "fixtures/message_history.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/sample_backups.h"
#include "fixtures/temp_home.h"
#include "flows/deviceflows.h"
#include "flows/flowprompts.h"
#include "flows/importflow.h"
#include "msgdb/ios6messagedb.h"

#include <QDir>
#include <QThread>
#include <gtest/gtest.h>

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

}  // namespace
