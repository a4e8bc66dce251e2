// The backup tool driver, the device backup and restore jobs with the fake tool, and the shim over
// idevicebackup2 with a stub that records what it is given.
#include "core/datadir.h"
#include "device/iosdevice.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "devicesim/simcontrol.h"
#include "fixtures/recording_progress_sink.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace {

TEST(BackupTool, EstimateProgressAndCommandLine)
{
    constexpr qint64 MB = 1 << 20;
    EXPECT_EQ(backupEstimateSeconds(3000 * MB, 952 * MB), 61);  // 2048 MB used
    EXPECT_EQ(backupEstimateSeconds(40 * MB, 20 * MB), 60);     // 0.6 s is no whole second
    EXPECT_EQ(backupEstimateSeconds(0, 0), 60);                 // nothing read
    EXPECT_EQ(backupEstimateSeconds(10 * MB, 20 * MB), 60);
    EXPECT_EQ(backupEstimateSeconds(std::numeric_limits<qint64>::max(), -1), 60);
    EXPECT_DOUBLE_EQ(backupProgress(30000, 60), 49.5);
    EXPECT_DOUBLE_EQ(backupProgress(3600000, 60), 99.0);

    const QDir root(QStringLiteral("/data/root"));
    EXPECT_EQ(backupToolArguments(0, "U1", root).join(' '), "-u U1 --backup --target U1 --root /data/root");
    EXPECT_EQ(backupToolArguments(1, "U1", root).join(' '), "-u U1 --restore --target U1 --root /data/root --source U1");
    try {
        backupToolArguments(2, "U1", root);
        ADD_FAILURE();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "unknown backup2tool_op.");
    }
}

TEST(BackupTool, FailureIsTheErrorWordAnExitCodeOrACrash)
{
    const struct {
        QByteArray err, out;
        bool crashed;
        int code;
        const char* failure;  // "" for success
    } cases[] = {{"", "Backup Successful.", false, 0, ""},
                 {"", "2 errors", false, 0, "2 errors"},
                 {"ERROR: no space", "", false, 0, "ERROR: no space"},
                 {"", QByteArray("fine\0 error", 11), false, 0, ""},  // the text ends at a NUL
                 {"", "No device found with udid 12.", false, 255, "No device found with udid 12.\nerror: exit code 255"},
                 {"", "", true, 0, "error: the backup tool crashed"}};
    for (const auto& c : cases)
        EXPECT_EQ(backupToolFailure(c.err, c.out, c.crashed, c.code), QString::fromLatin1(c.failure));
    // Megabytes of progress: the end of it is shown.
    const QString long_ = backupToolFailure("", QByteArray(100000, '.') + "Error at the end", false, 0);
    EXPECT_LT(long_.size(), 5000);
    EXPECT_TRUE(long_.endsWith("Error at the end"));
}

TEST(BackupTool, RestoreFailuresBecomeInstructions)
{
    const QString space = QStringLiteral("Insufficient free disk space on device to restore (1 of %1)");
    const struct {
        QString text;
        const char* begins;
        const char* holds;
    } cases[] = {
        {space.arg(3LL * 1073741824), "3 GB free disk space on your device is required restore data.  Please remove", ""},
        {space.arg(1610612736LL), "2 GB free", ""},
        {space.arg(12LL * 1073741824), "1e+01 GB free", ""},
        {"find my iphone must be disabled. " + space.arg(1), "Please follow <a href=\"",
         "\"> this tutorial</a> to disable \"Find my iPhone\" first and then restart"},
        {"Failed <5>\nagain", "Failed &lt;5&gt;<br/>again<br/><br/>Note: You can restart your device to try again.", ""}};
    for (const auto& c : cases) {
        const QString message = restoreFailureMessage(c.text);
        EXPECT_TRUE(message.startsWith(c.begins) && message.contains(c.holds)) << qPrintable(message);
    }
}

class BackupJobTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        device.udid = QStringLiteral("a1b2c3");
        device.productVersion = QStringLiteral("8.4");
    }
    QString folder() const { return dataFolderPath(DataFolder::TempBackups) + QStringLiteral("/a1b2c3"); }
    QString recordFile() const { return homePath(QStringLiteral("record.txt")); }
    QStringList takeRecord() const
    {
        QFile file(recordFile());
        const QStringList lines = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts) : QStringList();
        file.remove();
        return lines;
    }
    // Runs the backup job with the fake tool acting as tool on this thread.
    void backUp(const devicesim::FakeBackupTool& tool, fixtures::RecordingProgressSink& sink)
    {
        devicesim::useFakeBackupTool(tool, recordFile());
        IOSMobileBackupThread job(&device, &sink);
        job.run();
    }
    static bool processGone(qint64 pid) { return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH; }

    IOSDevice device;
};

