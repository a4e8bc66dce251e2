#pragma once
// The device's file-relay service, which hands over its databases as one archive, and the job that
// fetches it into the device's cache folder:
//   <cache>/file-relay.cpio   the archive as received; removed once it is unpacked
//   <cache>/file-relay/       the unpacked tree, with the device's own paths
//                             (var/mobile/Library/SMS/sms.db)
// The archive is unpacked into "file-relay.new" and put in place of "file-relay" only when it is
// complete, so a failed or cancelled load keeps the previous tree whole, and no journal of an older
// database ever sits beside a newer one. Entry names come from the device: only folders and regular
// files whose names stay inside the tree are unpacked; everything else is skipped and logged.
#include "device/iosdevice.h"

#include <QString>
#include <QStringList>
#include <QThread>

class ProgressSink;

namespace FileRelay {

// The socket of the started service "com.apple.mobile.file_relay"; throws as MobileDevice::startService.
int startService(void* device);

// Asks for the sources and checks that the answer's "Status" is "Acknowledged" in any letter case;
// throws std::runtime_error ("invalid feedback." and the answer's XML, or a framing error) otherwise.
// The archive follows on the socket.
void requestSources(int socket, const QStringList& sources);

}  // namespace FileRelay

// Unpacks the archive file into folder, made anew: the folders and regular files whose names stay
// inside it; anything else is skipped and logged. Reports each entry to sink. Throws the int -1 when
// sink is cancelled, std::runtime_error when the archive cannot be opened or read to its end (one cut
// short is an error, not a smaller archive) or a file not be written.
void unpackFileRelayArchive(const QString& archivePath, const QString& folder, ProgressSink* sink);

class IOSLoadFileRelayThread : public QThread {
    Q_OBJECT
public:
    // device and sink must outlive the job.
    IOSLoadFileRelayThread(const IOSDevice* device, ProgressSink* sink, QObject* parent = nullptr);

    // Fetches "UserDatabases" into the cache and ends with postSucceed(""), postError(text) or, after
    // a cancel, nothing; the archive file stays after an error or a cancel.
    void run() override;

private:
    void load(int& socket, QString& staging);
    void receiveArchive(int socket, const QString& path);

    const IOSDevice* m_device;  // not owned
    ProgressSink* m_sink;       // not owned
    QByteArray m_buffer;        // one block, while receiving
};
