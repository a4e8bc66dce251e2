#pragma once
// Browsing: what the tree's current node shows in the message list and the conversation view, the
// list's date order, and the two searches (a conversation by name in the tree, a message by its text
// in the list). It owns the list's model and feeds the conversation view.
#include "msgdb/records.h"
#include "ui/abstreeitemmodel.h"

#include <QCoreApplication>
#include <QObject>

class BubbleViewMgr;
class ItemModelMain;
class ItemModelSms;
class QItemSelection;
struct MainWindowForm;

class MessageBrowser : public QObject {
    // The texts are the window's: the catalogue keeps them under its context.
    Q_DECLARE_TR_FUNCTIONS(MainWindow)
public:
    // form's widgets and mainModel belong to parent, the window.
    MessageBrowser(const MainWindowForm& form, ItemModelMain& mainModel, QObject* parent);

    ItemModelSms* model() const { return m_model; }
    BubbleViewMgr* bubbleMgr() const { return m_bubbleMgr; }
    _MsgChat* shownChat() const { return m_chat; }

    // Shows what the first selected row of the tree holds; an empty selection or a failed read
    // empties the views (the failure after its error box).
    void showSelection(const QItemSelection& selected);
    // Shows messages in the list and the conversation view, sorted by the date column's order; chat
    // names the conversation (null: all messages of a database).
    void loadChatMessages(MsgMessageList messages, _MsgChat* chat);
    // Empties the list, the conversation view and the labels.
    void clear();
    void resetMessageCount();
    // Scrolls the conversation view to the first row of selected.
    void scrollToSelected(const QItemSelection& selected);
    // Sorts the list again for the date column's new order; another column only sets the date back.
    void resort(int logicalIndex);

    // The next conversation after current (under the same database) whose name holds the keyword.
    void searchConversation(AbsTreeItemModel::_ItemNode* current);
    // The next message after the list's current row whose text holds the keyword.
    void searchMessages();

    // The chat name as the label above the conversation shows it: at most 25 characters and "...".
    static QString shortChatName(const QString& name);

private:
    // Reads what node needs from its database and shows it.
    void showNode(AbsTreeItemModel::_ItemNode* node);
    // Paints the tree's new selection now, before a read on this thread holds the window.
    void showClickBeforeRead();

    const MainWindowForm& m_form;
    ItemModelMain& m_mainModel;
    ItemModelSms* m_model;        // children of this object
    BubbleViewMgr* m_bubbleMgr;
    _MsgChat* m_chat = nullptr;
};
