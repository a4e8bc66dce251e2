#include "ui/commands/importcommands.h"

#include "backup/backupmanifest.h"
#include "backup/ios6restoremessagesthread.h"
#include "backup/itunescachesmsthread.h"
#include "core/datadir.h"
#include "core/filehandoff.h"
#include "core/fileutil.h"
#include "core/safepath.h"
#include "export/backupsmsthread.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "ui/commands/commandcontext.h"
#include "ui/interaction.h"
#include "ui/itemmodelmain.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/localdbselform.h"
#include "ui/messagebox.h"
#include "ui/passcodedlg.h"
#include "ui/progressform.h"

#include <QFileInfo>

#include <exception>

namespace {

// The name proposed for a copy of source's messages; source names come from devices and backups.
QString backupNameFor(const QString& source)
{
    return sanitizeFileName(source + QStringLiteral("_Backup"));
}

void showException(const std::exception& error)
{
    qWarning("%s", error.what());
    showError(htmlEscape(QString::fromUtf8(error.what())));
}

}  // namespace

void ImportCommands::runImportItunes()
{
    importITunesBackup(QString());
}

void ImportCommands::runImportToLocalDb()
{
    const AbsTreeItemModel::_ItemNode* node = m_context.currentTreeNode();
    if (node && node->type == kNodeLocalDb)
        importITunesBackup(node->name);
}

void ImportCommands::runBackup(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { backupMessages(messages); });
}

std::optional<ImportCommands::CachedBackup> ImportCommands::cacheChosenBackup(bool refuseEncrypted, bool handOver)
{
    QWidget* parent = m_context.dialogParent();
    CachedBackup backup;
    {
        LoadItunesBackupDlg chooser(parent);
        if (execDialog(chooser) != QDialog::Accepted)
            return std::nullopt;
        backup.manifest = chooser.selectedBackup();
    }
    if (!backup.manifest)
        return std::nullopt;
    if (backup.manifest->deviceInfo.isEncrypted) {
        if (refuseEncrypted) {
            showWarning(tr("IDS_CANT_EXPORT_ITUNES_BACKUP_IS_ENCRYPT"));
            return std::nullopt;
        }
        PasscodeDlg passcode(backup.manifest.data(), parent);
        if (execDialog(passcode) != QDialog::Accepted)
            return std::nullopt;
    }
    try {
        backup.manifest->loadMbdb();
    } catch (const std::exception& error) {
        showException(error);
        return std::nullopt;
    }
    // The job's cache records are committed when it goes, before the long steps that follow.
    ProgressForm form(QString(), parent);
    ITunesCacheSMSThread job(backup.manifest.data(), &form, parent);
    if (handOver) {
        backup.rest = std::make_shared<FileHandoff>();
        job.handOverTo(backup.rest);
    }
    if (!runJob(form, job))
        return std::nullopt;
    backup.cacheDir = job.cacheDir();
    return backup;
}

void ImportCommands::importITunesBackup(const QString& name)
{
    const std::optional<CachedBackup> backup = cacheChosenBackup(false, true);
    if (!backup)
        return;
    bool copied = false;
    try {
        const QSharedPointer<AbsMessageDb> db = openMessageDbFolder(backup->cacheDir);
        _MsgStore store;  // owns the backup's records until the copy has ended
        db->messages(store, 0);
        copied = backupToLocalDb(name.isEmpty() ? backupNameFor(backup->manifest->deviceInfo.deviceName) : name,
                                 store.messageList(), backup->rest);
    } catch (const std::exception& error) {
        showException(error);
    }
    if (!copied) {
        // Ended before the copy reported the rest of the cache: it goes, and its failure is told.
        backup->rest->cancel();
        if (const std::optional<QString> error = backup->rest->takeError())
            showError(*error);
    }
}

void ImportCommands::runExportToITunesBackup(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { exportToITunesBackup(messages); });
}

QString ImportCommands::restoreResultText(int merged, int skipped)
{
    if (skipped > 0)
        return tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS_%2_UNKNOWN_NUMBER").arg(merged).arg(skipped);
    return tr("IDS_SUC_RESTORE_%1_MESSAGES_TO_IOS").arg(merged);
}

