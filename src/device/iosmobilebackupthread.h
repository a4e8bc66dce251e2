#pragma once
// The job that backs a device up into the temporary backup root (device/tempbackupdir.h), into the
// folder named by its identifier:
//   <root>/<udid>/Status.plist, Manifest.plist, Manifest.mbdb and the backed-up files
// An earlier backup there is handed to the tool again, so it only adds what changed, while it
// finished and was made with the device's current iOS version; otherwise it is deleted first.
#include "device/backuptooljob.h"

#include <QDir>
#include <QString>

// Whether folder holds a finished backup ("Status.plist", "Manifest.plist" and "Manifest.mbdb", a
// "SnapshotState" of "finished") of a device at productVersion.
bool isReusableBackup(const QDir& folder, const QString& productVersion);
// The "SnapshotState" of the backup in folder; "" when unreadable.
QString backupSnapshotState(const QDir& folder);

class IOSMobileBackupThread : public BackupToolJob {
    Q_OBJECT
public:
    // Chooses the backup root (which may throw, as chooseTempBackupDir). device and sink must outlive
    // the job.
    IOSMobileBackupThread(const IOSDevice* device, ProgressSink* sink, QObject* parent = nullptr);

    // Ends with postSucceed("") once the device's backup is whole, postError(rich text) when it
    // failed (its folder then removed), or nothing after a cancel (the folder removed when this run
    // made it).
    void run() override;

private:
    void backUp(QString& folder, bool& removeFolder);
};
