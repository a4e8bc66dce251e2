#pragma once
// Copying messages into a local database: the iTunes backup import and the backup commands, with the
// chooser of the target database; and the way back, merging messages into an iTunes backup (no menu
// entry reaches it).
#include "ui/commands/messagescope.h"

#include <QCoreApplication>
#include <QDir>
#include <QSharedPointer>
#include <QStringList>

#include <memory>
#include <optional>

class _AbsDBItemNode;
class BackupManifest;
class CommandContext;
class FileHandoff;

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
        // The files the cache is still copying; null when it holds them all. Declared after the
        // manifest, which its maker reads until it has ended.
        std::shared_ptr<FileHandoff> rest;
    };
    // Lets the user choose a backup, unlocks it (or, with refuseEncrypted, refuses it with a warning),
    // reads its manifest and caches its messages; nullopt when a step ended the command. With
    // handOver, the caching dialog ends once the message database is cached, and the rest of the
    // cache is copied meanwhile.
    std::optional<CachedBackup> cacheChosenBackup(bool refuseEncrypted, bool handOver = false);
    // name is the database proposed; empty: one named after the backup's device.
    void importITunesBackup(const QString& name);
    // Asks for the target local database (defaultName proposed) and copies messages into it; the
    // target node is added or reloaded and selected. The copy waits for cache's files and ends with
    // it. True when the copy succeeded.
    bool backupToLocalDb(const QString& defaultName, const MsgMessageList& messages,
                         std::shared_ptr<FileHandoff> cache = nullptr);
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
