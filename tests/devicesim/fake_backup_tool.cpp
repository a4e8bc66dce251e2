// The backup tool the tests run in place of the real one: it takes the program's command line and
// does what its environment says (see simcontrol.h, FakeBackupTool):
//   TM_FAKE_BACKUP_RECORD   appends "pid=N", each argument and "existing=yes|no" (the device's
//                           backup folder at the start), one per line
//   TM_FAKE_BACKUP_MODE     ok (default): a sample backup, "error": an error text and exit code 0,
//                           "exit255": silent failure, "crash": abort(), "hang": a half-written
//                           backup, then waiting (TM_FAKE_BACKUP_IGNORE_TERM=1: deaf to SIGTERM)
//   TM_FAKE_BACKUP_VERSION, _ENCRYPTED=1, _STATE, _LAYOUT=ios10: what the backup looks like
#include "core/plistnode.h"
#include "fixtures/sample_backups.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

QString env(const char* name, const char* fallback = "")
{
    return qEnvironmentVariable(name, QString::fromLatin1(fallback));
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::exit(3);
}

void writeStatus(const QString& folder, const QString& state)
{
    PlistNode status = PlistNode::newDict();
    status.setValue(QStringLiteral("SnapshotState"), PlistNode::fromString(state));
    writeFile(folder + QStringLiteral("/Status.plist"), status.toXml().toUtf8());
}

void record(const QStringList& arguments, const QString& folder)
{
    QFile file(env("TM_FAKE_BACKUP_RECORD"));
    if (file.fileName().isEmpty() || !file.open(QIODevice::Append))
        return;
    const QString existing = QFileInfo::exists(folder) ? QStringLiteral("yes") : QStringLiteral("no");
    const QStringList lines = QStringList{QStringLiteral("pid=") + QString::number(::getpid())} + arguments
                              + QStringList{QStringLiteral("existing=") + existing};
    file.write((lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
}

void writeBackup(const QString& udid, const QString& folder)
{
    fixtures::SampleBackupOptions options;
    options.encrypted = env("TM_FAKE_BACKUP_ENCRYPTED") == QLatin1String("1");
    fixtures::BackupBuilder builder = fixtures::sampleBackupBuilder(options);
    fixtures::BackupDevice device = builder.device();
    device.uniqueDeviceId = udid;
    device.productVersion = env("TM_FAKE_BACKUP_VERSION", "8.4");
    builder.setDevice(device).write(folder);
    if (env("TM_FAKE_BACKUP_LAYOUT") == QLatin1String("ios10")) {
        QFile::remove(folder + QStringLiteral("/Manifest.mbdb"));
        writeFile(folder + QStringLiteral("/Manifest.db"), "SQLite format 3");
    }
    writeStatus(folder, env("TM_FAKE_BACKUP_STATE", "finished"));
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    const auto after = [&](const char* option) { return arguments.value(arguments.indexOf(QLatin1String(option)) + 1); };
    const QString udid = after("-u");
    const QString folder = after("--root") + QLatin1Char('/') + udid;
    record(arguments, folder);
    std::printf("Started backup tool for %s\n[=====               ] 25%%\n", qPrintable(udid));
    std::fflush(stdout);

    const QString mode = env("TM_FAKE_BACKUP_MODE", "ok");
    if (mode == QLatin1String("error")) {
        std::printf("Backup Failed: Error Code -4 <MBErrorDomain>\n");
        return 0;
    }
    if (mode == QLatin1String("exit255")) {
        std::printf("No device found with udid %s.\n", qPrintable(udid));
        return 255;
    }
    if (mode == QLatin1String("crash"))
        std::abort();
    if (mode == QLatin1String("hang")) {
        QDir().mkpath(folder);
        writeStatus(folder, QStringLiteral("new"));
        if (env("TM_FAKE_BACKUP_IGNORE_TERM") == QLatin1String("1"))
            std::signal(SIGTERM, SIG_IGN);
        std::printf("Receiving files\n");
        std::fflush(stdout);
        for (;;)
            ::pause();
    }
    if (arguments.contains(QLatin1String("--backup")))
        writeBackup(udid, folder);
    std::printf("[====================] 100%%\nFinished.\n");
    return 0;
}
