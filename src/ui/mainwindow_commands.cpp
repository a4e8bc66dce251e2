// The export, extraction and delete commands: the scope rule, the dialogs and the jobs they run.
#include "ui/mainwindow.h"

#include "core/fileutil.h"
#include "export/archivejobs.h"
#include "export/exportmessagesthread.h"
#include "msgdb/ios6messagedb.h"
#include "ui/interaction.h"
#include "ui/itemmodelsms.h"
#include "ui/jobrunner.h"
#include "ui/messagebox.h"
#include "ui/mytreeview.h"
#include "ui/progressform.h"

#include <QDateTime>
#include <QDir>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPersistentModelIndex>
#include <QSet>

#include <exception>

namespace {

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Scope

void MainWindow::runScoped(WorkFunction work)
{
    switch (commandScope(ui.treeViewSMS->selectionModel()->hasSelection(), currentTreeNode())) {
    case CommandScope::Selection:
        runOnSelection(work);
        break;
    case CommandScope::Chat:
        runOnChat(work);
        break;
    case CommandScope::All:
        runOnAll(work);
        break;
    case CommandScope::None:
        break;
    }
}

MsgMessageList MainWindow::ofCurrentStore(const MsgMessageList& list) const
{
    const _AbsDBItemNode* node = ItemModelMain::databaseNodeOf(currentTreeNode());
    if (!node)
        return {};
    const QList<_MsgMessage*> owned = node->store.data()->messages.values();
    const QSet<const _MsgMessage*> ownedSet(owned.cbegin(), owned.cend());
    MsgMessageList result;
    for (_MsgMessage* message : list) {
        if (ownedSet.contains(message))
            result.append(message);
    }
    return result;
}

void MainWindow::runOnSelection(WorkFunction work)
{
    (this->*work)(ofCurrentStore(selectedMessages()));
}

void MainWindow::runOnChat(WorkFunction work)
{
    (this->*work)(ofCurrentStore(m_smsModel->messages()));
}

void MainWindow::runOnAll(WorkFunction work)
{
    const MsgMessageList messages = currentDbMessages();
    if (!messages.isEmpty())
        (this->*work)(messages);
}

void MainWindow::miExport() { runScoped(&MainWindow::exportMessages); }
void MainWindow::miExportSel() { runOnSelection(&MainWindow::exportMessages); }
void MainWindow::miExportChat() { runOnChat(&MainWindow::exportMessages); }
void MainWindow::miExportAll() { runOnAll(&MainWindow::exportMessages); }
void MainWindow::miExtractMedia() { runScoped(&MainWindow::extractMedia); }
void MainWindow::miExtractMediaSel() { runOnSelection(&MainWindow::extractMedia); }
void MainWindow::miExtractMediaChat() { runOnChat(&MainWindow::extractMedia); }
void MainWindow::miExtractMediaAll() { runOnAll(&MainWindow::extractMedia); }

// ---------------------------------------------------------------------------------------------
// Work functions

void MainWindow::exportMessages(MsgMessageList messages)
{
    // PDF and HTML are offered once their exporters exist.
    const QStringList filters = {tr("Text Files(*.txt)"), tr("Doc Files(*.doc)"), tr("CSV Files(*.csv)")};
    const QString proposed = QDir(QDir::homePath()).filePath(QStringLiteral("messages(%1)").arg(timeStamp()));
    QString selectedFilter;
    const QString chosen = chooseSaveFileName(this, tr("IDS_SEL_EXPORT_MESSAGES_PATH"), proposed,
                                              filters.join(QStringLiteral(";;")), &selectedFilter);
    if (chosen.isEmpty())
        return;
    const ExportTarget target = exportTargetFor(chosen, filters.indexOf(selectedFilter));
    if (target.format < 0) {
        showError(tr("unknown export format."));
        return;
    }
    // The job's records belong to the node's store: this copy keeps them alive even if the node
    // goes (a device removal is delivered inside the dialog's loop).
    _AbsDBItemNode* node = ItemModelMain::databaseNodeOf(currentTreeNode());
    const _MsgStore keepAlive = node ? node->store : _MsgStore();
    ProgressForm form(QString(), this);
    ExportMessagesThread job(messages, target.path, target.format, &form, this);
    runJob(form, job);
}

void MainWindow::extractMedia(MsgMessageList messages)
{
    const QString folder = chooseExistingDirectory(this, tr("IDS_TITLE_SEL_OUTPUT_FOLDER_EXTRACT_MEDIA_FILES"),
                                                   QDir::home().absolutePath());
    if (folder.isEmpty())
        return;
    // Unique, so a second extraction within the same second never merges into (or on cancel
    // removes) the first one's folder.
    const QString outDir = uniqueFilePath(QDir(folder).filePath(QStringLiteral("attachments(%1)").arg(timeStamp())));
    _AbsDBItemNode* node = ItemModelMain::databaseNodeOf(currentTreeNode());
    const _MsgStore keepAlive = node ? node->store : _MsgStore();
    ProgressForm form(tr("IDS_TITLE_EXTRACT_MEDIA_FILES"), this);
    AttachmentExtractThread job(&form, messages, outDir);
    runJob(form, job);
}

// ---------------------------------------------------------------------------------------------
// Deleting

bool MainWindow::deleteMessages(_AbsDBItemNode* dbNode, const MsgMessageList& messages)
{
    auto* db = dynamic_cast<IOS6MessageDb*>(dbNode->db.data());
    if (!db)
        return false;  // only databases of the iOS 6 layout can be written
    const _MsgStore keepAlive = dbNode->store;
    bool ok = false;
    {
        ProgressForm form(QString(), this);
        db->close();  // the job opens its own connection on the same file
        DeleteMMSThread job(db->dir(), messages, &form, this);
        ok = runJob(form, job);
    }
    if (!ok)
        return false;
    m_smsModel->clear();  // the list must not point at records about to go
    for (const _MsgMessage* message : messages)
        dbNode->store.removeMessage(message->rowid);
    return true;
}

void MainWindow::miDel()
{
    switch (commandScope(ui.treeViewSMS->selectionModel()->hasSelection(), currentTreeNode())) {
    case CommandScope::Selection:
        miDelSel();
        break;
    case CommandScope::Chat:
        miDelChat();
        break;
    case CommandScope::All:
        miDelAll();  // the whole local database
        break;
    case CommandScope::None:
        break;
    }
}

void MainWindow::miDelSel()
{
    AbsTreeItemModel::_ItemNode* current = currentTreeNode();
    _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(current);
    // Only local databases are ours to change: never a device's copy of its messages.
    if (!dbNode || dbNode->type != kNodeLocalDb)
        return;
    const MsgMessageList messages = ofCurrentStore(selectedMessages());
    if (messages.isEmpty() || !askQuestion(tr("IDS_CONFIRM_DEL_SEL_MMS")))
        return;
    const QPersistentModelIndex index(m_mainModel->indexOfNode(current));
    ui.treeViewDS->setCurrentIndex(QModelIndex());  // empties the views before their records go
    if (!deleteMessages(dbNode, messages)) {
        ui.treeViewDS->setCurrentIndex(index);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, index] { if (index.isValid()) ui.treeViewDS->setCurrentIndex(index); }, Qt::QueuedConnection);
}

void MainWindow::miDelChat()
{
    AbsTreeItemModel::_ItemNode* current = currentTreeNode();
    if (!current || current->type != kNodeChatSession)
        return;
    auto* chatNode = static_cast<_ChatSessionItemNode*>(current);
    _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(current);
    if (!dbNode || dbNode->type != kNodeLocalDb || !askQuestion(tr("IDS_CONFIRM_DEL_CHAT_MMS")))
        return;
    if (!deleteMessages(dbNode, ofCurrentStore(_MsgStore::messagesOfChats(chatNode->chats))))
        return;
    ui.lbSMSCount->setText(tr("Messages: 0"));
    const QList<_MsgChat*> chats = chatNode->chats;
    removeTreeNode(chatNode);
    for (const _MsgChat* chat : chats)
        dbNode->store.removeChat(chat->rowid);
}
