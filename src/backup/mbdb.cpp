#include "backup/mbdb.h"

#include "core/errors.h"
#include "core/fileutil.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace {

constexpr char header[] = {'m', 'b', 'd', 'b', 0x05, 0x00};
constexpr int headerSize = sizeof(header);
constexpr quint16 folderMode = 040700;
constexpr quint16 fileMode = 0100644;
constexpr quint16 fileTypeMask = 0170000;
constexpr quint16 folderType = 040000;
constexpr quint32 mobileUserId = 501;
constexpr quint8 defaultProtectionClass = 4;
// Real manifests are tens of megabytes; anything near QByteArray's limit is not one.
constexpr qint64 maxManifestSize = qint64(1) << 30;

QByteArray readExactly(QIODevice& device, int count)
{
    const qint64 offset = device.pos();
    QByteArray bytes = device.read(count);
    if (bytes.size() != count)
        throwUtf8(QStringLiteral("unexpected end of data at offset %1 (%2 of %3 bytes)")
                      .arg(offset)
                      .arg(bytes.size())
                      .arg(count));
    return bytes;
}

template <typename T>
T readBigEndian(QIODevice& device)
{
    const QByteArray bytes = readExactly(device, sizeof(T));
    return qFromBigEndian<T>(bytes.constData());
}

void writeExactly(QIODevice& device, const char* data, qint64 count)
{
    if (device.write(data, count) != count)
        throwUtf8(device.errorString());
}

template <typename T>
void writeBigEndian(QIODevice& device, T value)
{
    char bytes[sizeof(T)];
    qToBigEndian<T>(value, bytes);
    writeExactly(device, bytes, sizeof(T));
}

MbdbRecord readRecord(QIODevice& device)
{
    MbdbRecord record;
    record.domain = mbdbReadString(device);
    record.path = mbdbReadString(device);
    record.linkTarget = mbdbReadString(device);
    record.dataHash = mbdbReadString(device);
    record.encryptionKey = mbdbReadString(device);
    record.mode = mbdbReadU16(device);
    record.inodeHigh = mbdbReadU32(device);
    record.inodeLow = mbdbReadU32(device);
    record.uid = mbdbReadU32(device);
    record.gid = mbdbReadU32(device);
    record.mtime = mbdbReadU32(device);
    record.atime = mbdbReadU32(device);
    record.ctime = mbdbReadU32(device);
    record.size = mbdbReadU64(device);
    record.protectionClass = mbdbReadU8(device);
    const int propertyCount = mbdbReadU8(device);
    record.properties.reserve(propertyCount);
    for (int i = 0; i < propertyCount; ++i) {
        MbdbString name = mbdbReadString(device);
        MbdbString value = mbdbReadString(device);
        record.properties.append({std::move(name), std::move(value)});
    }
    return record;
}

void writeRecord(QIODevice& device, const MbdbRecord& record)
{
    for (const MbdbString* text :
         {&record.domain, &record.path, &record.linkTarget, &record.dataHash, &record.encryptionKey})
        mbdbWriteString(device, *text);
    mbdbWriteU16(device, record.mode);
    for (quint32 value : {record.inodeHigh, record.inodeLow, record.uid, record.gid, record.mtime, record.atime,
                          record.ctime})
        mbdbWriteU32(device, value);
    mbdbWriteU64(device, record.size);
    mbdbWriteU8(device, record.protectionClass);
    mbdbWriteU8(device, quint8(record.properties.size()));
    for (const MbdbProperty& property : record.properties) {
        mbdbWriteString(device, property.first);
        mbdbWriteString(device, property.second);
    }
}

bool isEncodable(const MbdbString& text)
{
    return !text.isPresent() || text.bytes.size() == text.length;
}

// Checks what the length fields can hold, so an unencodable record is refused before any byte of
// the file is produced instead of being written with a wrapped length.
void checkEncodable(const MbdbRecord& record)
{
    const QString where = record.domain.toString() + QLatin1Char('-') + record.path.toString();
    if (record.properties.size() > MbdbRecord::maxProperties)
        throwUtf8(QStringLiteral("cannot write %1: %2 properties, at most %3")
                      .arg(where, QString::number(record.properties.size()),
                           QString::number(MbdbRecord::maxProperties)));
    bool encodable = true;
    for (const MbdbString* text :
         {&record.domain, &record.path, &record.linkTarget, &record.dataHash, &record.encryptionKey})
        encodable = encodable && isEncodable(*text);
    for (const MbdbProperty& property : record.properties)
        encodable = encodable && isEncodable(property.first) && isEncodable(property.second);
    if (!encodable)
        throwUtf8(QStringLiteral("cannot write %1: a string's length does not match its bytes").arg(where));
}

