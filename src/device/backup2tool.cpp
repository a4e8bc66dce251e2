#include "device/backup2tool.h"

#include "core/assetdir.h"
#include "core/errors.h"
#include "device/mobiledevice.h"

#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kToolOverride[] = "TALLOWMERE_BACKUP_TOOL";
constexpr qint64 kDefaultSeconds = 60;
constexpr int kStartTimeoutMs = 60000;
constexpr int kPollMs = 200;
// idevicebackup2 ends its device session cleanly on SIGTERM; it gets this long before SIGKILL.
constexpr int kTerminateGraceMs = 5000;
// A long backup prints megabytes of progress: the log keeps the end of each output, and so does the
// error text.
constexpr int kLoggedChars = 64 * 1024;
constexpr int kShownCharsPerOutput = 4096;

template <class Text>
Text tailOf(const Text& text, int length)
{
    return text.size() <= length ? text : Text("...") + text.right(length);
}

// Error output, a line feed and output, up to the first NUL: the bytes a verdict reads.
QByteArray joinedOutput(const QByteArray& standardError, const QByteArray& standardOutput)
{
    QByteArray joined = standardError + '\n' + standardOutput;
    const int end = joined.indexOf('\0');
    if (end >= 0)
        joined.truncate(end);
    return joined;
}

// Lines the shim passes on from idevicebackup2, which mentions errors of single files in a backup that
// succeeds: logged and shown, never judged.
constexpr char kRelayedPrefix[] = "idevicebackup2: ";
constexpr int kRelayedPrefixLength = sizeof kRelayedPrefix - 1;

// "error" in any letter case among length bytes read as 8-bit text: no other Latin-1 letter folds to
// these ASCII ones.
bool lineMentionsError(const char* bytes, int length)
{
    for (int i = 0; i + 5 <= length; ++i) {
        if ((bytes[i] | 0x20) == 'e' && qstrnicmp(bytes + i, "error", 5) == 0)
            return true;
    }
    return false;
}

// Whether a line of the tool's own (not one relayed from idevicebackup2) mentions an error.
bool mentionsError(const char* bytes, int length)
{
    const char* const end = bytes + length;
    for (const char* line = bytes;;) {
        const auto* found = static_cast<const char*>(std::memchr(line, '\n', size_t(end - line)));
        const int lineLength = int((found ? found : end) - line);
        const bool relayed = lineLength >= kRelayedPrefixLength && std::memcmp(line, kRelayedPrefix, kRelayedPrefixLength) == 0;
        if (!relayed && lineMentionsError(line, lineLength))
            return true;
        if (!found)
            return false;
        line = found + 1;
    }
}

// As mentionsError(joinedOutput(...)), without copying megabytes: the line feed between the two
// outputs keeps any match inside one of them.
bool outputMentionsError(const QByteArray& standardError, const QByteArray& standardOutput)
{
    const int errorEnd = standardError.indexOf('\0');
    if (errorEnd >= 0)
        return mentionsError(standardError.constData(), errorEnd);
    const int outputEnd = standardOutput.indexOf('\0');
    return mentionsError(standardError.constData(), standardError.size())
           || mentionsError(standardOutput.constData(), outputEnd >= 0 ? outputEnd : standardOutput.size());
}

void stopProcess(QProcess& process)
{
    process.terminate();
    if (process.waitForFinished(kTerminateGraceMs))
        return;
    process.kill();
    process.waitForFinished(kTerminateGraceMs);
}

}  // namespace

const char kRestartDeviceNote[] = "<br/><br/>Note: You can restart your device to try again.";

qint64 backupEstimateSeconds(qint64 totalDataCapacity, qint64 amountDataAvailable)
{
    qint64 used = 0;
    if (__builtin_sub_overflow(totalDataCapacity, amountDataAvailable, &used))
        return kDefaultSeconds;  // values no device reports
    const qint64 usedMB = used / 1024 / 1024;
    const auto seconds = qint64(double(usedMB) * 0.03);
    return usedMB > 0 && seconds > 0 ? seconds : kDefaultSeconds;
}

double backupProgress(qint64 elapsedMs, qint64 expectedSeconds)
{
    const double expectedMs = double(expectedSeconds > 0 ? expectedSeconds : kDefaultSeconds) * 1000.0;
    return std::clamp(double(elapsedMs) / expectedMs * 99.0, 0.0, 99.0);
}

