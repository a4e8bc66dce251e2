#include "flows/importflow.h"

#include "backup/backupmanifest.h"
#include "core/datadir.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "core/releaseaside.h"
#include "core/safepath.h"
#include "export/backupsmsthread.h"
#include "flows/backupcaching.h"
#include "flows/flowprompts.h"
#include "flows/stepjob.h"
#include "msgdb/messagedbfolder.h"

#include <QCoreApplication>
#include <QFileInfo>

QString backupNameFor(const QString& source)
{
    return sanitizeFileName(source + QStringLiteral("_Backup"));
}

void ImportFlow::importBackup(const QString& name)
{
    std::optional<CachedBackup> backup;
    try {
        CacheTarget target;
        target.handOver = true;
        backup = BackupCaching(m_prompts).cacheChosen(EncryptedBackup::Unlock, target);
    } catch (const std::exception& error) {
        showFlowError(m_prompts, error);
        return;
    }
    if (!backup)
        return;
    // Read on a job: a history of a million messages takes seconds.
    _MsgStore store;  // owns the backup's records until the copy has ended
    const bool read = runStep(m_prompts, QCoreApplication::translate("ITunesCacheSMSThread", "IDS_LOADING_ITUNES_BACKUP"),
                              [&backup, &store](const StepJob::Cancelled& cancelled) {
                                  const QSharedPointer<AbsMessageDb> db = openMessageDbFolder(backup->cacheDir, QString(), backup->rest.get());
                                  db->setCancelCheck(cancelled);
                                  db->messages(store, 0);
                              });
    bool copied = false;
    if (read) {
        try {
            copied = copyToLocalDb(name.isEmpty() ? backupNameFor(backup->manifest->deviceInfo.deviceName) : name,
                                   store.messageList(), backup->rest);
        } catch (const std::exception& error) {
            showFlowError(m_prompts, error);
        }
    }
    releaseAside(std::move(store));
    if (!copied) {
        // Ended before the copy reported the rest of the cache: it goes, and its failure is told.
        backup->rest->cancel();
        if (const std::optional<QString> error = backup->rest->takeError())
            m_prompts.error(*error);
    }
}

bool ImportFlow::copyToLocalDb(const QString& defaultName, const MsgMessageList& messages,
                               std::shared_ptr<FileHandoff> cache)
{
    const QStringList names = m_databases.names();
    const QString chosen = m_prompts.chooseLocalDb(names, defaultName);
    if (chosen.isEmpty())
        return false;
    // Names differing only in case are one database, as they would be on the systems the databases
    // are shared with.
    const auto existing = std::find_if(names.cbegin(), names.cend(), [&chosen](const QString& name) {
        return name.compare(chosen, Qt::CaseInsensitive) == 0;
    });
    const bool exists = existing != names.cend();
    const QString name = exists ? *existing : chosen;
    const std::optional<QString> folder = resolveContained(localDatabasesDir().absolutePath(), name);
    if (!folder) {
        m_prompts.warn(QCoreApplication::translate("LocalDbSelForm", "IDS_INVALID_LOCALDB_NAME"));
        return false;
    }
    const bool folderExisted = QFileInfo::exists(*folder) || QFileInfo(*folder).isSymLink();
    if (exists)
        m_databases.release(name);
    bool copied = false;
    {
        const std::unique_ptr<ProgressSink> progress = m_prompts.progress();
        BackupSMSThread job(messages, QDir(*folder), QString(), progress.get());
        if (cache)
            job.awaitCache(std::move(cache));
        copied = m_prompts.runJob(*progress, job);
    }
    if (!copied) {
        // A database this command started must not stay behind half made.
        if (!exists && !folderExisted)
            removeDirRecursive(*folder);
        return false;
    }
    m_databases.written(name, *folder);
    return true;
}
