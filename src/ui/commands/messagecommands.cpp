#include "ui/commands/messagecommands.h"

#include "core/fileutil.h"
#include "export/attachmentextractthread.h"
#include "export/deletemmsthread.h"
#include "export/exportmessagesthread.h"
#include "msgdb/ios6messagedb.h"
#include "ui/commands/commandcontext.h"
#include "ui/commands/foldercommands.h"
#include "ui/interaction.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/messagebox.h"
#include "ui/mmsprinter.h"
#include "ui/progressform.h"

#include <QDateTime>
#include <QDir>
#include <QPersistentModelIndex>

namespace {

QString timeStamp()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
}

}  // namespace

MessageCommands::MessageCommands(CommandContext& context, FolderCommands& folders)
    : m_context(context), m_folders(folders), m_scope(context)
{
}

void MessageCommands::runExport(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { exportMessages(messages); });
}

void MessageCommands::runExtractMedia(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { extractMedia(messages); });
}

void MessageCommands::runPrint(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { printMessages(messages); });
}

// ---------------------------------------------------------------------------------------------
// Work functions

_MsgStore MessageCommands::currentStore() const
{
    _AbsDBItemNode* node = ItemModelMain::databaseNodeOf(m_context.currentTreeNode());
    return node ? node->store : _MsgStore();
}

void MessageCommands::exportMessages(MsgMessageList messages)
{
    const QStringList filters = exportFilters();
    const QString proposed = QDir(QDir::homePath()).filePath(QStringLiteral("messages(%1)").arg(timeStamp()));
    QString selectedFilter;
    const QString chosen = chooseSaveFileName(m_context.dialogParent(), tr("IDS_SEL_EXPORT_MESSAGES_PATH"), proposed,
                                              filters.join(QStringLiteral(";;")), &selectedFilter);
    if (chosen.isEmpty())
        return;
    const ExportTarget target = exportTargetFor(chosen, filters.indexOf(selectedFilter));
    if (target.format < 0) {
        showError(tr("unknown export format."));
        return;
    }
    const _MsgStore keepAlive = currentStore();
    ProgressForm form(QString(), m_context.dialogParent());
    ExportMessagesThread job(messages, target.path, target.format, &form, m_context.dialogParent());
    runJob(form, job);
}

void MessageCommands::printMessages(MsgMessageList messages)
{
    const _MsgStore keepAlive = currentStore();
    MMSPrinter printer(m_context.dialogParent());
    printer.print(messages);
}

void MessageCommands::extractMedia(MsgMessageList messages)
{
    const QString folder = chooseExistingDirectory(
        m_context.dialogParent(), tr("IDS_TITLE_SEL_OUTPUT_FOLDER_EXTRACT_MEDIA_FILES"), QDir::home().absolutePath());
    if (folder.isEmpty())
        return;
    // Unique, so a second extraction within the same second never merges into (or on cancel
    // removes) the first one's folder.
    const QString outDir = uniqueFilePath(QDir(folder).filePath(QStringLiteral("attachments(%1)").arg(timeStamp())));
    const _MsgStore keepAlive = currentStore();
    ProgressForm form(tr("IDS_TITLE_EXTRACT_MEDIA_FILES"), m_context.dialogParent());
    AttachmentExtractThread job(&form, messages, outDir);
    runJob(form, job);
}

// ---------------------------------------------------------------------------------------------
// Deleting

bool MessageCommands::deleteMessages(_AbsDBItemNode* dbNode, const MsgMessageList& messages)
{
    auto* db = dynamic_cast<IOS6MessageDb*>(dbNode->db.data());
    if (!db)
        return false;  // only databases of the iOS 6 layout can be written
    const _MsgStore keepAlive = dbNode->store;
    bool ok = false;
    {
        ProgressForm form(QString(), m_context.dialogParent());
        db->close();  // the job opens its own connection on the same file
        DeleteMMSThread job(db->dir(), messages, &form, m_context.dialogParent());
        ok = runJob(form, job);
    }
    if (!ok)
        return false;
    m_context.smsModel()->clear();  // the list must not point at records about to go
    QList<qint64> keys;
    keys.reserve(messages.size());
    for (const _MsgMessage* message : messages)
        keys.append(message->rowid);
    dbNode->store.removeMessages(keys);
    return true;
}

void MessageCommands::runDelete(ScopeRequest request)
{
    switch (m_scope.resolve(request)) {
    case CommandScope::Selection:
        deleteSelected();
        break;
    case CommandScope::Chat:
        deleteChat();
        break;
    case CommandScope::All:
        m_folders.deleteLocalDb();  // the whole local database
        break;
    case CommandScope::None:
        break;
    }
}

void MessageCommands::deleteSelected()
{
    AbsTreeItemModel::_ItemNode* current = m_context.currentTreeNode();
    _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(current);
    // Only local databases are ours to change: never a device's copy of its messages.
    if (!dbNode || dbNode->type != kNodeLocalDb)
        return;
    const MsgMessageList messages = m_scope.ofCurrentStore(m_context.selectedMessages());
    if (messages.isEmpty() || !askQuestion(tr("IDS_CONFIRM_DEL_SEL_MMS")))
        return;
    const QPersistentModelIndex index(m_context.mainModel()->indexOfNode(current));
    m_context.setCurrentTreeIndex(QModelIndex());  // empties the views before their records go
    if (!deleteMessages(dbNode, messages)) {
        m_context.setCurrentTreeIndex(index);
        return;
    }
    CommandContext* context = &m_context;
    QMetaObject::invokeMethod(
        m_context.dialogParent(), [context, index] { if (index.isValid()) context->setCurrentTreeIndex(index); },
        Qt::QueuedConnection);
}

void MessageCommands::deleteChat()
{
    AbsTreeItemModel::_ItemNode* current = m_context.currentTreeNode();
    if (!current || current->type != kNodeChatSession)
        return;
    auto* chatNode = static_cast<_ChatSessionItemNode*>(current);
    _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(current);
    if (!dbNode || dbNode->type != kNodeLocalDb || !askQuestion(tr("IDS_CONFIRM_DEL_CHAT_MMS")))
        return;
    if (!deleteMessages(dbNode, m_scope.ofCurrentStore(_MsgStore::messagesOfChats(chatNode->chats))))
        return;
    m_context.resetMessageCount();
    const QList<_MsgChat*> chats = chatNode->chats;
    m_context.removeTreeNode(chatNode);
    for (const _MsgChat* chat : chats)
        dbNode->store.removeChat(chat->rowid);
}
