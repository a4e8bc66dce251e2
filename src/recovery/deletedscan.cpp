#include "recovery/deletedscan.h"

#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6columns.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagerecycledb.h"
#include "msgdb/msgutil.h"

#include <QDateTime>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <tuple>

namespace {

constexpr qint64 kUnixToApple = 978307200;

// What each converter reads to make a record, and so must lie within the region a record is carved from.
// An iOS 5 row keeps what an SMS needs first; the madrid columns after them, which later cells may have
// written over, are asked for by the converter only of an iMessage row.
const QStringList kIos5RequiredColumns = {"address", "date", "text", "flags", "UIFlags", "country", "read"};
// (On iOS 6, the columns the table marks as carved.)
template <typename Record, std::size_t N>
QStringList carvedColumns(const std::array<Ios6Column<Record>, N>& columns)
{
    QStringList names;
    for (const Ios6Column<Record>& c : columns) {
        if (c.has(kColumnCarved))
            names << QLatin1String(c.name);
    }
    return names;
}
// Columns whose NULL each kind's validator refuses (a message needs a date, an iOS 6 one its service):
// the carver drops such candidates on their serial types.
const QStringList kIos5RefusedNull = {"date"};
const QStringList kIos6RefusedNull = {"service", "date"};

// ---- Column templates

struct ColumnSpec {
    const char* name;
    const char* type;
    bool notNull;
    bool hasDefault;
};

struct ScanTemplate {
    QVector<_SqliteCol> columns;
    ColumnIndex index;
    // The columns a record must hold whole to make a record: those before this position.
    int requiredEnd = 0;
    std::vector<int> refusedNull;
};

ScanTemplate makeTemplate(const QVector<_SqliteCol>& columns, const QStringList& required,
                          const QStringList& refusedNull)
{
    ScanTemplate t{columns, {}, 0, {}};
    for (int i = 0; i < columns.size(); ++i)
        t.index.insert(columns[i].name(), i);
    for (const QString& name : required)
        t.requiredEnd = std::max(t.requiredEnd, t.index.position(name) + 1);
    for (const QString& name : refusedNull) {
        if (t.index.position(name) > 0)
            t.refusedNull.push_back(t.index.position(name));
    }
    return t;
}

QVector<_SqliteCol> columnsOf(std::initializer_list<ColumnSpec> specs)
{
    QVector<_SqliteCol> columns{_SqliteCol(QStringLiteral("ROWID"), QStringLiteral("INTEGER"), false, false, true)};
    for (const ColumnSpec& c : specs)
        columns.append(_SqliteCol(QLatin1String(c.name), QLatin1String(c.type), c.notNull, c.hasDefault, false));
    return columns;
}

QVector<_SqliteCol> ios5Columns(int count)
{
    QVector<_SqliteCol> columns = columnsOf({
        {"address", "TEXT", false, false}, {"date", "INTEGER", false, false}, {"text", "TEXT", false, false},
        {"flags", "INTEGER", false, false}, {"replace", "INTEGER", false, false}, {"svc_center", "TEXT", false, false},
        {"group_id", "INTEGER", false, false}, {"association_id", "INTEGER", false, false},
        {"height", "INTEGER", false, false}, {"UIFlags", "INTEGER", false, false}, {"version", "INTEGER", false, false},
        {"subject", "TEXT", false, false}, {"country", "TEXT", false, false}, {"headers", "BLOB", false, false},
        {"recipients", "BLOB", false, false}, {"read", "INTEGER", false, false},
        {"madrid_attributedBody", "BLOB", false, false}, {"madrid_handle", "TEXT", false, false},
        {"madrid_version", "INTEGER", false, false}, {"madrid_guid", "TEXT", false, false},
        {"madrid_type", "INTEGER", false, false}, {"madrid_roomname", "TEXT", false, false},
        {"madrid_service", "TEXT", false, false}, {"madrid_account", "TEXT", false, false},
        {"madrid_flags", "INTEGER", false, false}, {"madrid_attachmentInfo", "BLOB", false, false},
        {"madrid_url", "TEXT", false, false}, {"madrid_error", "INTEGER", false, false},
        {"is_madrid", "INTEGER", false, false}, {"madrid_date_read", "INTEGER", false, false},
        {"madrid_date_delivered", "INTEGER", false, false}, {"madrid_account_guid", "TEXT", false, false},
    });
    columns.resize(count);
    return columns;
}

// A device table's template: the row id, then its columns of the first layout (and of later devices
// with later), as the column table gives them.
template <typename Record, std::size_t N>
QVector<_SqliteCol> ios6Template(const std::array<Ios6Column<Record>, N>& table, bool later)
{
    QVector<_SqliteCol> columns{_SqliteCol(QStringLiteral("ROWID"), QStringLiteral("INTEGER"), false, false, true)};
    for (const Ios6Column<Record>& c : table) {
        if (c.has(kColumnBase) || (later && c.has(kColumnLater)))
            columns.append(_SqliteCol(QLatin1String(c.name), QLatin1String(c.sqlType), c.has(kColumnNotNull),
                                      c.defaultValue != nullptr, false));
    }
    return columns;
}

bool sameNames(const QVector<_SqliteCol>& a, const QVector<_SqliteCol>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].name().compare(b[i].name(), Qt::CaseInsensitive) != 0)
            return false;
    }
    return true;
}

// The device layouts' fixed templates, after the table's own columns when those differ: later
// devices and this program's local databases add columns, and a record of another column count
// never fits a fixed template.
QVector<ScanTemplate> templatesFor(Sqlite3DB& db, const QString& table, const QVector<QVector<_SqliteCol>>& fixed,
                                   const QStringList& required, const QStringList& refusedNull = {})
{
    QVector<_SqliteCol> live;
    Sqlite3Cursor info = db.queryThrow(Sqlite3Sql("select name, type, \"notnull\", dflt_value is not null, pk"
                                                  " from pragma_table_info(?)")
                                           .addTextParam(table));
    while (info.moveNext())
        live.append(_SqliteCol(info.getText(0), info.getText(1), info.getInt(2), info.getInt(3), info.getInt(4)));
    QVector<ScanTemplate> templates;
    bool liveIsFixed = live.isEmpty();
    for (const QVector<_SqliteCol>& columns : fixed)
        liveIsFixed = liveIsFixed || sameNames(live, columns);
    if (!liveIsFixed)
        templates.append(makeTemplate(live, required, refusedNull));
    for (const QVector<_SqliteCol>& columns : fixed)
        templates.append(makeTemplate(columns, required, refusedNull));
    return templates;
}

// ---- The recycle transaction: committed when the scan ends or is cancelled, rolled back on an error

class RecycleTransaction {
public:
    RecycleTransaction(MessageRecycleDb& db, bool messages) : m_db(db)
    {
        m_db.open();
        m_db.beginTransaction();
        if (messages)
            m_db.beginMessageBatch();
    }
    ~RecycleTransaction()
    {
        if (m_open) {
            m_db.abandonMessageBatch();
            try {
                m_db.endTransaction(false);
            } catch (...) {  // the error that brought us here is the one to report
            }
        }
    }
    RecycleTransaction(const RecycleTransaction&) = delete;
    RecycleTransaction& operator=(const RecycleTransaction&) = delete;

