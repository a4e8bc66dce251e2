#include "app/loghandler.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

namespace {

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

void touch(const QString& path)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(LogLine, OneFormatPerMessageType)
{
    const QTime time(9, 5, 7);
    EXPECT_EQ(formatLogLine(QtDebugMsg, time, QStringLiteral("x")), QStringLiteral("(D 09:05:07) x\n"));
    EXPECT_EQ(formatLogLine(QtWarningMsg, time, QStringLiteral("x")), QStringLiteral("(W 09:05:07) x\n"));
    EXPECT_EQ(formatLogLine(QtCriticalMsg, time, QStringLiteral("x")), QStringLiteral("(C 09:05:07) x\n"));
    EXPECT_EQ(formatLogLine(QtFatalMsg, time, QStringLiteral("x")), QStringLiteral("(F 09:05:07) x\n"));
    EXPECT_EQ(formatLogLine(QtInfoMsg, time, QStringLiteral("%1 x")), QStringLiteral("(09:05:07) %1 x\n"));
    EXPECT_EQ(logFileName(QDate(2024, 3, 9)), QStringLiteral("log-20240309.txt"));
}

TEST(LogPruning, KeepsTheNewestNamesAndCountsEveryFile)
{
    QTemporaryDir dir;
    for (int day = 1; day <= 12; ++day)
        touch(dir.filePath(logFileName(QDate(2024, 1, day))));
    pruneLogFolder(dir.path(), 10);
    QStringList files = filesIn(dir.path());
    ASSERT_EQ(files.size(), 10);
    EXPECT_EQ(files.first(), logFileName(QDate(2024, 1, 3)));

    pruneLogFolder(dir.path(), 10);
    EXPECT_EQ(filesIn(dir.path()).size(), 10);

    touch(dir.filePath(QStringLiteral("a.txt")));  // sorts before "log-": the first to go
    pruneLogFolder(dir.path(), 10);
    files = filesIn(dir.path());
    EXPECT_EQ(files.size(), 10);
    EXPECT_FALSE(files.contains(QStringLiteral("a.txt")));
    EXPECT_EQ(files.first(), logFileName(QDate(2024, 1, 3)));
}

class LogHandlerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        uninstallLogHandler();
        setLogClockForTesting({});
    }
    QString folder() const { return m_dir.filePath(QStringLiteral("deep/qlogs")); }

    QTemporaryDir m_dir;
};

TEST_F(LogHandlerTest, FolderAppearsWithTheFirstMessageAndLinesAppend)
{
    setLogClockForTesting([] { return QDateTime(QDate(2024, 5, 1), QTime(9, 5, 7)); });
    installLogHandler(folder(), 10);
    EXPECT_FALSE(QDir(folder()).exists());
    qWarning("x");
    qCritical("y \xc3\xa9");
    const QString path = QDir(folder()).filePath(QStringLiteral("log-20240501.txt"));
    EXPECT_EQ(currentLogFilePath(), path);
    EXPECT_EQ(readAll(path), QByteArray("(W 09:05:07) x\n(C 09:05:07) y \xc3\xa9\n"));
    struct stat folderStat {}, fileStat {};
    ASSERT_EQ(::stat(QFile::encodeName(folder()).constData(), &folderStat), 0);
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &fileStat), 0);
    EXPECT_EQ(folderStat.st_mode & 07777, 0700u);  // logs name people: their owner's alone
    EXPECT_EQ(fileStat.st_mode & 07777, 0600u);
}

TEST_F(LogHandlerTest, RunPastMidnightKeepsItsFirstFile)
{
    QDateTime now(QDate(2024, 5, 1), QTime(23, 59, 59));
    setLogClockForTesting([&now] { return now; });
    installLogHandler(folder(), 10);
    qWarning("before");
    now = QDateTime(QDate(2024, 5, 2), QTime(0, 0, 1));
    qWarning("after");
    EXPECT_EQ(filesIn(folder()), QStringList{QStringLiteral("log-20240501.txt")});
    EXPECT_EQ(readAll(QDir(folder()).filePath(QStringLiteral("log-20240501.txt"))),
              QByteArray("(W 23:59:59) before\n(W 00:00:01) after\n"));
}

TEST_F(LogHandlerTest, ConcurrentThreadsWriteWholeLines)
{
    installLogHandler(folder(), 10);
    constexpr int kPerThread = 2000;
    const auto writer = [](char tag) {
        for (int i = 0; i < kPerThread; ++i)
            qWarning("%c-%d-payload-payload-payload", tag, i);
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');
    a.join();
    b.join();
    const QList<QByteArray> lines = readAll(currentLogFilePath()).split('\n');
    ASSERT_EQ(lines.size(), 2 * kPerThread + 1);  // the last split part is empty
    int intact = 0;
    for (const QByteArray& line : lines)
        intact += line.startsWith("(W ") && line.endsWith("-payload-payload-payload") ? 1 : 0;
    EXPECT_EQ(intact, 2 * kPerThread);
}

}  // namespace
