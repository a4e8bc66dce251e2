// The backup tool driver and job with the fake tool; the shim over idevicebackup2 with a recording stub.
#include "core/datadir.h"
#include "device/iosdevice.h"
#include "device/iosmobilebackupthread.h"
#include "device/iosmobilerestorethread.h"
#include "devicesim/simcontrol.h"
#include "fixtures/recording_progress_sink.h"

#include <QProcess>
#include <gtest/gtest.h>

#include <csignal>

namespace {

using BackupToolTest = TempHomeTest;

TEST(BackupTool, EstimateVerdictAndRestoreMessages)
{
    const qint64 MB = 1 << 20, estimates[][3] = {{3000 * MB, 952 * MB, 61}, {40 * MB, 20 * MB, 60}, {0, 0, 60},
                                                 {10, 20 * MB, 60}, {std::numeric_limits<qint64>::max(), -1, 60}};
    for (const auto& [total, available, seconds] : estimates)
        EXPECT_EQ(backupEstimateSeconds(total, available), seconds);
    EXPECT_THROW(backupToolArguments(2, "U", QDir("/r")), std::runtime_error);
    EXPECT_EQ(backupToolFailure("", QByteArray("fine\0 error", 11), false, 0), "");  // the text ends at a NUL
    EXPECT_EQ(backupToolFailure("idevicebackup2: ErrorCode 104 for one file", "idevicebackup2: Backup Successful.", false, 0), "");
    EXPECT_NE(backupToolFailure("idevicebackup2: fine\nerror: no Status.plist", "", false, 0), "");
    EXPECT_EQ(backupToolFailure("", QByteArray(100000, '.') + "Error", false, 0), "..." + QByteArray(4091, '.') + "Error");
    const QString space = QStringLiteral("Insufficient free disk space on device to restore (1 of %1)");
    const std::pair<QString, QString> restores[] = {
        {space.arg(3LL << 30), "3 GB free disk space on your device is required restore data.  Please remove"},
        {space.arg(3LL << 29), "2 GB free"}, {space.arg(12LL << 30), "1e+01 GB free"},
        {"find my iphone must be disabled. " + space.arg(1), "Please follow <a href="},
        {"Failed <5>", "Failed &lt;5&gt;<br/><br/>Note: You can restart your device to try again."}};
    for (const auto& [text, message] : restores)
        EXPECT_TRUE(restoreFailureMessage(text).startsWith(message)) << qPrintable(restoreFailureMessage(text));
}

// The earlier backup a run finds, the run's orders, and whether the tool found the earlier one still there.
TEST_F(BackupToolTest, OnlyAFinishedBackupOfTheSameVersionIsReusedAndACancelLeavesNothingOfItsRun)
{
    const QString root = dataFolderPath(DataFolder::TempBackups), record = homePath("record");
    const char* const cases[][3] = {{"", "", "yes"}, {"version=9.0", "", "no"}, {"state=new", "", "no"}, {"nombdb", "", "no"},
                                    {"", "hang", "yes"}, {"state=new", "hang deaf", "no"}};  // deaf: SIGKILL 5 s on
    for (const auto& [earlier, orders, existing] : cases) {
        devicesim::useFakeBackupTool(earlier, record);
        backup2tool(nullptr, "a1", QDir(root)).run(BackupToolOptions(0));
        devicesim::useFakeBackupTool(orders, record);
        IOSDevice device;
        device.udid = "a1", device.productVersion = "8.4";
        fixtures::RecordingProgressSink sink(*orders ? 2 : -1);  // a hanging tool is cancelled at its first update
        IOSMobileBackupThread(&device, &sink).run();
        QFile file(record);
        const QByteArray seen = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        EXPECT_TRUE(seen.endsWith("-u\na1\n--backup\n--target\na1\n--root\n" + root.toUtf8() + "\nexisting=" + existing + '\n'));
        EXPECT_TRUE(::kill(QString(seen).section("pid=", -1).section('\n', 0, 0).toInt(), 0) != 0 && errno == ESRCH);
        EXPECT_EQ(sink.successes().size(), *orders ? 0 : 1);
        EXPECT_LE(sink.updates().back().progress, 99);
        EXPECT_EQ(QFileInfo::exists(root + "/a1"), !*orders || *existing == 'y') << earlier << orders;
    }
}

// With a stub idevicebackup2 on PATH that records its arguments and a SIGTERM.
TEST_F(BackupToolTest, TheShimRunsIdevicebackup2AndFailsAloud)
{
    QDir().mkpath(homePath("bin"));
    QFile stub(homePath("bin/idevicebackup2"));
    ASSERT_TRUE(stub.open(QIODevice::WriteOnly) && stub.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
    stub.write("#!/bin/sh\ntrap 'kill $!; echo term >> ~/stub; exit 143' TERM\necho \"$@\" > ~/stub\n"
               "[ -z \"$SLEEP\" ] || { sleep 30 & wait $!; }\necho \"$SAY\"\nexit ${CODE:-0}\n");
    stub.close();
    const QString r = homePath("r"), backup = "-u U --backup --target U --root " + r, path = "PATH=" + homePath("bin") + ":/usr/bin:/bin";
    const std::tuple<QString, QString, int, QString, const char*> cases[] = {  // arguments, environment: outcome
        {backup, path, 0, "-u U backup " + r, ""},
        {backup, path + " SAY=ERROR:_one_file_not_copied", 0, "-u U backup " + r, ""},  // not the backup's failure
        {"-u U --restore --target U --root " + r + " --source U", path, 0, "-u U -s U restore --system " + r, ""},
        {backup, path + " CODE=255", 255, "-u U backup " + r, "error: idevicebackup2 backup ended with exit code 255"},
        {backup, path + " SLEEP=1", 143, "-u U backup " + r + "\nterm", "error:"},
        {backup, "PATH=" + homePath("none"), 127, "", "error: idevicebackup2 not found"}};
    for (const auto& [arguments, environment, code, recorded, says] : cases) {
        QFile::remove(homePath("stub"));
        QProcess shim;
        shim.start("/usr/bin/env", environment.split(' ') + QStringList(TALLOWMERE_BACKUP_SHIM) + arguments.split(' '));
        const bool sleeping = environment.contains("SLEEP");
        while (sleeping && !QFileInfo::exists(homePath("stub")))
            QThread::msleep(20);
        if (sleeping)
            shim.terminate();
        ASSERT_TRUE(shim.waitForFinished(10000));
        const QByteArray standardError = shim.readAllStandardError();
        EXPECT_TRUE(shim.exitCode() == code && standardError.contains(says)) << qPrintable(arguments);
        EXPECT_EQ(backupToolFailure(standardError, shim.readAllStandardOutput(), false, shim.exitCode()).isEmpty(), code == 0);
        QFile stubRecord(homePath("stub"));
        EXPECT_EQ(stubRecord.open(QIODevice::ReadOnly) ? QString(stubRecord.readAll()).trimmed() : "", recorded);
    }
    EXPECT_EQ(QFileInfo(r).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), 0);
}

}  // namespace