    void commit()
    {
        m_db.finishMessageBatch();
        m_open = false;
        m_db.endTransaction(true);
    }

private:
    MessageRecycleDb& m_db;
    bool m_open = true;
};

// ---- The scan shared by the three kinds

// Where a found row lay. Row ids from first to last are those it can have had: its own when the cell
// kept it, else those between the live rows of the leaves beside the leaf it was carved from (0 when
// not known).
struct RowPlace {
    qint64 srcRowid = 0;  // 0 when unknown
    bool tablePass = false;
    qint64 first = 0;
    qint64 last = 0;
};

struct ScanRules {
    QString table;
    bool storesMessages = true;  // into the recycle database's message table, else its handle table
    QVector<ScanTemplate> templates;
    // True for a row that converts into a record: the carver jumps past what it accepts, so junk that
    // only fits the template must not pass.
    std::function<bool(const DeletedRow&)> valid;
    // Converts a valid row and stores it unless it is stored already. message is what convert made of
    // the row, null without convert.
    std::function<void(const DeletedRow&, const _MsgMessage* message, const RowPlace& place)> store;
    // May be empty: makes the message store is given, false for a row that makes none.
    std::function<bool(const DeletedRow&, _MsgMessage&)> convert;
    // True when valid and convert may run on other threads while store runs: the table pass then
    // carves and converts ahead.
    bool carveAside = false;
    // Runs after both passes, inside the recycle transaction, with the file still open.
    std::function<void(const Sqlite3File&)> finish;
    // Runs last before the commit, also after a cancel.
    std::function<void()> flush;
};

// The copies of one message left in free space agree, unless its text was edited before it was
// deleted: the older and the newer copy are then both there, and nothing tells which came last. Such a
// message is kept by neither: the copy stored first is taken out again when the scan ends.
class MessageCopies {
public:
    // identity: what every copy of a message shares (a guid; of an iOS 5 SMS row, its date, flags and
    // address). True when a copy of it was met already; a copy that differs from that one marks it.
    bool met(const QString& identity, const _MsgMessage& message)
    {
        const auto it = m_first.find(identity);
        if (it == m_first.end())
            return false;
        if (!it->conflicting && (it->text != message.text || it->date != message.date || it->fromMe != message.is_from_me)) {
            it->conflicting = true;
            if (it->stored > 0)
                m_conflicting.push_back(it->stored);
        }
        return true;
    }

    // The first copy of a message, stored as that recycle row (0: not stored by this scan).
    void first(const QString& identity, const _MsgMessage& message, qint64 stored)
    {
        if (!identity.isEmpty())
            m_first.insert(identity, {stored, message.text, message.date, message.is_from_me, false});
    }

    void removeConflicting(MessageRecycleDb& recycle)
    {
        for (const qint64 stored : m_conflicting)
            recycle.executeThrow(Sqlite3Sql("delete from message where rowid=?").addInt64Param(stored));
        m_conflicting.clear();
    }

private:
    struct Copy {
        qint64 stored;
        QString text;
        int date;
        int fromMe;
        bool conflicting;
    };
    // Guids and addresses from the file: Qt's own hash lets crafted ones collide under any seed.
    TextHash<Copy> m_first;
    std::vector<qint64> m_conflicting;  // recycle rows of the first copies another copy disagrees with
};

// A record whose required columns run past the end of its region holds someone else's bytes there.
bool holdsRequiredColumns(const RecoveredRow& row, const ScanTemplate& t)
{
    return row.isWhole(t.requiredEnd - 1);
}

class Scan {
public:
    Scan(Sqlite3DB& source, const QString& path, const ScanRules& rules, ProgressSink* progress)
        : m_source(source), m_path(path), m_file(path), m_rules(rules), m_progress(progress)
    {
    }

    void run(MessageRecycleDb& recycle)
    {
        QString ignored;
        m_source.exec(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE);"), ignored);
        m_file.open();
        // One read transaction for the scan's many look-ups in the live tables.
        const Sqlite3ReadTransaction reading(m_source);
        RecycleTransaction transaction(recycle, m_rules.storesMessages);
        freelistPass();
        Sqlite3Cursor root = m_source.queryThrow(
            Sqlite3Sql("select rootpage from sqlite_master where type='table' and name=?").addTextParam(m_rules.table));
        if (root.moveNext())
            tablePass(quint32(qBound<qint64>(0, root.getInt64(0), 0xffffffffLL)));
        if (!cancelled())
            storeSpilled();
        if (m_rules.flush)
            m_rules.flush();
        if (m_rules.finish && !cancelled())
            m_rules.finish(m_file);
        transaction.commit();
    }

private:
    bool cancelled() const { return ProgressSink::isCancelled(m_progress); }

    void visit(quint32 page)
    {
        if (!m_seen.contains(page)) {
            m_seen.insert(page);
            m_visited.append(page);
        }
    }

    // Intact cells of freed table leaves. A freed interior page is not descended: its children are
    // either freed too, and met here in their own right, or live pages of a table that shrank, whose
    // rows are not deleted.
    void freelistPass()
    {
        for (const Sqlite3FreelistTrunk& trunk : m_file.freelistTrunks()) {
            if (cancelled())
                return;
            visit(trunk.pageNumber);
            m_trunkArrayEnd.insert(trunk.pageNumber, 8 + 4 * qint64(trunk.entryCount));
            for (const quint32 leaf : trunk.leaves) {
                if (cancelled())
                    return;
                visit(leaf);
                const Sqlite3Page page = m_file.readPage(leaf);
                if (page.pageType == 13)
                    storeCells(page);
            }
        }
    }

    void storeCells(const Sqlite3Page& page)
    {
        for (const qint64 pointer : page.cellPointers) {
            const Sqlite3Cell cell = m_file.readCell(page, pointer);
            if (cell.rowid > 0) {
                FreedLeaf& freed = m_freedLeaves[page.pageNumber];
                freed.contentStart = page.pageStart + page.cellContentStart;
                widen(freed.rowids, cell.rowid);
            }
            const RecoveredRow row = m_file.freedRowData(cell);
            const ScanTemplate* t = templateFor(row.values.size());
            if (!t)
                continue;
            const DeletedRow deleted(row, t->index);
            if (!holdsRequiredColumns(row, *t) || !m_rules.valid(deleted))
                continue;
            _MsgMessage m;
            if (!m_rules.convert)
                storeOrHold(row, *t, nullptr, {cell.rowid, false, cell.rowid, cell.rowid});
            else if (m_rules.convert(deleted, m))
                storeOrHold(row, *t, &m, {cell.rowid, false, cell.rowid, cell.rowid});
        }
    }

    // A record joined with its overflow chain is held back until every chain is known (see storeSpilled).
    void storeOrHold(const RecoveredRow& row, const ScanTemplate& t, const _MsgMessage* message, const RowPlace& place)
    {
        if (row.overflowChain == 0)
            return m_rules.store(DeletedRow(row, t.index), message, place);
        m_spilled.push_back({row, &t, message ? std::make_optional(*message) : std::nullopt, place});
    }

