#pragma once
// A read-only parser of the SQLite file format (version 3) that works without the engine, and a carver
// that finds records of a known table in the bytes the engine no longer shows: cells left on freed
// pages, the unallocated gap of a page and its freeblocks.
//
// The file is hostile input. Every read is bounded by the file, the page or the payload it belongs to
// (the last byte included); positions are 64-bit file offsets, never pointers, since page size times
// page number overflows 32 bits; every chain (freeblocks, freelist trunks, overflow pages, b-tree
// children) is bounded by the page count and visits a page once. What was found before a limit is kept.
//
// Only UTF-8 databases are decoded (message databases are); the text-encoding field is not read.
// The file is mapped: a file truncated by another process meanwhile would fault. Nothing in this
// program writes a message database while it is being read this way.
#include "platform/sqlite3db.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QVariant>
#include <QVector>

#include <functional>
#include <vector>

// One record, read from a cell or carved from free space: one value per column in table order.
// Integers of serial types 1 to 4, 8 and 9 are int, 5 and 6 qlonglong, 7 double; texts QString, blobs
// QByteArray; NULL an invalid QVariant. A rowid of 0 means unknown.
// Values lie side by side, not one allocation each: carving decodes a record at many offsets.
using RecordValues = QVector<QVariant>;

struct RecoveredRow {
    qint64 rowid = 0;
    RecordValues values;
    // How many leading values were decoded from bytes the record holds; the rest were cut by the end of
    // the region it was carved from and read as 0 or a part. -1: every value is whole.
    int wholeValues = -1;
    // The first page of the freed overflow chain joined to the record's local part; 0 without one.
    quint32 overflowChain = 0;
    // Where a carved record's serial types begin in the file; 0 for a cell read whole.
    qint64 typesStart = 0;

    bool isWhole(int column) const { return wholeValues < 0 || column < wholeValues; }
};

// A parsed b-tree page. Offsets are positions in the file.
struct Sqlite3Page {
    quint16 firstFreeblock = 0;
    quint32 cellContentStart = 0;  // relative to the page; a stored 0 stands for 65536
    quint8 pageType = 0;
    quint8 fragmentedBytes = 0;
    quint32 rightChild = 0;  // interior pages only
    quint32 pageNumber = 0;  // 1-based; 0 only in the empty record
    quint16 cellCount = 0;   // as stored, at most what fits in the page
    qint64 pageStart = 0;
    qint64 headerStart = 0;  // page 1's header follows the 100-byte database header
    QVector<qint64> cellPointers;  // cells that lie in the page, in stored order
    QVector<qint64> freeblocks;    // in chain order, strictly ascending

    bool isValidType() const { return pageType == 2 || pageType == 5 || pageType == 10 || pageType == 13; }
    bool isLeaf() const { return pageType & 8; }
    bool isIndex() const { return pageType & 2; }
    int headerSize() const { return isLeaf() ? 8 : 12; }
    // One past the cell pointer array: where the unallocated gap begins.
    qint64 cellArrayEnd() const { return headerStart + headerSize() + 2 * qint64(cellCount); }
};

struct Sqlite3Cell {
    qint64 rowid = 0;        // table pages only
    qint64 payloadSize = 0;  // 0 on table interior pages
    qint64 localSize = 0;    // payload bytes on the page itself
    quint32 leftChild = 0;   // interior pages only
    quint32 firstOverflowPage = 0;
    qint64 cellLength = 0;  // bytes before the payload, plus the payload when nothing spills
    qint64 payload = 0;     // offset of the first payload byte
};

// Bytes [start, end) of the file.
struct Sqlite3Region {
    qint64 start = 0;
    qint64 end = 0;
};

struct Sqlite3FreelistTrunk {
    quint32 pageNumber = 0;
    qint64 pageStart = 0;
    quint32 nextTrunk = 0;
    QVector<quint32> leaves;  // page numbers within the file only
    int entryCount = 0;       // leaf entries as stored, bounded by the page: the array covers 8 + 4 x this bytes
};

// Used by one thread at a time.
class Sqlite3File {
public:
    // Accepts a carved row; an empty validator accepts every row.
    using RowValidator = std::function<bool(const RecoveredRow&)>;
    // What the carver notes of an offset whose serial types it did not find refused.
    static constexpr quint8 kNotRefused = 0xff;

