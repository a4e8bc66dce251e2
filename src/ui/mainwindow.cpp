#include "ui/mainwindow.h"

#include "core/datadir.h"
#include "core/fileutil.h"
#include "core/htmltext.h"
#include "core/product.h"
#include "core/removeaside.h"
#include "device/devicelibraries.h"
#include "msgdb/messagedbfolder.h"
#include "ui/aboutusform.h"
#include "ui/commands/devicecommands.h"
#include "ui/commands/foldercommands.h"
#include "ui/commands/importcommands.h"
#include "ui/commands/messagecommands.h"
#include "ui/interaction.h"
#include "ui/itemmodelsms.h"
#include "ui/messagebox.h"
#include "ui/mytreeview.h"
#include "ui/programupdater.h"
#include "ui/waitcursor.h"

#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPersistentModelIndex>
#include <QSplitter>
#include <QToolButton>

#include <exception>

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      m_folderCommands(std::make_unique<FolderCommands>(*this)),
      m_messageCommands(std::make_unique<MessageCommands>(*this, *m_folderCommands)),
      m_importCommands(std::make_unique<ImportCommands>(*this)),
      m_deviceCommands(std::make_unique<DeviceCommands>(*this)),
      m_actions(std::make_unique<ActionCollection>(this, commandHandlers()))
{
    ui.setupUi(this);
    setStyleSheet(loadStyleSheet());
    setWindowIcon(QIcon(QStringLiteral(":/res/main.png")));
    m_mainModel = new ItemModelMain(this);
    m_browser = new MessageBrowser(ui, *m_mainModel, this);
    connectViews();
    ui.splitter->setSizes({200, 450, 350});
    setupTree();
    m_actions->buildMenus(ui.menuBar, ui.mainToolBar);
    setWindowTitle(productTitle());
    m_browser->resetMessageCount();
    // Chat names come from data: never rich text.
    ui.lbSMSCount->setTextFormat(Qt::PlainText);
    ui.lbChatName->setTextFormat(Qt::PlainText);
    m_updater = new ProgramUpdater(this, ui.statusBar);
    if (DeviceLibraries::isLoaded())
        m_deviceCommands->subscribeNotifications(this);
    loadLocalDatabases();
    m_updater->startDailyCheck();
    m_deviceCommands->loadVirtualDevices();
}

MainWindow::~MainWindow() = default;

std::map<ActionCollection::Family, ActionCollection::Handler> MainWindow::commandHandlers()
{
    using F = ActionCollection::Family;
    return {
        {F::Backup, [this](ScopeRequest scope) { m_importCommands->runBackup(scope); }},
        {F::ExtractMedia, [this](ScopeRequest scope) { m_messageCommands->runExtractMedia(scope); }},
        {F::Export, [this](ScopeRequest scope) { m_messageCommands->runExport(scope); }},
        {F::Print, [this](ScopeRequest scope) { m_messageCommands->runPrint(scope); }},
        {F::Delete, [this](ScopeRequest scope) { m_messageCommands->runDelete(scope); }},
        {F::ExportToBackup, [this](ScopeRequest scope) { m_importCommands->runExportToITunesBackup(scope); }},
        {F::RestoreToDevice, [this](ScopeRequest scope) { m_deviceCommands->runRestoreToDevice(scope); }},
        {F::ImportItunes, [this](ScopeRequest) { m_importCommands->runImportItunes(); }},
        {F::ImportToLocalDb, [this](ScopeRequest) { m_importCommands->runImportToLocalDb(); }},
        {F::OpenDbFolder, [this](ScopeRequest) { m_folderCommands->openDbFolder(); }},
        {F::ViewCache, [this](ScopeRequest) { m_folderCommands->viewCache(); }},
        {F::ClearCache, [this](ScopeRequest) { m_folderCommands->clearCache(); }},
        {F::UnmountDevice, [this](ScopeRequest) { m_deviceCommands->unmountSelected(); }},
        {F::CheckUpdate, [this](ScopeRequest) { m_updater->openUpdatePage(); }},
        {F::Help, [this](ScopeRequest) { m_folderCommands->openHelp(); }},
        {F::Feedback, [this](ScopeRequest) { m_folderCommands->openFeedback(); }},
        {F::Home, [this](ScopeRequest) { m_folderCommands->openHome(); }},
        {F::About, [this](ScopeRequest) { AboutUsForm about(this); execDialog(about); }},
        {F::Exit, [this](ScopeRequest) { close(); }},
    };
}

void MainWindow::setStartupFinished(bool finished)
{
    m_deviceCommands->setStartupFinished(finished);
}