    // A freed overflow page that a later record's chain took and freed again still ends that chain, and
    // an earlier record naming it reads the later one's bytes as its own. Nothing on the page tells whose
    // bytes it holds, but such a page is named twice: by the earlier record, and by the page before it
    // in the later chain (or by the later record). A chain is trusted only while each of its pages is
    // named once, counting the next-page fields of the freed pages and the first page of every record
    // held here (copies of one cell name their first page once between them).
    void storeSpilled()
    {
        if (m_spilled.empty())
            return;
        std::vector<quint8> namedBy(size_t(m_file.pageCount()) + 1, 0);
        const auto name = [&namedBy](quint32 page) {
            if (page != 0 && page < namedBy.size() && namedBy[page] < 2)
                ++namedBy[page];
        };
        for (const Sqlite3FreelistTrunk& trunk : m_file.freelistTrunks()) {
            for (const quint32 leaf : trunk.leaves)
                name(m_file.nextPage(leaf));
        }
        std::vector<const RecordValues*> namer(namedBy.size(), nullptr);
        for (const HeldRow& held : m_spilled) {
            const RecordValues*& first = namer[held.row.overflowChain];
            if (!first || *first != held.row.values)
                name(held.row.overflowChain);
            if (!first)
                first = &held.row.values;
        }
        for (const HeldRow& held : m_spilled) {
            const QVector<quint32> chain = m_file.freedChainPages(held.row.overflowChain);
            if (std::all_of(chain.cbegin(), chain.cend(), [&namedBy](quint32 page) { return namedBy[page] == 1; }))
                m_rules.store(DeletedRow(held.row, held.t->index), held.message ? &*held.message : nullptr,
                              held.place);
        }
        m_spilled.clear();
    }

    // The template a whole record was written with: same column count, else one with more columns
    // (the record predates columns added later).
    const ScanTemplate* templateFor(int valueCount) const
    {
        const ScanTemplate* wider = nullptr;
        for (const ScanTemplate& t : m_rules.templates) {
            if (t.columns.size() == valueCount)
                return &t;
            if (!wider && t.columns.size() > valueCount)
                wider = &t;
        }
        return wider;
    }

    // Rows one template found on a page, and with convert their messages, one each.
    struct Carved {
        QList<RecoveredRow> rows;
        std::vector<_MsgMessage> messages;
    };
    using Found = std::vector<Carved>;  // a page's rows, by template

    void tablePass(quint32 root)
    {
        const Sqlite3Page rootPage = m_file.readPage(root);
        const QVector<quint32> leaves = m_file.leafPageNumbers(rootPage);
        for (const quint32 leaf : leaves)
            visit(leaf);
        noteLeafSpans(leaves);
        // A leaf that grew too full became an interior page; its old cells stay in the gap, and rows
        // deleted since are found there. After the leaves, so that their later copies come first.
        for (const Sqlite3Page& page : m_file.collectAllPages(rootPage)) {
            if (!page.isLeaf())
                visit(page.pageNumber);
        }
        // A page the message table gave up and an index or another table took since keeps the table's
        // old records in its free space. Last, so that copies in the table's own pages come first. (The
        // handle table is small and seldom gives pages up.)
        // Only their gap: their freeblocks were their own cells, written over what the page held before.
        // A gap too small for a record's header alone holds none.
        int smallestHeader = std::numeric_limits<int>::max();
        for (const ScanTemplate& t : m_rules.templates)
            smallestHeader = std::min(smallestHeader, int(t.columns.size()) + 1);
        for (const quint32 other : m_rules.storesMessages ? otherTreeRoots(root) : QVector<quint32>()) {
            for (const Sqlite3Page& page : m_file.collectAllPages(m_file.readPage(other))) {
                const qint64 gap = std::min<qint64>(page.cellContentStart, m_file.usableSize()) -
                                   (page.cellArrayEnd() - page.pageStart);
                if (gap < smallestHeader || m_seen.contains(page.pageNumber))
                    continue;
                m_gapOnly.insert(page.pageNumber);
                visit(page.pageNumber);
            }
        }
        const QVector<quint32> pages = m_visited;
        if (m_rules.carveAside)
            return carveAside(pages);
        for (int i = 0; i < pages.size() && !cancelled(); ++i) {
            postProgress(i, pages.size());
            const Sqlite3Page page = m_file.readPage(pages[i]);
            Found found;
            for (const ScanTemplate& t : m_rules.templates) {
                if (cancelled())
                    return;
                found.push_back(converted(carve(m_file, page, t), t));
            }
            storePage(found, page.pageNumber);
        }
    }

    QVector<quint32> otherTreeRoots(quint32 root) const
    {
        QVector<quint32> roots;
        Sqlite3Cursor rows = m_source.queryThrow(Sqlite3Sql("select rootpage from sqlite_master where rootpage>0"));
        while (rows.moveNext()) {
            const qint64 page = rows.getInt64(0);
            if (page != root && page <= m_file.pageCount())
                roots.append(quint32(page));
        }
        return roots;
    }

    void postProgress(int i, int pages) const
    {
        ProgressSink::postUpdateProgress(m_progress, QString(), int((i + 1) * 100.0 / pages), QString());
    }