using SortKey = std::pair<QString, QString>;

SortKey sortKey(const MbdbRecord& record)
{
    return {record.domain.toString(), record.path.toString()};
}

quint32 unixSeconds(const QDateTime& time)
{
    return time.isValid() ? quint32(time.toSecsSinceEpoch()) : 0;
}

// Linux file systems may not keep a birth time; the status change time is the nearest stand-in.
QDateTime creationTime(const QFileInfo& info)
{
    for (const QDateTime& time : {info.birthTime(), info.metadataChangeTime()})
        if (time.isValid())
            return time;
    return info.lastModified();
}

// The largest inode taken as a signed number, as the device numbers them; counting on from it
// wraps instead of overflowing when a manifest holds the largest one.
quint32 largestInode(const MbdbRecordSet& records)
{
    qint32 largest = 0;
    for (const MbdbRecord& record : records)
        largest = std::max(largest, qint32(record.inodeLow));
    return quint32(largest);
}

MbdbRecord newRecord(const QString& domain, const QString& path, quint16 mode, quint32 inode)
{
    MbdbRecord record;
    record.domain = MbdbString::fromUtf8(domain);
    record.path = MbdbString::fromUtf8(path);
    record.mode = mode;
    record.inodeLow = inode;
    record.uid = mobileUserId;
    record.gid = mobileUserId;
    record.protectionClass = defaultProtectionClass;
    return record;
}

}  // namespace

QString MbdbString::toString() const
{
    if (!isPresent())
        return QString();
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

void MbdbString::setBytes(const QByteArray& value)
{
    if (value.size() > maxLength)
        throwUtf8(QStringLiteral("a manifest string holds at most %1 bytes, not %2").arg(maxLength).arg(value.size()));
    length = quint16(value.size());
    bytes = value;
}

MbdbString MbdbString::fromUtf8(const QString& text)
{
    MbdbString result;
    result.setBytes(text.toUtf8());
    return result;
}

QString MbdbRecord::fileId() const
{
    return mbdbFileId(domain.toString(), path.toString());
}

bool MbdbRecord::isEmptyEntry() const
{
    return size == 0 && linkTarget.toString().isEmpty();
}

bool MbdbRecord::isFolder() const
{
    if ((mode & fileTypeMask) == 0)
        return isEmptyEntry();
    return (mode & fileTypeMask) == folderType;
}

bool MbdbRecord::operator==(const MbdbRecord& other) const
{
    return domain == other.domain && path == other.path && linkTarget == other.linkTarget &&
           dataHash == other.dataHash && encryptionKey == other.encryptionKey && mode == other.mode &&
           inodeHigh == other.inodeHigh && inodeLow == other.inodeLow && uid == other.uid && gid == other.gid &&
           mtime == other.mtime && atime == other.atime && ctime == other.ctime && size == other.size &&
           protectionClass == other.protectionClass && properties == other.properties;
}

quint8 mbdbReadU8(QIODevice& device)
{
    return quint8(readExactly(device, 1).at(0));
}

quint16 mbdbReadU16(QIODevice& device)
{
    return readBigEndian<quint16>(device);
}

quint32 mbdbReadU32(QIODevice& device)
{
    return readBigEndian<quint32>(device);
}

quint64 mbdbReadU64(QIODevice& device)
{
    return readBigEndian<quint64>(device);
}

MbdbString mbdbReadString(QIODevice& device)
{
    MbdbString result;
    result.length = mbdbReadU16(device);
    if (result.isPresent())
        result.bytes = readExactly(device, result.length);
    return result;
}

void mbdbWriteU8(QIODevice& device, quint8 value)
{
    const char byte = char(value);
    writeExactly(device, &byte, 1);
}

void mbdbWriteU16(QIODevice& device, quint16 value)
{
    writeBigEndian(device, value);
}

void mbdbWriteU32(QIODevice& device, quint32 value)
{
    writeBigEndian(device, value);
}

void mbdbWriteU64(QIODevice& device, quint64 value)
{
    writeBigEndian(device, value);
}

void mbdbWriteString(QIODevice& device, const MbdbString& value)
{
    if (!isEncodable(value))
        throwUtf8(QStringLiteral("a manifest string's length %1 does not match its %2 bytes")
                      .arg(value.length)
                      .arg(value.bytes.size()));
    mbdbWriteU16(device, value.length);
    if (value.isPresent())
        writeExactly(device, value.bytes.constData(), value.length);
}

MbdbRecordSet parseMbdb(const QByteArray& data)
{
    if (data.size() < headerSize)
        throwUtf8(QStringLiteral("corrupt Manifest.mbdb: the header ends at offset %1").arg(data.size()));
    QBuffer device;
    device.setData(data);
    device.open(QIODevice::ReadOnly);
    device.seek(headerSize);
    MbdbRecordSet records;
    while (!device.atEnd()) {
        const qint64 start = device.pos();
        try {
            MbdbRecord record = readRecord(device);
            records.insert(record.fileId(), std::move(record));
        } catch (const std::runtime_error& error) {
            throwUtf8(QStringLiteral("corrupt Manifest.mbdb: the record at offset %1 is cut short, %2")
                          .arg(start)
                          .arg(QString::fromUtf8(error.what())));
        }
    }
    return records;
}

MbdbRecordSet readMbdb(const QString& path)
{
    QFile file;
    if (const QString reason = openRegularFile(file, path); !reason.isEmpty())
        throwUtf8(QStringLiteral("Cannot read %1: %2").arg(path, reason));
    if (file.size() > maxManifestSize)
        throwUtf8(QStringLiteral("corrupt Manifest.mbdb: %1 bytes is far beyond any real manifest").arg(file.size()));
    const QByteArray data = file.readAll();
    if (data.size() != file.size())
        throwUtf8(file.errorString());
    return parseMbdb(data);
}

QByteArray serializeMbdb(const QList<MbdbRecord>& records)
{
    for (const MbdbRecord& record : records)
        checkEncodable(record);
    QList<MbdbRecord> sorted = records;
    sortMbdbRecords(sorted);

    QByteArray data;
    QBuffer device(&data);
    device.open(QIODevice::WriteOnly);
    writeExactly(device, header, headerSize);
    for (const MbdbRecord& record : sorted)
        writeRecord(device, record);
    return data;
}

void writeMbdb(const QList<MbdbRecord>& records, const QString& path)
{
    const QByteArray data = serializeMbdb(records);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throwUtf8(file.errorString());
    writeExactly(file, data.constData(), data.size());
    if (!file.commit())
        throwUtf8(file.errorString());
}

QString mbdbFileId(const QString& domain, const QString& path)
{
    const QByteArray name = (domain + QLatin1Char('-') + path).toUtf8();
    return QString::fromLatin1(QCryptographicHash::hash(name, QCryptographicHash::Sha1).toHex());
}

QByteArray mbdbFileDigest(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError)
        return QByteArray();
    return hash.result();
}

