// Finding records of a known table in free space: every byte offset is tried as the start of column 1's
// serial type (column 0, the rowid alias, is stored as NULL just before it). A cell there looked like
//   [payload size][rowid][header length][0x00][column 1's type]...[last column's type][content]
// but freeing it may have overwritten its first bytes with a freeblock header.
#include "recovery/sqlite3file.h"

#include <QtGlobal>

#include <algorithm>

namespace {

// What one column accepts, as bits. The affinity rules keep INTEGER apart from NUMERIC, so an INTEGER
// column refuses REAL values.
enum AcceptedType : quint8 { Null = 1, Integer = 2, Real = 4, Blob = 8, Text = 16 };

quint8 acceptedTypes(const _SqliteCol& column)
{
    const bool anyFlag = column.notNull() || column.hasDefault() || column.primaryKey();
    return quint8((anyFlag ? 0 : Null) | (column.isInteger() || column.isNumeric() ? Integer : 0) |
                  (column.isReal() || column.isNumeric() ? Real : 0) | (column.isBlob() ? Blob : 0) |
                  (column.isText() ? Text : 0));
}

bool accepts(quint8 accepted, qint64 type)
{
    // SQLite never writes these; they pass every column and decode as NULL.
    if (type < 0 || type == 10 || type == 11)
        return true;
    if (type == 0)
        return accepted & Null;
    if (type == 7)
        return accepted & Real;
    if (type < 12)
        return accepted & Integer;
    return accepted & (type % 2 == 0 ? Blob : Text);
}

}  // namespace

class RecordCarver {
public:
    RecordCarver(const Sqlite3File& file, const std::vector<quint8>& rules, int prefixLength, int usable,
                 qint64 start, qint64 end, const Sqlite3File::RowValidator& validator)
        : m_file(file),
          m_data(file.data()),
          m_rules(rules),
          m_types(rules.size()),
          m_prefixLength(prefixLength),
          m_usable(usable),
          m_start(start),
          m_end(end),
          m_validator(validator)
    {
    }

    QList<RecoveredRow> run()
    {
        for (qint64 s = m_start; s < m_end;) {
            const qint64 next = tryAt(s);
            s = next > s ? next : s + 1;
        }
        return m_found;
    }

private:
    // Where the next candidate starts after a record accepted at s; 0 when s is rejected.
    qint64 tryAt(qint64 s)
    {
        qint64 typesEnd = 0;
        qint64 contentSize = 0;
        if (!matchTypes(s, typesEnd) || !sizeContent(contentSize))
            return 0;
        // Column 0's type byte and the header-length varint, which counts itself.
        const qint64 bare = typesEnd - s + 1;
        qint64 headerLength = bare + 1;
        while (Sqlite3File::varintLength(headerLength) > headerLength - bare)
            ++headerLength;
        const qint64 payloadSize = headerLength + contentSize;
        const qint64 localContent =
            sqlite3record::localPayloadSize(payloadSize, m_usable, true) - headerLength;
        if (localContent < 0)
            return 0;  // the header itself would have spilled: nothing to match it against here
        quint32 overflow = 0;
        if (localContent < contentSize) {
            overflow = m_file.read32(typesEnd + localContent, m_end);
            if (overflow < 2 || overflow > m_file.pageCount())
                return 0;
        }
        const qint64 kept = std::min(localContent, m_end - typesEnd);
        // The values are decoded into copies of their own, so without an overflow chain to join the
        // mapped bytes are read where they lie.
        QByteArray content = QByteArray::fromRawData(reinterpret_cast<const char*>(m_data + typesEnd), int(kept));
        if (overflow != 0) {
            content.detach();
            m_file.appendOverflow(content, overflow, contentSize - localContent);
        }

        RecoveredRow row;
        row.rowid = carvedRowid(s, headerLength, payloadSize);
        const auto* p = reinterpret_cast<const uchar*>(content.constData());
        const uchar* end = p + content.size();
        row.values.reserve(int(m_types.size()) + 1);
        if (m_prefixLength < 1) {
            row.values.append(QVariant());
        } else {
            const int n = int(std::min<qint64>(m_prefixLength, end - p));
            row.values.append(QByteArray(reinterpret_cast<const char*>(p), n));
            p += n;
        }
        sqlite3record::decodeValues(m_types, p, end, row.values);
        if (content.size() < contentSize)
            row.wholeValues = wholeValues(content.size());
        if (m_validator && !m_validator(row))
            return 0;
        m_found.append(row);
        return typesEnd + localContent + 4;
    }

    // Column 0 and the columns after it whose bytes end within the first held content bytes.
    int wholeValues(qint64 held) const
    {
        qint64 end = m_prefixLength;
        if (end > held)
            return 0;
        int whole = 1;
        for (const qint64 type : m_types) {
            end += sqlite3record::serialTypeWidth(type);
            if (end > held)
                break;
            ++whole;
        }
        return whole;
    }

    // One varint per column from s; a varint cut by the region's end reads as NULL.
    bool matchTypes(qint64 s, qint64& typesEnd)
    {
        const uchar* end = m_data + m_end;
        qint64 c = s;
        for (size_t i = 0; i < m_rules.size(); ++i) {
            qint64 type = 0;
            if (c < m_end && m_data[c] < 0x80)
                type = m_data[c++];
            else
                c += Sqlite3File::readVarint(type, m_data + c, end);
            if (!accepts(m_rules[i], type))
                return false;
            m_types[i] = type;
        }
        typesEnd = c;
        return true;
    }

