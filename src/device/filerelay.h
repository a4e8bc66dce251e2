#pragma once
// The device's file-relay service, which hands over its databases as one archive, and the unpacking
// of that archive. The job that fetches it (device/iosloadfilerelaythread.h) keeps in the device's
// cache folder:
//   <cache>/file-relay.cpio   the archive as received; removed once it is unpacked
//   <cache>/file-relay/       the unpacked tree, with the device's own paths
//                             (var/mobile/Library/SMS/sms.db)
// The archive is unpacked into "file-relay.new/file-relay" and put in place of "file-relay" only when
// it is complete and its message database opens as the reading opens it, so a failed or cancelled
// load, or a database that cannot be read, keeps the previous tree whole, and no journal of an older
// database ever sits beside a newer one. Entry names come from the device: only folders and regular
// files whose names stay inside the tree, and that make no folder where the iOS 5 reader writes an
// MMS part, are unpacked; everything else is skipped and logged.
#include <QString>
#include <QStringList>

class ProgressSink;

namespace FileRelay {

// Bytes received or unpacked at a time.
constexpr int kBlockBytes = 0x80000;

// A byte count as the progress texts give it, in whole kilobytes.
QString kilobytes(qint64 bytes);

// Puts the folder fresh in place of target; what stood at target goes only after fresh is in place.
void swapInFolder(const QString& target, const QString& fresh);

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
