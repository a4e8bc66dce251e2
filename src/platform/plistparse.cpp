#include "platform/plistparse.h"

#include <QRegularExpression>

namespace {

const char kBinaryMagic[] = "bplist00";
constexpr int kBinaryMagicSize = 8;

quint64 readBigEndian(const QByteArray& bytes, qint64 offset, int size)
{
    quint64 value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | quint8(bytes.at(int(offset + i)));
    return value;
}

// The length and start of the payload of the string object at offset of a binary list, or false when
// the object is no string or runs past the end. Lengths of 15 and more follow as an integer object.
bool binaryStringAt(const QByteArray& bytes, qint64 offset, qint64 end, qint64& start, qint64& length, int& unit)
{
    const quint8 marker = quint8(bytes.at(int(offset)));
    const int type = marker >> 4;
    if (type != 0x5 && type != 0x6)
        return false;
    unit = type == 0x5 ? 1 : 2;
    length = marker & 0x0F;
    start = offset + 1;
    if (length == 0x0F) {
        if (start >= end || (quint8(bytes.at(int(start))) >> 4) != 0x1)
            return false;
        const int size = 1 << (quint8(bytes.at(int(start))) & 0x0F);
        if (size > 8 || start + 1 + size > end)
            return false;
        length = qint64(readBigEndian(bytes, start + 1, size) & 0x7FFFFFFFFFFFFFFF);
        start += 1 + size;
    }
    return length <= (end - start) / unit;
}

bool binaryStringHoldsNul(const QByteArray& bytes, qint64 start, qint64 length, int unit)
{
    for (qint64 i = 0; i < length; ++i) {
        const qint64 at = start + i * unit;
        if (bytes.at(int(at)) == 0 && (unit == 1 || bytes.at(int(at + 1)) == 0))
            return true;
    }
    return false;
}

// libplist 2.2 mishandles text holding a NUL, which hostile input can carry: its getters abort on an
// assertion, and its copies (made for every object a binary list references twice) cut the bytes at
// the NUL but keep the length, so its writers then read past them. Such lists are refused up front.
// Apple's own lists never hold a NUL in a string or key. libplist reads an object wherever the offset
// table points, the header and the table itself included, so every such place is looked at.
bool binaryListHoldsTextWithNul(const QByteArray& bytes)
{
    constexpr int kTrailerSize = 32;
    const qint64 size = bytes.size();
    const qint64 end = size - kTrailerSize;
    if (end < 8)
        return false;  // libplist refuses it anyway
    const int offsetSize = quint8(bytes.at(int(end + 6)));
    const quint64 objects = readBigEndian(bytes, end + 8, 8);
    const quint64 tableOffset = readBigEndian(bytes, end + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || tableOffset >= quint64(end))
        return false;
    const quint64 entries = qMin(objects, (quint64(end) - tableOffset) / quint64(offsetSize));
    for (quint64 i = 0; i < entries; ++i) {
        const quint64 offset = readBigEndian(bytes, qint64(tableOffset + i * offsetSize), offsetSize);
        if (offset >= quint64(size))
            continue;
        qint64 start = 0;
        qint64 length = 0;
        int unit = 1;
        if (binaryStringAt(bytes, qint64(offset), size, start, length, unit)
            && binaryStringHoldsNul(bytes, start, length, unit))
            return true;
    }
    return false;
}

// The XML reader turns a character reference to code point 0 into a NUL as well.
bool xmlListHoldsTextWithNul(const QByteArray& bytes)
{
    static const QRegularExpression nulReference(QStringLiteral("&#(x0*|0+);"),
                                                 QRegularExpression::CaseInsensitiveOption);
    return bytes.contains('\0') || nulReference.match(QString::fromLatin1(bytes)).hasMatch();
}

}  // namespace

plist_t parsePropertyList(const QByteArray& bytes)
{
    if (bytes.isEmpty() || bytes.size() > kMaxPropertyListBytes)
        return nullptr;
    plist_t root = nullptr;
    const auto size = uint32_t(bytes.size());
    if (bytes.size() > kBinaryMagicSize && bytes.startsWith(kBinaryMagic)) {
        if (binaryListHoldsTextWithNul(bytes))
            return nullptr;
        plist_from_bin(bytes.constData(), size, &root);
    } else {
        if (xmlListHoldsTextWithNul(bytes))
            return nullptr;
        plist_from_xml(bytes.constData(), size, &root);
    }
    return root;
}
