#pragma once
// Copying messages into a local database: the iTunes backup import and the backup commands, with the
// chooser of the target database.
#include "ui/commands/messagescope.h"

#include <QStringList>

class _AbsDBItemNode;
class CommandContext;

class ImportCommands {
public:
    explicit ImportCommands(CommandContext& context) : m_context(context), m_scope(context) {}

    // Imports a chosen iTunes backup, proposing a new database named after its device.
    void runImportItunes();
    // The same, proposing the current local database.
    void runImportToLocalDb();
    // Copies the requested messages of the current source into a local database.
    void runBackup(ScopeRequest request);

private:
    // name is the database proposed; empty: one named after the backup's device.
    void importITunesBackup(const QString& name);
    // Asks for the target local database (defaultName proposed) and copies messages into it; the
    // target node is added or reloaded and selected; successNote ends the success text. True when the
    // copy succeeded.
    bool backupToLocalDb(const QString& defaultName, const MsgMessageList& messages,
                         const QString& successNote = QString());
    void backupMessages(MsgMessageList messages);
    QStringList localDbNames() const;
    // The local-database node whose name equals name, ignoring case; null when there is none.
    _AbsDBItemNode* localDbNamed(const QString& name) const;
    // Reads node's database into a fresh store and rebuilds its conversation nodes.
    void reloadDatabaseNode(_AbsDBItemNode* node);

    CommandContext& m_context;
    MessageScope m_scope;
};
