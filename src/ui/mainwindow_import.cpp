// Copying messages into a local database: the iTunes backup import and the backup commands.
#include "ui/mainwindow.h"

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "core/datadir.h"
#include "core/fileutil.h"
#include "core/safepath.h"
#include "export/archivejobs.h"
#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/messagedbfolder.h"
#include "ui/interaction.h"
#include "ui/jobrunner.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/localdbselform.h"
#include "ui/messagebox.h"
#include "ui/mytreeview.h"
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

void MainWindow::miImportItunes()
{
    importITunesBackup(QString());
}

void MainWindow::miImportToLocalDb()
{
    const AbsTreeItemModel::_ItemNode* node = currentTreeNode();
    if (node && node->type == kNodeLocalDb)
        importITunesBackup(node->name);
}

void MainWindow::importITunesBackup(const QString& name)
{
    QSharedPointer<BackupManifest> manifest;
    {
        LoadItunesBackupDlg chooser(this);
        if (execDialog(chooser) != QDialog::Accepted)
            return;
        manifest = chooser.selectedBackup();
    }
    if (!manifest)
        return;
    if (manifest->deviceInfo.isEncrypted) {
        PasscodeDlg passcode(manifest.data(), this);
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
    int skippedFiles = 0;  // told after the import's own success text
    {
        // The job's cache records are committed when it goes, before the long steps below.
        ProgressForm form(QString(), this);
        ITunesCacheSMSThread job(manifest.data(), &form, this);
        if (!runJob(form, job))
            return;
        cacheDir = job.cacheDir();
        skippedFiles = job.skippedFiles();
    }
    try {
        const QSharedPointer<AbsMessageDb> db = openMessageDbFolder(cacheDir);
        _MsgStore store;  // owns the backup's records until the copy has ended
        db->messages(store, 0);
        if (backupToLocalDb(name.isEmpty() ? backupNameFor(manifest->deviceInfo.deviceName) : name,
                            store.messageList()) && skippedFiles > 0)
            showWarning(ITunesCacheSMSThread::skippedFilesText(skippedFiles));
    } catch (const std::exception& error) {
        showException(error);
    }
}

QStringList MainWindow::localDbNames() const
{
    QStringList names;
    for (const auto& child : m_mainModel->localDbRoot()->children) {
        if (child->type == kNodeLocalDb)
            names << child->name;
    }
    return names;
}

_AbsDBItemNode* MainWindow::localDbNamed(const QString& name) const
{
    // Names differing only in case are one database, as they would be on the systems the
    // databases are shared with.
    for (const auto& child : m_mainModel->localDbRoot()->children) {
        if (child->type == kNodeLocalDb && child->name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<_AbsDBItemNode*>(child.get());
    }
    return nullptr;
}

bool MainWindow::backupToLocalDb(const QString& defaultName, const MsgMessageList& messages)
{
    LocalDbSelForm chooser(localDbNames(), defaultName, this);
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
        ProgressForm form(QString(), this);
        BackupSMSThread job(messages, QDir(*folder), QString(), &form, this);
        copied = runJob(form, job);
    }
    if (!copied) {
        // A database this command started must not stay behind half made.
        if (!node && !folderExisted)
            removeDirRecursive(*folder);
        return false;
    }
    if (!node)
        node = m_mainModel->addLocalDb(makeLocalMessageDb(*folder), name);
    reloadDatabaseNode(node);
    return true;
}

void MainWindow::reloadDatabaseNode(_AbsDBItemNode* node)
{
    releaseCurrentIfWithin(node);
    m_mainModel->removeChildren(node);
    // A fresh store: records of the old one may still be held by whoever read them.
    node->store = _MsgStore();
    try {
        node->db->messages(node->store, 0);
        m_mainModel->loadChats(node);
        selectTreeNode(node);
    } catch (const std::exception& error) {
        showException(error);
    }
}

void MainWindow::backupMessages(MsgMessageList messages)
{
    _AbsDBItemNode* source = ItemModelMain::databaseNodeOf(currentTreeNode());
    if (!source)
        return;
    const _MsgStore keepAlive = source->store;  // the source node may go while the copy runs
    backupToLocalDb(backupNameFor(source->name), messages);
}

void MainWindow::miBackup() { runScoped(&MainWindow::backupMessages); }
void MainWindow::miBackupSel() { runOnSelection(&MainWindow::backupMessages); }
void MainWindow::miBackupChat() { runOnChat(&MainWindow::backupMessages); }
void MainWindow::miBackupAll() { runOnAll(&MainWindow::backupMessages); }
