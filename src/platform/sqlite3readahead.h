#pragma once
// A cursor stepped on a thread of its own: rows are read ahead in batches while the caller turns the
// previous ones into records, for long reads where stepping a wide row costs as much as using it.
#include "platform/sqlite3db.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

// How a column is read ahead: the same SQLite call the row view makes for the getter used on it.
enum class Sqlite3Read : std::uint8_t {
    Skip,             // not read
    Integer,          // getInt (truncated like sqlite3_column_int) and getInt64
    NullableInteger,  // those and isNull
    Text,             // getText and getUtf8
    Blob,             // getBlob
};

// One column of a read-ahead row, filled by the stepping thread and read by the caller: the integer,
// or where the column's bytes lie in the batch (offset in the high half, size + 1 in the low half, 0
// for no bytes at all). Eight bytes, as most columns are integers and every byte crosses between the
// threads. How a column was read, and whether a NullableInteger is NULL, are kept apart.
using Sqlite3ReadAheadCell = qint64;

// The current row of a Sqlite3ReadAhead, with the row view's getters and defaults. A getter used on
// a column read ahead for another one (or not read) throws std::logic_error. Valid until the reader
// moves.
class Sqlite3ReadAheadRow {
public:
    int getInt(int position) const { return int(getInt64(position)); }
    qint64 getInt64(int position) const;
    QString getText(int position) const;
    std::string_view getUtf8(int position) const;
    QByteArray getBlob(int position) const;
    bool isNull(int position) const;

private:
    friend class Sqlite3ReadAhead;
    // The cell at position read as read or alsoRead; null for a position the row lacks.
    const Sqlite3ReadAheadCell* cell(int position, Sqlite3Read read, Sqlite3Read alsoRead) const;

    const Sqlite3ReadAheadCell* m_cells = nullptr;  // null: no row
    const bool* m_nulls = nullptr;                   // per column, for NullableInteger
    const Sqlite3Read* m_reads = nullptr;
    int m_columns = 0;
    const char* m_bytes = nullptr;
};

class Sqlite3ReadAhead {
public:
    // Takes the cursor over: nothing else may use its connection until this reader is destroyed.
    // The connection's limits hold as for the cursor; its cancel check is asked on the stepping
    // thread. reads gives, per column position, how the column is read; positions beyond it are not
    // read.
    Sqlite3ReadAhead(Sqlite3Cursor cursor, std::vector<Sqlite3Read> reads);
    ~Sqlite3ReadAhead();  // stops the stepping thread and waits for it
    Sqlite3ReadAhead(const Sqlite3ReadAhead&) = delete;
    Sqlite3ReadAhead& operator=(const Sqlite3ReadAhead&) = delete;

    // The next row; false after the last. What stepping threw (an SQLite error, the connection's step
    // budget) is thrown here once the rows before it were taken, and again on every later call.
    bool moveNext();
    const Sqlite3ReadAheadRow& row() const { return m_row; }

private:
    struct Shared;
    struct Batch;
    void takeNextBatch();

    std::unique_ptr<Shared> m_shared;
    std::unique_ptr<Batch> m_current;
    int m_next = 0;  // row of m_current to hand out next
    Sqlite3ReadAheadRow m_row;
};