bool mbdbRecordLessThan(const MbdbRecord& a, const MbdbRecord& b)
{
    const int byDomain = QString::compare(a.domain.toString(), b.domain.toString(), Qt::CaseSensitive);
    if (byDomain != 0)
        return byDomain < 0;
    return QString::compare(a.path.toString(), b.path.toString(), Qt::CaseSensitive) < 0;
}

void sortMbdbRecords(QList<MbdbRecord>& records)
{
    std::vector<std::pair<SortKey, int>> order;
    order.reserve(size_t(records.size()));
    for (int i = 0; i < records.size(); ++i)
        order.emplace_back(sortKey(records.at(i)), i);
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QList<MbdbRecord> sorted;
    sorted.reserve(records.size());
    for (const auto& entry : order)
        sorted.append(records.at(entry.second));
    records = std::move(sorted);
}

void addMbdbFile(MbdbRecordSet& records, const QString& localFile, const QString& domain, const QString& path)
{
    quint32 counter = largestInode(records);
    const QFileInfo info(localFile);
    const quint32 modified = unixSeconds(info.lastModified());
    const quint32 created = unixSeconds(creationTime(info));

    QString folder = path;
    for (int slash = folder.lastIndexOf(QLatin1Char('/')); slash > 0; slash = folder.lastIndexOf(QLatin1Char('/'))) {
        folder.truncate(slash);
        const QString id = mbdbFileId(domain, folder);
        if (records.contains(id))
            break;
        MbdbRecord record = newRecord(domain, folder, folderMode, ++counter);
        record.mtime = record.atime = modified;
        record.ctime = created;
        records.insert(id, record);
    }

    const QString id = mbdbFileId(domain, path);
    if (!records.contains(id)) {
        MbdbRecord record = newRecord(domain, path, fileMode, counter + 1);
        record.size = quint64(std::max<qint64>(0, info.size()));
        records.insert(id, record);
    }
    MbdbRecord& record = records[id];
    const QByteArray digest = mbdbFileDigest(localFile);
    record.dataHash.setBytes(digest);
    record.mtime = record.atime = modified;
    record.ctime = created;
}
