#pragma once
// What the command objects need of the main window: the tree and its models, the message list, and a
// widget to parent their dialogs. The window implements it; a test may stand in for it.
#include "msgdb/records.h"
#include "ui/abstreeitemmodel.h"

class ItemModelMain;
class ItemModelSms;
class QModelIndex;
class QWidget;

class CommandContext {
public:
    // The window: parent of the commands' dialogs and jobs, and receiver of their deferred steps (which
    // are dropped with it).
    virtual QWidget* dialogParent() = 0;
    virtual ItemModelMain* mainModel() const = 0;
    virtual ItemModelSms* smsModel() const = 0;

    // The source tree.
    virtual AbsTreeItemModel::_ItemNode* currentTreeNode() const = 0;
    // The node of the tree's first selected row; null without one.
    virtual AbsTreeItemModel::_ItemNode* selectedTreeNode() const = 0;
    virtual void setCurrentTreeIndex(const QModelIndex& index) = 0;
    virtual void expandTreeNode(AbsTreeItemModel::_ItemNode* node) = 0;
    // Expands node and makes it current once the running command has returned.
    virtual void selectTreeNode(AbsTreeItemModel::_ItemNode* node) = 0;
    // Clears the tree's current index when it is node or below it, so removing node does not make the
    // view select (and load) a neighbour in the middle of the removal.
    virtual void releaseCurrentIfWithin(AbsTreeItemModel::_ItemNode* node) = 0;
    // Takes node (and everything below it) out of the tree without the view loading a neighbour.
    virtual void removeTreeNode(AbsTreeItemModel::_ItemNode* node) = 0;

    // The message list.
    virtual bool hasMessageSelection() const = 0;
    // The messages of the selected rows of the list, in selection order.
    virtual MsgMessageList selectedMessages() const = 0;
    // Every message of the current node's database, read anew; empty (after the error box) on failure.
    virtual MsgMessageList currentDbMessages() = 0;
    // Sets the count above the list to zero.
    virtual void resetMessageCount() = 0;

protected:
    ~CommandContext() = default;
};