TEST_F(BackupJobTest, AFinishedBackupOfTheSameVersionIsHandedToTheToolAgainAnyOtherIsDeletedFirst)
{
    const struct {
        const char* version;
        const char* state;
        bool withMbdb;
        const char* existing;
    } cases[] = {{"8.4", "finished", true, "existing=yes"}, {"9.0", "finished", true, "existing=no"},
                 {"8.4", "uploading", true, "existing=no"}, {"8.4", "finished", false, "existing=no"}};
    for (const auto& c : cases) {
        fixtures::RecordingProgressSink first;
        backUp({"ok", c.version}, first);
        QFile status(folder() + "/Status.plist");
        ASSERT_TRUE(status.open(QIODevice::WriteOnly));
        status.write(QByteArray("<plist><dict><key>SnapshotState</key><string>") + c.state + "</string></dict></plist>");
        status.close();
        if (!c.withMbdb)
            QFile::remove(folder() + "/Manifest.mbdb");
        takeRecord();
        fixtures::RecordingProgressSink sink;
        backUp({}, sink);
        EXPECT_EQ(sink.successes(), QStringList{QString()});
        EXPECT_EQ(sink.updates().front().status, "IDS_BACKING_UP_IOS");
        const QStringList record = takeRecord();
        EXPECT_EQ(record.mid(1).join(' '), "-u a1b2c3 --backup --target a1b2c3 --root " + dataFolderPath(DataFolder::TempBackups) + ' ' + c.existing);
        EXPECT_TRUE(isReusableBackup(QDir(folder()), "8.4"));
    }
}

TEST_F(BackupJobTest, EveryFailureLeavesNoBackupAndIsShownEscapedWithTheNote)
{
    const std::pair<devicesim::FakeBackupTool, const char*> cases[] = {
        {{"error"}, "Error Code -4 &lt;MBErrorDomain&gt;"},
        {{"exit255"}, "No device found with udid a1b2c3.<br/>error: exit code 255"},
        {{"crash"}, "error: the backup tool crashed"},
        {{"ok", "8.4", false, "uploading"}, "the backup did not finish"},
        {{"missing"}, "can not start AppleMobileBackup process."}};
    for (const auto& [tool, says] : cases) {
        QDir().mkpath(folder());  // an earlier backup, not finished
        fixtures::RecordingProgressSink sink;
        devicesim::useFakeBackupTool(tool, recordFile());
        if (QByteArray(tool.mode) == "missing")
            qputenv("TALLOWMERE_BACKUP_TOOL", homePath("none").toUtf8());
        IOSMobileBackupThread(&device, &sink).run();
        ASSERT_EQ(sink.errors().size(), 1) << tool.mode;
        EXPECT_TRUE(sink.errors().front().contains(says)) << qPrintable(sink.errors().front());
        EXPECT_TRUE(sink.errors().front().endsWith("<br/><br/>Note: You can restart your device to try again."));
        EXPECT_FALSE(QFileInfo::exists(folder())) << tool.mode;
    }
    device.udid = QStringLiteral("../a1b2c3");  // never names a folder
    fixtures::RecordingProgressSink sink;
    IOSMobileBackupThread(&device, &sink).run();
    EXPECT_TRUE(sink.errors().value(0).startsWith("Invalid device identifier: ../a1b2c3"));
}

TEST_F(BackupJobTest, ACancelStopsTheToolAndRemovesOnlyWhatThisRunMade)
{
    for (const bool deaf : {false, true}) {  // a tool deaf to SIGTERM is killed 5 s later
        devicesim::useFakeBackupTool({"hang", "8.4", false, "finished", "", deaf}, recordFile());
        fixtures::RecordingProgressSink sink;
        IOSMobileBackupThread job(&device, &sink);
        QElapsedTimer clock;
        std::thread canceller([&] {
            while (!QFileInfo::exists(folder() + "/Status.plist"))
                QThread::msleep(20);
            QThread::msleep(300);
            clock.start();
            sink.cancel();
        });
        job.run();
        canceller.join();
        EXPECT_LT(clock.elapsed(), deaf ? 7000 : 1500);
        EXPECT_EQ(sink.finalReports(), 0);
        EXPECT_FALSE(QFileInfo::exists(folder()));
        EXPECT_TRUE(processGone(takeRecord().value(0).mid(4).toLongLong()));
    }
    // The tool's own cancel, from another thread: updates never reach 100 before it ends.
    devicesim::useFakeBackupTool({"hang"}, recordFile());
    backup2tool tool(nullptr, device.udid, QDir(dataFolderPath(DataFolder::TempBackups)));
    QList<double> updates;
    QObject::connect(&tool, &backup2tool::update, [&](double pg, const QString&, const QString& text) {
        updates << pg;
        EXPECT_TRUE(text.endsWith(" seconds passed"));
    });
    std::thread canceller([&] { QThread::msleep(1000), tool.cancel(); });
    EXPECT_FALSE(tool.run(BackupToolOptions(0)));
    canceller.join();
    EXPECT_GE(updates.size(), 3);
    EXPECT_LE(*std::max_element(updates.begin(), updates.end()), 99.0);
    EXPECT_TRUE(QFileInfo::exists(folder()));  // the tool alone removes nothing
}

