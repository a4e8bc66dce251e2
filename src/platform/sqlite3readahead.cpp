#include "platform/sqlite3readahead.h"

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

// A batch is handed over when it holds this many rows or bytes: large enough that the hand-over
// costs nothing per row, small enough to stay in the caches of both threads.
constexpr int kBatchRows = 256;
constexpr std::size_t kBatchBytes = 1 << 20;
// Batches in flight at most. The caller now and then stops taking rows for a moment (a table it
// fills grows); batches enough for some thousand rows keep the stepping going meanwhile.
constexpr int kBatches = 16;
// Cells address a batch's bytes with 32 bits.
constexpr std::size_t kMaxBytes = std::size_t(UINT32_MAX);

}  // namespace

struct Sqlite3ReadAhead::Batch {
    explicit Batch(std::size_t columns)
        : cells(new Sqlite3ReadAheadCell[kBatchRows * columns]()), nulls(new bool[kBatchRows * columns]())
    {
    }

    // kBatchRows rows of all columns each
    std::unique_ptr<Sqlite3ReadAheadCell[]> cells;
    std::unique_ptr<bool[]> nulls;
    std::string bytes;
    int rows = 0;

    void clear()
    {
        bytes.clear();
        rows = 0;
    }
};

struct Sqlite3ReadAhead::Shared {
    Sqlite3Cursor cursor;
    std::vector<Sqlite3Read> reads;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::unique_ptr<Batch>> filled;
    std::vector<std::unique_ptr<Batch>> free;
    int made = 0;           // batches made so far
    bool finished = false;  // the stepping thread handed over its last batch
    bool stop = false;      // the reader goes away: stop stepping
    std::exception_ptr error;
    std::thread thread;

    // An empty batch to fill, made while fewer than kBatches exist; null once the reader stops.
    std::unique_ptr<Batch> takeFree()
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || !free.empty() || made < kBatches; });
        if (stop)
            return nullptr;
        if (free.empty()) {
            ++made;
            lock.unlock();
            return std::make_unique<Batch>(reads.size());
        }
        std::unique_ptr<Batch> batch = std::move(free.back());
        free.pop_back();
        batch->clear();
        return batch;
    }

    void handOver(std::unique_ptr<Batch> batch, bool last, std::exception_ptr failure = nullptr)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (batch && batch->rows > 0)
                filled.push_back(std::move(batch));
            finished = last;
            error = failure;
        }
        changed.notify_all();
    }

    void appendRow(Batch& batch)
    {
        const Sqlite3RowView row = cursor.row();
        const std::size_t first = std::size_t(batch.rows) * reads.size();
        for (std::size_t position = 0; position < reads.size(); ++position) {
            Sqlite3ReadAheadCell& cell = batch.cells[first + position];
            const int at = int(position);
            switch (reads[position]) {
            case Sqlite3Read::Skip:
                break;
            case Sqlite3Read::NullableInteger:
                batch.nulls[first + position] = row.isNull(at);
                [[fallthrough]];
            case Sqlite3Read::Integer:
                cell = row.getInt64(at);
                break;
            case Sqlite3Read::Text:
                cell = appendBytes(row.getUtf8(at), batch.bytes);
                break;
            case Sqlite3Read::Blob:
                cell = appendBytes(row.getBlobBytes(at), batch.bytes);
                break;
            }
        }
        ++batch.rows;
    }

    // The cell of value, whose bytes are appended to bytes.
    static Sqlite3ReadAheadCell appendBytes(std::string_view value, std::string& bytes)
    {
        if (!value.data())
            return 0;
        // SQLite bounds a row far below this; a batch starts a row only below kBatchBytes.
        if (value.size() >= kMaxBytes || bytes.size() > kMaxBytes - value.size())
            throw Sqlite3Exception(QStringLiteral("a row is too large to be read ahead"), SQLITE_TOOBIG);
        const auto offset = quint64(bytes.size());
        bytes.append(value.data(), value.size());
        return Sqlite3ReadAheadCell(offset << 32 | (quint64(value.size()) + 1));
    }

    void step()
    {
        std::unique_ptr<Batch> batch;
        try {
            while ((batch = takeFree())) {
                bool more = true;
                while (batch->rows < kBatchRows && batch->bytes.size() < kBatchBytes && (more = cursor.moveNext()))
                    appendRow(*batch);
                handOver(std::move(batch), !more);
                if (!more)
                    return;
            }
        } catch (...) {
            // The rows stepped before the failure are handed over first.
            handOver(std::move(batch), true, std::current_exception());
        }
    }
};

