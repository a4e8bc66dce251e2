#include "app/loghandler.h"

#include "core/fileutil.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>

namespace {

// Heap objects that are never destroyed: a message logged during static destruction must still find
// them alive.
struct LogState {
    QMutex mutex;
    QString folder;
    QFile file;
    std::function<QDateTime()> clock;
};

LogState& state()
{
    static LogState* const instance = new LogState;
    return *instance;
}

QDateTime now(const LogState& log)
{
    return log.clock ? log.clock() : QDateTime::currentDateTime();
}

// Opens the day's file on the first message; a failure leaves it closed so the next message retries.
bool ensureOpen(LogState& log, const QDate& today)
{
    if (log.file.isOpen())
        return true;
    if (log.folder.isEmpty() || !makePrivatePath(log.folder))
        return false;
    log.file.setFileName(QDir(log.folder).absoluteFilePath(logFileName(today)));
    if (!log.file.open(QIODevice::ReadWrite | QIODevice::Append))
        return false;
    makeFilePrivate(log.file.fileName());  // logs name files and people
    return true;
}

void logMessageHandler(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    LogState& log = state();
    {
        const QMutexLocker lock(&log.mutex);
        const QDateTime stamp = now(log);
        if (type == QtDebugMsg) {
            std::fputs(text.toLocal8Bit().append('\n').constData(), stdout);
            std::fflush(stdout);
        }
        if (ensureOpen(log, stamp.date())) {
            log.file.write(formatLogLine(type, stamp.time(), text).toUtf8());
            log.file.flush();
        }
    }
    if (type == QtFatalMsg)
        std::abort();
}

}  // namespace

QString formatLogLine(QtMsgType type, const QTime& time, const QString& text)
{
    const QString clock = time.toString(QStringLiteral("hh:mm:ss"));
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("(D %1) %2\n").arg(clock, text);
    case QtWarningMsg:
        return QStringLiteral("(W %1) %2\n").arg(clock, text);
    case QtCriticalMsg:
        return QStringLiteral("(C %1) %2\n").arg(clock, text);
    case QtFatalMsg:
        return QStringLiteral("(F %1) %2\n").arg(clock, text);
    default:
        return QStringLiteral("(%1) %2\n").arg(clock, text);
    }
}

QString logFileName(const QDate& date)
{
    return QStringLiteral("log-%1.txt").arg(date.toString(QStringLiteral("yyyyMMdd")));
}

void pruneLogFolder(const QString& folder, int keepCount)
{
    QDir dir(folder);
    const QStringList names = dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (int i = 0; i < names.size() - keepCount; ++i)
        dir.remove(names.at(i));
}

void installLogHandler(const QString& folder, int keepCount)
{
    {
        LogState& log = state();
        const QMutexLocker lock(&log.mutex);
        log.file.close();
        log.folder = QDir(folder).absolutePath();
    }
    pruneLogFolder(folder, keepCount);
    qInstallMessageHandler(logMessageHandler);
}

void uninstallLogHandler()
{
    qInstallMessageHandler(nullptr);
    LogState& log = state();
    const QMutexLocker lock(&log.mutex);
    log.file.close();
}

void setLogClockForTesting(std::function<QDateTime()> clock)
{
    LogState& log = state();
    const QMutexLocker lock(&log.mutex);
    log.clock = std::move(clock);
}

QString currentLogFilePath()
{
    LogState& log = state();
    const QMutexLocker lock(&log.mutex);
    return log.file.isOpen() ? log.file.fileName() : QString();
}
