#include "device/backuptooljob.h"

#include "core/progresssink.h"
#include "device/iosdevice.h"

BackupToolJob::BackupToolJob(const IOSDevice* device, const QDir& backupRoot, ProgressSink* sink, QObject* parent)
    : QThread(parent), m_device(device), m_sink(sink), m_backupRoot(backupRoot),
      m_tool(std::make_unique<backup2tool>(device->amDevice, device->udid, backupRoot))
{
    connect(m_tool.get(), &backup2tool::update, this, &BackupToolJob::backupUpdate);
}

// The thread has ended when the job goes: nothing uses the tool any more.
BackupToolJob::~BackupToolJob() = default;

void BackupToolJob::backupUpdate(double pg, const QString&, const QString&)
{
    ProgressSink::postUpdateProgress(m_sink, QString(), int(pg), QString());
}

bool BackupToolJob::runTool(int op)
{
    return m_tool->run(BackupToolOptions(op), [this] { return ProgressSink::isCancelled(m_sink); });
}
