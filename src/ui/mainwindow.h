#pragma once
// The program's main window: the source tree, the message list and the conversation view, the menus
// and tool bar, and every command as a slot. Slot names are invoked by name (menus, device
// notifications), so they stay as they are, misspellings included.
#include "ui/itemmodelmain.h"
#include "ui/mainwindowform.h"

#include <QItemSelection>
#include <QList>
#include <QMainWindow>

class BubbleViewMgr;
class ItemModelSms;
class QAction;
class QLabel;
class QNetworkReply;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // One entry of a context menu: translated text (context "QObject"), icon resource, slot name.
    struct MenuEntry {
        const char* text;
        const char* icon;
        const char* slot;
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    const MainWindowForm& form() const { return ui; }
    ItemModelMain* mainModel() const { return m_mainModel; }
    ItemModelSms* smsModel() const { return m_smsModel; }
    BubbleViewMgr* bubbleMgr() const { return m_bubbleMgr; }
    _MsgChat* shownChat() const { return currentChat; }

    // Shows messages in the list and the conversation view, sorted by the date column's order; chat
    // names the conversation (null: all messages of a database).
    void loadChatMessages(MsgMessageList messages, _MsgChat* chat);
    // Empties the list, the conversation view and the labels.
    void clearMessageView();
    // Every message of the current node's database, read anew; empty (after the error box) on failure.
    MsgMessageList currentDbMessages();
    // The messages of the selected rows of the list, in selection order.
    MsgMessageList selectedMessages() const;
    // Expands node and makes it current once the running command has returned.
    void selectTreeNode(AbsTreeItemModel::_ItemNode* node);
    // The chat name as the label above the conversation shows it: at most 25 characters and "...".
    static QString shortChatName(const QString& name);
    // The five actions that the File menu and the tool bar share: Backup, Extract, Export, Print, Delete.
    QList<QAction*> sharedActions() const;

    // Device arrivals are ignored until start-up has finished (a modal step of start-up must not run
    // the device reading inside its own loop).
    void setStartupFinished(bool finished) { m_startupFinished = finished; }

    // Enables the shared actions by the database node of the current tree node.
    void updateActions();

    // The entries the tree's context menu offers for node (none for roots, Android nodes and null).
    static QList<MenuEntry> treeContextMenuEntries(const AbsTreeItemModel::_ItemNode* node);
    // The entries the message list's context menu offers while node is the tree's current node.
    static QList<MenuEntry> smsContextMenuEntries(const AbsTreeItemModel::_ItemNode* node);

public slots:
    void onCheckVersionReadyRead(QNetworkReply* reply);
    void onGetAdvLinkRead(QNetworkReply* reply);
    void iosDeviceConnected(void* device);
    void iosDeviceDisconnected(void* device);
    void onMainTreeSelected(const QItemSelection& selected, const QItemSelection& deselected);
    void onMainTreeContextMenu();
    void onSMSItemSelected(const QItemSelection& selected, const QItemSelection& deselected);
    void onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder order);
    void onSMSContextMenu();
    void searchMessages();
    void searchCotnact();
    void miI2I();
    void miI2ISel();
    void miI2IChat();
    void miI2IAll();
    void miDb2I();
    void miDb2ISel();
    void miDb2IChat();
    void miDb2IAll();
    void miExport2ITunesBKSel();
    void miExport2ITunesBKChat();
    void miExport2ITunesBKAll();
    void miExport2ITunesBK();
    void miImportItunes();
    void miImportToLocalDb();
    void miBackup();
    void miBackupSel();
    void miBackupChat();
    void miBackupAll();
    void miPrint();
    void miPrintSel();
    void miPrintChat();
    void miPrintAll();
    void miExport();
    void miExportSel();
    void miExportChat();
    void miExportAll();
    void miExtractMedia();
    void miExtractMediaSel();
    void miExtractMediaChat();
    void miExtractMediaAll();
    void miDel();
    void miDelSel();
    void miDelChat();
    void miDelAll();
    void miCheckUpdate();
    void miHelp();
    void miFeedback();
    void miAbout();
    void miHome();
    void miUnmoutDevice();
    void miClearCache();
    void miViewCache();
    void miOpenDbFolder();

private:
    void connectViews();
    void setupModels();
    void buildMenus();
    QAction* addMenuAction(QMenu* menu, const char* text, const char* icon, const char* slot);
    void setupStatusLabel();
    void subscribeDeviceNotifications();
    void loadLocalDatabases();
    void startDailyUpdateCheck();
    void loadVirtualDevices();
    void loadVirtualDevice(const QString& folder);
    void showContextMenu(const QList<MenuEntry>& entries);
    AbsTreeItemModel::_ItemNode* currentTreeNode() const;
    // Clears the tree's current index when it is node or below it, so removing node does not make the
    // view select (and load) a neighbour in the middle of the removal.
    void releaseCurrentIfWithin(AbsTreeItemModel::_ItemNode* node);
    // Takes node (and everything below it) out of the tree without the view loading a neighbour.
    void removeTreeNode(AbsTreeItemModel::_ItemNode* node);
    // A command whose work is not in this version yet.
    void commandNotReady(const char* name);
    // Reads what node needs from its database and shows it (the tree selection's work).
    void showNode(AbsTreeItemModel::_ItemNode* node);

    // Commands on messages (mainwindow_commands.cpp). A work function takes the list by value; the
    // records stay owned by the database node's store.
    using WorkFunction = void (MainWindow::*)(MsgMessageList);
    void runScoped(WorkFunction work);
    void runOnSelection(WorkFunction work);
    void runOnChat(WorkFunction work);
    void runOnAll(WorkFunction work);
    void exportMessages(MsgMessageList messages);
    void extractMedia(MsgMessageList messages);
    // Copying into local databases (mainwindow_import.cpp).
    void importITunesBackup(const QString& name);
    // Asks for the target local database (defaultName proposed) and copies messages into it; the
    // target node is added or reloaded and selected. True when the copy succeeded.
    bool backupToLocalDb(const QString& defaultName, const MsgMessageList& messages);
    void backupMessages(MsgMessageList messages);
    QStringList localDbNames() const;
    // The local-database node whose name equals name, ignoring case; null when there is none.
    _AbsDBItemNode* localDbNamed(const QString& name) const;
    // Reads node's database into a fresh store and rebuilds its conversation nodes.
    void reloadDatabaseNode(_AbsDBItemNode* node);
    // The messages of list that belong to the store of the current node's database: commands
    // never act on records of another source.
    MsgMessageList ofCurrentStore(const MsgMessageList& list) const;
    // Deletes messages of dbNode in a job; true when it succeeded (the records are then removed).
    bool deleteMessages(_AbsDBItemNode* dbNode, const MsgMessageList& messages);

    MainWindowForm ui;
    ItemModelMain* m_mainModel = nullptr;  // children of the window
    ItemModelSms* m_smsModel = nullptr;
    BubbleViewMgr* m_bubbleMgr = nullptr;
    QAction* actBackup = nullptr;
    QAction* actExport = nullptr;
    QAction* actExtractMedia = nullptr;
    QAction* actPrint = nullptr;
    QAction* actDel = nullptr;
    QLabel* statusLabel = nullptr;
    _MsgChat* currentChat = nullptr;
    bool m_startupFinished = false;
};