void ImportCommands::exportToITunesBackup(MsgMessageList messages)
{
    const _AbsDBItemNode* source = ItemModelMain::databaseNodeOf(m_context.currentTreeNode());
    if (!source)
        return;
    const _MsgStore keepAlive = source->store;  // the source node may go while the merge runs
    const std::optional<CachedBackup> backup = cacheChosenBackup(true);
    if (!backup)
        return;
    // The merge job refuses a database that is not in the iOS 6 layout before it changes anything.
    IOS6MessageDb target(backup->cacheDir, QString(), false);
    int merged = 0;
    int skipped = 0;
    {
        ProgressForm form(QString(), m_context.dialogParent());
        IOS6RestoreMessagesThread job(QString(), &messages, &target, backup->manifest->backupDir, &form,
                                      m_context.dialogParent());
        if (!runJob(form, job))
            return;
        merged = job.mergedCount();
        skipped = job.skippedCount();
    }
    showInfo(restoreResultText(merged, skipped));
}

QStringList ImportCommands::localDbNames() const
{
    QStringList names;
    for (const auto& child : m_context.mainModel()->localDbRoot()->children) {
        if (child->type == kNodeLocalDb)
            names << child->name;
    }
    return names;
}

_AbsDBItemNode* ImportCommands::localDbNamed(const QString& name) const
{
    // Names differing only in case are one database, as they would be on the systems the
    // databases are shared with.
    for (const auto& child : m_context.mainModel()->localDbRoot()->children) {
        if (child->type == kNodeLocalDb && child->name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<_AbsDBItemNode*>(child.get());
    }
    return nullptr;
}

bool ImportCommands::backupToLocalDb(const QString& defaultName, const MsgMessageList& messages,
                                     std::shared_ptr<FileHandoff> cache)
{
    LocalDbSelForm chooser(localDbNames(), defaultName, m_context.dialogParent());
    const QString chosen = chooser.selectDatabase();
    if (chosen.isEmpty())
        return false;
    _AbsDBItemNode* node = localDbNamed(chosen);
    const QString name = node ? node->name : chosen;
    const std::optional<QString> folder = resolveContained(localDatabasesDir().absolutePath(), name);
    if (!folder) {
        showWarning(LocalDbSelForm::tr("IDS_INVALID_LOCALDB_NAME"));
        return false;
    }
    const bool folderExisted = QFileInfo::exists(*folder) || QFileInfo(*folder).isSymLink();
    if (node && node->db)
        node->db->close();  // the job writes through a connection of its own
    bool copied = false;
    {
        ProgressForm form(QString(), m_context.dialogParent());
        BackupSMSThread job(messages, QDir(*folder), QString(), &form, m_context.dialogParent());
        if (cache)
            job.awaitCache(std::move(cache));
        copied = runJob(form, job);
    }
    if (!copied) {
        // A database this command started must not stay behind half made.
        if (!node && !folderExisted)
            removeDirRecursive(*folder);
        return false;
    }
    if (!node)
        node = m_context.mainModel()->addLocalDb(makeLocalMessageDb(*folder), name);
    reloadDatabaseNode(node);
    return true;
}

void ImportCommands::reloadDatabaseNode(_AbsDBItemNode* node)
{
    m_context.releaseCurrentIfWithin(node);
    m_context.mainModel()->removeChildren(node);
    // A fresh store: records of the old one may still be held by whoever read them.
    node->store = _MsgStore();
    try {
        node->db->messages(node->store, 0);
        m_context.mainModel()->loadChats(node);
        m_context.selectTreeNode(node);
    } catch (const std::exception& error) {
        showException(error);
    }
}

void ImportCommands::backupMessages(MsgMessageList messages)
{
    _AbsDBItemNode* source = ItemModelMain::databaseNodeOf(m_context.currentTreeNode());
    if (!source)
        return;
    const _MsgStore keepAlive = source->store;  // the source node may go while the copy runs
    backupToLocalDb(backupNameFor(source->name), messages);
}
