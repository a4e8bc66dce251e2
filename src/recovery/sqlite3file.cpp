#include "recovery/sqlite3file.h"

#include "core/errors.h"

#include <QSet>
#include <QtGlobal>

#include <algorithm>
#include <cstring>

namespace {

constexpr qint64 kDatabaseHeaderSize = 100;

quint64 bigEndian(const uchar* p, int width)
{
    quint64 value = 0;
    for (int i = 0; i < width; ++i)
        value = (value << 8) | p[i];
    return value;
}

bool isPowerOfTwo(int n)
{
    return n > 0 && (n & (n - 1)) == 0;
}

// A record integer of width bytes, sign-extended.
qint64 signedBigEndian(const uchar* p, int width)
{
    const int unused = 64 - 8 * width;
    return qint64(bigEndian(p, width) << unused) >> unused;
}

QVariant decodeNumber(qint64 type, const uchar*& p, const uchar* end)
{
    const int width = int(sqlite3record::serialTypeWidth(type));
    const bool whole = end - p >= width;
    const qint64 value = whole ? signedBigEndian(p, width) : 0;
    p = whole ? p + width : end;
    if (type == 7) {
        double real = 0;
        std::memcpy(&real, &value, sizeof real);
        return real;
    }
    return type <= 4 ? QVariant(int(value)) : QVariant(qlonglong(value));
}

QVariant decodeValue(qint64 type, const uchar*& p, const uchar* end)
{
    if (type >= 12) {
        const int n = int(std::min<qint64>(sqlite3record::serialTypeWidth(type), end - p));
        const auto* bytes = reinterpret_cast<const char*>(p);
        p += n;
        if (type % 2 == 0)
            return QByteArray(bytes, n);
        // The engine would return the bytes after a NUL too; the program has always cut texts there.
        const void* zero = std::memchr(bytes, 0, size_t(n));
        return QString::fromUtf8(bytes, zero ? int(static_cast<const char*>(zero) - bytes) : n);
    }
    if (type >= 1 && type <= 7)
        return decodeNumber(type, p, end);
    if (type == 8 || type == 9)
        return int(type - 8);
    return QVariant();  // NULL, the reserved types 10 and 11, and sizes with the top bit set
}

}  // namespace

