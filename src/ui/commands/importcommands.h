#pragma once
// Copying messages into a local database: the iTunes backup import and the backup commands, with the
// chooser of the target database; and the way back, merging messages into an iTunes backup (no menu
// entry reaches it).
#include "ui/commands/messagescope.h"

#include <QCoreApplication>
#include <QDir>
#include <QSharedPointer>
#include <QStringList>

#include <optional>

class _AbsDBItemNode;
class BackupManifest;
class CommandContext;

class ImportCommands {
    // The texts are the window's: the catalogue keeps them under its context.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
public:
    explicit ImportCommands(CommandContext& context) : m_context(context), m_scope(context) {}

    // Imports a chosen iTunes backup, proposing a new database named after its device.
    void runImportItunes();
    // The same, proposing the current local database.
    void runImportToLocalDb();
    // Copies the requested messages of the current source into a local database.
    void runBackup(ScopeRequest request);
    // Merges the requested messages of the current source into a chosen unencrypted iTunes backup.
    void runExportToITunesBackup(ScopeRequest request);

    // What the user is told after a merge that wrote merged messages and left skipped out.
    static QString restoreResultText(int merged, int skipped);

private:
    // A backup the user chose, with its messages copied into the cache.
    struct CachedBackup {
        QSharedPointer<BackupManifest> manifest;
        QDir cacheDir;
        int skippedFiles = 0;  // files the cache left out
        QStringList skippedPaths;
    };
    // Lets the user choose a backup, unlocks it (or, with refuseEncrypted, refuses it with a warning),
    // reads its manifest and caches its messages; nullopt when a step ended the command.
    std::optional<CachedBackup> cacheChosenBackup(bool refuseEncrypted);
    // name is the database proposed; empty: one named after the backup's device.
    void importITunesBackup(const QString& name);
    // Asks for the target local database (defaultName proposed) and copies messages into it; the
    // target node is added or reloaded and selected; successNote ends the success text. True when the
    // copy succeeded.
    bool backupToLocalDb(const QString& defaultName, const MsgMessageList& messages,
                         const QString& successNote = QString());
    void backupMessages(MsgMessageList messages);
    void exportToITunesBackup(MsgMessageList messages);
    QStringList localDbNames() const;
    // The local-database node whose name equals name, ignoring case; null when there is none.
    _AbsDBItemNode* localDbNamed(const QString& name) const;
    // Reads node's database into a fresh store and rebuilds its conversation nodes.
    void reloadDatabaseNode(_AbsDBItemNode* node);

    CommandContext& m_context;
    MessageScope m_scope;
};