    // The table pass with the carving on threads of their own, ahead of the rows being stored here in
    // the order the plain pass stores them. Each carving thread takes every kCarvers-th page, with its
    // own mapping of the file (whose memo of refusals is kept per page) and its own copy of the
    // templates (whose column indexes remember look-ups).
    void carveAside(const QVector<quint32>& pages)
    {
        constexpr int kCarvers = 2;
        constexpr size_t kPagesAhead = 32;
        struct Carver {
            std::unique_ptr<Sqlite3File> file;
            QVector<ScanTemplate> templates;
            std::deque<Found> ready;
            // Pages stored already, freed by the thread that made them: memory freed on another thread
            // goes back under the lock of the arena it came from.
            std::vector<Found> spent;
            bool done = false;
            std::exception_ptr failed;
            std::thread thread;
        };
        std::array<Carver, kCarvers> carvers;
        for (Carver& c : carvers) {
            c.file = std::make_unique<Sqlite3File>(m_path);
            c.file->open();
            c.templates = m_rules.templates;
            c.templates.detach();
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool stop = false;
        const auto carveEvery = [&](int first) {
            Carver& me = carvers[size_t(first)];
            try {
                for (int i = first; i < pages.size(); i += kCarvers) {
                    std::vector<Found> spent;
                    {
                        const std::lock_guard<std::mutex> lock(mutex);
                        spent.swap(me.spent);
                    }
                    spent.clear();
                    const Sqlite3Page page = me.file->readPage(pages[i]);
                    Found found;
                    for (int k = 0; k < me.templates.size() && !cancelled(); ++k)
                        found.push_back(converted(carve(*me.file, page, me.templates.at(k)), me.templates.at(k)));
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return stop || me.ready.size() < kPagesAhead; });
                    if (stop)
                        break;
                    me.ready.push_back(std::move(found));
                    changed.notify_all();
                }
            } catch (...) {
                const std::lock_guard<std::mutex> lock(mutex);
                me.failed = std::current_exception();
            }
            const std::lock_guard<std::mutex> lock(mutex);
            me.done = true;
            changed.notify_all();
        };
        const auto joinAll = [&] {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                stop = true;
            }
            changed.notify_all();
            for (Carver& c : carvers) {
                if (c.thread.joinable())
                    c.thread.join();
            }
        };
        std::exception_ptr failed;
        try {
            for (int first = 0; first < kCarvers; ++first)
                carvers[size_t(first)].thread = std::thread(carveEvery, first);
            for (int i = 0; i < pages.size() && !cancelled(); ++i) {
                Carver& from = carvers[size_t(i % kCarvers)];
                Found found;
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    changed.wait(lock, [&] { return !from.ready.empty() || from.done; });
                    if (from.ready.empty()) {
                        failed = from.failed;
                        break;
                    }
                    found = std::move(from.ready.front());
                    from.ready.pop_front();
                    changed.notify_all();
                }
                postProgress(i, pages.size());
                storePage(found, pages[i]);
                const std::lock_guard<std::mutex> lock(mutex);
                from.spent.push_back(std::move(found));
            }
        } catch (...) {
            joinAll();
            throw;
        }
        joinAll();
        if (failed)
            std::rethrow_exception(failed);
    }

    QList<RecoveredRow> carve(const Sqlite3File& file, const Sqlite3Page& page, const ScanTemplate& t) const
    {
        const auto valid = [this, &t](const RecoveredRow& row) {
            return holdsRequiredColumns(row, t) && m_rules.valid(DeletedRow(row, t.index));
        };
        // A freelist trunk's page numbers were written over what the page held before.
        const auto trunk = m_trunkArrayEnd.constFind(page.pageNumber);
        if (m_gapOnly.contains(page.pageNumber)) {
            const qint64 contentStart = std::min<qint64>(page.pageStart + page.cellContentStart, page.pageStart + file.usableSize());
            return page.isValidType() ? file.carveRecords(t.columns, 0, file.usableSize(), page.cellArrayEnd(), contentStart,
                                                          valid, t.refusedNull)
                                      : QList<RecoveredRow>();
        }
        return trunk != m_trunkArrayEnd.constEnd()
                   ? file.carvePage(t.columns, 0, page.pageNumber, *trunk, valid, t.refusedNull)
               : page.isValidType() ? file.carveFreeSpace(t.columns, 0, page, valid, t.refusedNull)
                                    : file.carvePage(t.columns, 0, page.pageNumber, 0, valid, t.refusedNull);
    }

    Carved converted(QList<RecoveredRow> rows, const ScanTemplate& t) const
    {
        Carved carved;
        if (!m_rules.convert) {
            carved.rows = std::move(rows);
            return carved;
        }
        carved.messages.reserve(size_t(rows.size()));
        for (const RecoveredRow& row : qAsConst(rows)) {
            _MsgMessage m;
            if (m_rules.convert(DeletedRow(row, t.index), m)) {
                carved.rows.append(row);
                carved.messages.push_back(std::move(m));
            }
        }
        return carved;
    }

    void storePage(const Found& found, quint32 page)
    {
        const std::pair<qint64, qint64> span = rowidsHeldBy(found, page);
        const auto freed = m_freedLeaves.constFind(page);
        // Below a freed leaf's cell content lie bytes of its earlier uses too: a record there stays unplaced.
        const qint64 placedFrom = freed == m_freedLeaves.cend() || m_leafSpans.contains(page) ? 0 : freed->contentStart;
        for (size_t k = 0; k < found.size() && !cancelled(); ++k) {
            const Carved& carved = found[k];
            for (int i = 0; i < carved.rows.size(); ++i) {
                const RecoveredRow& row = carved.rows[i];
                RowPlace place{row.rowid, true, row.rowid, row.rowid};
                if (row.rowid <= 0 && row.typesStart >= placedFrom)
                    std::tie(place.first, place.last) = span;
                const _MsgMessage* message = carved.messages.empty() ? nullptr : &carved.messages[size_t(i)];
                storeOrHold(row, m_rules.templates[int(k)], message, place);
            }
        }
    }

    // The row ids a record carved from a page without its own can have had (0 for an open end): those of
    // the live leaf's span, widened to every row id a record carved beside it kept. A page's free space
    // also holds rows a rebalance moved on to a sibling, or rows of an earlier use of the page.
    //
    // A freed leaf is no leaf now: its rows are gone from the table, or moved to the leaves beside it when
    // a rebalance freed it. Its cells say which rows it held last, and the bytes from its cell content on
    // were all written in that last use, so a record there that lost its row id was one of that use's
    // rows: it is placed among the cells' row ids (and those records carved beside it kept), between the
    // live rows on either side of them, as a live leaf's rows are. A freelist trunk's header and cell
    // pointers are gone, so nothing tells where its last use began: its records stay unplaced.
    std::pair<qint64, qint64> rowidsHeldBy(const Found& found, quint32 page) const
    {
        const auto freed = m_freedLeaves.constFind(page);
        const bool onFreedPage = freed != m_freedLeaves.cend() && !m_leafSpans.contains(page);
        std::pair<qint64, qint64> span = onFreedPage ? freed->rowids : m_leafSpans.value(page, {0, 0});
        for (const Carved& carved : found) {
            for (const RecoveredRow& row : carved.rows) {
                if (row.rowid <= 0)
                    continue;
                if (onFreedPage) {
                    widen(span, row.rowid);
                    continue;
                }
                if (span.first > 0)
                    span.first = qMin(span.first, row.rowid);
                if (span.second > 0)
                    span.second = qMax(span.second, row.rowid);
            }
        }
        return span;
    }

    // Widens the row ids a freed leaf held, {0, 0} while none is known, to hold rowid.
    static void widen(std::pair<qint64, qint64>& span, qint64 rowid)
    {
        if (rowid <= 0)
            return;
        span.first = span.first > 0 ? qMin(span.first, rowid) : rowid;
        span.second = span.second > 0 ? qMax(span.second, rowid) : rowid;
    }

    // Each live leaf's row ids run from past the last one of the leaf before to short of the first one
    // of the leaf after: a row deleted from it had one of those. The leaves are put in key order by
    // their first row ids; a leaf without cells, or at either end, is open on that side.
    void noteLeafSpans(const QVector<quint32>& leaves)
    {
        struct Keys {
            qint64 first, last;
            quint32 page;
        };
        std::vector<Keys> keys;
        for (const quint32 leaf : leaves) {
            const Sqlite3Page page = m_file.readPage(leaf);
            if (page.pageType != 13 || page.cellPointers.isEmpty())
                continue;
            keys.push_back({m_file.readCell(page, page.cellPointers.first()).rowid,
                            m_file.readCell(page, page.cellPointers.last()).rowid, leaf});
        }
        std::sort(keys.begin(), keys.end(), [](const Keys& a, const Keys& b) { return a.first < b.first; });
        // Row ids read from the file can be anything: the ends stay open rather than wrap.
        const auto after = [](qint64 rowid) {
            return rowid > 0 && rowid < std::numeric_limits<qint64>::max() ? rowid + 1 : 0;
        };
        const auto before = [](qint64 rowid) { return rowid > 1 ? rowid - 1 : 0; };
        for (size_t k = 0; k < keys.size(); ++k) {
            m_leafSpans.insert(keys[k].page, {k > 0 ? after(keys[k - 1].last) : 0,
                                              k + 1 < keys.size() ? before(keys[k + 1].first) : 0});
        }
    }

    struct HeldRow {
        RecoveredRow row;
        const ScanTemplate* t;
        std::optional<_MsgMessage> message;
        RowPlace place;
    };

    Sqlite3DB& m_source;
    const QString m_path;
    Sqlite3File m_file;
    const ScanRules& m_rules;
    ProgressSink* m_progress;
    QVector<quint32> m_visited;  // in the order met, each once
    QSet<quint32> m_seen;
    QHash<quint32, qint64> m_trunkArrayEnd;  // freelist trunk -> where its page-number array ends
    QSet<quint32> m_gapOnly;                  // pages of other b-trees, carved in their gap only
    QHash<quint32, std::pair<qint64, qint64>> m_leafSpans;  // live leaf -> the row ids its rows can have had
    struct FreedLeaf {
        std::pair<qint64, qint64> rowids;  // of its cells
        qint64 contentStart = 0;           // where its cell content begins in the file
    };
    QHash<quint32, FreedLeaf> m_freedLeaves;  // freed table leaves that kept cells with row ids
    std::vector<HeldRow> m_spilled;  // records with an overflow chain, stored last
};

