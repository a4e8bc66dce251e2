#include "ui/commands/importcommands.h"

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "core/datadir.h"
#include "core/fileutil.h"
#include "core/safepath.h"
#include "export/archivejobs.h"
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

void ImportCommands::importITunesBackup(const QString& name)
{
    QWidget* parent = m_context.dialogParent();
    QSharedPointer<BackupManifest> manifest;
    {
        LoadItunesBackupDlg chooser(parent);
        if (execDialog(chooser) != QDialog::Accepted)
            return;
        manifest = chooser.selectedBackup();
    }
    if (!manifest)
        return;
    if (manifest->deviceInfo.isEncrypted) {
        PasscodeDlg passcode(manifest.data(), parent);
        if (execDialog(passcode) != QDialog::Accepted)
            return;
    }
    try {
        manifest->loadMbdb();
    } catch (const std::exception& error) {
        showException(error);
        return;
    }
    QDir cacheDir;
    int skippedFiles = 0;  // named in the import's success text
    {
        // The job's cache records are committed when it goes, before the long steps below.
        ProgressForm form(QString(), parent);
        ITunesCacheSMSThread job(manifest.data(), &form, parent);
        if (!runJob(form, job))
            return;
        cacheDir = job.cacheDir();
        skippedFiles = job.skippedFiles();
    }
    try {
        const QSharedPointer<AbsMessageDb> db = openMessageDbFolder(cacheDir);
        _MsgStore store;  // owns the backup's records until the copy has ended
        db->messages(store, 0);
        const QString note = skippedFiles > 0 ? ITunesCacheSMSThread::skippedFilesText(skippedFiles) : QString();
        backupToLocalDb(name.isEmpty() ? backupNameFor(manifest->deviceInfo.deviceName) : name, store.messageList(),
                        note);
    } catch (const std::exception& error) {
        showException(error);
    }
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
                                     const QString& successNote)
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
        job.setSuccessNote(successNote);
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