void MainWindow::connectViews()
{
    connect(ui.treeViewDS, &MyTreeView::onSelectionChanged, this, &MainWindow::onMainTreeSelected);
    connect(ui.treeViewDS, &MyTreeView::createContextMenu, this, &MainWindow::onMainTreeContextMenu);
    connect(ui.treeViewSMS, &MyTreeView::onSelectionChanged, this, &MainWindow::onSMSItemSelected);
    connect(ui.treeViewSMS, &MyTreeView::createContextMenu, this, &MainWindow::onSMSContextMenu);
    connect(ui.treeViewSMS->header(), &QHeaderView::sortIndicatorChanged, this,
            &MainWindow::onSMSSortIndicatorChanged);
    connect(ui.btnSearchHandle, &QToolButton::pressed, this, &MainWindow::searchCotnact);
    connect(ui.txtHandleKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchCotnact);
    connect(ui.btnSearchSMS, &QToolButton::pressed, this, &MainWindow::searchMessages);
    connect(ui.txtSMSKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchMessages);
}

void MainWindow::setupTree()
{
    ui.treeViewDS->setModel(m_mainModel);
    ui.treeViewDS->expandAll();
    // The commands follow the current node wherever it goes: a cleared selection still reports the
    // node it leaves, and a node removed with its device or database moves the current index silently.
    connect(ui.treeViewDS->selectionModel(), &QItemSelectionModel::currentChanged, this, &MainWindow::updateActions);
    connect(m_mainModel, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateActions);
    connect(m_mainModel, &QAbstractItemModel::modelReset, this, &MainWindow::updateActions);
}

void MainWindow::updateActions()
{
    m_actions->updateEnabled(currentTreeNode());
}

void MainWindow::loadLocalDatabases()
{
    const QDir root = localDatabasesDir();
    sweepFoldersLeftAside(root);  // databases deleted while a crash or an exit cut their removal short
    for (const QString& name : subfolderNames(root))
        m_mainModel->addLocalDb(makeLocalMessageDb(root.absoluteFilePath(name)), name);
    expandTreeNode(m_mainModel->localDbRoot());
}

// ---------------------------------------------------------------------------------------------
// The tree and the list, for the commands and the browser.

AbsTreeItemModel::_ItemNode* MainWindow::currentTreeNode() const
{
    return AbsTreeItemModel::nodeOf(ui.treeViewDS->currentIndex());
}

AbsTreeItemModel::_ItemNode* MainWindow::selectedTreeNode() const
{
    const QModelIndexList rows = ui.treeViewDS->selectionModel()->selectedRows(0);
    return rows.isEmpty() ? nullptr : AbsTreeItemModel::nodeOf(rows.first());
}

void MainWindow::setCurrentTreeIndex(const QModelIndex& index)
{
    ui.treeViewDS->setCurrentIndex(index);
}

void MainWindow::expandTreeNode(AbsTreeItemModel::_ItemNode* node)
{
    ui.treeViewDS->expand(m_mainModel->indexOfNode(node));
}

void MainWindow::selectTreeNode(AbsTreeItemModel::_ItemNode* node)
{
    const QModelIndex index = m_mainModel->indexOfNode(node);
    ui.treeViewDS->expand(index);
    const QPersistentModelIndex persistent(index);
    QTreeView* tree = ui.treeViewDS;
    QMetaObject::invokeMethod(tree, [tree, persistent] { if (persistent.isValid()) tree->setCurrentIndex(persistent); },
                              Qt::QueuedConnection);
}

void MainWindow::releaseCurrentIfWithin(AbsTreeItemModel::_ItemNode* node)
{
    for (auto* current = currentTreeNode(); current; current = current->parent) {
        if (current == node) {
            ui.treeViewDS->selectionModel()->clear();
            return;
        }
    }
}

void MainWindow::removeTreeNode(AbsTreeItemModel::_ItemNode* node)
{
    releaseCurrentIfWithin(node);
    m_mainModel->removeNode(node);
}

MsgMessageList MainWindow::currentDbMessages()
{
    _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(currentTreeNode());
    if (!dbNode || !dbNode->db)
        return {};  // a connected device whose messages are not read
    try {
        const WaitCursor busy;
        dbNode->db->messages(dbNode->store, 0);
        return dbNode->store.messageList();
    } catch (const std::exception& e) {
        showError(htmlEscape(QString::fromUtf8(e.what())));
        return {};
    }
}

bool MainWindow::hasMessageSelection() const
{
    return ui.treeViewSMS->selectionModel()->hasSelection();
}

void MainWindow::resetMessageCount()
{
    m_browser->resetMessageCount();
}