bool isService(const QString& service)
{
    return service.compare(QLatin1String("SMS"), Qt::CaseInsensitive) == 0 ||
           service.compare(QLatin1String("iMessage"), Qt::CaseInsensitive) == 0;
}

bool isIos5RowFlagsValid(const DeletedRow& row)
{
    const int read = row.integer("read");
    const int uiFlags = row.integer("UIFlags");
    return (read == 0 || read == 1) && (uiFlags == 0 || (uiFlags >= 4 && uiFlags <= 6));
}

// A row with is_madrid 0 is an SMS row only when its iMessage texts and blobs are all empty.
bool hasNoIMessageData(const DeletedRow& row)
{
    for (const char* name : {"madrid_attributedBody", "madrid_handle", "madrid_guid", "madrid_roomname",
                             "madrid_service", "madrid_account", "madrid_attachmentInfo", "madrid_url"}) {
        const QVariant value = row.value(name);
        if (!value.isNull() && !value.toByteArray().isEmpty())
            return false;
    }
    return true;
}

void setIos5Defaults(_MsgMessage& m)
{
    m.handle_id = 0;
    setIos5StatusFields(m);
}

_MsgHandle* lowestHandle(const _MsgChat& chat)
{
    const QList<_MsgHandle*> sorted = chat.sortedHandles();
    return sorted.isEmpty() ? nullptr : sorted.first();
}

// A group keeps its style when all but one member have left.
bool isGroupChat(const _MsgChat& chat)
{
    return chat.isGroup() || chat.style == 43;
}

// Handle row id -> conversation: the last one-to-one conversation holding it, else the first group.
// Walked by ascending row id, so two scans of one file choose alike whatever order the list has.
IdHash<const _MsgChat*> chatsByHandle(QList<_MsgChat*> chats)
{
    std::stable_sort(chats.begin(), chats.end(), [](const _MsgChat* a, const _MsgChat* b) { return a->rowid < b->rowid; });
    IdHash<const _MsgChat*> byHandle;
    for (const _MsgChat* chat : qAsConst(chats)) {
        for (const _MsgHandle* handle : chat->sortedHandles()) {
            if (!isGroupChat(*chat) || !byHandle.contains(handle->rowid))
                byHandle.insert(handle->rowid, chat);
        }
    }
    return byHandle;
}

bool hasColumn(Sqlite3DB& db, const QString& table, const QString& column)
{
    Sqlite3Cursor found = db.queryThrow(
        Sqlite3Sql("select 1 from pragma_table_info(?) where name=?").addTextParam(table).addTextParam(column));
    return found.moveNext();
}

// Keys of every live iOS 5 row. Rebalancing, and updates that change a row's size, leave stale copies
// of live cells in free space; a copy is known by its date and text as stored, or, when its text was
// edited since, by what an edit keeps: an iMessage row's guid, an SMS row's date, flags and address.
class LiveIos5Rows {
public:
    explicit LiveIos5Rows(IOS5MessageDb& db)
    {
        const bool madrid = hasColumn(db, QStringLiteral("message"), QStringLiteral("madrid_guid")) &&
                            hasColumn(db, QStringLiteral("message"), QStringLiteral("is_madrid"));
        Sqlite3Cursor cursor = db.queryThrow(madrid ? "select date, text, flags, address, madrid_guid, is_madrid"
                                                      " from message"
                                                    : "select date, text, flags, address, null, 0 from message");
        while (cursor.moveNext()) {
            m_keys.insert(textKey(cursor.getInt64(0), cursor.getText(1)));
            m_keys.insert(cursor.getInt(5) == 1 ? guidKey(cursor.getText(4))
                                                : smsKey(cursor.getInt64(0), cursor.getInt(2), cursor.getText(3)));
        }
    }

    // True when a carved row is a copy of a live one; iMessage as its converter read it.
    bool contains(const DeletedRow& row, bool iMessage) const
    {
        const qint64 date = row.integer64("date");
        return m_keys.contains(textKey(date, row.text("text"))) ||
               m_keys.contains(iMessage ? guidKey(row.text("madrid_guid"))
                                        : smsKey(date, row.integer("flags"), row.text("address")));
    }

    static QString smsKey(qint64 date, int flags, const QString& address)
    {
        return QStringLiteral("s%1|%2|").arg(date).arg(flags) + address;
    }

private:
    static QString textKey(qint64 date, const QString& text)
    {
        return QLatin1Char('t') + QString::number(date) + QLatin1Char('|') + text;
    }
    static QString guidKey(const QString& guid) { return QLatin1Char('g') + guid; }

    TextSet m_keys;  // texts from the file
};

// ---- Dates against their neighbours

// In a message table dates rise with the row id: a row is written when it is sent or arrives. A freed
// record can have the last two bytes of its date overwritten later, which leaves no trace in the
// record. So a recovered message dated outside what the live rows on either side of its row id
// bracket is refused when such a cut explains it: with other last two bytes, the date would fall in
// the bracket. The bracket is widened by an hour: phone clocks step back when they resync, and a
// message in flight while another is written lands a little out of order. Any other date is no such
// cut: a record left from an earlier use of a reused page, or a message truly out of order. A carved
// record that lost its row id is placed by the page it lay on (see rowidsHeldBy); one on a freelist
// trunk or among a freed leaf's older bytes, or with no live row on one side, is not bounded on that side.
class LiveDates {
public:
    static constexpr qint64 kClockSlack = 3600;

    explicit LiveDates(Sqlite3DB& db) : m_pageSize(db.queryFirstInt64("PRAGMA page_size").value_or(65536)) {}
    void add(qint64 rowid, qint64 date) { m_rows.emplace_back(rowid, date); }
    void sort() { std::sort(m_rows.begin(), m_rows.end()); }

