#include "ui/messagebrowser.h"

#include "core/htmltext.h"
#include "msgdb/msgutil.h"
#include "ui/bubbleviewmgr.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindowform.h"
#include "ui/messagebox.h"
#include "ui/mytreeview.h"
#include "ui/waitcursor.h"

#include <QHeaderView>
#include <QItemSelection>
#include <QLabel>
#include <QLineEdit>
#include <QPersistentModelIndex>

#include <exception>

MessageBrowser::MessageBrowser(const MainWindowForm& form, ItemModelMain& mainModel, QObject* parent)
    : QObject(parent),
      m_form(form),
      m_mainModel(mainModel),
      m_model(new ItemModelSms(this)),
      m_bubbleMgr(new BubbleViewMgr(this))
{
    m_bubbleMgr->setWebView(form.webViewSMS);
    MyTreeView* list = form.treeViewSMS;
    list->setModel(m_model);
    list->setSortingEnabled(true);
    list->header()->setSectionsMovable(false);
    list->header()->setSortIndicator(0, Qt::AscendingOrder);
    list->setColumnWidth(0, 160);
    list->setColumnWidth(1, 50);
    list->setColumnWidth(2, 120);
}

void MessageBrowser::showSelection(const QItemSelection& selected)
{
    if (selected.isEmpty() || !selected.first().isValid()) {
        clear();
        return;
    }
    try {
        showNode(AbsTreeItemModel::nodeOf(selected.first().topLeft()));
    } catch (const std::exception& e) {
        // Whatever was shown belonged to another node: commands must not act on it.
        clear();
        showError(htmlEscape(QString::fromUtf8(e.what())));
    }
}

void MessageBrowser::showNode(AbsTreeItemModel::_ItemNode* node)
{
    const int type = node ? node->type : 0;
    if ((type == kNodeLocalDb || type == kNodeIOSDevice) && !static_cast<_AbsDBItemNode*>(node)->db) {
        clear();  // a node without a database has nothing to show
        return;
    }
    switch (type) {
    case kNodeLocalDb: {
        auto* dbNode = static_cast<_AbsDBItemNode*>(node);
        if (!node->children.empty()) {
            loadChatMessages(dbNode->store.messageList(), nullptr);  // read at the first selection
            return;
        }
        const WaitCursor busy;
        showClickBeforeRead();
        dbNode->db->chats(dbNode->store);
        m_mainModel.loadChats(dbNode);
        const QPersistentModelIndex index(m_mainModel.indexOfNode(node));
        QTreeView* tree = m_form.treeViewDS;
        QMetaObject::invokeMethod(tree, [tree, index] { if (index.isValid()) tree->expand(index); },
                                  Qt::QueuedConnection);
        if (node->children.empty()) {
            clear();  // an empty database must not leave another one's messages on screen
            return;
        }
        dbNode->db->messages(dbNode->store, 0);
        loadChatMessages(dbNode->store.messageList(), nullptr);
        return;
    }
    case kNodeIOSDevice: {
        auto* dbNode = static_cast<_AbsDBItemNode*>(node);
        const WaitCursor busy;
        showClickBeforeRead();
        dbNode->db->messages(dbNode->store, 0);
        loadChatMessages(dbNode->store.messageList(), nullptr);
        return;
    }
    case kNodeChatSession: {
        const QList<_MsgChat*>& chats = static_cast<_ChatSessionItemNode*>(node)->chats;
        if (chats.isEmpty())
            clear();
        else
            loadChatMessages(_MsgStore::messagesOfChats(chats), chats.first());
        return;
    }
    default:
        clear();
    }
}

void MessageBrowser::showClickBeforeRead()
{
    // The selection would be painted when the event loop next runs, after the read: a large database
    // would keep the click unanswered for seconds.
    m_form.treeViewDS->viewport()->repaint();
}

QString MessageBrowser::shortChatName(const QString& name)
{
    constexpr int kShownChars = 25;
    return name.size() > kShownChars ? name.left(kShownChars) + QStringLiteral("...") : name;
}

void MessageBrowser::loadChatMessages(MsgMessageList messages, _MsgChat* chat)
{
    m_chat = chat;
    sortMessages(messages, m_form.treeViewSMS->header()->sortIndicatorOrder() == Qt::DescendingOrder);
    m_model->setMessages(messages);
    m_bubbleMgr->showBubble(messages);
    m_form.lbSMSCount->setText(tr("Messages: %1").arg(messages.size()));
    m_form.lbChatName->setText(chat ? shortChatName(chat->displayName(false)) : tr("All"));
}

void MessageBrowser::clear()
{
    m_chat = nullptr;
    m_model->setMessages({});
    m_bubbleMgr->showBubble({});
    resetMessageCount();
    m_form.lbChatName->clear();
}

void MessageBrowser::resetMessageCount()
{
    m_form.lbSMSCount->setText(tr("Messages: 0"));
}

void MessageBrowser::scrollToSelected(const QItemSelection& selected)
{
    const QModelIndexList indexes = selected.indexes();
    if (indexes.isEmpty())
        return;
    const int row = indexes.first().row();
    if (ItemModelSms::messageOf(m_model->rowIndex(row)))
        m_bubbleMgr->scrollToPos(row);
}

void MessageBrowser::resort(int logicalIndex)
{
    if (logicalIndex != 0) {
        // Only the date sorts: going back to it emits the signal again, which sorts ascending.
        m_form.treeViewSMS->header()->setSortIndicator(0, Qt::AscendingOrder);
        return;
    }
    loadChatMessages(m_model->messages(), m_chat);
}

void MessageBrowser::searchConversation(AbsTreeItemModel::_ItemNode* node)
{
    if (!node)
        return;
    AbsTreeItemModel::_ItemNode* parent = nullptr;
    size_t start = 0;
    if (node->type == kNodeIOSDevice || node->type == kNodeAndroid || node->type == kNodeLocalDb) {
        parent = node;
    } else if (node->type == kNodeChatSession && node->parent) {
        parent = node->parent;
        while (start < parent->children.size() && parent->children[start].get() != node)
            ++start;
        ++start;  // the next conversation first; the current one comes last
    } else {
        return;
    }
    const QString keyword = m_form.txtHandleKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const size_t count = parent->children.size();
    for (size_t k = 0; k < count; ++k) {
        AbsTreeItemModel::_ItemNode* child = parent->children[(start + k) % count].get();
        if (child->name.contains(keyword, Qt::CaseInsensitive)) {
            m_form.treeViewDS->setCurrentIndex(m_mainModel.indexOfNode(child));
            return;
        }
    }
    showInfo(tr("IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0").arg(htmlEscape(keyword)));
}

void MessageBrowser::searchMessages()
{
    const QString keyword = m_form.txtSMSKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const MsgMessageList& messages = m_model->messages();
    if (messages.isEmpty()) {
        showInfo(tr("IDS_CAN_NOT_FOUND_AND_MESSAGES"));
        return;
    }
    const QModelIndex current = m_form.treeViewSMS->currentIndex();
    const int start = current.isValid() ? current.row() + 1 : 0;
    const int count = messages.size();
    for (int k = 0; k < count; ++k) {
        const int row = (start + k) % count;
        if (messagePlainText(messages.at(row)).contains(keyword, Qt::CaseInsensitive)) {
            m_form.treeViewSMS->setCurrentIndex(m_model->rowIndex(row));
            return;
        }
    }
    showInfo(tr("IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0").arg(htmlEscape(keyword)));
}