namespace sqlite3record {

qint64 serialTypeWidth(qint64 type)
{
    static constexpr int kFixedWidths[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
    if (type < 0)
        return 0;
    return type < 12 ? kFixedWidths[type] : (type - 12) / 2;
}

void decodeValues(const std::vector<qint64>& types, const uchar* p, const uchar* end, RecordValues& values)
{
    values.reserve(values.size() + int(types.size()));
    for (const qint64 type : types)
        values.append(decodeValue(type, p, end));
}

// UTF-8 as the engine writes it: no NUL inside a text, no stray continuation byte, no cut sequence.
// A text that is not had some of its bytes overwritten after its cell was freed.
bool isCleanUtf8(const uchar* p, const uchar* end)
{
    while (p < end) {
        const uchar lead = *p++;
        if (lead == 0)
            return false;
        if (lead < 0x80)
            continue;
        const int more = lead >= 0xf0 && lead < 0xf8 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc2 ? 1 : -1;
        if (more < 0 || lead >= 0xf8 || end - p < more)
            return false;
        for (int i = 0; i < more; ++i) {
            if ((*p++ & 0xc0) != 0x80)
                return false;
        }
    }
    return true;
}

int firstUncleanText(const std::vector<qint64>& types, const uchar* p, const uchar* end)
{
    for (size_t i = 0; i < types.size(); ++i) {
        const qint64 width = serialTypeWidth(types[i]);
        if (width > end - p)
            break;
        if (types[i] >= 13 && types[i] % 2 == 1 && !isCleanUtf8(p, p + width))
            return int(i);
        p += width;
    }
    return -1;
}

qint64 localPayloadSize(qint64 payloadSize, qint64 usable, bool tableLeaf)
{
    const qint64 maxLocal = tableLeaf ? usable - 35 : (usable - 12) * 64 / 255 - 23;
    if (payloadSize <= maxLocal)
        return payloadSize;
    const qint64 minLocal = (usable - 12) * 32 / 255 - 23;
    const qint64 k = minLocal + (payloadSize - minLocal) % (usable - 4);
    return k <= maxLocal ? k : minLocal;
}

}  // namespace sqlite3record

Sqlite3File::Sqlite3File(const QString& path) : m_file(path) {}

void Sqlite3File::open()
{
    if (!m_file.open(QIODevice::ReadOnly))
        throwUtf8(QStringLiteral("open %1 failed. %2").arg(m_file.fileName(), m_file.errorString()));
    m_size = m_file.size();
    // Shorter than the database header is no database; an empty file could not even be mapped.
    if (m_size < kDatabaseHeaderSize)
        throwUtf8(QStringLiteral("invalid page size."));
    m_data = m_file.map(0, m_size);
    if (!m_data) {
        m_size = 0;
        throwUtf8(QStringLiteral("map %1 failed. %2").arg(m_file.fileName(), m_file.errorString()));
    }
    const quint32 stored = read16(16, m_size);
    const int pageSize = stored == 1 ? 65536 : int(stored);
    // SQLite needs 480 usable bytes a page; fewer would also break the spill rule, which divides by U - 4.
    const int usable = pageSize - m_data[20];
    if (pageSize < 512 || pageSize > 65536 || !isPowerOfTwo(pageSize) || usable < 480)
        throwUtf8(QStringLiteral("invalid page size."));
    m_pageSize = pageSize;
    m_usableSize = usable;
    m_pageCount = quint32(std::min<qint64>(m_size / pageSize, 0xffffffffLL));
}

quint32 Sqlite3File::firstFreelistTrunk() const
{
    return read32(32, m_size);
}

quint32 Sqlite3File::freelistPageCount() const
{
    return read32(36, m_size);
}

quint32 Sqlite3File::readBigEndian(qint64 offset, int width, qint64 end) const
{
    end = std::min(end, m_size);
    return offset >= 0 && offset <= end - width ? quint32(bigEndian(m_data + offset, width)) : 0;
}

int Sqlite3File::readVarint(qint64& out, const uchar* p, const uchar* end)
{
    if (!p || !end || p >= end)
        return 0;
    const qint64 available = end - p;
    quint64 value = 0;
    for (int i = 0; i < 8 && i < available; ++i) {
        value = (value << 7) | (p[i] & 0x7f);
        if (!(p[i] & 0x80)) {
            out = qint64(value);
            return i + 1;
        }
    }
    if (available < 9)
        return 0;
    out = qint64((value << 8) | p[8]);
    return 9;
}

int Sqlite3File::varintLength(qint64 value)
{
    if (value < 0)
        return 9;
    for (int n = 1; n <= 8; ++n) {
        if (value < (qint64(1) << (7 * n)))
            return n;
    }
    return 9;
}

Sqlite3Page Sqlite3File::readPage(qint64 n) const
{
    Sqlite3Page page;
    if (n < 1)
        return page;
    page.pageNumber = quint32(std::min<qint64>(n, 0xffffffffLL));
    page.pageStart = (n - 1) * m_pageSize;
    page.headerStart = page.pageStart + (n == 1 ? kDatabaseHeaderSize : 0);
    if (!isPage(n))
        return page;
    const qint64 end = page.pageStart + m_usableSize;
    const qint64 header = page.headerStart;
    page.pageType = m_data[header];
    if (!page.isValidType())
        return page;
    page.firstFreeblock = read16(header + 1, end);
    const quint32 contentStart = read16(header + 5, end);
    page.cellContentStart = contentStart == 0 ? 65536 : contentStart;
    page.fragmentedBytes = quint8(readBigEndian(header + 7, 1, end));
    if (!page.isLeaf())
        page.rightChild = read32(header + 8, end);
    const qint64 array = header + page.headerSize();
    page.cellCount = quint16(std::min<qint64>(read16(header + 3, end), (end - array) / 2));
    const qint64 arrayEnd = page.cellArrayEnd();
    for (int i = 0; i < page.cellCount; ++i) {
        const qint64 cell = page.pageStart + read16(array + 2 * i, end);
        if (cell >= arrayEnd && cell < end)
            page.cellPointers.append(cell);
    }
    // Freeblocks ascend at least 4 bytes at a time, so a chain ends within usable / 4 steps.
    qint64 lowest = arrayEnd;
    for (quint32 offset = page.firstFreeblock; offset != 0;) {
        const qint64 block = page.pageStart + offset;
        if (block < lowest || block + 4 > end)
            break;
        page.freeblocks.append(block);
        lowest = block + 4;
        offset = read16(block, end);
    }
    return page;
}

QVector<Sqlite3Region> Sqlite3File::freeRegions(const Sqlite3Page& page) const
{
    QVector<Sqlite3Region> regions;
    if (!isPage(page.pageNumber) || !page.isLeaf())
        return regions;
    const qint64 pageEnd = page.pageStart + m_usableSize;
    const auto add = [&regions](qint64 start, qint64 end) {
        if (start < end)
            regions.append({start, end});
    };
    add(page.cellArrayEnd(), std::min(pageEnd, page.pageStart + page.cellContentStart));
    for (const qint64 block : page.freeblocks)
        add(block + 4, std::min<qint64>(pageEnd, block + read16(block + 2, pageEnd)));
    return regions;
}

Sqlite3Cell Sqlite3File::readCell(const Sqlite3Page& page, qint64 cellPointer) const
{
    Sqlite3Cell cell;
    const qint64 end = page.pageStart + m_usableSize;
    qint64 p = cellPointer;
    if (!page.isValidType() || !isPage(page.pageNumber) || p < page.pageStart || p >= end)
        return cell;
    if (!page.isLeaf()) {
        cell.leftChild = read32(p, end);
        p += 4;
        cell.cellLength = 4;
    }
    const auto varint = [&](qint64& out) {
        const int n = p < end ? readVarint(out, m_data + p, m_data + end) : 0;
        p += n;
        cell.cellLength += n;
        return n > 0;
    };
    if (page.pageType != 5 && !varint(cell.payloadSize))
        return cell;
    if (!page.isIndex() && !varint(cell.rowid))
        return cell;
    cell.payload = p;
    const qint64 size = cell.payloadSize;
    if (size <= 0 || size > std::min(m_size, sqlite3record::kMaxPayloadSize))
        return cell;
    cell.localSize = sqlite3record::localPayloadSize(size, m_usableSize, page.pageType == 13);
    if (cell.localSize < size)
        cell.firstOverflowPage = read32(p + cell.localSize, end);
    else
        cell.cellLength += size;
    cell.localSize = std::min(cell.localSize, end - p);  // a corrupt size stops at the page's end
    return cell;
}

QByteArray Sqlite3File::cellPayload(const Sqlite3Cell& cell, bool freed) const
{
    const qint64 size = cell.payloadSize;
    const bool inFile = cell.payload >= 0 && cell.payload <= m_size;
    if (size <= 0 || size > std::min(m_size, sqlite3record::kMaxPayloadSize) || !inFile)
        return QByteArray();
    const qint64 local = std::max<qint64>(0, std::min({cell.localSize, size, m_size - cell.payload}));
    QByteArray payload(reinterpret_cast<const char*>(m_data + cell.payload), int(local));
    if (cell.firstOverflowPage != 0 && freed)
        appendFreedOverflow(payload, cell.firstOverflowPage, size - local);
    else if (cell.firstOverflowPage != 0)
        appendOverflow(payload, cell.firstOverflowPage, size - local);
    return payload;
}

qint64 Sqlite3File::appendOverflow(QByteArray& out, quint32 first, qint64 remaining) const
{
    QSet<quint32> seen;
    // Page 1 holds the schema, so it never continues a payload.
    for (quint32 page = first; remaining > 0 && page >= 2 && isPage(page) && !seen.contains(page);) {
        seen.insert(page);
        const qint64 start = pageOffset(page);
        const qint64 take = std::min<qint64>(m_usableSize - 4, remaining);
        out.append(reinterpret_cast<const char*>(m_data + start + 4), int(take));
        remaining -= take;
        page = read32(start, m_size);
    }
    return remaining;
}

bool Sqlite3File::isFreelistLeaf(quint32 page) const
{
    if (m_freelistLeaves.empty()) {
        m_freelistLeaves.assign(size_t(m_pageCount) + 1, false);
        for (const Sqlite3FreelistTrunk& trunk : freelistTrunks()) {
            for (const quint32 leaf : trunk.leaves)
                m_freelistLeaves[leaf] = true;
        }
    }
    return page < m_freelistLeaves.size() && m_freelistLeaves[page];
}

bool Sqlite3File::appendFreedOverflow(QByteArray& out, quint32 first, qint64 remaining) const
{
    // Freeing keeps a leaf page's bytes; a page taken for anything else since (a trunk, a b-tree page,
    // another record's overflow) has its first bytes rewritten, and the chain's last page no longer ends it.
    const int kept = out.size();
    QSet<quint32> seen;
    quint32 page = first;
    for (; remaining > 0; page = read32(pageOffset(page), m_size)) {
        if (!isFreelistLeaf(page) || seen.contains(page)) {
            out.truncate(kept);
            return false;
        }
        seen.insert(page);
        const qint64 take = std::min<qint64>(m_usableSize - 4, remaining);
        out.append(reinterpret_cast<const char*>(m_data + pageOffset(page) + 4), int(take));
        remaining -= take;
    }
    if (page != 0)
        out.truncate(kept);
    return page == 0;
}

QVector<quint32> Sqlite3File::freedChainPages(quint32 first) const
{
    QVector<quint32> pages;
    QSet<quint32> seen;
    for (quint32 page = first; isFreelistLeaf(page) && !seen.contains(page); page = read32(pageOffset(page), m_size)) {
        seen.insert(page);
        pages.append(page);
    }
    return pages;
}

RecoveredRow Sqlite3File::rowData(const Sqlite3Cell& cell) const
{
    return decodeRow(cell, cellPayload(cell), false);
}

RecoveredRow Sqlite3File::freedRowData(const Sqlite3Cell& cell) const
{
    const QByteArray payload = cellPayload(cell, true);
    RecoveredRow row = decodeRow(cell, payload, true);
    if (cell.firstOverflowPage != 0 && payload.size() == cell.payloadSize)
        row.overflowChain = cell.firstOverflowPage;
    return row;
}

RecoveredRow Sqlite3File::decodeRow(const Sqlite3Cell& cell, const QByteArray& payload, bool judge) const
{
    RecoveredRow row;
    row.rowid = cell.rowid;
    if (payload.isEmpty())
        return row;
    const auto* p = reinterpret_cast<const uchar*>(payload.constData());
    const uchar* end = p + payload.size();
    qint64 headerLength = 0;
    qint64 offset = readVarint(headerLength, p, end);
    if (offset == 0) {
        qWarning("Sqlite3File::rowData, read header length failed.");
        return row;
    }
    std::vector<qint64> types;
    while (offset < headerLength) {
        qint64 type = 0;
        const int n = readVarint(type, p + offset, end);
        if (n == 0) {
            qWarning("Sqlite3File::rowData, read column type failed.");
            return row;
        }
        types.push_back(type);
        offset += n;
    }
    sqlite3record::decodeValues(types, p + offset, end, row.values);
    if (judge) {
        // Values past what the payload still holds, and texts from the first one written over, are not whole.
        int whole = 0;
        for (const uchar* at = p + offset; whole < int(types.size()); ++whole) {
            at += sqlite3record::serialTypeWidth(types[size_t(whole)]);
            if (at > end)
                break;
        }
        const int unclean = sqlite3record::firstUncleanText(types, p + offset, end);
        if (unclean >= 0)
            whole = std::min(whole, unclean);
        if (whole < int(types.size()))
            row.wholeValues = whole;
    }
    return row;
}

Sqlite3FreelistTrunk Sqlite3File::readFreelistTrunk(qint64 n) const
{
    Sqlite3FreelistTrunk trunk;
    if (!isPage(n))
        return trunk;
    trunk.pageNumber = quint32(n);
    trunk.pageStart = pageOffset(trunk.pageNumber);
    const qint64 end = trunk.pageStart + m_usableSize;
    trunk.nextTrunk = read32(trunk.pageStart, end);
    const qint64 count = std::min<qint64>(read32(trunk.pageStart + 4, end), (m_usableSize - 8) / 4);
    trunk.entryCount = int(count);
    for (qint64 i = 0; i < count; ++i) {
        const quint32 leaf = read32(trunk.pageStart + 8 + 4 * i, end);
        if (isPage(leaf))
            trunk.leaves.append(leaf);
    }
    return trunk;
}

QList<Sqlite3FreelistTrunk> Sqlite3File::freelistTrunks() const
{
    QList<Sqlite3FreelistTrunk> trunks;
    QSet<quint32> seen;
    for (quint32 n = firstFreelistTrunk(); isPage(n) && !seen.contains(n); n = trunks.last().nextTrunk) {
        seen.insert(n);
        trunks.append(readFreelistTrunk(n));
    }
    return trunks;
}

QList<Sqlite3Page> Sqlite3File::collectLeafPages(const Sqlite3Page& page) const
{
    return walk(page, false);
}

QList<Sqlite3Page> Sqlite3File::collectAllPages(const Sqlite3Page& page) const
{
    return walk(page, true);
}

QVector<quint32> Sqlite3File::leafPageNumbers(const Sqlite3Page& root) const
{
    QVector<quint32> leaves;
    std::vector<bool> seen(size_t(m_pageCount) + 1);
    std::vector<quint32> stack;
    const auto visit = [&](const Sqlite3Page& page) {
        if (page.isLeaf())
            leaves.append(page.pageNumber);
        else if (page.isValidType())
            pushChildren(page, seen, stack);
    };
    if (isPage(root.pageNumber))
        seen[root.pageNumber] = true;
    visit(root);
    while (!stack.empty()) {
        const quint32 n = stack.back();
        stack.pop_back();
        // A leaf's type byte is all this needs of it; its cells are not read.
        if (m_data[pageOffset(n) + (n == 1 ? kDatabaseHeaderSize : 0)] & 8)
            leaves.append(n);
        else
            visit(readPage(n));
    }
    return leaves;
}

// Depth first without recursion, each page once: a hostile tree can be as deep as the file has pages,
// and its children can point back up. The stack holds page numbers, read when their turn comes.
QList<Sqlite3Page> Sqlite3File::walk(const Sqlite3Page& root, bool keepInterior) const
{
    QList<Sqlite3Page> pages;
    std::vector<bool> seen(size_t(m_pageCount) + 1);
    if (isPage(root.pageNumber))
        seen[root.pageNumber] = true;
    std::vector<quint32> stack;
    for (Sqlite3Page page = root;; page = readPage(stack.back()), stack.pop_back()) {
        if (page.isLeaf() || keepInterior)
            pages.append(page);
        if (!page.isLeaf() && page.isValidType())
            pushChildren(page, seen, stack);
        if (stack.empty())
            return pages;
    }
}

// Last child first, so that pages come off the stack left to right.
void Sqlite3File::pushChildren(const Sqlite3Page& page, std::vector<bool>& seen, std::vector<quint32>& stack) const
{
    const auto push = [&](quint32 child) {
        if (isPage(child) && !seen[child]) {
            seen[child] = true;
            stack.push_back(child);
        }
    };
    push(page.rightChild);
    for (auto cell = page.cellPointers.crbegin(); cell != page.cellPointers.crend(); ++cell)
        push(readCell(page, *cell).leftChild);
}
