#include "device/afcclient.h"

#include "core/errors.h"
#include "core/safepath.h"
#include "device/cftype.h"
#include "device/mobiledevice.h"
#include "device/servicesocket.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kTimeoutMs = 60000;
constexpr char kMagic[] = "CFA6LPAA";
constexpr int kNumberBytes = 8;

QByteArray number(quint64 value)
{
    QByteArray bytes(kNumberBytes, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// The number at the start of bytes, read as far as there are bytes (the rest as zeros).
quint64 leadingNumber(const QByteArray& bytes)
{
    char padded[kNumberBytes] = {};
    std::memcpy(padded, bytes.constData(), size_t(std::min(bytes.size(), kNumberBytes)));
    return qFromLittleEndian<quint64>(padded);
}

QByteArray pathArgument(const QString& path)
{
    return path.toUtf8() + '\0';
}

// Sends one request of fixed arguments and receives its reply.
QByteArray transact(int socket, quint64 operation, const QByteArray& arguments, AfcPacketHeader& reply,
                    quint32* status = nullptr)
{
    AfcPacket::send(socket, AfcPacketHeader::request(socket, operation, arguments.size()), arguments);
    return AfcPacket::receive(socket, reply, status);
}

void transact(int socket, quint64 operation, const QByteArray& arguments)
{
    AfcPacketHeader reply;
    transact(socket, operation, arguments, reply);
}

// The payload of a data reply; a status 0 in its place carries no data.
QByteArray dataReply(int socket, quint64 operation, const QByteArray& arguments)
{
    AfcPacketHeader reply;
    const QByteArray payload = transact(socket, operation, arguments, reply);
    return reply.operation == Afc::Data ? payload : QByteArray();
}

// Each piece of payload that ends with a zero byte, as text; what follows the last zero is dropped.
QStringList zeroTerminated(const QByteArray& payload)
{
    QList<QByteArray> pieces = payload.split('\0');
    pieces.removeLast();
    QStringList texts;
    for (const QByteArray& piece : pieces)
        texts.append(QString::fromUtf8(piece));
    return texts;
}

// A name the device lists that, joined to its folder, names an entry inside that folder.
bool isPlainName(const QString& name)
{
    return isSafeRelativePath(name) && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

template <class Work>
bool succeeds(const char* what, Work work)
{
    try {
        work();
        return true;
    } catch (const std::exception& error) {
        qDebug("AFC %s failed: %s", what, error.what());
        return false;
    }
}

[[noreturn]] void failClosed()
{
    throwUtf8(QStringLiteral("the AFC connection is closed."));
}

}  // namespace

AfcPacketHeader AfcPacketHeader::request(int socket, quint64 operation, qint64 argumentBytes, qint64 rawBytes)
{
    AfcPacketHeader header;
    header.thisLength = quint64(Afc::kHeaderBytes + argumentBytes);
    header.entireLength = header.thisLength + quint64(rawBytes);
    // The socket's value numbers the packets, sign-extended; 0 would read as no number.
    header.packetNumber = socket == 0 ? quint64(0xFFFFFFFFu) : quint64(qint64(socket));
    header.operation = operation;
    return header;
}

QByteArray AfcPacketHeader::encode() const
{
    QByteArray bytes(kMagic, 8);
    for (const quint64 field : {entireLength, thisLength, packetNumber, operation})
        bytes += number(field);
    return bytes;
}

AfcPacketHeader AfcPacketHeader::decode(const char* bytes)
{
    AfcPacketHeader header;
    header.entireLength = qFromLittleEndian<quint64>(bytes + 8);
    header.thisLength = qFromLittleEndian<quint64>(bytes + 16);
    header.packetNumber = qFromLittleEndian<quint64>(bytes + 24);
    header.operation = qFromLittleEndian<quint64>(bytes + 32);
    return header;
}

namespace AfcPacket {

int send(int socket, const AfcPacketHeader& header, const QByteArray& arguments)
{
    const QByteArray head = header.encode();
    if (Socket::sendAll(socket, head.constData(), head.size(), kTimeoutMs) != head.size())
        throwUtf8(QStringLiteral("send AFC header (%1) error.").arg(header.operation));
    const int sent = Socket::sendAll(socket, arguments.constData(), arguments.size(), kTimeoutMs);
    if (sent != arguments.size())
        throwUtf8(QStringLiteral("send AFC content (%1) error.").arg(header.operation));
    return sent;
}

QByteArray receive(int socket, AfcPacketHeader& header, quint32* status)
{
    char head[Afc::kHeaderBytes];
    if (Socket::receiveAll(socket, head, Afc::kHeaderBytes, kTimeoutMs) != Afc::kHeaderBytes)
        throwUtf8(QStringLiteral("read AFC header failed."));
    header = AfcPacketHeader::decode(head);
    const quint32 entire = quint32(header.entireLength);
    QByteArray payload;
    if (entire > quint32(Afc::kHeaderBytes)) {
        const quint32 length = entire - Afc::kHeaderBytes;
        if (length > quint32(kMaxServiceMessageBytes))
            throwUtf8(QStringLiteral("read AFC failed, announced length %1 is too long.").arg(entire));
        payload.resize(int(length));
        if (Socket::receiveAll(socket, payload.data(), payload.size(), kTimeoutMs) != payload.size())
            throwUtf8(QStringLiteral("read AFC file block data failed."));
    }
    switch (header.operation) {
    case Afc::Data:
    case Afc::FileOpenResult:
    case Afc::FileTellResult:
        return payload;
    case Afc::Status: {
        if (payload.size() < kNumberBytes)
            throwUtf8(QStringLiteral("read AFC failed, AFC_OP_STATUS without a status code."));
        const quint64 code = leadingNumber(payload);
        if (status)
            *status = quint32(code);
        else if (code != 0)
            throwUtf8(QStringLiteral("read AFC failed, received AFC_OP_STATUS, param1=%1.").arg(code));
        return payload;
    }
    default:
        throwUtf8(QStringLiteral("read AFC failed, Unknown operation code received %1, param1=%2.")
                      .arg(QString::number(header.operation), QString::number(leadingNumber(payload))));
    }
}

}  // namespace AfcPacket

namespace AfcRequest {

QStringList readDirectory(int socket, const QString& path)
{
    return zeroTerminated(dataReply(socket, Afc::ReadDirectory, pathArgument(path)));
}

QMap<QString, QString> getFileInfo(int socket, const QString& path)
{
    const QStringList pieces = zeroTerminated(dataReply(socket, Afc::GetFileInfo, pathArgument(path)));
    QMap<QString, QString> values;
    for (int i = 0; i + 1 < pieces.size(); i += 2)
        values.insert(pieces.at(i), pieces.at(i + 1));
    return values;
}

void makeDir(int socket, const QString& path)
{
    transact(socket, Afc::MakeDirectory, pathArgument(path));
}

void removePath(int socket, const QString& path)
{
    transact(socket, Afc::RemovePath, pathArgument(path));
}

void renamePath(int socket, const QString& oldPath, const QString& newPath)
{
    transact(socket, Afc::RenamePath, pathArgument(oldPath) + pathArgument(newPath));
}

quint64 fileOpen(int socket, const QString& path, quint64 mode)
{
    AfcPacketHeader reply;
    const QByteArray payload = transact(socket, Afc::FileOpen, number(mode) + pathArgument(path), reply);
    if (payload.isEmpty())
        return 0;
    if (payload.size() < kNumberBytes)
        throwUtf8(QStringLiteral("read AFC failed, a file handle of %1 bytes.").arg(payload.size()));
    return leadingNumber(payload);
}

void fileClose(int socket, quint64 handle)
{
    transact(socket, Afc::FileClose, number(handle));
}

int fileRead(int socket, quint64 handle, char* buffer, int length)
{
    int total = 0;
    while (total < length) {
        const int asked = std::min(length - total, Afc::kMaxReadChunk);
        const QByteArray payload = dataReply(socket, Afc::FileRead, number(handle) + number(quint64(asked)));
        if (payload.isEmpty())
            break;  // the end of the file
        const int taken = std::min(payload.size(), asked);
        std::memcpy(buffer + total, payload.constData(), size_t(taken));
        total += taken;
    }
    return total;
}

int fileWrite(int socket, quint64 handle, const char* data, int length)
{
    int total = 0;
    while (total < length) {
        const int chunk = std::min(length - total, Afc::kMaxWriteChunk);
        const QByteArray argument = number(handle);
        AfcPacket::send(socket, AfcPacketHeader::request(socket, Afc::FileWrite, argument.size(), chunk), argument);
        // A chunk sent in part leaves the stream out of step: nothing after it can be trusted.
        if (Socket::sendAll(socket, data + total, chunk, kTimeoutMs) != chunk)
            throwUtf8(QStringLiteral("write AFC file error."));
        AfcPacketHeader reply;
        AfcPacket::receive(socket, reply);
        total += chunk;
    }
    return total;
}

quint32 fileLock(int socket, quint64 handle, quint64 lockOperation)
{
    AfcPacketHeader reply;
    quint32 status = 0;
    transact(socket, Afc::FileLock, number(handle) + number(lockOperation), reply, &status);
    return reply.operation == Afc::Status ? status : 0;
}

}  // namespace AfcRequest

namespace HouseArrest {

void vendContainer(int socket, const QString& application)
{
    CFType request = CFType::dictionary();
    request.setValue(CFType(QStringLiteral("Command")), CFType(QStringLiteral("VendContainer")));
    request.setValue(CFType(QStringLiteral("Identifier")), CFType(application));
    mobiledevice_sendmsg(socket, request, false, kTimeoutMs);
    const CFType reply = mobiledevice_recmsg(socket, request, kTimeoutMs);
    if (!reply.value(QStringLiteral("Error")).isNull())
        throwUtf8(QStringLiteral("can not find %1.").arg(application));
}

}  // namespace HouseArrest

bool AfcFileInfo::isFile() const
{
    return type.compare(QLatin1String("S_IFREG"), Qt::CaseInsensitive) == 0;
}

bool AfcFileInfo::isDir() const
{
    return type.compare(QLatin1String("S_IFDIR"), Qt::CaseInsensitive) == 0;
}

AfcClient::AfcClient(void* device) : m_device(device), m_socket(QSharedPointer<int>::create(-1)) {}

AfcClient::~AfcClient()
{
    close();
}

void AfcClient::connect(const QString& application)
{
    close();
    if (application.isEmpty()) {
        *m_socket = MobileDevice::startService(m_device, QStringLiteral("com.apple.afc"));
        return;
    }
    *m_socket = MobileDevice::startService(m_device, QStringLiteral("com.apple.mobile.house_arrest"));
    HouseArrest::vendContainer(*m_socket, application);
}

void AfcClient::close()
{
    if (*m_socket < 0)
        return;
    Socket::close(*m_socket);
    *m_socket = -1;  // files of this connection see it gone
    m_socket = QSharedPointer<int>::create(-1);  // and a later connection is not theirs
}

bool AfcClient::makeDir(const QString& path)
{
    return isConnected() && succeeds("make directory", [&] { AfcRequest::makeDir(*m_socket, path); });
}

bool AfcClient::removePath(const QString& path)
{
    return isConnected() && succeeds("remove", [&] { AfcRequest::removePath(*m_socket, path); });
}

bool AfcClient::rename(const QString& oldPath, const QString& newPath)
{
    return isConnected() && succeeds("rename", [&] { AfcRequest::renamePath(*m_socket, oldPath, newPath); });
}

bool AfcClient::open(const QString& path, quint64 mode, AfcFile& file)
{
    file.close();
    quint64 handle = 0;
    if (!isConnected() || !succeeds("open", [&] { handle = AfcRequest::fileOpen(*m_socket, path, mode); })
        || handle == 0)
        return false;
    file.m_socket = m_socket;
    file.m_handle = handle;
    return true;
}

AfcFileInfo AfcClient::fileInfo(const QString& path)
{
    QMap<QString, QString> values;
    if (!isConnected() || !succeeds("file information", [&] { values = AfcRequest::getFileInfo(*m_socket, path); }))
        return {};
    AfcFileInfo info;
    info.path = path;
    info.type = values.value(QStringLiteral("st_ifmt"));
    info.size = values.value(QStringLiteral("st_size")).toLongLong();  // 0 when absent or unreadable
    bool readable = false;
    const qint64 nanoseconds = values.value(QStringLiteral("st_mtime")).toLongLong(&readable);
    if (readable)
        info.mtime = QDateTime::fromMSecsSinceEpoch(qint64(double(nanoseconds) / 1e6), Qt::UTC);
    return info;
}

QList<AfcFileInfo> AfcClient::entries(const QString& directory)
{
    QStringList names;
    if (!isConnected() || !succeeds("listing", [&] { names = AfcRequest::readDirectory(*m_socket, directory); }))
        return {};
    const QString folder = directory.endsWith(QLatin1Char('/')) ? directory : directory + QLatin1Char('/');
    QList<AfcFileInfo> kept;
    for (const QString& name : qAsConst(names)) {
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        if (!isPlainName(name)) {
            qWarning("skipped the device's entry %s of %s: not a plain name", qUtf8Printable(name),
                     qUtf8Printable(directory));
            continue;
        }
        const AfcFileInfo info = fileInfo(folder + name);
        if (info.isFile() || info.isDir())
            kept.append(info);
    }
    return kept;
}

AfcFile::~AfcFile()
{
    close();
}

int AfcFile::liveSocket() const
{
    if (!m_socket || *m_socket < 0 || m_handle == 0)
        failClosed();
    return *m_socket;
}

int AfcFile::read(char* buffer, int length)
{
    int count = -1;
    succeeds("read", [&] { count = AfcRequest::fileRead(liveSocket(), m_handle, buffer, length); });
    return count;
}

int AfcFile::write(const char* data, int length)
{
    int count = -1;
    succeeds("write", [&] { count = AfcRequest::fileWrite(liveSocket(), m_handle, data, length); });
    return count;
}

void AfcFile::close()
{
    if (m_handle != 0 && m_socket && *m_socket >= 0)
        succeeds("close", [&] { AfcRequest::fileClose(*m_socket, m_handle); });
    m_handle = 0;
    m_socket.reset();
}
