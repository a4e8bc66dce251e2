#pragma once
// The process-wide Qt message handler: every qDebug/qInfo/qWarning/qCritical/qFatal of any thread
// becomes one line "(W hh:mm:ss) text" of a daily file "log-yyyyMMdd.txt" in the log folder. The file
// is named after the day of the run's first message and kept open for the rest of the run.
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <functional>

// Remembers folder (created only when the first message arrives), prunes it to the keepCount files
// with the greatest names, and installs the handler.
void installLogHandler(const QString& folder, int keepCount);
// Restores Qt's own handler and closes the file; messages after this go to stderr.
void uninstallLogHandler();

// Deletes files from the front of folder's name-sorted list until at most keepCount remain. Every file
// counts, whatever its name: the program owns the folder.
void pruneLogFolder(const QString& folder, int keepCount);

// "(D 09:05:07) text\n" for debug, W, C and F for warning, critical and fatal; "(09:05:07) text\n"
// for any other type (info).
QString formatLogLine(QtMsgType type, const QTime& time, const QString& text);

// The file name for the day of date: "log-yyyyMMdd.txt".
QString logFileName(const QDate& date);

// Replaces the clock the handler reads (local time); an empty function restores the real one. Tests only.
void setLogClockForTesting(std::function<QDateTime()> clock);
// The path of the file the handler writes, or "" before the first message.
QString currentLogFilePath();