MsgMessageList MainWindow::selectedMessages() const
{
    MsgMessageList messages;
    for (const QModelIndex& index : ui.treeViewSMS->selectionModel()->selectedRows(0)) {
        if (_MsgMessage* message = ItemModelSms::messageOf(index))
            messages.append(message);
    }
    return messages;
}

// ---------------------------------------------------------------------------------------------
// The slots: the views' signals go to the browser and the menus, the commands to their table.

void MainWindow::onMainTreeSelected(const QItemSelection& selected, const QItemSelection&)
{
    updateActions();
    m_browser->showSelection(selected);
}

void MainWindow::onSMSItemSelected(const QItemSelection& selected, const QItemSelection&)
{
    m_browser->scrollToSelected(selected);
}

void MainWindow::onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder) { m_browser->resort(logicalIndex); }
void MainWindow::searchCotnact() { m_browser->searchConversation(currentTreeNode()); }
void MainWindow::searchMessages() { m_browser->searchMessages(); }
void MainWindow::onMainTreeContextMenu() { m_actions->popUp(ActionCollection::treeMenu(currentTreeNode())); }
void MainWindow::onSMSContextMenu() { m_actions->popUp(ActionCollection::listMenu(currentTreeNode())); }
void MainWindow::iosDeviceConnected(void* device) { m_deviceCommands->deviceConnected(device); }
void MainWindow::iosDeviceDisconnected(void* device) { m_deviceCommands->deviceDisconnected(device); }

// Each command slot runs the table's command of its own name.
void MainWindow::miI2I() { m_actions->run(__func__); }
void MainWindow::miI2ISel() { m_actions->run(__func__); }
void MainWindow::miI2IChat() { m_actions->run(__func__); }
void MainWindow::miI2IAll() { m_actions->run(__func__); }
void MainWindow::miDb2I() { m_actions->run(__func__); }
void MainWindow::miDb2ISel() { m_actions->run(__func__); }
void MainWindow::miDb2IChat() { m_actions->run(__func__); }
void MainWindow::miDb2IAll() { m_actions->run(__func__); }
void MainWindow::miExport2ITunesBKSel() { m_actions->run(__func__); }
void MainWindow::miExport2ITunesBKChat() { m_actions->run(__func__); }
void MainWindow::miExport2ITunesBKAll() { m_actions->run(__func__); }
void MainWindow::miExport2ITunesBK() { m_actions->run(__func__); }
void MainWindow::miImportItunes() { m_actions->run(__func__); }
void MainWindow::miImportToLocalDb() { m_actions->run(__func__); }
void MainWindow::miBackup() { m_actions->run(__func__); }
void MainWindow::miBackupSel() { m_actions->run(__func__); }
void MainWindow::miBackupChat() { m_actions->run(__func__); }
void MainWindow::miBackupAll() { m_actions->run(__func__); }
void MainWindow::miPrint() { m_actions->run(__func__); }
void MainWindow::miPrintSel() { m_actions->run(__func__); }
void MainWindow::miPrintChat() { m_actions->run(__func__); }
void MainWindow::miPrintAll() { m_actions->run(__func__); }
void MainWindow::miExport() { m_actions->run(__func__); }
void MainWindow::miExportSel() { m_actions->run(__func__); }
void MainWindow::miExportChat() { m_actions->run(__func__); }
void MainWindow::miExportAll() { m_actions->run(__func__); }
void MainWindow::miExtractMedia() { m_actions->run(__func__); }
void MainWindow::miExtractMediaSel() { m_actions->run(__func__); }
void MainWindow::miExtractMediaChat() { m_actions->run(__func__); }
void MainWindow::miExtractMediaAll() { m_actions->run(__func__); }
void MainWindow::miDel() { m_actions->run(__func__); }
void MainWindow::miDelSel() { m_actions->run(__func__); }
void MainWindow::miDelChat() { m_actions->run(__func__); }
void MainWindow::miDelAll() { m_actions->run(__func__); }
void MainWindow::miCheckUpdate() { m_actions->run(__func__); }
void MainWindow::miHelp() { m_actions->run(__func__); }
void MainWindow::miFeedback() { m_actions->run(__func__); }
void MainWindow::miAbout() { m_actions->run(__func__); }
void MainWindow::miHome() { m_actions->run(__func__); }
void MainWindow::miUnmoutDevice() { m_actions->run(__func__); }
void MainWindow::miClearCache() { m_actions->run(__func__); }
void MainWindow::miViewCache() { m_actions->run(__func__); }
void MainWindow::miOpenDbFolder() { m_actions->run(__func__); }
