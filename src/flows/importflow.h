#pragma once
// Copying messages into a local database: an iTunes backup imported whole, or the messages a command
// picked. Which local databases exist, and what becomes of the one written, is the caller's.
#include "msgdb/records.h"

#include <QString>
#include <QStringList>

#include <memory>

class FileHandoff;
class FlowPrompts;

// The local databases the copy may go to.
class LocalDatabases {
public:
    // The names of the local databases there are.
    virtual QStringList names() const = 0;
    // Closes the connection to the database name, which a job is about to write through its own.
    virtual void release(const QString& name) = 0;
    // The database name in folder has been written: it is added, or read anew.
    virtual void written(const QString& name, const QString& folder) = 0;

protected:
    ~LocalDatabases() = default;
};

// The name proposed for a copy of source's messages; source names come from devices and backups.
QString backupNameFor(const QString& source);

class ImportFlow {
public:
    ImportFlow(FlowPrompts& prompts, LocalDatabases& databases) : m_prompts(prompts), m_databases(databases) {}

    // Imports a backup the user chooses: name is the database proposed; empty, one named after the
    // backup's device. Whatever fails is shown.
    void importBackup(const QString& name);
    // Asks for the target local database (defaultName proposed) and copies messages into it; the
    // copy waits for cache's files and ends with it. True when the copy succeeded. A database the
    // copy started does not stay behind when it fails.
    bool copyToLocalDb(const QString& defaultName, const MsgMessageList& messages,
                       std::shared_ptr<FileHandoff> cache = nullptr);

private:
    FlowPrompts& m_prompts;
    LocalDatabases& m_databases;
};
