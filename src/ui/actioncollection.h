#pragma once
// The window's commands in one table: the slot that runs each, its family and scope, where it shows,
// its text and icon, and the nodes that offer it. The table builds the menus, the tool bar and both
// context menus, enables the commands as the tree's current node changes, and runs a command through
// its family's handler with its scope.
#include "ui/abstreeitemmodel.h"
#include "ui/commands/messagescope.h"

#include <QList>

#include <functional>
#include <map>

class QAction;
class QMenuBar;
class QToolBar;
class QWidget;

class ActionCollection {
public:
    // What a command does; its scope says on which messages.
    enum class Family {
        Backup, ExtractMedia, Export, Print, Delete, ExportToBackup, RestoreToDevice, ImportItunes,
        ImportToLocalDb, OpenDbFolder, ViewCache, ClearCache, UnmountDevice, CheckUpdate, Help, Feedback,
        Home, About, Exit,
    };
    // Where a command shows; a command in no place is reached only by its slot's name.
    enum Place : unsigned {
        Nowhere = 0, FileMenu = 1, ToolBar = 2, ToolsMenu = 4, HelpMenu = 8, TreeMenu = 16, ListMenu = 32,
    };
    // The nodes that offer a command: in the tree's menu the node itself (a conversation offers the Chat
    // commands of its database's kind, a database node the others); in the list's menu and the File
    // menu the database node of the tree's current node. Anywhere: always offered. NeedsWebHost: disabled
    // without the maker's web host.
    enum Offer : unsigned { Anywhere = 0, OnDevice = 1, OnLocalDb = 2, OnLocalRoot = 4, NeedsWebHost = 8 };

    struct Command {
        const char* slot;  // the window's slot; null for a separator
        Family family;
        ScopeRequest scope;
        unsigned places;
        const char* text;  // translated under the context "QObject"
        const char* icon;  // resource path or null
        unsigned offers;
    };
    using Handler = std::function<void(ScopeRequest)>;

    // The whole table, in menu order.
    static const QList<Command>& commands();
    // The commands of the tree's context menu on node, and of the list's while node is current.
    static QList<const Command*> treeMenu(const AbsTreeItemModel::_ItemNode* node);
    static QList<const Command*> listMenu(const AbsTreeItemModel::_ItemNode* node);

    // window parents the actions; handlers run the families.
    ActionCollection(QWidget* window, std::map<Family, Handler> handlers);

    // Fills the menu bar and the tool bar. The commands that follow the current node start disabled;
    // those that need the web host stay disabled without one.
    void buildMenus(QMenuBar* menuBar, QToolBar* toolBar);
    // Enables the File menu's commands by the database node of current.
    void updateEnabled(const AbsTreeItemModel::_ItemNode* current);
    // The actions that the File menu and the tool bar share: Backup, Extract, Export, Print, Delete.
    const QList<QAction*>& sharedActions() const { return m_shared; }
    // Pops commands up as a menu at the cursor; nothing for none.
    void popUp(const QList<const Command*>& commands) const;
    // Runs the command of the window's slot named slot.
    void run(const char* slot) const;

private:
    QAction* makeAction(const Command& command, QWidget* parent) const;
    void run(const Command& command) const;

    QWidget* m_window;
    std::map<Family, Handler> m_handlers;
    QList<QPair<const Command*, QAction*>> m_followers;  // the File menu's node-bound commands
    QList<QAction*> m_shared;
};
