#include "flows/backupcaching.h"

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "core/filehandoff.h"
#include "core/htmltext.h"
#include "flows/flowprompts.h"
#include "flows/stepjob.h"

#include <stdexcept>

void showFlowError(FlowPrompts& prompts, const std::exception& error)
{
    qWarning("%s", error.what());
    prompts.error(htmlEscape(QString::fromUtf8(error.what())));
}

std::optional<CachedBackup> BackupCaching::cacheChosen(EncryptedBackup encrypted, const CacheTarget& target)
{
    // The chooser has read "Manifest.plist" and turned away the newer format.
    const QSharedPointer<BackupManifest> manifest = m_prompts.chooseBackup();
    if (!manifest)
        return std::nullopt;
    return cache(manifest, encrypted, target);
}

std::optional<CachedBackup> BackupCaching::cacheFolder(const QDir& folder, EncryptedBackup encrypted,
                                                       const CacheTarget& target)
{
    if (BackupManifest::isNewerFormat(folder))
        throw std::runtime_error(BackupManifest::kNewerBackupFormatText);
    const auto manifest = QSharedPointer<BackupManifest>::create(folder);
    manifest->loadManifestPlist();
    return cache(manifest, encrypted, target);
}

std::optional<CachedBackup> BackupCaching::cache(QSharedPointer<BackupManifest> manifest, EncryptedBackup encrypted,
                                                 const CacheTarget& target)
{
    if (manifest->deviceInfo.isEncrypted) {
        if (encrypted == EncryptedBackup::Refuse) {
            m_prompts.warn(tr("IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT"));
            return std::nullopt;
        }
        if (!m_prompts.unlock(*manifest))
            return std::nullopt;
    }
    // A backup of a phone with many photos and apps lists some hundred thousand files.
    const bool listed = runStep(m_prompts, QCoreApplication::translate("ITunesCacheSMSThread", "IDS_LOADING_ITUNES_BACKUP"),
                                [&manifest](const StepJob::Cancelled& cancelled) { manifest->loadMbdb(cancelled); });
    if (!listed)
        return std::nullopt;
    if (target.releaseFiles)
        target.releaseFiles();
    CachedBackup backup;
    backup.manifest = manifest;
    {
        // The job's cache records are committed when it goes, before the long steps that follow.
        const std::unique_ptr<ProgressSink> progress = m_prompts.progress();
        std::unique_ptr<ITunesCacheSMSThread> job =
            target.cacheDir ? std::make_unique<ITunesCacheSMSThread>(manifest.data(), *target.cacheDir, progress.get())
                            : std::make_unique<ITunesCacheSMSThread>(manifest.data(), progress.get());
        if (target.handOver) {
            backup.rest = std::make_shared<FileHandoff>();
            job->handOverTo(backup.rest);
        }
        if (!m_prompts.runJob(*progress, *job))
            return std::nullopt;
        backup.cacheDir = job->cacheDir();
    }
    return backup;
}
