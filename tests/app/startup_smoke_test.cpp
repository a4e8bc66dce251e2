// Runs the real program headless with its own HOME, as a user would start it.
#include "fixtures/message_history.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

constexpr char kDataFolder[] = ".local/share/VarnelQuist/5F2C9A0E7D3B4E6A9C1F08B2D4E6A7C3";

struct ProgramRun {
    int exitCode = -1;
    bool finished = false;
};

ProgramRun runProgram(const QString& home, const QMap<QString, QString>& extra)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_DATA_HOME"), QDir(home).filePath(QStringLiteral(".local/share")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TALLOWMERE_WEB_HOST"), QString());
    env.insert(QStringLiteral("TALLOWMERE_TEST_AUTOQUIT_MS"), QStringLiteral("300"));
    for (auto it = extra.cbegin(); it != extra.cend(); ++it)
        env.insert(it.key(), it.value());
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(TALLOWMERE_BINARY), QStringList());
    ProgramRun run;
    run.finished = process.waitForFinished(30000);
    if (!run.finished)
        process.kill();
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

// Without a MobileDevice library the program warns and runs without devices; with one it subscribes. No
// override loads libtmmd.so from beside the program, which finds no usbmuxd here.
TEST(StartupSmoke, NormalStartWritesTheDaysLogAndEndsCleanly)
{
    const QString warning = QStringLiteral("Failed to load (Apple Mobile Device) framework.");
    const std::pair<QString, bool> cases[] = {{QStringLiteral("/nonexistent/libtmmd.so"), true},
                                              {QString(), !TALLOWMERE_WITH_TMMD},
                                              {QStringLiteral(TALLOWMERE_DEVICESIM_LIB), false}};
    for (const auto& [library, warns] : cases) {
        SCOPED_TRACE(library.toStdString());
        QTemporaryDir home;
        const ProgramRun run = runProgram(home.path(), {{QStringLiteral("TALLOWMERE_MOBILEDEVICE_LIB"), library},
                                                        {QStringLiteral("USBMUXD_SOCKET_ADDRESS"),
                                                         QStringLiteral("UNIX:/nonexistent/usbmuxd")}});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0);
        const QDir data(QDir(home.path()).filePath(QLatin1String(kDataFolder)));
        EXPECT_TRUE(data.exists());
        QFile log(data.filePath(QStringLiteral("qlogs/log-%1.txt")
                                    .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")))));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        EXPECT_TRUE(text.contains(QLatin1String("closing after 300 ms")));
        EXPECT_EQ(text.contains(warning), warns) << qPrintable(text);
        EXPECT_EQ(!library.isEmpty() && text.contains(library + ": no such file"), warns && !library.isEmpty()) << qPrintable(text);
        EXPECT_EQ(text.contains("Install the Debian packages libimobiledevice6"), warns);
    }
}

TEST(StartupSmoke, AnOldLocalDatabaseIsUpgradedAndTheProgramEndsForARestart)
{
    QTemporaryDir home;
    const QDir data(QDir(home.path()).filePath(QLatin1String(kDataFolder)));
    const QString folder = data.filePath(QStringLiteral("local_databases/old"));
    fixtures::createLegacyLocalDb(folder);
    const ProgramRun run = runProgram(home.path(), {});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/mms.db-bak")));
    QFile log(data.filePath(QStringLiteral("qlogs/log-%1.txt").arg(QDate::currentDate().toString("yyyyMMdd"))));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();  // the success box asked for a restart; no timer closed the window
    EXPECT_TRUE(text.contains("Please restart software.") && !text.contains("closing after"));
}

TEST(StartupSmoke, WrongSqliteLayerEndsWithCodeOneBeforeAnyLog)
{
    QTemporaryDir home;
    const ProgramRun run = runProgram(home.path(), {{QStringLiteral("TALLOWMERE_TEST_SQLITE_VERSION"), QStringLiteral("4")}});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_FALSE(QDir(QDir(home.path()).filePath(QLatin1String(kDataFolder) + QStringLiteral("/qlogs"))).exists());
}

}  // namespace
