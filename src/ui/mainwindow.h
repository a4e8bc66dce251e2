#pragma once
// The program's main window: the source tree, the message list and the conversation view, wired to
// the objects that do the work. The commands are one table (ActionCollection) run by one object per
// family (src/ui/commands), which reaches the window through CommandContext; browsing is
// MessageBrowser's and the update check ProgramUpdater's. Slot names are invoked by name (menus,
// device notifications), so they stay as they are, misspellings included.
#include "ui/actioncollection.h"
#include "ui/commands/commandcontext.h"
#include "ui/itemmodelmain.h"
#include "ui/mainwindowform.h"
#include "ui/messagebrowser.h"

#include <QItemSelection>
#include <QMainWindow>

#include <memory>

class DeviceCommands;
class FolderCommands;
class ImportCommands;
class MessageCommands;
class ProgramUpdater;

class MainWindow : public QMainWindow, public CommandContext {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    const MainWindowForm& form() const { return ui; }
    ItemModelMain* mainModel() const override { return m_mainModel; }
    ItemModelSms* smsModel() const override { return m_browser->model(); }
    MessageBrowser& browser() const { return *m_browser; }
    const ActionCollection& actions() const { return *m_actions; }

    MsgMessageList currentDbMessages() override;
    MsgMessageList selectedMessages() const override;
    void selectTreeNode(AbsTreeItemModel::_ItemNode* node) override;

    // Device arrivals are ignored until start-up has finished (a modal step of start-up must not run
    // the device reading inside its own loop).
    void setStartupFinished(bool finished);
    // Enables the commands by the database node of the current tree node.
    void updateActions();

public slots:
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
    std::map<ActionCollection::Family, ActionCollection::Handler> commandHandlers();
    void connectViews();
    void setupTree();
    void loadLocalDatabases();

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
    MessageBrowser* m_browser = nullptr;
    ProgramUpdater* m_updater = nullptr;
    const std::unique_ptr<FolderCommands> m_folderCommands;
    const std::unique_ptr<MessageCommands> m_messageCommands;  // uses m_folderCommands
    const std::unique_ptr<ImportCommands> m_importCommands;
    const std::unique_ptr<DeviceCommands> m_deviceCommands;
    const std::unique_ptr<ActionCollection> m_actions;  // runs the commands above
};