    // No record is larger than the file that holds it; this also keeps the sum from overflowing.
    bool sizeContent(qint64& contentSize) const
    {
        const qint64 limit = std::min<qint64>(m_file.dataEnd() - m_data, sqlite3record::kMaxPayloadSize);
        contentSize = m_prefixLength;
        for (const qint64 type : m_types) {
            contentSize += sqlite3record::serialTypeWidth(type);
            if (contentSize > limit)
                return false;
        }
        return true;
    }

    // The rowid counts only when the bytes before s, inside the region, spell the header length and the
    // payload size the serial types imply; a freeblock header written over them leaves it unknown.
    qint64 carvedRowid(qint64 s, qint64 headerLength, qint64 payloadSize) const
    {
        const qint64 headerStart = s - 1 - Sqlite3File::varintLength(headerLength);
        if (m_prefixLength > 0 || headerStart < m_start || m_data[s - 1] != 0 ||
            !varintIs(headerStart, s - 1, headerLength))
            return 0;
        // The rowid's last byte has its top bit clear, the bytes before it in the same varint have it set.
        const qint64 rowidEnd = headerStart;
        qint64 rowidStart = rowidEnd - 1;
        if (rowidStart < m_start || m_data[rowidStart] & 0x80)
            return 0;
        while (rowidStart > m_start && rowidEnd - rowidStart < 8 && m_data[rowidStart - 1] & 0x80)
            --rowidStart;
        const qint64 sizeStart = rowidStart - Sqlite3File::varintLength(payloadSize);
        qint64 rowid = 0;
        if (sizeStart < m_start || !varintIs(sizeStart, rowidStart, payloadSize) ||
            Sqlite3File::readVarint(rowid, m_data + rowidStart, m_data + rowidEnd) != rowidEnd - rowidStart)
            return 0;
        return rowid > 0 ? rowid : 0;
    }

    // True when the bytes [from, to) are exactly one varint of this value.
    bool varintIs(qint64 from, qint64 to, qint64 value) const
    {
        qint64 read = 0;
        return Sqlite3File::readVarint(read, m_data + from, m_data + to) == to - from && read == value;
    }

    const Sqlite3File& m_file;
    const uchar* m_data;
    const std::vector<quint8>& m_rules;  // columns 1 onwards
    std::vector<qint64> m_types;         // the current candidate's serial types, reused: a rejection allocates nothing
    const int m_prefixLength;
    const int m_usable;
    const qint64 m_start;
    const qint64 m_end;
    const Sqlite3File::RowValidator& m_validator;
    QList<RecoveredRow> m_found;
};

QList<RecoveredRow> Sqlite3File::carveRecords(const QVector<_SqliteCol>& columns, int prefixLength, int usable,
                                              qint64 start, qint64 end, const RowValidator& validator) const
{
    if (columns.size() < 2) {
        qWarning("tbCols size < 2.");
        return {};
    }
    start = std::max<qint64>(start, 0);
    end = std::min(end, m_size);
    if (!m_data || start >= end || usable < 480 || usable > 65536 || prefixLength < 0)
        return {};
    return RecordCarver(*this, columnRules(columns), prefixLength, usable, start, end, validator).run();
}

const std::vector<quint8>& Sqlite3File::columnRules(const QVector<_SqliteCol>& columns) const
{
    if (columns.constData() != m_ruleColumns.constData() || columns.size() != m_ruleColumns.size()) {
        m_ruleColumns = columns;
        m_rules.clear();
        for (int i = 1; i < columns.size(); ++i)
            m_rules.push_back(acceptedTypes(columns.at(i)));
    }
    return m_rules;
}

QList<RecoveredRow> Sqlite3File::carvePage(const QVector<_SqliteCol>& columns, int prefixLength, quint32 pageNo,
                                           qint64 offset, const RowValidator& validator) const
{
    if (!isPage(pageNo))
        return {};
    const qint64 start = pageOffset(pageNo);
    return carveRecords(columns, prefixLength, m_usableSize, start + std::clamp<qint64>(offset, 0, m_usableSize),
                        start + m_usableSize, validator);
}

QList<RecoveredRow> Sqlite3File::carveFreeSpace(const QVector<_SqliteCol>& columns, int prefixLength,
                                                const Sqlite3Page& page, const RowValidator& validator) const
{
    if (!isPage(page.pageNumber))
        return {};
    if (!page.isLeaf())
        return carvePage(columns, prefixLength, page.pageNumber, 8, validator);
    // Every region ends with its page: a record cut there is not continued from the next page's bytes.
    const qint64 pageEnd = page.pageStart + m_usableSize;
    QList<RecoveredRow> rows =
        carveRecords(columns, prefixLength, m_usableSize, page.cellArrayEnd(),
                     std::min(pageEnd, page.pageStart + page.cellContentStart), validator);
    for (const qint64 block : page.freeblocks) {
        const qint64 blockEnd = std::min<qint64>(pageEnd, block + read16(block + 2, pageEnd));
        rows += carveRecords(columns, prefixLength, m_usableSize, block + 4, blockEnd, validator);
    }
    return rows;
}
