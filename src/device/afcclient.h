#pragma once
// A client of the device's file service (AFC): little-endian packets of a 40-byte header, fixed
// arguments and raw data, on the socket of "com.apple.afc" (the media area) or of
// "com.apple.mobile.house_arrest" once it has vended an application's container. The peer is
// untrusted: every length it announces is capped, and a read never writes more than was asked.
//
// The packet and request functions throw std::runtime_error; the objects turn failures into their
// documented failure values instead (false, -1, an empty record or list), except AfcClient::connect.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

namespace Afc {

enum Operation : quint64 {
    Status = 1,
    Data = 2,
    ReadDirectory = 3,
    RemovePath = 8,
    MakeDirectory = 9,
    GetFileInfo = 10,
    FileOpen = 13,
    FileOpenResult = 14,
    FileRead = 15,
    FileWrite = 16,
    FileTellResult = 19,
    FileClose = 20,
    RenamePath = 24,
    FileLock = 27,
};

enum OpenMode : quint64 {
    ReadOnly = 1,
    WriteOnly = 3,  // created when missing, emptied when present
};

constexpr int kHeaderBytes = 40;
constexpr int kMaxReadChunk = 65536;
constexpr int kMaxWriteChunk = 32768;

}  // namespace Afc

struct AfcPacketHeader {
    quint64 entireLength = 0;  // header, fixed arguments and raw data
    quint64 thisLength = 0;    // header and fixed arguments
    quint64 packetNumber = 0;
    quint64 operation = 0;

    // A request header of operation on socket carrying argumentBytes of fixed arguments and rawBytes of
    // data after them.
    static AfcPacketHeader request(int socket, quint64 operation, qint64 argumentBytes, qint64 rawBytes = 0);
    QByteArray encode() const;
    // The fields of 40 bytes; the magic is not checked.
    static AfcPacketHeader decode(const char* bytes);
};

namespace AfcPacket {

// Sends header and arguments; the number of argument bytes sent. Throws "send AFC header (op) error."
// or "send AFC content (op) error." when either goes out short.
int send(int socket, const AfcPacketHeader& header, const QByteArray& arguments);

// Receives one reply into header and returns its payload (data, open and tell results, status).
// With status given, a status reply's code is stored there instead of being thrown when not 0.
// Throws "read AFC header failed.", "read AFC file block data failed.", "read AFC failed, announced
// length N is too long." (a payload above kMaxServiceMessageBytes, refused before anything is
// allocated), "read AFC failed, received AFC_OP_STATUS, param1=N.", "read AFC failed, Unknown operation
// code received N, param1=M." or, for a status without its 8-byte code, "read AFC failed, AFC_OP_STATUS
// without a status code.".
QByteArray receive(int socket, AfcPacketHeader& header, quint32* status = nullptr);

}  // namespace AfcPacket

namespace AfcRequest {

// The names the device lists, "." and ".." included.
QStringList readDirectory(int socket, const QString& path);
// Key and value pairs; a later key replaces an earlier one.
QMap<QString, QString> getFileInfo(int socket, const QString& path);
void makeDir(int socket, const QString& path);
void removePath(int socket, const QString& path);
void renamePath(int socket, const QString& oldPath, const QString& newPath);
// The file handle; 0 for an empty reply. Throws for a handle shorter than 8 bytes.
quint64 fileOpen(int socket, const QString& path, quint64 mode);
void fileClose(int socket, quint64 handle);
// Reads up to length bytes into buffer in requests of at most 64 KiB, stopping early at the end of
// the file; the count read. Bytes beyond what a request asked for are dropped.
int fileRead(int socket, quint64 handle, char* buffer, int length);
// Writes length bytes in chunks of at most 32 KiB, each confirmed by a status 0; the count written.
int fileWrite(int socket, quint64 handle, const char* data, int length);
// The status the lock gives (0 when the reply is not a status).
quint32 fileLock(int socket, quint64 handle, quint64 lockOperation);

}  // namespace AfcRequest

namespace HouseArrest {

// Asks the house-arrest service on socket for the container of application; the socket then speaks
// AFC inside it. Throws "can not find <application>." when the device answers with "Error".
void vendContainer(int socket, const QString& application);

}  // namespace HouseArrest

// What the device says about one path.
struct AfcFileInfo {
    QString path;
    qint64 size = 0;
    QDateTime mtime;  // UTC; null when the device gives none
    QString type;     // "S_IFREG", "S_IFDIR", ...; empty when nothing is known

    bool exists() const { return !type.isEmpty(); }
    bool isFile() const;
    bool isDir() const;
};

class AfcFile;

// One AFC connection. Files opened through it hold a share of its socket cell, which close() empties,
// so a file used after its client closed fails instead of writing to whatever reuses the descriptor.
class AfcClient {
public:
    explicit AfcClient(void* device);  // borrowed MobileDevice handle
    ~AfcClient();
    AfcClient(const AfcClient&) = delete;
    AfcClient& operator=(const AfcClient&) = delete;

    // An empty application connects to the media area, any other to that application's container.
    // Throws the service start's error or "can not find <application>.".
    void connect(const QString& application);
    void close();
    bool isConnected() const { return *m_socket >= 0; }

    bool makeDir(const QString& path);
    bool removePath(const QString& path);
    bool rename(const QString& oldPath, const QString& newPath);

    // Opens path into file (closing what file held); false when the device refuses or gives handle 0.
    bool open(const QString& path, quint64 mode, AfcFile& file);
    bool openRead(const QString& path, AfcFile& file) { return open(path, Afc::ReadOnly, file); }
    bool openWrite(const QString& path, AfcFile& file) { return open(path, Afc::WriteOnly, file); }

    // An empty record when the device knows nothing of path or the request fails.
    AfcFileInfo fileInfo(const QString& path);
    // The files and folders in directory ("." and ".." left out), in the device's order; names that are
    // not one plain path component are skipped. Empty when the listing fails.
    QList<AfcFileInfo> entries(const QString& directory);

private:
    void* m_device;
    QSharedPointer<int> m_socket;  // -1 when not connected
};

// An open file of an AfcClient; closed by its destructor.
class AfcFile {
public:
    AfcFile() = default;
    ~AfcFile();
    AfcFile(const AfcFile&) = delete;
    AfcFile& operator=(const AfcFile&) = delete;

    bool isOpen() const { return m_handle != 0; }
    // The count read or written; -1 on a failure or once the client has closed.
    int read(char* buffer, int length);
    int write(const char* data, int length);
    void close();

private:
    friend class AfcClient;
    int liveSocket() const;  // throws once the client has closed

    QSharedPointer<int> m_socket;
    quint64 m_handle = 0;
};
