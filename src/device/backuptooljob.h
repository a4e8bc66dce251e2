#pragma once
#include "device/backup2tool.h"

#include <QDir>
#include <QString>
#include <QThread>

#include <memory>

class IOSDevice;
class ProgressSink;

// The jobs that run the tool for one device under a progress sink. The tool's update reaches
// backupUpdate queued, in the thread that made the job; the sink's cancel reaches the tool within
// 200 ms.
class BackupToolJob : public QThread {
    Q_OBJECT
public:
    ~BackupToolJob() override;

    QDir backupDir() const { return m_backupRoot; }

public slots:
    void backupUpdate(double pg, const QString& status1, const QString& status2);

protected:
    // device and sink must outlive the job.
    BackupToolJob(const IOSDevice* device, const QDir& backupRoot, ProgressSink* sink, QObject* parent);

    // False when the user cancelled.
    bool runTool(int op);

    const IOSDevice* m_device;  // not owned
    ProgressSink* m_sink;       // not owned
    QDir m_backupRoot;

private:
    std::unique_ptr<backup2tool> m_tool;
};
