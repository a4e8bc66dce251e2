#pragma once
// The attachment copies an open transaction of a local database has made, listed in a file beside
// the database as each copy starts. A run killed before its commit leaves copies no row names; the
// next run that writes the database finds them through the list and removes them.
#include <QDir>
#include <QFile>
#include <QString>

class Sqlite3DB;

class PendingCopies {
public:
    explicit PendingCopies(const QDir& databaseDir);

    // Removes the copies a run that never ended listed and that no attachment row of db names, then
    // the list. Copies named by a row stay, whatever the list says. Returns how many went.
    int sweep(Sqlite3DB& db, const QDir& fileRelayDir);
    // Lists the copy of the device path filename before it is made. Throws (UTF-8 text) when the
    // list cannot be written: a copy it does not name could never be found again.
    void note(const QString& filename);
    // The transaction ended, committed or with its copies removed: the list this object wrote goes.
    void clear();

private:
    QString m_path;
    QFile m_file;
};
