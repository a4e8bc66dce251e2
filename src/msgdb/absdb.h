#pragma once
// Base classes of every database object: a connection that opens its own file lazily and adds
// transactions, row insertion and whole-table reading; the message-database interface; the iOS
// message-database interface with the probe that tells the two device layouts apart.

#include "msgdb/records.h"
#include "platform/sqlite3db.h"
#include "platform/seededhash.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <stdexcept>

class AbsDb : public Sqlite3DB {
public:
    ~AbsDb() override = default;

    // Opens the object's file when not open yet; each subclass chooses path and flags.
    virtual void open() = 0;

    // No nesting: a second call begins again and fails.
    void beginTransaction();
    // Nothing when no transaction is open; a failed commit rolls back and rethrows.
    void endTransaction(bool commit);
    bool inTransaction() const { return Sqlite3DB::inTransaction(); }

    // Inserts row (less the skipped columns, matched case-insensitively) and returns the new rowid.
    qint64 insertRow(const Sqlite3Row& row, const QString& table, const QSet<QString>& skip = {});  // our own keys
    QList<Sqlite3Row> selectAll(const QString& table);
};

class AbsMessageDb : public AbsDb {
public:
    ~AbsMessageDb() override = default;

    // Every conversation with its handles into the store.
    virtual void chats(_MsgStore& store) = 0;
    // Messages and attachments of one conversation into the store; chatRowid <= 0 means all.
    virtual void messages(_MsgStore& store, qint64 chatRowid) = 0;
};

class MessageRecycleDb;

class AbsIOSMessageDb : public AbsMessageDb {
public:
    ~AbsIOSMessageDb() override = default;

    virtual int iosVersion() const = 0;  // 5 or 6
    // The store of messages recovered from this database's free space ("recycle.db" beside it).
    virtual MessageRecycleDb& recycleDb() = 0;

    // True when the file holds the tables of the iOS 6 layout (chat, handle, chat_handle_join,
    // message, chat_message_join). Throws on a missing file, and kNotAMessageDb on one that is not a
    // database.
    static bool isIOS6Layout(const QString& path);
};

// What a reader says of a file it will not read.
extern const char kNotAMessageDb[];  // an empty file, or one without the reader's tables
extern const char kTooComplexMessageDb[];  // a statement ran past its step budget, or the schema past its limits

// Work allowed to one statement on a message database from a device or a backup, whatever the
// file's size: 4 * 10^8 virtual-machine steps, some two seconds here. Reading a history of a million
// messages takes its costliest statement about 6 * 10^7; a crafted file that would keep the reader
// busy for hours is stopped.
extern const qint64 kMessageDbStepBudget;

// Sets the limits of a database from a device or a backup (messages, contacts) on db before it
// opens the file: the step budget, and a schema of at most about 2,500 entries, 400 columns to a
// table and 64 KB to one statement (a phone's has some tens of entries of a few KB), refused before
// SQLite has spent more than a second or two and some hundred megabytes parsing it.
void limitOutsideDatabase(Sqlite3DB& db);

// Name -> CREATE text of every table of db; kNotAMessageDb when the file is no SQLite database,
// kTooComplexMessageDb when its schema goes past the limits limitOutsideDatabase sets.
TextHash<QString> tableSqlOf(Sqlite3DB& db);

// Refuses a file a reader cannot read safely: kNotAMessageDb when a table of required is missing;
// an error naming the table when one of required or optional has generated columns, which would
// run an expression of the file's choosing on every row read, or a layout no phone writes (no
// rowid, or a column named like it that is not the integer key), which turns the joins on ROWID
// into scans of the whole table for every row.
void checkReadableTables(Sqlite3DB& db, const TextHash<QString>& tableSql, const QStringList& required,
                         const QStringList& optional = {});

// Runs one read of a message database: a statement stopped at its step budget becomes the error
// kTooComplexMessageDb. A cancelled read stays a Sqlite3Interrupted, for the job that asked.
template <typename Read>
auto readMessageDb(Read&& read) -> decltype(read())
{
    try {
        return read();
    } catch (const Sqlite3Interrupted& stop) {
        if (stop.reason() == Sqlite3Interrupted::StepBudget)
            throw std::runtime_error(kTooComplexMessageDb);
        throw;
    }
}
