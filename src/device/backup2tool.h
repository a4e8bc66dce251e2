#pragma once
// The backup tool: a child program that backs a device up into a backup root, or restores it from
// there; the root holds one backup per device, in the folder named by the device identifier. Its
// command line:
//   -u UDID --backup --target UDID --root R
//   -u UDID --restore --target UDID --root R --source UDID
// The program is the one named by $TALLOWMERE_BACKUP_TOOL, else "tallowmere-backup-tool" beside the
// program, else in <prefix>/lib/tallowmere: a shim that runs libimobiledevice's idevicebackup2.
//
// The tool fails when its own output mentions an error (in any letter case), when it exits with a code
// other than 0 and when it crashes: real tools report some failures ("No device found with udid")
// by their exit code alone. Lines that begin "idevicebackup2: " are what the shim passes on from
// idevicebackup2, which also mentions errors of single files in a backup that succeeds: they are kept
// in the log and the failure's text, and not judged.
#include <QDir>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

struct BackupToolOptions {
    enum { Backup = 0, Restore = 1 };
    explicit BackupToolOptions(int operation) : op(operation) {}
    int op;
};

// The expected length of a backup in whole seconds, from the device's data capacity and free bytes:
// 0.03 s per used megabyte; 60 when that comes to no whole second or the values make no sense.
qint64 backupEstimateSeconds(qint64 totalDataCapacity, qint64 amountDataAvailable);
// The estimated percentage elapsedMs into a run expected to last expectedSeconds: never above 99,
// since only the tool's end completes it.
double backupProgress(qint64 elapsedMs, qint64 expectedSeconds);
// Throws std::runtime_error("unknown backup2tool_op.") for an operation other than backup or restore.
QStringList backupToolArguments(int op, const QString& udid, const QDir& root);
QString backupToolProgram();
// The failure of a finished tool, or "" when it succeeded. What the tool said is its error output, a
// line feed and its output, as 8-bit text up to the first NUL; the failure's text keeps the end of
// each of the two outputs, where the tool's last words are.
QString backupToolFailure(const QByteArray& standardError, const QByteArray& standardOutput, bool crashed,
                          int exitCode);

class backup2tool : public QObject {
    Q_OBJECT
public:
    // device is the device library's handle (borrowed); the tool works on root's folder udid.
    backup2tool(void* device, const QString& udid, const QDir& root, QObject* parent = nullptr);

    // Runs the tool to its end on the calling thread: true when it finished, false when a cancel
    // (cancel(), or stopRequested answering true, checked every 200 ms) ended it: SIGTERM first,
    // SIGKILL 5 s later. Throws std::runtime_error (UTF-8) when the tool cannot start or fails.
    bool run(const BackupToolOptions& options, const std::function<bool()>& stopRequested = {});
    double progress() const { return m_progress.load(); }

signals:
    // pg: the estimated percentage; status1 is always ""; status2 "%1 seconds passed".
    void update(double pg, const QString& status1, const QString& status2);

public slots:
    // Any thread. A cancel that comes before run is kept: the tool then never starts.
    void cancel() { m_cancelled = true; }

private:
    qint64 expectedSeconds() const;

    void* m_device;
    QString m_udid;
    QDir m_root;
    std::atomic<double> m_progress{0.0};
    std::atomic<bool> m_cancelled{false};
};

// The note that ends a failure of the tool shown to the user.
extern const char kRestartDeviceNote[];
