#pragma once
// Scans of a message database file for deleted rows: intact cells left on freed pages, and records
// carved from the free space of those pages and of the table's own leaves. What converts into a
// message or handle and is not stored yet goes into the database's recycle database, in one
// transaction that is committed on a normal end, a cancel or a missing table, and rolled back on an
// error. Scans can be repeated: only new rows are added.
//
// The scans read the main file only. A database in WAL mode is checkpointed first; rows whose delete
// still sits in the -wal file (the checkpoint could not run past a reader) are live cells in the
// main file and are not found. Run the iOS 6 handle scan before the message scan: a message whose
// conversation is unknown takes its address from the recovered handle of its handle_id. A freed handle
// cell loses its row id to the freeblock header; the handle scan takes it back from the entry the
// handle's (id, service) index still holds, when exactly one row id is named there.
//
// A carved record is stored only when every column its converter reads lies inside the free region it
// was found in (the rest of a cut record belongs to whatever overwrote it), with a date, and on iOS 6 a
// text its attributed body agrees with. Group messages, sent ones included, go to the room they name.
// A recovered message dated outside the live rows around its row id is not stored when a change of its
// date's last two bytes alone, as a later write over the freed record makes, would bring it among them.
#include "core/progresssink.h"
#include "msgdb/country.h"
#include "msgdb/ios6columns.h"
#include "msgdb/records.h"
#include "platform/seededhash.h"
#include "recovery/sqlite3file.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <array>
#include <optional>
#include <utility>
#include <vector>

class IOS5MessageDb;
class IOS6MessageDb;

// Column name -> position in a template. Names are looked up by the address of the literal first:
// a scan reads every column of every candidate by name.
class ColumnIndex {
public:
    using MessagePositions = Ios6Positions<kIos6MessageColumns.size()>;

    void insert(const QString& name, int position)
    {
        m_byName.insert(name.toUtf8(), position);
        m_byAddress.clear();  // a literal looked up before may name this column
        m_next = 0;
        m_messagePositions = {};
    }
    int position(const char* name) const;  // name a literal, whose address stays; -1 when absent
    int position(const QString& name) const { return m_byName.value(name.toUtf8(), -1); }
    // Where the iOS 6 message columns of the first layout (and with later, of later devices) lie; the
    // others are left alone. Found once per template.
    const MessagePositions& messagePositions(bool later) const;

private:
    QHash<BytesKey, int> m_byName;  // names come from the file's schema
    // Literals looked up so far; a converter asks for the same names in the same order for every row,
    // so the entry after the last one found is tried first.
    mutable std::vector<std::pair<const char*, int>> m_byAddress;
    mutable size_t m_next = 0;
    mutable std::array<std::optional<MessagePositions>, 2> m_messagePositions;
};

// A recovered row read by column name through the template it was decoded with, or by position
// with a cursor's getters; columns the template lacks read as NULL.
class DeletedRow {
public:
    DeletedRow(const RecoveredRow& row, const ColumnIndex& columnIndex) : m_row(row), m_index(columnIndex) {}

    qint64 rowid() const { return m_row.rowid; }
    int size() const { return m_row.values.size(); }
    int position(const char* name) const { return m_index.position(name); }  // -1 when absent
    const ColumnIndex::MessagePositions& messagePositions(bool later) const { return m_index.messagePositions(later); }
    bool hasColumn(const char* name) const { return position(name) >= 0; }
    // False for a column the row has whose bytes it no longer holds (cut, or written over).
    bool isWhole(const char* name) const
    {
        const int at = position(name);
        return at < 0 || m_row.isWhole(at);
    }
    QVariant value(const char* name) const { return valueAt(position(name)); }
    QString text(const char* name) const { return value(name).toString(); }
    int integer(const char* name) const { return value(name).toInt(); }
    qint64 integer64(const char* name) const { return value(name).toLongLong(); }

    QVariant valueAt(int position) const
    {
        return position >= 0 && position < m_row.values.size() ? m_row.values[position] : QVariant();
    }
    int getInt(int position) const { return valueAt(position).toInt(); }
    qint64 getInt64(int position) const { return valueAt(position).toLongLong(); }
    QString getText(int position) const { return valueAt(position).toString(); }
    QByteArray getBlob(int position) const { return valueAt(position).toByteArray(); }
    bool isNull(int position) const { return valueAt(position).isNull(); }

private:
    const RecoveredRow& m_row;
    const ColumnIndex& m_index;
};

// Country lookups by two-letter code, remembered for one scan: carving asks for every candidate.
class CountryCache {
public:
    explicit CountryCache(CountryLibDb& lib) : m_lib(lib) {}
    // Null when code is neither empty nor a known country; the default country for "".
    const Country* find(const QString& code);

private:
    CountryLibDb& m_lib;
    TextHash<Country> m_known;  // codes read from carved rows
    TextSet m_unknown;
};

// Where an iOS 5 row belongs.
struct Ios5Placement {
    QString chatIdentifier;
    QString handleAddress;
};

bool isDeletedIos5MessageRowValid(const DeletedRow& row);
bool isDeletedIos6MessageRowValid(const DeletedRow& row);
bool isDeletedHandleRowValid(const DeletedRow& row);

// Each returns true when the row makes a record. nowSince2001 bounds the dates: a date of 0 or one in
// the future is a record whose bytes were overwritten.
// An SMS row has no guid of its own and is given a new one, unless makeGuid is false (a check only).
bool deletedIos5RowToMessage(const DeletedRow& row, CountryCache& countries, qint64 nowSince2001, _MsgMessage& message,
                             Ios5Placement& placement, bool makeGuid = true);
bool deletedIos6RowToMessage(const DeletedRow& row, qint64 nowSince2001, _MsgMessage& message);
bool deletedRowToHandle(const DeletedRow& row, CountryCache& countries, _MsgHandle& handle);

void scanDeletedMessages(IOS5MessageDb& db, ProgressSink* progress);
// chats: the database's conversations with their handles, which place a message by its handle_id.
void scanDeletedMessages(IOS6MessageDb& db, const QList<_MsgChat*>& chats, ProgressSink* progress);
void scanDeletedHandles(IOS6MessageDb& db, ProgressSink* progress);