    explicit Sqlite3File(const QString& path);
    Sqlite3File(const Sqlite3File&) = delete;
    Sqlite3File& operator=(const Sqlite3File&) = delete;

    // Opens and maps the file. Throws (UTF-8) "open %1 failed. %2", "map %1 failed. %2", or "invalid page
    // size." for a file shorter than the database header or a page size that is not a power of two from
    // 512 to 65536.
    void open();

    quint32 firstFreelistTrunk() const;
    quint32 freelistPageCount() const;
    int pageSize() const { return m_pageSize; }
    // The page size less the reserved bytes at the end of every page.
    int usableSize() const { return m_usableSize; }
    quint32 pageCount() const { return m_pageCount; }
    const uchar* data() const { return m_data; }
    const uchar* dataEnd() const { return m_data + m_size; }

    // Pages 1 to pageCount(); the empty record below 1, type 0 beyond the file.
    Sqlite3Page readPage(qint64 n) const;
    Sqlite3Cell readCell(const Sqlite3Page& page, qint64 cellPointer) const;
    // A leaf page's free bytes: the gap between its cell pointer array and its cell content, then each
    // freeblock after its four-byte header; each within the page's usable bytes, none empty.
    QVector<Sqlite3Region> freeRegions(const Sqlite3Page& page) const;
    // The local part followed by the overflow chain; empty for a payload larger than the file.
    // freed: the cell of a freed page, whose chain counts only while it is freed whole (see
    // appendFreedOverflow).
    QByteArray cellPayload(const Sqlite3Cell& cell, bool freed = false) const;
    RecoveredRow rowData(const Sqlite3Cell& cell) const;
    // The record of a cell on a freed page: its chain as cellPayload(cell, true) gives it; the values it
    // no longer holds whole (cut, or a text written over) are marked in wholeValues.
    RecoveredRow freedRowData(const Sqlite3Cell& cell) const;
    // The pages of the overflow chain from first that are freelist leaves, each once, up to the one whose
    // next page is 0 (as a chain freed whole ends), or up to a page that is not one.
    QVector<quint32> freedChainPages(quint32 first) const;
    // The first four bytes of page n, as an overflow page's next page; 0 for no page.
    quint32 nextPage(quint32 n) const { return isPage(n) ? read32(pageOffset(n), m_size) : 0; }
    Sqlite3FreelistTrunk readFreelistTrunk(qint64 n) const;
    // The trunk chain from the database header, each trunk once.
    QList<Sqlite3FreelistTrunk> freelistTrunks() const;
    // The leaf pages of the b-tree below page, left to right.
    QList<Sqlite3Page> collectLeafPages(const Sqlite3Page& page) const;
    // Page and every page below it, each before its children.
    QList<Sqlite3Page> collectAllPages(const Sqlite3Page& page) const;
    // The numbers of the pages collectLeafPages gives, in its order, without reading the leaves' cells.
    QVector<quint32> leafPageNumbers(const Sqlite3Page& root) const;

    // Records of the table whose columns are given (column 0 the rowid alias, stored as NULL) found in
    // the bytes [start, end), tried at every offset; usable is U of the page holding them. prefixLength
    // content bytes belong to column 0 (none for a rowid alias). refusedNull: positions in columns whose
    // NULL the validator always refuses; a candidate with such a NULL is dropped on its serial types,
    // before its values are decoded (free space full of zeros otherwise decodes at every byte).
    QList<RecoveredRow> carveRecords(const QVector<_SqliteCol>& columns, int prefixLength, int usable, qint64 start,
                                     qint64 end, const RowValidator& validator,
                                     const std::vector<int>& refusedNull = {}) const;
    // Page pageNo from offset to its end.
    QList<RecoveredRow> carvePage(const QVector<_SqliteCol>& columns, int prefixLength, quint32 pageNo, qint64 offset,
                                  const RowValidator& validator, const std::vector<int>& refusedNull = {}) const;
    // A leaf page's gap and freeblocks; an interior page from its header on.
    QList<RecoveredRow> carveFreeSpace(const QVector<_SqliteCol>& columns, int prefixLength, const Sqlite3Page& page,
                                       const RowValidator& validator, const std::vector<int>& refusedNull = {}) const;

