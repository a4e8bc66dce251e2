// Finding records of a known table in free space: every byte offset is tried as the start of column 1's
// serial type (column 0, the rowid alias, is stored as NULL just before it). A cell there looked like
//   [payload size][rowid][header length][0x00][column 1's type]...[last column's type][content]
// but freeing it may have overwritten its first bytes with a freeblock header.
#include "recovery/sqlite3file.h"

#include <QtGlobal>

#include <algorithm>
#include <array>
#include <cstring>

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
    // matchRules: rules less what the validator refuses. Where a column's type refused an offset is
    // written to refusals, when given; known holds what an earlier template's refusals were, whose
    // first knownShared match rules are this one's.
    RecordCarver(const Sqlite3File& file, const std::vector<quint8>& rules, std::vector<quint8> matchRules,
                 int prefixLength, int usable, qint64 start, qint64 end, const Sqlite3File::RowValidator& validator,
                 quint8* refusals, const quint8* known, size_t knownShared)
        : m_file(file),
          m_data(file.data()),
          m_rules(rules),
          m_matchRules(std::move(matchRules)),
          m_refusals(refusals),
          m_known(known),
          m_knownShared(knownShared),
          m_types(rules.size()),
          m_innerTypes(rules.size()),
          m_prefixLength(prefixLength),
          m_usable(usable),
          m_start(start),
          m_end(end),
          m_validator(validator)
    {
        for (int byte = 0; byte < 0x80; ++byte)
            m_firstTypeFits[size_t(byte)] = m_matchRules.empty() || accepts(m_matchRules[0], byte);
    }

    QList<RecoveredRow> run()
    {
        for (qint64 s = m_start; s < m_end;) {
            const qint64 next = mayStartAt(s) ? tryAt(s) : 0;
            s = next > s ? next : s + 1;
        }
        return m_found;
    }