TEST_F(BackupJobTest, TheRestoreRunsTheToolOnTheBackupAndDeletesNothing)
{
    fixtures::RecordingProgressSink made;
    backUp({}, made);
    takeRecord();
    for (const char* mode : {"ok", "exit255"}) {
        devicesim::useFakeBackupTool({mode}, recordFile());
        fixtures::RecordingProgressSink sink;
        IOSMobileRestoreThread(&device, QDir(dataFolderPath(DataFolder::TempBackups)), &sink).run();
        EXPECT_EQ(sink.updates().front().status, "IDS_RESTORING_BACKUP_TO_IOS");
        EXPECT_EQ(takeRecord().mid(1, 9).join(' '), "-u a1b2c3 --restore --target a1b2c3 --root "
                                                        + dataFolderPath(DataFolder::TempBackups) + " --source a1b2c3");
        EXPECT_EQ(sink.successes().size() + sink.errors().size(), 1);
        EXPECT_EQ(sink.errors().size(), *mode == 'e' ? 1 : 0);
        EXPECT_TRUE(isReusableBackup(QDir(folder()), "8.4"));
    }
}

// The shim, run with a stub idevicebackup2 on PATH that records its arguments and a SIGTERM.
using BackupShimTest = TempHomeTest;

TEST_F(BackupShimTest, TurnsTheCommandLineIntoIdevicebackup2AndFailsAloud)
{
    const QString bin = homePath("bin"), record = homePath("stub.txt"), root = homePath("backups");
    QDir().mkpath(bin);
    QFile stub(bin + "/idevicebackup2");
    ASSERT_TRUE(stub.open(QIODevice::WriteOnly));
    stub.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$STUB_RECORD\"\n"
               "trap 'kill $! 2>/dev/null; echo term >> \"$STUB_RECORD\"; exit 143' TERM\n"
               "[ -z \"$STUB_SLEEP\" ] || { sleep 30 & wait $!; }\nexit ${STUB_EXIT:-0}\n");
    stub.close();
    stub.setPermissions(stub.permissions() | QFile::ExeOwner);
    const struct {
        QString arguments;
        QString path;
        const char* exitCode;
        bool terminate;
        QString recorded;  // the stub's arguments, one per line
        int code;
        const char* says;
    } cases[] = {{"-u U --backup --target U --root " + root, bin, "0", false, "-u U backup " + root, 0, ""},
                 {"-u U --restore --target U --root " + root + " --source U", bin, "0", false, "-u U -s U restore --system " + root, 0, ""},
                 {"-u U --backup --target U --root " + root, bin, "255", false, "-u U backup " + root, 255, "error: idevicebackup2 backup ended with exit code 255"},
                 {"-u U --backup --target U --root " + root, bin, "0", true, "-u U backup " + root + " term", 143, "error:"},
                 {"-u U --backup --target U --root " + root, homePath("empty"), "0", false, "", 127, "error: idevicebackup2 not found"},
                 {"-u U --backup --target V --root " + root, bin, "0", false, "", 2, "error: the target V"}};
    for (const auto& c : cases) {
        QFile::remove(record);
        QProcess shim;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", c.path + ":/usr/bin:/bin");
        env.insert("STUB_RECORD", record), env.insert("STUB_EXIT", c.exitCode), env.insert("STUB_SLEEP", c.terminate ? "1" : "");
        if (c.path != bin)
            env.insert("PATH", c.path);
        shim.setProcessEnvironment(env);
        shim.start(TALLOWMERE_BACKUP_SHIM, c.arguments.split(' '));
        ASSERT_TRUE(shim.waitForStarted(5000));
        if (c.terminate) {
            while (!QFileInfo::exists(record))
                QThread::msleep(20);
            shim.terminate();
        }
        ASSERT_TRUE(shim.waitForFinished(10000));
        EXPECT_EQ(shim.exitCode(), c.code) << qPrintable(c.arguments);
        EXPECT_TRUE(QString(shim.readAllStandardError()).contains(c.says));
        QFile recorded(record);
        EXPECT_EQ(QString(recorded.open(QIODevice::ReadOnly) ? recorded.readAll() : "").split('\n', Qt::SkipEmptyParts).join(' '), c.recorded);
    }
    EXPECT_EQ(QFileInfo(root).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), 0);
}

}  // namespace
