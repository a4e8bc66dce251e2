#pragma once
// The one way a backup's messages reach a cache folder, whichever command needs them: the backup is
// checked for the newer format it cannot be read in, its "Manifest.plist" read, an encrypted one unlocked
// (or refused), its "Manifest.mbdb" loaded on a job of its own, and the caching job run.
#include <QCoreApplication>
#include <QDir>
#include <QSharedPointer>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class BackupManifest;
class FileHandoff;
class FlowPrompts;

// A backup with its messages copied into the cache.
struct CachedBackup {
    QSharedPointer<BackupManifest> manifest;
    // The files the cache is still copying; null when it holds them all. Declared after the manifest,
    // which its maker reads until it has ended.
    std::shared_ptr<FileHandoff> rest;
    QDir cacheDir;
};

// What caching does with an encrypted backup: asks for its password, or (a backup to be written to)
// refuses it with a warning.
enum class EncryptedBackup { Unlock, Refuse };

// Where the cache goes (empty: the backup's own folder below the data folder), and what must let
// go of that folder's files before the job replaces them. With handOver, the caching dialog ends
// once the message database is cached, and the rest of the cache is copied meanwhile.
struct CacheTarget {
    std::optional<QDir> cacheDir;
    std::function<void()> releaseFiles;
    bool handOver = false;
};

class BackupCaching {
    // The texts are the window's: the catalogue keeps them under its context.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
public:
    explicit BackupCaching(FlowPrompts& prompts) : m_prompts(prompts) {}

    // Caches the backup the user chooses; nullopt when a step ended the command (the user was told,
    // in the step's dialog for "Manifest.mbdb"). Other errors of reading the backup are thrown.
    std::optional<CachedBackup> cacheChosen(EncryptedBackup encrypted, const CacheTarget& target = {});
    // Caches the backup in folder, as cacheChosen.
    std::optional<CachedBackup> cacheFolder(const QDir& folder, EncryptedBackup encrypted,
                                            const CacheTarget& target = {});

private:
    // The steps after "Manifest.plist": unlocking, "Manifest.mbdb", the caching job.
    std::optional<CachedBackup> cache(QSharedPointer<BackupManifest> manifest, EncryptedBackup encrypted,
                                      const CacheTarget& target);

    FlowPrompts& m_prompts;
};