private:
    // A record decoded at a candidate start, before any validator saw it.
    struct Candidate {
        RecoveredRow row;
        qint64 typesEnd = 0;
        qint64 localContent = 0;  // content bytes on this page, as the record's sizes give them
        qint64 held = 0;          // content bytes the region (and the overflow chain) really gave
        qint64 contentSize = 0;
        qint64 payloadSize = 0;
        qint64 headerLength = 0;
        QByteArray content;  // the local part and the overflow chain joined, as far as they are held
    };

    // False when no record can start at s: an earlier template whose first columns are this one's found
    // them refused there, or the byte at s is a whole serial type column 1 refuses. Most offsets of free
    // space end here, without a candidate being set up.
    bool mayStartAt(qint64 s) const
    {
        if (m_known && m_known[s - m_start] < m_knownShared)
            return false;
        if (m_data[s] >= 0x80 || m_firstTypeFits[m_data[s]])
            return true;
        noteRefused(s, 0);
        return false;
    }

    void noteRefused(qint64 s, size_t column) const
    {
        if (m_refusals && column < Sqlite3File::kNotRefused)
            m_refusals[s - m_start] = quint8(column);
    }

    // Where the next candidate starts after a record accepted at s; 0 when s is rejected.
    qint64 tryAt(qint64 s)
    {
        Candidate record;
        if (!decodeAt(s, m_types, record))
            return 0;
        record.row.rowid = carvedRowid(s, record.headerLength, record.payloadSize);
        if (record.held < record.contentSize)
            record.row.wholeValues = wholeValues(m_types, record.held);
        const int firstUnclean = firstUncleanText(m_types, record.content);
        if (firstUnclean >= 0 && record.row.isWhole(firstUnclean))
            record.row.wholeValues = firstUnclean;
        if (m_validator && !m_validator(record.row))
            return 0;
        // A later cell allocated over these bytes and freed again leaves its own record inside this one's:
        // from that cell's start on, the bytes are not this record's, and the next candidate is that record.
        qint64 next = record.typesEnd + record.localContent + 4;
        qint64 innerTypes = 0;
        const qint64 reused = reusedFrom(s, record.typesEnd + record.localContent, innerTypes);
        if (reused >= 0) {
            next = innerTypes;
            // A spilled record's cell ends with its first overflow page's number: a cell after that is
            // not inside it, one before it cut the record here and left its chain unknown.
            const bool spilled = record.localContent < record.contentSize;
            const qint64 cellEnd = record.typesEnd + record.localContent + (spilled ? 4 : 0);
            if (reused < cellEnd && reused - record.typesEnd < record.held) {
                record.held = std::clamp<qint64>(reused - record.typesEnd, 0, record.localContent);
                record.row.wholeValues = wholeValues(m_types, record.held);
                if (firstUnclean >= 0)  // a garbled text before the reused cell stays garbled
                    record.row.wholeValues = std::min(record.row.wholeValues, firstUnclean);
                if (!m_validator(record.row))
                    return 0;
            }
        }
        m_found.append(record.row);
        return next;
    }

    // Matches the types at s and decodes the record there; false when they do not fit the template.
    bool decodeAt(qint64 s, std::vector<qint64>& types, Candidate& out) const
    {
        if (!matchTypes(s, types, out.typesEnd) || !sizeContent(types, out.contentSize))
            return false;
        out.row.typesStart = s;
        // Column 0's type byte and the header-length varint, which counts itself.
        const qint64 bare = out.typesEnd - s + 1;
        out.headerLength = bare + 1;
        while (Sqlite3File::varintLength(out.headerLength) > out.headerLength - bare)
            ++out.headerLength;
        out.payloadSize = out.headerLength + out.contentSize;
        out.localContent = sqlite3record::localPayloadSize(out.payloadSize, m_usable, true) - out.headerLength;
        if (out.localContent < 0)
            return false;  // the header itself would have spilled: nothing to match it against here
        quint32 overflow = 0;
        if (out.localContent < out.contentSize) {
            overflow = m_file.read32(out.typesEnd + out.localContent, m_end);
            if (overflow < 2 || overflow > m_file.pageCount())
                return false;
        }
        const qint64 kept = std::min(out.localContent, m_end - out.typesEnd);
        // The values are decoded into copies of their own, so without an overflow chain to join the
        // mapped bytes are read where they lie.
        QByteArray content =
            QByteArray::fromRawData(reinterpret_cast<const char*>(m_data + out.typesEnd), int(kept));
        // A chain another use wrote over holds none of this record's bytes past the local part.
        if (overflow != 0) {
            content.detach();
            if (m_file.appendFreedOverflow(content, overflow, out.contentSize - out.localContent))
                out.row.overflowChain = overflow;
        }
        out.held = content.size();
        const auto* p = reinterpret_cast<const uchar*>(content.constData());
        const uchar* end = p + content.size();
        out.row.values.reserve(int(types.size()) + 1);
        if (m_prefixLength < 1) {
            out.row.values.append(QVariant());
        } else {
            const int n = int(std::min<qint64>(m_prefixLength, end - p));
            out.row.values.append(QByteArray(reinterpret_cast<const char*>(p), n));
            p += n;
        }
        sqlite3record::decodeValues(types, p, end, out.row.values);
        out.content = std::move(content);
        return true;
    }

    // Where the cell of the first valid record starting after s and within a record ending at
    // contentEnd begins, and at typesStart where its types begin; -1 when there is none. Only a
    // validator tells a record from bytes that fit.
    qint64 reusedFrom(qint64 s, qint64 contentEnd, qint64& typesStart)
    {
        if (!m_validator)
            return -1;
        // A cell's own prefix (payload size, rowid, header length, column 0) is at most this long, so a
        // record whose first type lies this far past contentEnd may still have started inside it.
        constexpr qint64 kLongestPrefix = 9 + 9 + 2 + 1;
        const qint64 last = std::min(m_end, contentEnd + kLongestPrefix);
        qint64 found = -1;
        for (qint64 c = s + 1; c < last && found < 0; ++c) {
            if (!mayStartAt(c))
                continue;
            Candidate inner;
            if (decodeAt(c, m_innerTypes, inner) && m_validator(inner.row)) {
                typesStart = c;
                found = cellStart(c, inner.headerLength, inner.payloadSize);
            }
        }
        // A cell written over these bytes may have had its own header overwritten in turn by a cell
        // after it, so it no longer decodes; its prefix and first types still tell where it began. Its
        // prefix ends with column 0's NULL, so only the zero bytes are looked at.
        const qint64 held = std::min(contentEnd, m_end);
        // Past found plus the longest prefix, a prefix would start after found.
        const qint64 xEnd = found < 0 ? held : std::min(held, found + kLongestPrefix);
        for (qint64 x = s + 1; x < xEnd; ++x) {
            const auto* zero = static_cast<const uchar*>(std::memchr(m_data + x, 0, size_t(xEnd - x)));
            if (!zero)
                break;
            x = zero - m_data;
            const qint64 start = cellPrefixBefore(x, s + 1);
            if (start >= 0 && (found < 0 || start < found)) {
                typesStart = x + 1;
                return start;
            }
        }
        return found;
    }

    // Where a cell starts whose prefix ends with the NULL of column 0 at x, no earlier than floor: the
    // varints before x give a header length that holds every column and no more than their longest
    // types, a rowid and a payload size that holds the header; the first types after x fit the
    // template. -1 when not. When the template's first column takes NULL, zeros after any bytes would
    // pass that, so the cell's whole header must be there instead (see isWholeHeader).
    qint64 cellPrefixBefore(qint64 x, qint64 floor) const
    {
        constexpr size_t kTypesMatched = 6;
        if (m_rules.empty())
            return -1;
        const qint64 columns = qint64(m_rules.size());
        const qint64 headerStart = varintStartBefore(x, floor);
        const qint64 headerLength = headerStart < 0 ? -1 : readBack(headerStart, x);
        if (headerLength < 2 + columns || headerLength > 2 + 9 * columns)
            return -1;
        const qint64 rowidStart = varintStartBefore(headerStart, floor);
        const qint64 rowid = rowidStart < 0 ? -1 : readBack(rowidStart, headerStart);
        // The byte before the payload size is the end of whatever lay there before the cell, so the size
        // may start at any of the bytes with their top bit set before its last: each start is tried, the
        // longest size first.
        const qint64 longest = rowid > 0 ? varintStartBefore(rowidStart, floor) : -1;
        for (qint64 sizeStart = longest; sizeStart >= 0 && sizeStart < rowidStart; ++sizeStart) {
            const qint64 payloadSize = readBack(sizeStart, rowidStart);
            if (payloadSize < headerLength || payloadSize > sqlite3record::kMaxPayloadSize)
                continue;
            if (!(m_rules[0] & Null))
                return typesFitFrom(x + 1, kTypesMatched) ? sizeStart : -1;
            if (isWholeHeader(x + 1, headerStart + headerLength, payloadSize - headerLength))
                return sizeStart;
        }
        // A freeblock header written over the cell's first four bytes leaves its payload size and row id
        // unreadable. Its header whole, one type per column filling the header length to the byte, still
        // tells a cell began there: four bytes before its header length where those read as a freeblock
        // header, else at the latest with a one-byte size and row id. (Not when the first column takes
        // NULL: runs of zeros fit such a header too readily.)
        if (!(m_rules[0] & Null) && isWholeHeader(x + 1, headerStart + headerLength, -1))
            return headerStart - 4 >= floor && mayBeFreeblockHeader(headerStart - 4) ? headerStart - 4
                                                                                       : std::max(floor, headerStart - 2);
        return -1;
    }

    // Where the varint that ends just before `at` starts, read back to the byte before it whose top bit
    // is clear (at most nine bytes, none before floor); -1 when the byte before `at` cannot end one.
    qint64 varintStartBefore(qint64 at, qint64 floor) const
    {
        qint64 start = at - 1;
        if (start < floor || m_data[start] & 0x80)
            return -1;
        while (start > floor && at - start < 9 && m_data[start - 1] & 0x80)
            --start;
        return start;
    }

    // True when the first `count` serial types from c (fewer when the template has fewer columns) are
    // ones the template's columns take.
    bool typesFitFrom(qint64 c, size_t count) const
    {
        for (size_t i = 0; i < std::min(count, m_rules.size()); ++i) {
            qint64 type = 0;
            const int n = Sqlite3File::readVarint(type, m_data + c, m_data + m_end);
            if (n == 0 || !accepts(m_rules[i], type))
                return false;
            c += n;
        }
        return true;
    }

    // True when the bytes [typesStart, headerEnd) are exactly one serial type per template column, each
    // one the column takes, and their values take contentSize bytes (any number when it is negative): a
    // cell of this table whose header nothing has written over. Random bytes seldom give a header length
    // and a payload size that agree with the types to the byte.
    bool isWholeHeader(qint64 typesStart, qint64 headerEnd, qint64 contentSize) const
    {
        if (headerEnd > m_end)
            return false;
        qint64 c = typesStart;
        qint64 size = m_prefixLength;
        for (const quint8 rule : m_rules) {
            qint64 type = 0;
            const int n = Sqlite3File::readVarint(type, m_data + c, m_data + headerEnd);
            if (n == 0 || !accepts(rule, type))
                return false;
            c += n;
            size += sqlite3record::serialTypeWidth(type);
            if (contentSize >= 0 && size > contentSize)
                return false;
        }
        return c == headerEnd && (contentSize < 0 || size == contentSize);
    }

    // The varint that is exactly the bytes [from, to); -1 when they are not one.
    qint64 readBack(qint64 from, qint64 to) const
    {
        qint64 value = 0;
        return Sqlite3File::readVarint(value, m_data + from, m_data + to) == to - from ? value : -1;
    }

    // Where the cell whose first type is at c starts: found from its prefix when that is intact. Else a
    // freeblock header took the prefix's first four bytes, and the first of the cell's own bytes still
    // there says where it began: with the header length and column 0's NULL whole, the four held the
    // payload size and row id (two bytes each in any table past 127 rows); with only the NULL whole, the
    // header length was among them; with neither, the prefix was the shortest, four bytes. A whole-
    // looking byte can be a freeblock header's by chance, so a start counts only where four bytes that
    // read as a freeblock header lie.
    qint64 cellStart(qint64 c, qint64 headerLength, qint64 payloadSize) const
    {
        const qint64 headerStart = c - 1 - Sqlite3File::varintLength(headerLength);
        const bool nullWhole = m_data[c - 1] == 0;
        const bool headerWhole = headerStart > m_start && nullWhole && varintIs(headerStart, c - 1, headerLength);
        if (headerWhole) {
            qint64 rowidStart = headerStart - 1;
            while (rowidStart > m_start && headerStart - rowidStart < 9 && m_data[rowidStart - 1] & 0x80)
                --rowidStart;
            const qint64 sizeStart = rowidStart - Sqlite3File::varintLength(payloadSize);
            if (sizeStart >= m_start && varintIs(sizeStart, rowidStart, payloadSize))
                return sizeStart;
        }
        if (headerWhole && mayBeFreeblockHeader(headerStart - 4))
            return headerStart - 4;
        return nullWhole && mayBeFreeblockHeader(c - 5) ? c - 5 : c - 4;
    }

    // A freeblock header's next offset is 0 or one further into the page, and its size fits the page.
    bool mayBeFreeblockHeader(qint64 at) const
    {
        if (at < m_start)
            return false;
        const qint64 inPage = at % m_file.pageSize();
        const int next = m_data[at] << 8 | m_data[at + 1];
        const int size = m_data[at + 2] << 8 | m_data[at + 3];
        return size >= 4 && inPage + size <= m_usable && (next == 0 || (next > inPage && next < m_usable));
    }

    // The first column (counting column 0) whose text is not clean UTF-8, judged on the record's
    // content as held: its local part and its overflow chain. -1 when none.
    int firstUncleanText(const std::vector<qint64>& types, const QByteArray& content) const
    {
        if (content.size() < m_prefixLength)
            return -1;
        const auto* p = reinterpret_cast<const uchar*>(content.constData());
        const int unclean = sqlite3record::firstUncleanText(types, p + m_prefixLength, p + content.size());
        return unclean < 0 ? -1 : unclean + 1;
    }

    // Column 0 and the columns after it whose bytes end within the first held content bytes.
    int wholeValues(const std::vector<qint64>& types, qint64 held) const
    {
        qint64 end = m_prefixLength;
        if (end > held)
            return 0;
        int whole = 1;
        for (const qint64 type : types) {
            end += sqlite3record::serialTypeWidth(type);
            if (end > held)
                break;
            ++whole;
        }
        return whole;
    }

    // One varint per column from s; a varint cut by the region's end reads as NULL. Every candidate
    // matched here goes to the validator when there is one, so its refusals count already.
    bool matchTypes(qint64 s, std::vector<qint64>& types, qint64& typesEnd) const
    {
        const uchar* end = m_data + m_end;
        qint64 c = s;
        for (size_t i = 0; i < m_rules.size(); ++i) {
            qint64 type = 0;
            if (c < m_end && m_data[c] < 0x80)
                type = m_data[c++];
            else
                c += Sqlite3File::readVarint(type, m_data + c, end);
            if (!accepts(m_matchRules[i], type)) {
                noteRefused(s, i);
                return false;
            }
            types[i] = type;
        }
        typesEnd = c;
        return true;
    }

    // No record is larger than the file that holds it; this also keeps the sum from overflowing.
    bool sizeContent(const std::vector<qint64>& types, qint64& contentSize) const
    {
        const qint64 limit = std::min<qint64>(m_file.dataEnd() - m_data, sqlite3record::kMaxPayloadSize);
        contentSize = m_prefixLength;
        for (const qint64 type : types) {
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
    const std::vector<quint8> m_matchRules;  // the same less what the validator refuses
    quint8* const m_refusals;
    const quint8* const m_known;
    const size_t m_knownShared;
    std::array<bool, 0x80> m_firstTypeFits{};  // one-byte serial types column 1 takes, by m_matchRules
    std::vector<qint64> m_types;         // the current candidate's serial types, reused: a rejection allocates nothing
    std::vector<qint64> m_innerTypes;    // the same for a record looked for inside an accepted one
    const int m_prefixLength;
    const int m_usable;
    const qint64 m_start;
    const qint64 m_end;
    const Sqlite3File::RowValidator& m_validator;
    QList<RecoveredRow> m_found;
};

QList<RecoveredRow> Sqlite3File::carveRecords(const QVector<_SqliteCol>& columns, int prefixLength, int usable,
                                              qint64 start, qint64 end, const RowValidator& validator,
                                              const std::vector<int>& refusedNull) const
{
    if (columns.size() < 2) {
        qWarning("tbCols size < 2.");
        return {};
    }
    start = std::max<qint64>(start, 0);
    end = std::min(end, m_size);
    if (!m_data || start >= end || usable < 480 || usable > 65536 || prefixLength < 0)
        return {};
    const std::vector<quint8>& rules = columnRules(columns);
    // Only a candidate the validator will see may be dropped for what the validator refuses.
    std::vector<quint8> matchRules = rules;
    for (const int column : refusedNull) {
        if (validator && column >= 1 && size_t(column) <= matchRules.size())
            matchRules[size_t(column) - 1] &= quint8(~Null);
    }
    quint8* refusals = nullptr;
    const quint8* known = nullptr;
    size_t shared = 0;
    if (Refusals* memo = refusalsFor(start, end)) {
        if (memo->matchRules.empty()) {
            memo->matchRules = matchRules;
            refusals = memo->firstColumn.data();
        } else if (memo->matchRules == matchRules) {
            refusals = memo->firstColumn.data();
        } else {
            known = memo->firstColumn.data();
            while (shared < std::min(matchRules.size(), memo->matchRules.size()) &&
                   matchRules[shared] == memo->matchRules[shared])
                ++shared;
        }
    }
    return RecordCarver(*this, rules, std::move(matchRules), prefixLength, usable, start, end, validator, refusals,
                        known, shared)
        .run();
}

Sqlite3File::Refusals* Sqlite3File::refusalsFor(qint64 start, qint64 end) const
{
    const qint64 page = start / m_pageSize;
    if ((end - 1) / m_pageSize != page)
        return nullptr;  // kept for regions inside one page only
    if (page != m_refusalsPage) {
        m_refusals.clear();
        m_refusalsPage = page;
    }
    for (Refusals& memo : m_refusals) {
        if (memo.start == start && memo.end == end)
            return &memo;
    }
    m_refusals.push_back({start, end, {}, std::vector<quint8>(size_t(end - start), kNotRefused)});
    return &m_refusals.back();
}

const std::vector<quint8>& Sqlite3File::columnRules(const QVector<_SqliteCol>& columns) const
{
    constexpr std::size_t kTemplates = 4;
    const auto same = [&columns](const ColumnRules& c) {
        return c.columns.constData() == columns.constData() && c.columns.size() == columns.size();
    };
    auto it = std::find_if(m_columnRules.begin(), m_columnRules.end(), same);
    if (it == m_columnRules.end()) {
        if (m_columnRules.size() == kTemplates)
            m_columnRules.erase(m_columnRules.begin());
        ColumnRules made{columns, {}};
        for (int i = 1; i < columns.size(); ++i)
            made.rules.push_back(acceptedTypes(columns.at(i)));
        m_columnRules.push_back(std::move(made));
    } else if (it + 1 != m_columnRules.end()) {
        std::rotate(it, it + 1, m_columnRules.end());
    }
    return m_columnRules.back().rules;
}

QList<RecoveredRow> Sqlite3File::carvePage(const QVector<_SqliteCol>& columns, int prefixLength, quint32 pageNo,
                                           qint64 offset, const RowValidator& validator,
                                           const std::vector<int>& refusedNull) const
{
    if (!isPage(pageNo))
        return {};
    const qint64 start = pageOffset(pageNo);
    return carveRecords(columns, prefixLength, m_usableSize, start + std::clamp<qint64>(offset, 0, m_usableSize),
                        start + m_usableSize, validator, refusedNull);
}

QList<RecoveredRow> Sqlite3File::carveFreeSpace(const QVector<_SqliteCol>& columns, int prefixLength,
                                                const Sqlite3Page& page, const RowValidator& validator,
                                                const std::vector<int>& refusedNull) const
{
    if (!isPage(page.pageNumber))
        return {};
    if (!page.isLeaf())
        return carvePage(columns, prefixLength, page.pageNumber, 8, validator, refusedNull);
    // Every region ends with its page: a record cut there is not continued from the next page's bytes.
    QList<RecoveredRow> rows;
    for (const Sqlite3Region& region : freeRegions(page))
        rows += carveRecords(columns, prefixLength, m_usableSize, region.start, region.end, validator, refusedNull);
    return rows;
}