Sqlite3ReadAhead::Sqlite3ReadAhead(Sqlite3Cursor cursor, std::vector<Sqlite3Read> reads)
    : m_shared(std::make_unique<Shared>())
{
    m_shared->cursor = std::move(cursor);
    m_shared->reads = std::move(reads);
    m_shared->thread = std::thread([shared = m_shared.get()] { shared->step(); });
}

Sqlite3ReadAhead::~Sqlite3ReadAhead()
{
    {
        const std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->stop = true;
    }
    m_shared->changed.notify_all();
    m_shared->thread.join();
}

bool Sqlite3ReadAhead::moveNext()
{
    if (!m_current || m_next >= m_current->rows) {
        takeNextBatch();
        if (!m_current)
            return false;
    }
    const int columns = int(m_shared->reads.size());
    m_row.m_cells = m_current->cells.get() + std::size_t(m_next) * std::size_t(columns);
    m_row.m_nulls = m_current->nulls.get() + std::size_t(m_next) * std::size_t(columns);
    m_row.m_reads = m_shared->reads.data();
    m_row.m_columns = columns;
    m_row.m_bytes = m_current->bytes.data();
    ++m_next;
    return true;
}

void Sqlite3ReadAhead::takeNextBatch()
{
    m_row = Sqlite3ReadAheadRow();
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    if (m_current)
        m_shared->free.push_back(std::move(m_current));
    m_shared->changed.notify_all();
    m_shared->changed.wait(lock, [&] { return m_shared->finished || !m_shared->filled.empty(); });
    m_next = 0;
    if (!m_shared->filled.empty()) {
        m_current = std::move(m_shared->filled.front());
        m_shared->filled.pop_front();
        return;
    }
    if (m_shared->error)
        std::rethrow_exception(m_shared->error);
}

// ---------------------------------------------------------------------------------------------
// Sqlite3ReadAheadRow

namespace {

std::string_view bytesOf(Sqlite3ReadAheadCell cell, const char* bytes)
{
    const auto packed = quint64(cell);
    const auto sizePlusOne = std::uint32_t(packed);
    if (sizePlusOne == 0)
        return std::string_view();
    return std::string_view(bytes + (packed >> 32), sizePlusOne - 1);
}

}  // namespace

const Sqlite3ReadAheadCell* Sqlite3ReadAheadRow::cell(int position, Sqlite3Read read, Sqlite3Read alsoRead) const
{
    if (!m_cells || position < 0 || position >= m_columns)
        return nullptr;
    if (m_reads[position] != read && m_reads[position] != alsoRead)
        throw std::logic_error("a column was asked for otherwise than it was read ahead");
    return &m_cells[position];
}

qint64 Sqlite3ReadAheadRow::getInt64(int position) const
{
    const Sqlite3ReadAheadCell* c = cell(position, Sqlite3Read::Integer, Sqlite3Read::NullableInteger);
    return c ? *c : 0;
}

QString Sqlite3ReadAheadRow::getText(int position) const
{
    return sqliteTextValue(getUtf8(position));
}

std::string_view Sqlite3ReadAheadRow::getUtf8(int position) const
{
    const Sqlite3ReadAheadCell* c = cell(position, Sqlite3Read::Text, Sqlite3Read::Text);
    return c ? bytesOf(*c, m_bytes) : std::string_view();
}

QByteArray Sqlite3ReadAheadRow::getBlob(int position) const
{
    const Sqlite3ReadAheadCell* c = cell(position, Sqlite3Read::Blob, Sqlite3Read::Blob);
    const std::string_view bytes = c ? bytesOf(*c, m_bytes) : std::string_view();
    return bytes.data() ? QByteArray(bytes.data(), int(bytes.size())) : QByteArray();
}

bool Sqlite3ReadAheadRow::isNull(int position) const
{
    return !cell(position, Sqlite3Read::NullableInteger, Sqlite3Read::NullableInteger) || m_nulls[position];
}
