// Commands without a job: deleting a local database, the folder and cache commands, the web pages,
// and taking device nodes out of the tree.
#include "ui/mainwindow.h"

#include "core/datadir.h"
#include "core/fileutil.h"
#include "core/safepath.h"
#include "device/tempbackupdir.h"
#include "platform/webhost.h"
#include "ui/messagebox.h"
#include "ui/mytreeview.h"

#include <QFileInfo>

#include <exception>

namespace {

bool removeDataSubfolder(DataFolder folder)
{
    return removeDirRecursive(dataFolderPath(folder));
}

// Opens a page of the web host; nothing happens without one (its menu entries are disabled then).
void openWebPage(const QString& path)
{
    const QUrl page = webHostUrl(path);
    if (!page.isEmpty())
        openUrl(page.toString(QUrl::FullyEncoded));
}

}  // namespace

void MainWindow::removeTreeNode(AbsTreeItemModel::_ItemNode* node)
{
    releaseCurrentIfWithin(node);
    m_mainModel->removeNode(node);
}

void MainWindow::miDelAll()
{
    AbsTreeItemModel::_ItemNode* node = currentTreeNode();
    if (!node || node->type != kNodeLocalDb)
        return;
    if (!askQuestion(tr("IDS_CONFIRM_DEL_THIS_LOCALDB")))
        return;
    const QString name = node->name;
    auto* dbNode = static_cast<_AbsDBItemNode*>(node);
    if (dbNode->db)
        dbNode->db->close();
    removeTreeNode(node);
    // The name is a folder name of ours, but a node's name must never reach above the folder.
    const std::optional<QString> folder = resolveContained(localDatabasesDir().absolutePath(), name);
    if (!folder || !removeDirRecursive(*folder) || QFileInfo::exists(*folder)) {
        showWarning(tr("IDS_DEL_LOCALDB_FAILED_%0").arg(htmlEscape(name)));
        return;
    }
    showInfo(tr("IDS_DEL_LOCALDB_SUC").arg(htmlEscape(name)));
}

void MainWindow::miOpenDbFolder()
{
    openInExplorer(localDatabasesDir().absolutePath());
}

void MainWindow::miViewCache()
{
    AbsTreeItemModel::_ItemNode* node = currentTreeNode();
    if (!node || node->type != kNodeIOSDevice)
        return;
    try {
        openInExplorer(static_cast<_IOSDeviceItemNode*>(node)->device.cacheDir().absolutePath());
    } catch (const std::exception& error) {
        qWarning("%s", error.what());  // a device whose identifier names no folder has no cache
    }
}

void MainWindow::miClearCache()
{
    // Nodes on screen keep their open databases: on this system an open file stays readable after
    // its name is gone, though attachment files shown in the conversation view disappear.
    bool cleared = removeDataSubfolder(DataFolder::DeviceCache);
    cleared = removeDataSubfolder(DataFolder::BackupCache) && cleared;
    cleared = removeTempBackupDir() && cleared;
    if (cleared)
        showInfo(tr("IDS_SUC_CLEAR_CACHE"));
    else
        showWarning(tr("IDS_CLEAR_CACHE_FAILED"));
}

void MainWindow::miHelp()
{
    openWebPage(QStringLiteral("tallowmere/help.html"));
}

void MainWindow::miFeedback()
{
    openWebPage(QStringLiteral("support.html"));
}

void MainWindow::miHome()
{
    openWebPage(QStringLiteral("tallowmere.html"));
}

void MainWindow::miUnmoutDevice()
{
    const QModelIndexList rows = ui.treeViewDS->selectionModel()->selectedRows(0);
    if (rows.isEmpty())
        return;
    AbsTreeItemModel::_ItemNode* node = AbsTreeItemModel::nodeOf(rows.first());
    if (node && node->type == kNodeIOSDevice)
        removeTreeNode(node);
}

void MainWindow::iosDeviceDisconnected(void* device)
{
    if (!device)
        return;  // virtual devices have no handle: a null one must not remove them
    for (const auto& child : m_mainModel->deviceRoot()->children) {
        if (child->type == kNodeIOSDevice
            && static_cast<_IOSDeviceItemNode*>(child.get())->device.amDevice == device) {
            removeTreeNode(child.get());
            return;
        }
    }
}
