#pragma once
// The job that restores a device from its backup in a backup root (the backup job's), and turns the
// two failures a user can act on into instructions.
#include "device/backuptooljob.h"

#include <QDir>
#include <QString>

// What the user is told when the restore failed with the tool's text: how to turn off Find My
// iPhone, how much space to free on the device, or else the text itself with a note.
QString restoreFailureMessage(const QString& toolText);

class IOSMobileRestoreThread : public BackupToolJob {
    Q_OBJECT
public:
    // device and sink must outlive the job.
    IOSMobileRestoreThread(const IOSDevice* device, const QDir& backupRoot, ProgressSink* sink,
                           QObject* parent = nullptr);

    // Ends with postSucceed(""), postError(rich text) or nothing after a cancel. Deletes nothing.
    void run() override;
};
