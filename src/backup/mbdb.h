#pragma once
// "Manifest.mbdb": the index of a backup folder, one record per backed-up file, folder or link.
//
// Layout, all integers big-endian: the header "mbdb" 05 00, then records up to the end of the file.
// A record is five strings (domain, path, link target, data hash, encryption key), mode (16 bits),
// inode high and low, uid, gid, mtime, atime, ctime (32 bits each), size (64 bits), protection
// class (8 bits), a property count (8 bits) and that many (name, value) string pairs. A string is a
// 16-bit length followed by that many bytes; 0xFFFF means absent and 0 empty, neither has bytes.
#include "platform/seededhash.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <cstdint>

class QIODevice;

struct MbdbString {
    static constexpr quint16 absentLength = 0xFFFF;
    static constexpr int maxLength = 0xFFFE;

    quint16 length = absentLength;
    QByteArray bytes;

    // True for 1 to 0xFFFE bytes; an empty string counts as not present.
    bool isPresent() const { return length != 0 && length != absentLength; }
    // The bytes as UTF-8 up to the first NUL; "" when not present.
    QString toString() const;
    // Throws std::runtime_error for more than maxLength bytes, which the length field cannot hold.
    void setBytes(const QByteArray& value);

    static MbdbString fromUtf8(const QString& text);

    bool operator==(const MbdbString& other) const { return length == other.length && bytes == other.bytes; }
    bool operator!=(const MbdbString& other) const { return !(*this == other); }
};

using MbdbProperty = QPair<MbdbString, MbdbString>;

struct MbdbRecord {
    static constexpr int maxProperties = 255;

    MbdbString domain;
    MbdbString path;
    MbdbString linkTarget;
    MbdbString dataHash;       // raw SHA-1 of the content; absent for folders
    MbdbString encryptionKey;  // kept exactly as read: wrapped per-file key of encrypted backups
    quint16 mode = 0;
    quint32 inodeHigh = 0;
    quint32 inodeLow = 0;
    quint32 uid = 0;
    quint32 gid = 0;
    quint32 mtime = 0;
    quint32 atime = 0;
    quint32 ctime = 0;
    quint64 size = 0;
    quint8 protectionClass = 0;  // kept exactly as read: selects the class key of encrypted backups
    QList<MbdbProperty> properties;

    // mbdbFileId of domain and path.
    QString fileId() const;
    // Size 0 and no link target: the old test for "folder", which also holds for empty files.
    bool isEmptyEntry() const;
    // A folder by the mode's file-type bits; a record without type bits (mode 0) falls back to
    // isEmptyEntry. An empty regular file is therefore a file.
    bool isFolder() const;

    bool operator==(const MbdbRecord& other) const;
    bool operator!=(const MbdbRecord& other) const { return !(*this == other); }
};

// Records keyed by file id; the key makes domain and path unique.
using MbdbRecordSet = TextHash<MbdbRecord>;

// Primitives on a device. Readers throw std::runtime_error when the device runs short (naming the
// offset); writers when a write falls short (with the device's error text).
quint8 mbdbReadU8(QIODevice& device);
quint16 mbdbReadU16(QIODevice& device);
quint32 mbdbReadU32(QIODevice& device);
quint64 mbdbReadU64(QIODevice& device);
MbdbString mbdbReadString(QIODevice& device);
void mbdbWriteU8(QIODevice& device, quint8 value);
void mbdbWriteU16(QIODevice& device, quint16 value);
void mbdbWriteU32(QIODevice& device, quint32 value);
void mbdbWriteU64(QIODevice& device, quint64 value);
// Also throws, before writing anything, for a string whose length field does not match its bytes.
void mbdbWriteString(QIODevice& device, const MbdbString& value);

// Parses a whole manifest held in memory. The 6 header bytes are skipped unseen; a later record with
// the same domain and path replaces an earlier one. Throws std::runtime_error("corrupt
// Manifest.mbdb ...", with the offset) when a record ends early; nothing is returned then.
MbdbRecordSet parseMbdb(const QByteArray& data);
// Reads the file once and parses it. Throws std::runtime_error when it cannot be read or is corrupt.
MbdbRecordSet readMbdb(const QString& path);

// The header and the records, sorted by mbdbRecordLessThan. Throws std::runtime_error for a string
// over 65,534 bytes or more than 255 properties, before anything is produced.
QByteArray serializeMbdb(const QList<MbdbRecord>& records);
// Writes serializeMbdb to path through a temporary file, so a failed write keeps the old manifest.
// Throws std::runtime_error when the records cannot be encoded or the file cannot be written.
void writeMbdb(const QList<MbdbRecord>& records, const QString& path);

// Lower-case hex SHA-1 of the UTF-8 of domain + "-" + path: the name of the backed-up file.
QString mbdbFileId(const QString& domain, const QString& path);
// Raw 20-byte SHA-1 of a file's content, read in a stream; empty when it cannot be read. Never throws.
QByteArray mbdbFileDigest(const QString& path);

// Domain, then path, both decoded, compared by UTF-16 code unit.
bool mbdbRecordLessThan(const MbdbRecord& a, const MbdbRecord& b);
// Sorts in the order of mbdbRecordLessThan, decoding every record once.
void sortMbdbRecords(QList<MbdbRecord>& records);

// Records localFile as domain/path: adds the missing parent folders (numbered from the deepest up,
// after the largest inode in the set) and the file when missing, then refreshes the file record's
// data hash and times. An existing record keeps its other fields, its size included.
void addMbdbFile(MbdbRecordSet& records, const QString& localFile, const QString& domain, const QString& path);