QStringList backupToolArguments(int op, const QString& udid, const QDir& root)
{
    const QString rootPath = QDir::toNativeSeparators(root.absolutePath());
    QStringList arguments{QStringLiteral("-u"), udid};
    if (op == BackupToolOptions::Backup)
        arguments << QStringLiteral("--backup") << QStringLiteral("--target") << udid << QStringLiteral("--root")
                  << rootPath;
    else if (op == BackupToolOptions::Restore)
        arguments << QStringLiteral("--restore") << QStringLiteral("--target") << udid << QStringLiteral("--root")
                  << rootPath << QStringLiteral("--source") << udid;
    else
        throw std::runtime_error("unknown backup2tool_op.");
    return arguments;
}

QString backupToolProgram()
{
    return programLibraryPath(QStringLiteral("tallowmere-backup-tool"), kToolOverride);
}

QString backupToolFailure(const QByteArray& standardError, const QByteArray& standardOutput, bool crashed,
                          int exitCode)
{
    if (!outputMentionsError(standardError, standardOutput) && !crashed && exitCode == 0)
        return QString();
    QStringList lines{QString::fromLatin1(joinedOutput(tailOf(standardError, kShownCharsPerOutput),
                                                       tailOf(standardOutput, kShownCharsPerOutput)))
                          .trimmed()};
    if (crashed)
        lines << QStringLiteral("error: the backup tool crashed");
    else if (exitCode != 0)
        lines << QStringLiteral("error: exit code ") + QString::number(exitCode);
    lines.removeAll(QString());
    return lines.join(QLatin1Char('\n'));
}

backup2tool::backup2tool(void* device, const QString& udid, const QDir& root, QObject* parent)
    : QObject(parent), m_device(device), m_udid(udid), m_root(root)
{
}

qint64 backup2tool::expectedSeconds() const
{
    try {
        const QList<CFType> values =
            MobileDevice::copyValues(m_device, {QString()}, QStringLiteral("com.apple.disk_usage"));
        if (values.isEmpty())
            return kDefaultSeconds;
        const CFType& usage = values.first();
        return backupEstimateSeconds(usage.value(QStringLiteral("TotalDataCapacity")).toInt64(0),
                                     usage.value(QStringLiteral("AmountDataAvailable")).toInt64(0));
    } catch (const std::exception& error) {
        qWarning("disk usage unread, the backup is estimated at %lld s: %s", kDefaultSeconds, error.what());
        return kDefaultSeconds;
    }
}

bool backup2tool::run(const BackupToolOptions& options, const std::function<bool()>& stopRequested)
{
    m_progress = 0.0;
    const qint64 expected = expectedSeconds();
    QProcess process;
    process.setProgram(backupToolProgram());
    process.setArguments(backupToolArguments(options.op, m_udid, m_root));
    const auto stopping = [&] { return m_cancelled.load() || (stopRequested && stopRequested()); };
    if (stopping())
        return false;
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(kStartTimeoutMs))
        throw std::runtime_error("can not start AppleMobileBackup process.");
    QElapsedTimer clock;  // monotonic: a clock step must not pin the bar
    clock.start();
    while (process.state() != QProcess::NotRunning && !process.waitForFinished(kPollMs)) {
        if (stopping()) {
            stopProcess(process);
            return false;
        }
        m_progress = backupProgress(clock.elapsed(), expected);
        const QString passed = QString::number(clock.elapsed() / 1000) + QStringLiteral(" seconds passed");
        emit update(m_progress.load(), QString(), passed);
    }
    const QByteArray standardError = process.readAllStandardError();
    const QByteArray standardOutput = process.readAllStandardOutput();
    const QByteArray logged = joinedOutput(tailOf(standardError, kLoggedChars), tailOf(standardOutput, kLoggedChars));
    qDebug("%s", qUtf8Printable(QString::fromLatin1(logged)));
    const QString failure = backupToolFailure(standardError, standardOutput,
                                              process.exitStatus() == QProcess::CrashExit, process.exitCode());
    if (!failure.isEmpty())
        throwUtf8(failure);
    return true;
}