    // place.first and place.last: the row ids the row can have had, 0 for an open end. date: seconds
    // since 2001; stored: the date as the record holds it.
    bool plausible(const RowPlace& place, qint64 date, qint64 stored) const
    {
        // A cut of a date in nanoseconds moves it by less than a millisecond.
        if (m_rows.empty() || appleDateSeconds(stored) != stored)
            return true;
        const auto byRowid = [](const std::pair<qint64, qint64>& a, qint64 rowid) { return a.first < rowid; };
        const auto from = place.first > 0 ? std::lower_bound(m_rows.cbegin(), m_rows.cend(), place.first, byRowid)
                                          : m_rows.cbegin();
        if (place.first > 0 && place.first == place.last && from != m_rows.cend() && from->first == place.first)
            return true;  // an earlier version of a live row: the live one says nothing of its date
        const auto to = place.last > 0 ? std::upper_bound(from, m_rows.cend(), place.last,
                                                          [](qint64 rowid, const auto& a) { return rowid < a.first; })
                                       : m_rows.cend();
        // The dates the record can have held before the cut: the same but for the last two bytes, or
        // the last three where they read as a freeblock header's next offset and its size's high byte.
        const auto cutExplains = [&](qint64 mask) {
            const qint64 uncutFirst = date - (stored & mask);
            const qint64 uncutLast = uncutFirst + mask;
            const bool cutBelow = place.first > 0 && from != m_rows.cbegin() &&
                                  date < std::prev(from)->second - kClockSlack &&
                                  uncutLast >= std::prev(from)->second - kClockSlack;
            const bool cutAbove = place.last > 0 && to != m_rows.cend() && date > to->second + kClockSlack &&
                                  uncutFirst <= to->second + kClockSlack;
            return cutBelow || cutAbove;
        };
        const bool threeReadAsHeader = ((stored >> 8) & 0xffff) < m_pageSize && (stored & 0xff) <= m_pageSize >> 8;
        return !cutExplains(0xffff) && !(threeReadAsHeader && cutExplains(0xffffff));
    }

private:
    qint64 m_pageSize;
    std::vector<std::pair<qint64, qint64>> m_rows;  // (row id, seconds since 2001), by row id
};

LiveDates liveIos6Dates(IOS6MessageDb& db)
{
    LiveDates dates(db);
    for (Sqlite3Cursor cursor = db.queryThrow("select rowid, date from message"); cursor.moveNext();)
        dates.add(cursor.getInt64(0), appleDateSeconds(cursor.getInt64(1)));
    dates.sort();
    return dates;
}

// An iOS 5 SMS row keeps Unix seconds, an iMessage row seconds since 2001.
LiveDates liveIos5Dates(IOS5MessageDb& db)
{
    const bool madrid = hasColumn(db, QStringLiteral("message"), QStringLiteral("is_madrid"));
    LiveDates dates(db);
    Sqlite3Cursor cursor = db.queryThrow(madrid ? "select rowid, date, is_madrid from message"
                                                : "select rowid, date, 0 from message");
    while (cursor.moveNext()) {
        // Bounded so that no date read from the file overflows what is reckoned with it.
        const qint64 date = qBound<qint64>(-(qint64(1) << 40), cursor.getInt64(1), qint64(1) << 40);
        dates.add(cursor.getInt64(0), cursor.getInt(2) == 1 ? appleDateSeconds(date) : date - kUnixToApple);
    }
    dates.sort();
    return dates;
}

// What an iOS 6 row needs beyond its service to be a message rather than bytes that fit the template:
// a date, and a text its attributed body agrees with. The body keeps a copy of the text in UTF-8, so a
// text it does not hold had bytes overwritten after the delete (by a later freeblock header or cell).
// A date of 0 is a record whose date bytes are gone, not a message of 2001-01-01. A room name is
// "chat" and digits: one holding a control character had a byte overwritten the same way.
bool ios6RowMakesMessage(const DeletedRow& row, qint64 now)
{
    const qint64 date = appleDateSeconds(row.integer64("date"));
    if (date < 1 || date > now || row.integer64("handle_id") < 0)
        return false;
    const QString room = row.text("cache_roomnames");
    if (std::any_of(room.cbegin(), room.cend(), [](QChar c) { return c.unicode() < 0x20; }))
        return false;
    const QByteArray body = row.value("attributedBody").toByteArray();
    const QString text = row.text("text");
    return body.isEmpty() || text.isEmpty() || body.contains(text.toUtf8());
}

// ---- Row ids of carved handles whose cell lost its own

// A carved handle stored without the row id it had, and the bytes its (id, service) index entry holds.
struct UnplacedHandle {
    qint64 recycleRowid;
    QByteArray idAndService;
};

// Free bytes of the pages of the handle table's indexes, and every freelist page; each within the file.
QVector<Sqlite3Region> handleIndexFreeSpace(Sqlite3DB& source, const Sqlite3File& file)
{
    QVector<Sqlite3Region> regions;
    const qint64 fileSize = file.dataEnd() - file.data();
    const auto wholePage = [&](quint32 n) {
        const qint64 start = qint64(n - 1) * file.pageSize();
        if (start < fileSize)
            regions.append({start, std::min(start + file.usableSize(), fileSize)});
    };
    for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks()) {
        wholePage(trunk.pageNumber);
        for (const quint32 leaf : trunk.leaves)
            wholePage(leaf);
    }
    Sqlite3Cursor roots = source.queryThrow("select rootpage from sqlite_master where type='index' and tbl_name='handle'");
    while (roots.moveNext()) {
        const qint64 root = roots.getInt64(0);
        if (root < 1 || root > file.pageCount())
            continue;
        for (const Sqlite3Page& page : file.collectLeafPages(file.readPage(root)))
            regions += file.freeRegions(page);
    }
    return regions;
}

// The row id an index entry's bytes give right after key: the entry is
//   [length][id type][service type][rowid type] [id][service][rowid]
// and a freeblock header overwrites at most its first four bytes, so the rowid's type byte just
// before the id and the integer after the service are still there. 0 when they do not read as one.
qint64 rowidAfterKey(const uchar* data, qint64 at, qint64 keyLength, const Sqlite3Region& region)
{
    if (at <= region.start)
        return 0;
    const int type = data[at - 1];
    if (type == 9)
        return 1;
    if (type < 1 || type > 6)
        return 0;
    const int width = type == 5 ? 6 : type == 6 ? 8 : type;
    const qint64 from = at + keyLength;
    if (from + width > region.end)
        return 0;
    qint64 value = (data[from] & 0x80) ? -1 : 0;
    for (int i = 0; i < width; ++i)
        value = qint64(quint64(value) << 8 | data[from + i]);
    return value;
}

// Gives each unplaced handle the row id its index entry still names, when exactly one row id that is
// neither live nor another recovered handle's is found for it; the others stay unplaced.
void placeHandlesByIndexRemnants(Sqlite3DB& source, MessageRecycleDb& recycle, const Sqlite3File& file,
                                 const QVector<UnplacedHandle>& unplaced)
{
    if (unplaced.isEmpty())
        return;
    const QVector<Sqlite3Region> regions = handleIndexFreeSpace(source, file);
    IdSet taken;
    for (Sqlite3Cursor live = source.queryThrow("select rowid from handle"); live.moveNext();)
        taken.insert(live.getInt64(0));
    taken += recycle.handleSources();
    const uchar* data = file.data();
    IdHash<QVector<qint64>> candidates;  // row id -> unplaced handles naming it
    QVector<qint64> chosen(unplaced.size(), 0);
    for (int i = 0; i < unplaced.size(); ++i) {
        const QByteArray& key = unplaced[i].idAndService;
        IdSet found;
        for (const Sqlite3Region& region : regions) {
            const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data + region.start),
                                                             int(region.end - region.start));
            for (int at = bytes.indexOf(key); at >= 0 && !key.isEmpty(); at = bytes.indexOf(key, at + 1)) {
                const qint64 rowid = rowidAfterKey(data, region.start + at, key.size(), region);
                if (rowid > 0 && !taken.contains(rowid))
                    found.insert(rowid);
            }
        }
        if (found.size() == 1) {
            chosen[i] = *found.begin();
            candidates[chosen[i]].append(i);
        }
    }
    for (int i = 0; i < unplaced.size(); ++i) {
        if (chosen[i] > 0 && candidates.value(chosen[i]).size() == 1)
            recycle.setHandleSource(unplaced[i].recycleRowid, chosen[i]);
    }
}