    // SQLite's variable-length integer at p: the bytes used, 0 (out untouched) when it needs a byte at or
    // beyond end.
    static int readVarint(qint64& out, const uchar* p, const uchar* end);
    static int varintLength(qint64 value);

private:
    friend class RecordCarver;

    qint64 pageOffset(quint32 n) const { return qint64(n - 1) * m_pageSize; }
    bool isPage(qint64 n) const { return n >= 1 && n <= m_pageCount; }
    // Big-endian reads that give 0 unless every byte lies below end (and in the file).
    quint32 readBigEndian(qint64 offset, int width, qint64 end) const;
    quint16 read16(qint64 offset, qint64 end) const { return quint16(readBigEndian(offset, 2, end)); }
    quint32 read32(qint64 offset, qint64 end) const { return readBigEndian(offset, 4, end); }
    // Appends up to remaining bytes of the overflow chain from page first on; returns what is still missing.
    qint64 appendOverflow(QByteArray& out, quint32 first, qint64 remaining) const;
    // The same for the chain of a deleted record, all of it or nothing: every page must still be a
    // freelist leaf, and the last one must end the chain. False, with nothing appended, when not.
    bool appendFreedOverflow(QByteArray& out, quint32 first, qint64 remaining) const;
    bool isFreelistLeaf(quint32 page) const;
    RecoveredRow decodeRow(const Sqlite3Cell& cell, const QByteArray& payload, bool judge) const;
    // What each template column after column 0 accepts, kept for the last few templates carved with (a
    // scan alternates between its templates page by page): working it out from the declared types costs
    // more than carving a small region. Valid until the next call.
    const std::vector<quint8>& columnRules(const QVector<_SqliteCol>& columns) const;
    QList<Sqlite3Page> walk(const Sqlite3Page& root, bool keepInterior) const;
    void pushChildren(const Sqlite3Page& page, std::vector<bool>& seen, std::vector<quint32>& stack) const;

    QFile m_file;
    const uchar* m_data = nullptr;
    qint64 m_size = 0;
    int m_pageSize = 0;
    int m_usableSize = 0;
    quint32 m_pageCount = 0;
    struct ColumnRules {
        QVector<_SqliteCol> columns;  // shares the template's buffer, so its address stays unique
        std::vector<quint8> rules;
    };
    mutable std::vector<ColumnRules> m_columnRules;  // most recently used last
    // Where, in one region, the serial types refused each offset: the first column that refused it
    // (kNotRefused: matched, or never tried), as the first template carved over the region found.
    // A scan carves each page with several templates that share their first columns; the later ones
    // skip what those columns refused already. Kept for the regions of the page carved last.
    struct Refusals {
        qint64 start = 0;
        qint64 end = 0;
        std::vector<quint8> matchRules;  // the rules the first template matched with; empty until it ran
        std::vector<quint8> firstColumn;
    };
    // The memo of [start, end), made empty when new; null for a region across pages.
    Refusals* refusalsFor(qint64 start, qint64 end) const;
    mutable std::vector<Refusals> m_refusals;
    mutable std::vector<bool> m_freelistLeaves;  // by page number, made on first use
    mutable qint64 m_refusalsPage = -1;
};

namespace sqlite3record {

// SQLite's own limit on the length of one value or row; a larger size is corrupt.
constexpr qint64 kMaxPayloadSize = 1000000000;
// Bytes a value of this serial type takes in the record body.
qint64 serialTypeWidth(qint64 type);
// Decodes one value per serial type from [p, end); values cut by end read as 0 (numbers) or as the
// bytes that remain (texts, blobs). Texts end at their first zero byte.
void decodeValues(const std::vector<qint64>& types, const uchar* p, const uchar* end, RecordValues& values);
// The first value of types, from [p, end), that is a text which is not clean UTF-8 (a NUL, a stray or
// cut sequence): bytes written over it after its cell was freed. Values cut by end are not judged; -1
// when none.
int firstUncleanText(const std::vector<qint64>& types, const uchar* p, const uchar* end);
// Payload bytes kept on a page of usable size U; the rest spills into overflow pages.
qint64 localPayloadSize(qint64 payloadSize, qint64 usable, bool tableLeaf);

}  // namespace sqlite3record
