#pragma once
// The program's main window: the source tree, the message list and the conversation view, the menus
// and tool bar, and every command as a slot. Slot names are invoked by name (menus, device
// notifications), so they stay as they are, misspellings included. The commands' work belongs to one
// object per family (src/ui/commands), which reaches the window through CommandContext.
#include "ui/commands/commandcontext.h"
#include "ui/itemmodelmain.h"
#include "ui/mainwindowform.h"

#include <QItemSelection>
#include <QList>
#include <QMainWindow>

#include <memory>

class BubbleViewMgr;
class DeviceCommands;
class FolderCommands;
class ImportCommands;
class ItemModelSms;
class MessageCommands;
class QAction;
class QLabel;
class QNetworkReply;

class MainWindow : public QMainWindow, public CommandContext {
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
    ItemModelMain* mainModel() const override { return m_mainModel; }
    ItemModelSms* smsModel() const override { return m_smsModel; }
    BubbleViewMgr* bubbleMgr() const { return m_bubbleMgr; }
    _MsgChat* shownChat() const { return currentChat; }

    // Shows messages in the list and the conversation view, sorted by the date column's order; chat
    // names the conversation (null: all messages of a database).
    void loadChatMessages(MsgMessageList messages, _MsgChat* chat);
    // Empties the list, the conversation view and the labels.
    void clearMessageView();
    MsgMessageList currentDbMessages() override;
    MsgMessageList selectedMessages() const override;
    void selectTreeNode(AbsTreeItemModel::_ItemNode* node) override;
    // The chat name as the label above the conversation shows it: at most 25 characters and "...".
    static QString shortChatName(const QString& name);
    // The five actions that the File menu and the tool bar share: Backup, Extract, Export, Print, Delete.
    QList<QAction*> sharedActions() const;

    // Device arrivals are ignored until start-up has finished (a modal step of start-up must not run
    // the device reading inside its own loop).
    void setStartupFinished(bool finished);

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
    void loadLocalDatabases();
    void startDailyUpdateCheck();
    void showContextMenu(const QList<MenuEntry>& entries);
    // Reads what node needs from its database and shows it (the tree selection's work).
    void showNode(AbsTreeItemModel::_ItemNode* node);

    // CommandContext, beyond the public members above.
    QWidget* dialogParent() override { return this; }
    AbsTreeItemModel::_ItemNode* currentTreeNode() const override;
    AbsTreeItemModel::_ItemNode* selectedTreeNode() const override;
    void setCurrentTreeIndex(const QModelIndex& index) override;
    void expandTreeNode(AbsTreeItemModel::_ItemNode* node) override;
    void releaseCurrentIfWithin(AbsTreeItemModel::_ItemNode* node) override;
    void removeTreeNode(AbsTreeItemModel::_ItemNode* node) override;
    bool hasMessageSelection() const override;
    void resetMessageCount() override;

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
    const std::unique_ptr<FolderCommands> m_folderCommands;
    const std::unique_ptr<MessageCommands> m_messageCommands;  // uses m_folderCommands
    const std::unique_ptr<ImportCommands> m_importCommands;
    const std::unique_ptr<DeviceCommands> m_deviceCommands;
};
