#pragma once
// Copying messages into a local database: the iTunes backup import and the backup commands, with the
// local databases of the tree they write to; and the way back, merging messages into an iTunes backup
// (no menu entry reaches it). The sequences themselves are in flows/.
#include "flows/importflow.h"
#include "ui/commands/guiprompts.h"
#include "ui/commands/messagescope.h"

#include <QString>
#include <QStringList>

class _AbsDBItemNode;
class CommandContext;

class ImportCommands : private LocalDatabases {
public:
    explicit ImportCommands(CommandContext& context)
        : m_context(context), m_scope(context), m_prompts(context), m_flow(m_prompts, *this)
    {
    }

    // Imports a chosen iTunes backup, proposing a new database named after its device.
    void runImportItunes();
    // The same, proposing the current local database.
    void runImportToLocalDb();
    // Copies the requested messages of the current source into a local database.
    void runBackup(ScopeRequest request);
    // Merges the requested messages of the current source into a chosen unencrypted iTunes backup.
    void runExportToITunesBackup(ScopeRequest request);

private:
    void backupMessages(MsgMessageList messages);
    void exportToITunesBackup(MsgMessageList messages);

    // LocalDatabases: the local-database nodes of the tree.
    QStringList names() const override;
    void release(const QString& name) override;
    // The target node is added or reloaded and selected.
    void written(const QString& name, const QString& folder) override;

    // The local-database node whose name equals name, ignoring case; null when there is none.
    _AbsDBItemNode* localDbNamed(const QString& name) const;
    // Reads node's database into a fresh store on a job and rebuilds its conversation nodes; after a
    // failure (shown) or a cancel the node stays without them.
    void reloadDatabaseNode(_AbsDBItemNode* node);

    CommandContext& m_context;
    MessageScope m_scope;
    GuiPrompts m_prompts;
    ImportFlow m_flow;
};