qint64 nowSince2001()
{
    return QDateTime::currentSecsSinceEpoch() - kUnixToApple;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

const ColumnIndex::MessagePositions& ColumnIndex::messagePositions(bool later) const
{
    std::optional<MessagePositions>& found = m_messagePositions[later ? 1 : 0];
    if (!found) {
        found = ios6Positions(
            kIos6MessageColumns, [this](const char* name) { return position(name); },
            [later](const Ios6Column<_MsgMessage>& c) { return c.has(kColumnBase) || (later && c.has(kColumnLater)); });
    }
    return *found;
}

int ColumnIndex::position(const char* name) const
{
    if (m_next < m_byAddress.size() && m_byAddress[m_next].first == name)
        return m_byAddress[m_next++].second;
    auto it = std::find_if(m_byAddress.cbegin(), m_byAddress.cend(),
                           [name](const auto& known) { return known.first == name; });
    if (it == m_byAddress.cend()) {
        m_byAddress.emplace_back(name, m_byName.value(QByteArray::fromRawData(name, int(qstrlen(name))), -1));
        it = m_byAddress.cend() - 1;
    }
    m_next = size_t(it - m_byAddress.cbegin()) + 1;
    return it->second;
}

const Country* CountryCache::find(const QString& code)
{
    if (code.isEmpty()) {
        if (!m_known.contains(code))
            m_known.insert(code, m_lib.defaultCountry());
    } else if (!m_known.contains(code) && !m_unknown.contains(code)) {
        bool found = false;
        const Country country = m_lib.countryBySn(code, &found);
        if (found)
            m_known.insert(code, country);
        else
            m_unknown.insert(code);
    }
    const auto it = m_known.constFind(code);
    return it == m_known.cend() ? nullptr : &it.value();
}

bool isDeletedIos5MessageRowValid(const DeletedRow& row)
{
    if (row.size() <= 16 || !isIos5RowFlagsValid(row))
        return false;
    const int isMadrid = row.integer("is_madrid");
    return !row.isWhole("is_madrid") || isMadrid == 0 || isMadrid == 1;
}

bool isDeletedIos6MessageRowValid(const DeletedRow& row)
{
    return row.size() > 37 && isService(row.text("service"));
}

bool isDeletedHandleRowValid(const DeletedRow& row)
{
    return row.size() > 4 && isService(row.text("service"));
}

bool deletedIos5RowToMessage(const DeletedRow& row, CountryCache& countries, qint64 now, _MsgMessage& m,
                             Ios5Placement& placement, bool makeGuid)
{
    if (row.size() <= 16 || !isIos5RowFlagsValid(row))
        return false;
    m.rowid = row.rowid();
    m.replace = row.integer("replace");
    m.text = row.text("text");
    m.service_center = row.text("svc_center");
    m.subject = row.text("subject");
    m.country = row.text("country");
    const Country* country = countries.find(m.country);
    if (!country)
        return false;
    m.version = row.integer("version");
    setIos5Defaults(m);

    // Told apart by is_madrid wherever the row still holds it, so iMessage rows are not read as SMS. A
    // row whose madrid columns were written over is an SMS only with an address and no iMessage data left
    // (an iMessage row has no address, and its date would not read as an SMS date).
    const QVariant isMadrid = row.value("is_madrid");
    bool iMessage = false;
    if (row.hasColumn("is_madrid")) {
        if (row.isWhole("is_madrid") && isMadrid.toInt() == 1)
            iMessage = true;
        else if ((row.isWhole("is_madrid") && isMadrid.toInt() != 0) || !hasNoIMessageData(row))
            return false;
    }
    qint64 date = 0;
    if (iMessage) {
        if (!row.isWhole("madrid_date_delivered") ||
            (row.hasColumn("madrid_service") && row.text("madrid_service") != QLatin1String("Madrid")))
            return false;
        m.guid = row.text("madrid_guid");
        m.service = QStringLiteral("iMessage");
        m.account = row.text("madrid_account");
        if (row.isWhole("madrid_account_guid"))
            m.account_guid = row.text("madrid_account_guid");
        m.error = row.integer("madrid_error");
        date = appleDateSeconds(row.integer64("date"));
        m.date_read = appleDateSeconds(row.integer64("madrid_date_read"));
        m.date_delivered = appleDateSeconds(row.integer64("madrid_date_delivered"));
        m.is_from_me = m.date_delivered > 0 ? 1 : 0;
        placement.handleAddress = country->normalizeNumber(row.text("madrid_handle"));
        const QString room = row.text("madrid_roomname");
        placement.chatIdentifier = room.isEmpty() ? placement.handleAddress : room;
    } else {
        if (makeGuid)
            m.guid = newGuid();
        m.service = QStringLiteral("SMS");
        m.account = QStringLiteral("e:");
        m.error = 0;
        date = row.integer64("date") - kUnixToApple;
        m.is_from_me = row.integer("flags") == 3 ? 1 : 0;
        const QString address = row.text("address");
        if (address.isEmpty())
            return false;
        placement.handleAddress = placement.chatIdentifier = country->normalizeNumber(address);
    }
    if (date < 1 || date > now)
        return false;
    m.date = int(date);
    if (!iMessage)
        m.date_read = m.date_delivered = m.date;
    return true;
}

bool deletedIos6RowToMessage(const DeletedRow& row, qint64 now, _MsgMessage& m)
{
    if (row.size() <= 37 || !ios6RowMakesMessage(row, now))
        return false;
    // Rows of the first layout's width hold no later columns: their fields keep their defaults.
    fillIos6Record(m, row, kIos6MessageColumns, row.messagePositions(row.size() > 49), nullptr);
    m.rowid = row.rowid();
    // A negative handle id is no row of the file; it would also push a conversation key out of its band.
    return isService(m.service) && m.handle_id >= 0;
}

bool deletedRowToHandle(const DeletedRow& row, CountryCache& countries, _MsgHandle& handle)
{
    if (row.size() <= 4)
        return false;
    handle.rowid = row.rowid();
    handle.country = row.text("country");
    const Country* country = countries.find(handle.country);
    const QString id = row.text("id");
    handle.service = row.text("service");
    // id and service are NOT NULL in the recycle database.
    if (!country || id.isEmpty() || !isService(handle.service))
        return false;
    handle.id = country->normalizeNumber(id);
    handle.uncanonicalized_id = row.text("uncanonicalized_id");
    return true;
}

void scanDeletedMessages(IOS5MessageDb& db, ProgressSink* progress)
{
    db.open();
    MessageRecycleDb& recycle = db.recycleDb();
    CountryCache countries(db.countryDb());
    const qint64 now = nowSince2001();
    ScanRules rules;
    rules.table = QStringLiteral("message");
    rules.templates = templatesFor(db, rules.table, {ios5Columns(33), ios5Columns(32), ios5Columns(17)},
                                   kIos5RequiredColumns, kIos5RefusedNull);
    rules.valid = [&](const DeletedRow& row) {
        _MsgMessage m;
        Ios5Placement placement;
        return isDeletedIos5MessageRowValid(row) && deletedIos5RowToMessage(row, countries, now, m, placement, false);
    };
    const LiveIos5Rows live(db);
    const LiveDates liveDates = liveIos5Dates(db);
    MessageCopies copies;
    rules.store = [&](const DeletedRow& row, const _MsgMessage*, const RowPlace& place) {
        _MsgMessage m;
        Ios5Placement placement;
        if (!deletedIos5RowToMessage(row, countries, now, m, placement) ||
            !liveDates.plausible(place, m.date, row.integer64("date")))
            return;
        const bool iMessage = m.service == QLatin1String("iMessage");
        if (live.contains(row, iMessage))
            return;
        const QString identity =
            iMessage ? m.guid : LiveIos5Rows::smsKey(row.integer64("date"), row.integer("flags"), row.text("address"));
        if (copies.met(identity, m))
            return;
        const bool stored = recycle.findMessage(m) == 0;
        copies.first(identity, m,
                     stored ? recycle.insertMessage(m, placement.chatIdentifier, placement.handleAddress, place.srcRowid)
                            : 0);
    };
    rules.flush = [&] { copies.removeConflicting(recycle); };
    Scan(db, db.dbPath(), rules, progress).run(recycle);
}

void scanDeletedMessages(IOS6MessageDb& db, const QList<_MsgChat*>& chats, ProgressSink* progress)
{
    db.open();
    MessageRecycleDb& recycle = db.recycleDb();
    const IdHash<const _MsgChat*> byHandle = chatsByHandle(chats);
    const qint64 now = nowSince2001();
    // A message's own handle: the live one a conversation holds, else the recovered one with that row
    // id, asked for once each; "" when neither is found.
    IdHash<QString> ownHandles;
    const auto ownHandle = [&](qint64 handleId) -> QString {
        auto it = ownHandles.find(handleId);
        if (it == ownHandles.end()) {
            const _MsgChat* chat = byHandle.value(handleId);
            const _MsgHandle* live = chat ? chat->handles.value(handleId) : nullptr;
            it = ownHandles.insert(handleId, live ? live->id
                                             : handleId > 0 ? recycle.handleBySrcRowid(handleId).id
                                                            : QString());
        }
        return it.value();
    };
    // The address a one-to-one conversation's messages take, sorted out once per conversation.
    QHash<const _MsgChat*, QString> firstHandles;
    const auto firstHandle = [&firstHandles](const _MsgChat& chat) -> QString {
        auto it = firstHandles.find(&chat);
        if (it == firstHandles.end()) {
            const _MsgHandle* first = lowestHandle(chat);
            it = firstHandles.insert(&chat, first ? first->id : QString());
        }
        return it.value();
    };
    MessageCopies copies;
    ScanRules rules;
    rules.table = QStringLiteral("message");
    rules.templates =
        templatesFor(db, rules.table,
                     {ios6Template(kIos6MessageColumns, false), ios6Template(kIos6MessageColumns, true)},
                     carvedColumns(kIos6MessageColumns), kIos6RefusedNull);
    rules.valid = [now](const DeletedRow& row) { return isDeletedIos6MessageRowValid(row) && ios6RowMakesMessage(row, now); };
    rules.carveAside = true;
    rules.convert = [now](const DeletedRow& row, _MsgMessage& m) { return deletedIos6RowToMessage(row, now, m); };
    const LiveDates liveDates = liveIos6Dates(db);
    rules.store = [&](const DeletedRow& row, const _MsgMessage* converted, const RowPlace& place) {
        const _MsgMessage& m = *converted;
        if (!liveDates.plausible(place, m.date, row.integer64("date")))
            return;
        qint64 srcRowid = place.srcRowid;
        // A live guid is a message that is not deleted, whichever pass met it.
        if (copies.met(m.guid, m) || db.messageRowidByGuid(m.guid) != 0)
            return;
        QString chatIdentifier;
        QString handle;
        const _MsgChat* chat = byHandle.value(m.handle_id);
        if (!m.cache_roomnames.isEmpty()) {
            // A group message, sent (no handle) or received: its conversation is the room it names, its
            // sender its own handle, never another member.
            chatIdentifier = m.cache_roomnames;
            handle = ownHandle(m.handle_id);
        } else if (chat && !isGroupChat(*chat)) {
            chatIdentifier = chat->chat_identifier;
            handle = firstHandle(*chat);
            if (place.tablePass)
                srcRowid = 0;
        } else {
            // A one-to-one message whose person is left only in groups (or nowhere) is filed under that
            // person's address: under a group it would show as another member's words.
            chatIdentifier = handle = ownHandle(m.handle_id);
        }
        const bool stored = recycle.findMessage(m) == 0;
        copies.first(m.guid, m, stored ? recycle.insertMessage(m, chatIdentifier, handle, srcRowid) : 0);
    };
    rules.flush = [&] { copies.removeConflicting(recycle); };
    // Every row this scan adds had its guid checked against the live table's snapshot, which the
    // read-back then need not repeat while that snapshot holds.
    recycle.open();
    const qint64 first = recycle.queryFirstInt64("select ifnull(max(rowid), 0) + 1 from message").value_or(1);
    std::optional<IOS6MessageDb::LiveMark> mark;
    rules.finish = [&](const Sqlite3File&) { mark = db.liveMark(); };
    Scan(db, db.dbPath(), rules, progress).run(recycle);
    if (mark) {
        const qint64 last = recycle.queryFirstInt64("select ifnull(max(rowid), 0) from message").value_or(0);
        db.noteRecycledGuidsChecked(first, last, *mark);
    }
}

void scanDeletedHandles(IOS6MessageDb& db, ProgressSink* progress)
{
    db.open();
    MessageRecycleDb& recycle = db.recycleDb();
    CountryCache countries(db.countryDb());
    ScanRules rules;
    rules.table = QStringLiteral("handle");
    rules.storesMessages = false;
    rules.templates =
        templatesFor(db, rules.table, {ios6Template(kIos6HandleColumns, false)}, carvedColumns(kIos6HandleColumns));
    rules.valid = [&](const DeletedRow& row) {
        _MsgHandle handle;
        return isDeletedHandleRowValid(row) && deletedRowToHandle(row, countries, handle);
    };
    QVector<UnplacedHandle> unplaced;
    rules.store = [&](const DeletedRow& row, const _MsgMessage*, const RowPlace& place) {
        const qint64 srcRowid = place.srcRowid;
        _MsgHandle handle;
        if (!deletedRowToHandle(row, countries, handle))
            return;
        if (const qint64 stored = recycle.findHandle(handle)) {
            if (srcRowid > 0)
                recycle.setHandleSource(stored, srcRowid);  // a copy that kept its row id
            return;
        }
        const qint64 stored = recycle.insertHandle(handle, srcRowid);
        if (srcRowid <= 0)
            unplaced.append({stored, row.text("id").toUtf8() + row.text("service").toUtf8()});
    };
    rules.finish = [&](const Sqlite3File& file) { placeHandlesByIndexRemnants(db, recycle, file, unplaced); };
    Scan(db, db.dbPath(), rules, progress).run(recycle);
}
