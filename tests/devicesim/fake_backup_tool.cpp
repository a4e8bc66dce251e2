// The tests' backup tool. Orders in $TM_FAKE_BACKUP: error, exit255, crash, hang (deaf: to SIGTERM), else a
// sample backup (encrypted, ios10, nombdb, version=V, state=S). Appends "pid=N", its arguments and
// "existing=yes|no" (the device's folder at its start) to $TM_FAKE_BACKUP_RECORD.
#include "fixtures/sample_backups.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <csignal>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    QMap<QString, QString> order;
    for (const QString& word : qEnvironmentVariable("TM_FAKE_BACKUP").split(' ', Qt::SkipEmptyParts))
        order.insert(word.section('=', 0, 0), word.section('=', 1));
    const QString udid = arguments.value(arguments.indexOf("-u") + 1);
    const QString folder = arguments.value(arguments.indexOf("--root") + 1) + '/' + udid;
    const auto write = [](const QString& path, const QString& text, QIODevice::OpenMode mode) {
        QFile file(path);
        return file.open(mode | QIODevice::WriteOnly) && file.write(text.toUtf8()) >= 0;
    };
    write(qEnvironmentVariable("TM_FAKE_BACKUP_RECORD"), "pid=" + QString::number(::getpid()) + '\n' + arguments.join('\n')
          + "\nexisting=" + (QDir(folder).exists() ? "yes\n" : "no\n"), QIODevice::Append);
    const auto status = [&](const QString& state) {
        write(folder + "/Status.plist", "<plist><dict><key>SnapshotState</key><string>" + state + "</string></dict></plist>", {});
    };
    QTextStream out(stdout);
    out << "Started backup tool for " << udid << "\n[=====     ] 25%" << Qt::endl;
    QDir().mkpath(folder);
    if (order.contains("error") || order.contains("exit255")) {
        out << (order.contains("error") ? "Backup Failed: Error Code -4 <MBErrorDomain>" : "No device found with udid " + udid + '.');
        return order.contains("error") ? 0 : 255;
    }
    if (order.contains("crash"))
        std::abort();
    if (order.contains("hang")) {
        status("new");
        std::signal(SIGTERM, order.contains("deaf") ? SIG_IGN : SIG_DFL);
        for (;;)
            ::pause();
    }
    if (arguments.contains("--backup")) {
        fixtures::SampleBackupOptions options;
        options.encrypted = order.contains("encrypted");
        fixtures::BackupBuilder builder = fixtures::sampleBackupBuilder(options);
        fixtures::BackupDevice device = builder.device();
        device.uniqueDeviceId = udid;
        device.productVersion = order.value("version", "8.4");
        builder.setDevice(device).write(folder);
        if (order.contains("ios10") || order.contains("nombdb"))
            QFile::rename(folder + "/Manifest.mbdb", folder + (order.contains("ios10") ? "/Manifest.db" : "/Manifest.old"));
        status(order.value("state", "finished"));
    }
    out << "[==========] 100%\nFinished.\n";
}
