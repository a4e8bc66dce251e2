#pragma once
// The job that fetches a device's databases through its file-relay service into its cache folder (see
// device/filerelay.h for what it keeps there).
#include "device/iosdevice.h"

#include <QByteArray>
#include <QString>
#include <QThread>

class ProgressSink;

class IOSLoadFileRelayThread : public QThread {
    Q_OBJECT
public:
    // device and sink must outlive the job.
    IOSLoadFileRelayThread(const IOSDevice* device, ProgressSink* sink, QObject* parent = nullptr);

    // Fetches "UserDatabases" into the cache and ends with postSucceed(""), postError(text) or, after
    // a cancel, nothing; the archive file stays after an error or a cancel.
    void run() override;

    // How long the device may send nothing before its archive counts as ended: it has no end marker,
    // and the device may not close the connection.
    void setSilenceTimeoutMs(int ms) { m_silenceMs = ms; }

private:
    void load(int& socket, QString& staging);
    void receiveArchive(int socket, const QString& path);

    const IOSDevice* m_device;  // not owned
    ProgressSink* m_sink;       // not owned
    QByteArray m_buffer;        // one block, while receiving
    int m_silenceMs = 60000;
};
