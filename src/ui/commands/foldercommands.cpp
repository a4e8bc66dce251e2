#include "ui/commands/foldercommands.h"

#include "core/datadir.h"
#include "core/fileutil.h"
#include "core/removeaside.h"
#include "core/safepath.h"
#include "device/tempbackupdir.h"
#include "flows/stepjob.h"
#include "platform/webhost.h"
#include "ui/commands/commandcontext.h"
#include "ui/itemmodelmain.h"
#include "ui/messagebox.h"

#include <exception>

namespace {

// Every copy made from devices and backups, and the program's temporary backups. Ends early with
// false once cancelled says so; what was removed by then stays removed.
bool removeCacheFolders(const StepJob::Cancelled& cancelled)
{
    bool cleared = true;
    // Thumbnails and contact cards are copies of attachments: they go with the copies they were made from.
    for (const DataFolder folder :
         {DataFolder::DeviceCache, DataFolder::BackupCache, DataFolder::Thumbnails, DataFolder::CardImages})
        cleared = removeDirRecursive(dataFolderPath(folder), cancelled) && cleared;
    return removeTempBackupDir(cancelled) && cleared;
}

void openWebPage(const QString& path)
{
    const QUrl page = webHostUrl(path);
    if (!page.isEmpty())
        openUrl(page.toString(QUrl::FullyEncoded));
}

}  // namespace

void FolderCommands::deleteLocalDb()
{
    AbsTreeItemModel::_ItemNode* node = m_context.currentTreeNode();
    if (!node || node->type != kNodeLocalDb)
        return;
    if (!askQuestion(tr("IDS_CONFIRM_DEL_THIS_LOCALDB")))
        return;
    const QString name = node->name;
    auto* dbNode = static_cast<_AbsDBItemNode*>(node);
    if (dbNode->db)
        dbNode->db->close();
    m_context.removeTreeNode(node);
    // The name is a folder name of ours, but a node's name must never reach above the folder.
    const std::optional<QString> folder = resolveContained(localDatabasesDir().absolutePath(), name);
    // A large history takes seconds to remove: the window goes on while a worker removes it.
    if (!folder || !removeFolderAside(*folder)) {
        showWarning(tr("IDS_DEL_LOCALDB_FAILED_%0").arg(htmlEscape(name)));
        return;
    }
    showInfo(tr("IDS_DEL_LOCALDB_SUC").arg(htmlEscape(name)));
}

void FolderCommands::openDbFolder()
{
    openInExplorer(localDatabasesDir().absolutePath());
}

void FolderCommands::viewCache()
{
    AbsTreeItemModel::_ItemNode* node = m_context.currentTreeNode();
    if (!node || node->type != kNodeIOSDevice)
        return;
    try {
        openInExplorer(static_cast<_IOSDeviceItemNode*>(node)->device.cacheDir().absolutePath());
    } catch (const std::exception& error) {
        qWarning("%s", error.what());  // a device whose identifier names no folder has no cache
    }
}

void FolderCommands::clearCache()
{
    // Nodes on screen keep their open databases: on this system an open file stays readable after
    // its name is gone, though attachment files shown in the conversation view disappear. Tens of
    // thousands of files take a minute to remove: a job removes them while the window goes on.
    bool cleared = false;
    const bool ended =
        runStep(m_prompts, QCoreApplication::translate("QObject", "Clear Cache files"),
                [&cleared](const StepJob::Cancelled& cancelled) { cleared = removeCacheFolders(cancelled); });
    if (!ended)
        return;  // cancelled: nothing to report
    if (cleared)
        showInfo(tr("IDS_SUC_CLEAR_CACHE"));
    else
        showWarning(tr("IDS_CLEAR_CACHE_FAILED"));
}

void FolderCommands::openHelp()
{
    openWebPage(QStringLiteral("tallowmere/help.html"));
}

void FolderCommands::openFeedback()
{
    openWebPage(QStringLiteral("support.html"));
}

void FolderCommands::openHome()
{
    openWebPage(QStringLiteral("tallowmere.html"));
}
