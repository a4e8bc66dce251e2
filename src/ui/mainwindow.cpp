#include "ui/mainwindow.h"

#include "core/datadir.h"
#include "core/fileutil.h"
#include "core/removeaside.h"
#include "device/devicelibraries.h"
#include "msgdb/messagedbfolder.h"
#include "msgdb/msgutil.h"
#include "platform/webhost.h"
#include "ui/aboutusform.h"
#include "ui/bubbleviewmgr.h"
#include "ui/commands/devicecommands.h"
#include "ui/commands/foldercommands.h"
#include "ui/commands/importcommands.h"
#include "ui/commands/messagecommands.h"
#include "ui/interaction.h"
#include "ui/itemmodelsms.h"
#include "ui/messagebox.h"
#include "ui/mytreeview.h"
#include "ui/updatecheck.h"

#include <QAction>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QNetworkReply>
#include <QPersistentModelIndex>
#include <QSplitter>
#include <QStatusBar>
#include <QToolBar>
#include <QToolButton>

#include <exception>

namespace {

QString translatedEntry(const char* text)
{
    return QCoreApplication::translate("QObject", text);
}

QByteArray readStateFile(DataFile name)
{
    QFile file(dataFilePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeStateFile(DataFile name, const QByteArray& bytes)
{
    QFile file(dataFilePath(name));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        file.write(bytes);
        makeFilePrivate(file.fileName());
    }
}

// The HTTP status of a reply, or 0 when no answer arrived.
int httpStatus(QNetworkReply* reply)
{
    return reply ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent),
      m_folderCommands(std::make_unique<FolderCommands>(*this)),
      m_messageCommands(std::make_unique<MessageCommands>(*this, *m_folderCommands)),
      m_importCommands(std::make_unique<ImportCommands>(*this)),
      m_deviceCommands(std::make_unique<DeviceCommands>(*this))
{
    ui.setupUi(this);
    setStyleSheet(loadStyleSheet());
    setWindowIcon(QIcon(QStringLiteral(":/res/main.png")));
    m_bubbleMgr = new BubbleViewMgr(this);
    m_bubbleMgr->setWebView(ui.webViewSMS);
    connectViews();
    ui.splitter->setSizes({200, 450, 350});
    setupModels();
    buildMenus();
    setWindowTitle(productTitle());
    ui.lbSMSCount->setText(tr("Messages: 0"));
    // Chat names come from data: never rich text.
    ui.lbSMSCount->setTextFormat(Qt::PlainText);
    ui.lbChatName->setTextFormat(Qt::PlainText);
    setupStatusLabel();
    if (DeviceLibraries::isLoaded())
        m_deviceCommands->subscribeNotifications(this);
    loadLocalDatabases();
    startDailyUpdateCheck();
    m_deviceCommands->loadVirtualDevices();
}

MainWindow::~MainWindow() = default;

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
    connect(ui.btnSearchHandle, &QToolButton::pressed, this, &MainWindow::searchCotnact);
    connect(ui.txtHandleKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchCotnact);
    connect(ui.btnSearchSMS, &QToolButton::pressed, this, &MainWindow::searchMessages);
    connect(ui.txtSMSKeyword, &QLineEdit::returnPressed, this, &MainWindow::searchMessages);
}

void MainWindow::setupModels()
{
    m_mainModel = new ItemModelMain(this);
    ui.treeViewDS->setModel(m_mainModel);
    ui.treeViewDS->expandAll();
    // The commands follow the current node wherever it goes: a cleared selection still reports the
    // node it leaves, and a node removed with its device or database moves the current index silently.
    connect(ui.treeViewDS->selectionModel(), &QItemSelectionModel::currentChanged, this, &MainWindow::updateActions);
    connect(m_mainModel, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateActions);
    connect(m_mainModel, &QAbstractItemModel::modelReset, this, &MainWindow::updateActions);

    m_smsModel = new ItemModelSms(this);
    ui.treeViewSMS->setModel(m_smsModel);
    ui.treeViewSMS->setSortingEnabled(true);
    QHeaderView* header = ui.treeViewSMS->header();
    header->setSectionsMovable(false);
    header->setSortIndicator(0, Qt::AscendingOrder);
    connect(header, &QHeaderView::sortIndicatorChanged, this, &MainWindow::onSMSSortIndicatorChanged);
    ui.treeViewSMS->setColumnWidth(0, 160);
    ui.treeViewSMS->setColumnWidth(1, 50);
    ui.treeViewSMS->setColumnWidth(2, 120);
}

QAction* MainWindow::addMenuAction(QMenu* menu, const char* text, const char* icon, const char* slot)
{
    QAction* action = menu->addAction(translatedEntry(text));
    if (icon)
        action->setIcon(QIcon(QLatin1String(icon)));
    connect(action, &QAction::triggered, this, [this, slot] { QMetaObject::invokeMethod(this, slot); });
    return action;
}

void MainWindow::buildMenus()
{
    QMenu* file = ui.menuBar->addMenu(QStringLiteral("File"));
    actBackup = addMenuAction(file, QT_TRANSLATE_NOOP("QObject", "Backup Messages to Local Database"),
                              ":/res/backup.png", "miBackup");
    file->addSeparator();
    actExtractMedia = addMenuAction(file, QT_TRANSLATE_NOOP("QObject", "Extract MMS attachment"),
                                    ":/res/extract_media.png", "miExtractMedia");
    actExport = addMenuAction(file, QT_TRANSLATE_NOOP("QObject", "Export Messages to File"), ":/res/export.png",
                              "miExport");
    actPrint = addMenuAction(file, QT_TRANSLATE_NOOP("QObject", "Print Messages"), ":/res/print.png", "miPrint");
    actDel = addMenuAction(file, QT_TRANSLATE_NOOP("QObject", "Delete Messages"), ":/res/delete.png", "miDel");
    for (QAction* action : sharedActions())
        action->setEnabled(false);
    file->addSeparator();
    addMenuAction(file, QT_TRANSLATE_NOOP("QObject", "Import Messages from iTunes Backup to Local Database"),
                  ":/res/import_itunes.png", "miImportItunes");
    addMenuAction(file, QT_TRANSLATE_NOOP("QObject", "Open Database Folder"), ":/res/open_db_folder.png",
                  "miOpenDbFolder");
    QAction* exit = file->addAction(QIcon(QStringLiteral(":/res/exit.png")), QObject::tr("Exit"));
    connect(exit, &QAction::triggered, this, &QWidget::close);

    // The web pages need the maker's web host: without one their entries stay disabled.
    const bool web = webHostEnabled();
    QMenu* tools = ui.menuBar->addMenu(QStringLiteral("Tools"));
    addMenuAction(tools, QT_TRANSLATE_NOOP("QObject", "Check for Update"), nullptr, "miCheckUpdate")->setEnabled(web);
    addMenuAction(tools, QT_TRANSLATE_NOOP("QObject", "Clear Cache files"), nullptr, "miClearCache");

    QMenu* help = ui.menuBar->addMenu(QStringLiteral("Help"));
    addMenuAction(help, QT_TRANSLATE_NOOP("QObject", "Help"), ":/res/help.png", "miHelp")->setEnabled(web);
    addMenuAction(help, QT_TRANSLATE_NOOP("QObject", "Feedback and Support"), nullptr, "miFeedback")
        ->setEnabled(web);
    addMenuAction(help, QT_TRANSLATE_NOOP("QObject", "About"), nullptr, "miAbout");

    ui.mainToolBar->addAction(actBackup);
    ui.mainToolBar->addSeparator();
    ui.mainToolBar->addAction(actExtractMedia);
    ui.mainToolBar->addAction(actExport);
    ui.mainToolBar->addAction(actPrint);
    ui.mainToolBar->addAction(actDel);
}

QList<QAction*> MainWindow::sharedActions() const
{
    return {actBackup, actExtractMedia, actExport, actPrint, actDel};
}

void MainWindow::updateActions()
{
    if (!actBackup)
        return;  // setting the model reports a selection change before the menus exist
    const _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(currentTreeNode());
    const bool device = dbNode && dbNode->type == kNodeIOSDevice;
    const bool local = dbNode && dbNode->type == kNodeLocalDb;
    actBackup->setEnabled(device);
    actExtractMedia->setEnabled(device || local);
    actExport->setEnabled(device || local);
    actPrint->setEnabled(device || local);
    actDel->setEnabled(local);
}

QList<MainWindow::MenuEntry> MainWindow::treeContextMenuEntries(const AbsTreeItemModel::_ItemNode* node)
{
    if (!node)
        return {};
    switch (node->type) {
    case kNodeRootLocalDb:
        return {
            {QT_TRANSLATE_NOOP("QObject", "Open Database Folder"), ":/res/open_db_folder.png", "miOpenDbFolder"},
            {QT_TRANSLATE_NOOP("QObject", "Import Messages from iTunes Backup to Local Database"),
             ":/res/import_itunes.png", "miImportItunes"},
        };
    case kNodeIOSDevice:
        return {
            {QT_TRANSLATE_NOOP("QObject", "Backup Messages to Local Database"), ":/res/backup.png", "miBackupAll"},
            {QT_TRANSLATE_NOOP("QObject", "Extract MMS attachment"), ":/res/extract_media.png", "miExtractMediaAll"},
            {QT_TRANSLATE_NOOP("QObject", "Export Messages to File"), ":/res/export.png", "miExportAll"},
            {QT_TRANSLATE_NOOP("QObject", "Print Messages"), ":/res/print.png", "miPrintAll"},
            {QT_TRANSLATE_NOOP("QObject", "View Cache Files"), nullptr, "miViewCache"},
            {QT_TRANSLATE_NOOP("QObject", "Disconnect Device"), ":/res/unmount.png", "miUnmoutDevice"},
        };
    case kNodeLocalDb:
        return {
            {QT_TRANSLATE_NOOP("QObject", "Import Messages from iTunes Backup to this Local Database"),
             ":/res/import_itunes.png", "miImportToLocalDb"},
            {QT_TRANSLATE_NOOP("QObject", "Extract MMS attachment"), ":/res/extract_media.png", "miExtractMediaAll"},
            {QT_TRANSLATE_NOOP("QObject", "Export Messages to File"), ":/res/export.png", "miExportAll"},
            {QT_TRANSLATE_NOOP("QObject", "Print Messages"), ":/res/print.png", "miPrintAll"},
            {QT_TRANSLATE_NOOP("QObject", "Delete this Database"), ":/res/delete.png", "miDelAll"},
        };
    case kNodeChatSession: {
        const int parentType = node->parent ? node->parent->type : 0;
        if (parentType == kNodeIOSDevice)
            return {
                {QT_TRANSLATE_NOOP("QObject", "Backup Messages with this contact to Local Database"),
                 ":/res/backup.png", "miBackupChat"},
                {QT_TRANSLATE_NOOP("QObject", "Extract attachment from MMS with this contact"),
                 ":/res/extract_media.png", "miExtractMediaChat"},
                {QT_TRANSLATE_NOOP("QObject", "Export Messages with this contact to File"), ":/res/export.png",
                 "miExportChat"},
                {QT_TRANSLATE_NOOP("QObject", "Print Messages with this contact"), ":/res/print.png",
                 "miPrintChat"},
            };
        if (parentType == kNodeLocalDb)
            return {
                {QT_TRANSLATE_NOOP("QObject", "Extract attachment from MMS with this contact"),
                 ":/res/extract_media.png", "miExtractMediaChat"},
                {QT_TRANSLATE_NOOP("QObject", "Export Messages with this contact to File"), ":/res/export.png",
                 "miExportChat"},
                {QT_TRANSLATE_NOOP("QObject", "Print Messages with this contact"), ":/res/print.png",
                 "miPrintChat"},
                {QT_TRANSLATE_NOOP("QObject", "Delete Messages with this contact"), ":/res/delete.png",
                 "miDelChat"},
            };
        return {};
    }
    default:
        return {};
    }
}

QList<MainWindow::MenuEntry> MainWindow::smsContextMenuEntries(const AbsTreeItemModel::_ItemNode* node)
{
    const _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(const_cast<AbsTreeItemModel::_ItemNode*>(node));
    if (!dbNode)
        return {};
    if (dbNode->type == kNodeIOSDevice)
        return {
            {QT_TRANSLATE_NOOP("QObject", "Backup selected Messages to Local Database"), ":/res/backup.png",
             "miBackupSel"},
            {QT_TRANSLATE_NOOP("QObject", "Extract attachment from selected Messages"), ":/res/extract_media.png",
             "miExtractMediaSel"},
            {QT_TRANSLATE_NOOP("QObject", "Export selected Messages to File"), ":/res/export.png", "miExportSel"},
            {QT_TRANSLATE_NOOP("QObject", "Print selected Messages"), ":/res/print.png", "miPrintSel"},
        };
    return {
        {QT_TRANSLATE_NOOP("QObject", "Extract attachment from selected Messages"), ":/res/extract_media.png",
         "miExtractMediaSel"},
        {QT_TRANSLATE_NOOP("QObject", "Export selected Messages to File"), ":/res/export.png", "miExportSel"},
        {QT_TRANSLATE_NOOP("QObject", "Print selected Messages"), ":/res/print.png", "miPrintSel"},
        {QT_TRANSLATE_NOOP("QObject", "Delete selected Messages"), ":/res/delete.png", "miDelSel"},
    };
}

void MainWindow::showContextMenu(const QList<MenuEntry>& entries)
{
    if (entries.isEmpty())
        return;
    QMenu menu;
    for (const MenuEntry& entry : entries)
        addMenuAction(&menu, entry.text, entry.icon, entry.slot);
    menu.exec(QCursor::pos());
}

void MainWindow::onMainTreeContextMenu()
{
    showContextMenu(treeContextMenuEntries(currentTreeNode()));
}

void MainWindow::onSMSContextMenu()
{
    showContextMenu(smsContextMenuEntries(currentTreeNode()));
}

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

void MainWindow::setupStatusLabel()
{
    statusLabel = new QLabel(ui.statusBar);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setTextFormat(Qt::RichText);
    // Links come from the web host: we open them ourselves, and only http and https ones.
    statusLabel->setOpenExternalLinks(false);
    connect(statusLabel, &QLabel::linkActivated, this, [](const QString& link) { openUrl(link); });
    ui.statusBar->setStyleSheet(QStringLiteral("QStatusBar::item{border: 0px}"));
    ui.statusBar->addWidget(statusLabel, 0);
    const QByteArray cached = readStateFile(DataFile::StatusLink);
    if (!cached.isEmpty())
        statusLabel->setText(QString::fromUtf8(cached));
}

void MainWindow::loadLocalDatabases()
{
    const QDir root = localDatabasesDir();
    sweepFoldersLeftAside(root);  // databases deleted while a crash or an exit cut their removal short
    for (const QString& name : subfolderNames(root))
        m_mainModel->addLocalDb(makeLocalMessageDb(root.absoluteFilePath(name)), name);
    expandTreeNode(m_mainModel->localDbRoot());
}

void MainWindow::startDailyUpdateCheck()
{
    if (!webHostEnabled())
        return;
    if (!UpdateCheck::shouldCheck(readStateFile(DataFile::UpdateCheckTime), QDateTime::currentSecsSinceEpoch()))
        return;
    if (QNetworkReply* reply = webHostGet(UpdateCheck::versionRequestPath()))
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onCheckVersionReadyRead(reply); });
    if (QNetworkReply* reply = webHostGet(UpdateCheck::linkRequestPath()))
        connect(reply, &QNetworkReply::finished, this, [this, reply] { onGetAdvLinkRead(reply); });
}

void MainWindow::onCheckVersionReadyRead(QNetworkReply* reply)
{
    const int status = httpStatus(reply);
    if (status == 0)
        return;  // no answer: the next start tries again
    writeStateFile(DataFile::UpdateCheckTime, QByteArray::number(QDateTime::currentSecsSinceEpoch()));
    if (status != 200)
        return;
    const QString url = UpdateCheck::downloadUrlFromAnswer(reply->readAll());
    if (url.isEmpty())
        return;
    const QString question = QStringLiteral("A new version of %1 is available. Would you like to download it now?")
                                 .arg(productTitle());
    if (askQuestion(question)) {
        openUrl(url);
        close();
    }
}

void MainWindow::onGetAdvLinkRead(QNetworkReply* reply)
{
    if (httpStatus(reply) != 200)
        return;
    const QString link = UpdateCheck::restyleAnchor(reply->readAll());
    if (link.isEmpty())
        return;
    statusLabel->setText(link);
    writeStateFile(DataFile::StatusLink, link.toUtf8());
}

void MainWindow::miCheckUpdate()
{
    const QUrl page = webHostUrl(UpdateCheck::updatePagePath());
    if (page.isEmpty()) {
        showInfo(tr("IDS_NO_WEB_HOST"));
        return;
    }
    openUrl(page.toString(QUrl::FullyEncoded));
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

void MainWindow::onMainTreeSelected(const QItemSelection& selected, const QItemSelection&)
{
    updateActions();
    if (selected.isEmpty() || !selected.first().isValid()) {
        clearMessageView();
        return;
    }
    try {
        showNode(AbsTreeItemModel::nodeOf(selected.first().topLeft()));
    } catch (const std::exception& e) {
        // Whatever was shown belonged to another node: commands must not act on it.
        clearMessageView();
        showError(htmlEscape(QString::fromUtf8(e.what())));
    }
}

void MainWindow::showNode(AbsTreeItemModel::_ItemNode* node)
{
    const int type = node ? node->type : 0;
    if ((type == kNodeLocalDb || type == kNodeIOSDevice) && !static_cast<_AbsDBItemNode*>(node)->db) {
        clearMessageView();  // a node without a database has nothing to show
        return;
    }
    switch (type) {
    case kNodeLocalDb: {
        auto* dbNode = static_cast<_AbsDBItemNode*>(node);
        if (!node->children.empty()) {
            loadChatMessages(dbNode->store.messageList(), nullptr);  // read at the first selection
            return;
        }
        dbNode->db->chats(dbNode->store);
        m_mainModel->loadChats(dbNode);
        const QPersistentModelIndex index(m_mainModel->indexOfNode(node));
        QTreeView* tree = ui.treeViewDS;
        QMetaObject::invokeMethod(tree, [tree, index] { if (index.isValid()) tree->expand(index); },
                                  Qt::QueuedConnection);
        if (node->children.empty()) {
            clearMessageView();  // an empty database must not leave another one's messages on screen
            return;
        }
        dbNode->db->messages(dbNode->store, 0);
        loadChatMessages(dbNode->store.messageList(), nullptr);
        return;
    }
    case kNodeIOSDevice: {
        auto* dbNode = static_cast<_AbsDBItemNode*>(node);
        dbNode->db->messages(dbNode->store, 0);
        loadChatMessages(dbNode->store.messageList(), nullptr);
        return;
    }
    case kNodeChatSession: {
        const QList<_MsgChat*>& chats = static_cast<_ChatSessionItemNode*>(node)->chats;
        if (chats.isEmpty())
            clearMessageView();
        else
            loadChatMessages(_MsgStore::messagesOfChats(chats), chats.first());
        return;
    }
    default:
        clearMessageView();
    }
}

QString MainWindow::shortChatName(const QString& name)
{
    constexpr int kShownChars = 25;
    return name.size() > kShownChars ? name.left(kShownChars) + QStringLiteral("...") : name;
}

void MainWindow::loadChatMessages(MsgMessageList messages, _MsgChat* chat)
{
    currentChat = chat;
    sortMessages(messages, ui.treeViewSMS->header()->sortIndicatorOrder() == Qt::DescendingOrder);
    m_smsModel->setMessages(messages);
    m_bubbleMgr->showBubble(messages);
    ui.lbSMSCount->setText(tr("Messages: %1").arg(messages.size()));
    ui.lbChatName->setText(chat ? shortChatName(chat->displayName(false)) : tr("All"));
}

void MainWindow::clearMessageView()
{
    currentChat = nullptr;
    if (!m_smsModel)
        return;  // setting the tree's model selects nothing before the list exists
    m_smsModel->setMessages({});
    m_bubbleMgr->showBubble({});
    ui.lbSMSCount->setText(tr("Messages: 0"));
    ui.lbChatName->clear();
}

MsgMessageList MainWindow::currentDbMessages()
{
    _AbsDBItemNode* dbNode = ItemModelMain::databaseNodeOf(currentTreeNode());
    if (!dbNode || !dbNode->db)
        return {};  // a connected device whose messages are not read
    try {
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
    ui.lbSMSCount->setText(tr("Messages: 0"));
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

void MainWindow::selectTreeNode(AbsTreeItemModel::_ItemNode* node)
{
    const QModelIndex index = m_mainModel->indexOfNode(node);
    ui.treeViewDS->expand(index);
    const QPersistentModelIndex persistent(index);
    QTreeView* tree = ui.treeViewDS;
    QMetaObject::invokeMethod(tree, [tree, persistent] { if (persistent.isValid()) tree->setCurrentIndex(persistent); },
                              Qt::QueuedConnection);
}

void MainWindow::onSMSItemSelected(const QItemSelection& selected, const QItemSelection&)
{
    const QModelIndexList indexes = selected.indexes();
    if (indexes.isEmpty())
        return;
    const int row = indexes.first().row();
    if (ItemModelSms::messageOf(m_smsModel->rowIndex(row)))
        m_bubbleMgr->scrollToPos(row);
}

void MainWindow::onSMSSortIndicatorChanged(int logicalIndex, Qt::SortOrder)
{
    if (logicalIndex != 0) {
        // Only the date sorts: going back to it emits the signal again, which sorts ascending.
        ui.treeViewSMS->header()->setSortIndicator(0, Qt::AscendingOrder);
        return;
    }
    loadChatMessages(m_smsModel->messages(), currentChat);
}

void MainWindow::searchCotnact()
{
    AbsTreeItemModel::_ItemNode* node = currentTreeNode();
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
    const QString keyword = ui.txtHandleKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const size_t count = parent->children.size();
    for (size_t k = 0; k < count; ++k) {
        AbsTreeItemModel::_ItemNode* child = parent->children[(start + k) % count].get();
        if (child->name.contains(keyword, Qt::CaseInsensitive)) {
            ui.treeViewDS->setCurrentIndex(m_mainModel->indexOfNode(child));
            return;
        }
    }
    showInfo(tr("IDS_CAN_NOT_FOUNDCONTACT_KEYWORD_%0").arg(htmlEscape(keyword)));
}

void MainWindow::searchMessages()
{
    const QString keyword = ui.txtSMSKeyword->text().trimmed();
    if (keyword.isEmpty())
        return;
    const MsgMessageList& messages = m_smsModel->messages();
    if (messages.isEmpty()) {
        showInfo(tr("IDS_CAN_NOT_FOUND_AND_MESSAGES"));
        return;
    }
    const QModelIndex current = ui.treeViewSMS->currentIndex();
    const int start = current.isValid() ? current.row() + 1 : 0;
    const int count = messages.size();
    for (int k = 0; k < count; ++k) {
        const int row = (start + k) % count;
        if (messagePlainText(messages.at(row)).contains(keyword, Qt::CaseInsensitive)) {
            ui.treeViewSMS->setCurrentIndex(m_smsModel->rowIndex(row));
            return;
        }
    }
    showInfo(tr("IDS_CAN_NOT_FOUNDSMS_KEYWORD_%0").arg(htmlEscape(keyword)));
}

// ---------------------------------------------------------------------------------------------
// The commands: forwarded to the object of their family.

void MainWindow::iosDeviceConnected(void* device) { m_deviceCommands->deviceConnected(device); }
void MainWindow::iosDeviceDisconnected(void* device) { m_deviceCommands->deviceDisconnected(device); }
void MainWindow::miUnmoutDevice() { m_deviceCommands->unmountSelected(); }

void MainWindow::miExport() { m_messageCommands->runExport(ScopeRequest::ByRule); }
void MainWindow::miExportSel() { m_messageCommands->runExport(ScopeRequest::Selection); }
void MainWindow::miExportChat() { m_messageCommands->runExport(ScopeRequest::Chat); }
void MainWindow::miExportAll() { m_messageCommands->runExport(ScopeRequest::All); }
void MainWindow::miExtractMedia() { m_messageCommands->runExtractMedia(ScopeRequest::ByRule); }
void MainWindow::miExtractMediaSel() { m_messageCommands->runExtractMedia(ScopeRequest::Selection); }
void MainWindow::miExtractMediaChat() { m_messageCommands->runExtractMedia(ScopeRequest::Chat); }
void MainWindow::miExtractMediaAll() { m_messageCommands->runExtractMedia(ScopeRequest::All); }
void MainWindow::miDel() { m_messageCommands->runDelete(ScopeRequest::ByRule); }
void MainWindow::miDelSel() { m_messageCommands->runDelete(ScopeRequest::Selection); }
void MainWindow::miDelChat() { m_messageCommands->runDelete(ScopeRequest::Chat); }
void MainWindow::miPrint() { m_messageCommands->runPrint(ScopeRequest::ByRule); }
void MainWindow::miPrintSel() { m_messageCommands->runPrint(ScopeRequest::Selection); }
void MainWindow::miPrintChat() { m_messageCommands->runPrint(ScopeRequest::Chat); }
void MainWindow::miPrintAll() { m_messageCommands->runPrint(ScopeRequest::All); }

void MainWindow::miImportItunes() { m_importCommands->runImportItunes(); }
void MainWindow::miImportToLocalDb() { m_importCommands->runImportToLocalDb(); }
void MainWindow::miBackup() { m_importCommands->runBackup(ScopeRequest::ByRule); }
void MainWindow::miBackupSel() { m_importCommands->runBackup(ScopeRequest::Selection); }
void MainWindow::miBackupChat() { m_importCommands->runBackup(ScopeRequest::Chat); }
void MainWindow::miBackupAll() { m_importCommands->runBackup(ScopeRequest::All); }

void MainWindow::miDelAll() { m_folderCommands->deleteLocalDb(); }
void MainWindow::miOpenDbFolder() { m_folderCommands->openDbFolder(); }
void MainWindow::miViewCache() { m_folderCommands->viewCache(); }
void MainWindow::miClearCache() { m_folderCommands->clearCache(); }
void MainWindow::miHelp() { m_folderCommands->openHelp(); }
void MainWindow::miFeedback() { m_folderCommands->openFeedback(); }
void MainWindow::miHome() { m_folderCommands->openHome(); }
void MainWindow::miAbout()
{
    AboutUsForm about(this);
    execDialog(about);
}

// Writing into iTunes backups and devices: no menu entry reaches these. The device ones do nothing yet.
void MainWindow::miI2I() { m_deviceCommands->runRestoreToDevice(ScopeRequest::ByRule); }
void MainWindow::miI2ISel() { m_deviceCommands->runRestoreToDevice(ScopeRequest::Selection); }
void MainWindow::miI2IChat() { m_deviceCommands->runRestoreToDevice(ScopeRequest::Chat); }
void MainWindow::miI2IAll() { m_deviceCommands->runRestoreToDevice(ScopeRequest::All); }
void MainWindow::miDb2I() { m_deviceCommands->runRestoreToDevice(ScopeRequest::ByRule); }
void MainWindow::miDb2ISel() { m_deviceCommands->runRestoreToDevice(ScopeRequest::Selection); }
void MainWindow::miDb2IChat() { m_deviceCommands->runRestoreToDevice(ScopeRequest::Chat); }
void MainWindow::miDb2IAll() { m_deviceCommands->runRestoreToDevice(ScopeRequest::All); }
void MainWindow::miExport2ITunesBKSel() { m_importCommands->runExportToITunesBackup(ScopeRequest::Selection); }
void MainWindow::miExport2ITunesBKChat() { m_importCommands->runExportToITunesBackup(ScopeRequest::Chat); }
void MainWindow::miExport2ITunesBKAll() { m_importCommands->runExportToITunesBackup(ScopeRequest::All); }
void MainWindow::miExport2ITunesBK() { m_importCommands->runExportToITunesBackup(ScopeRequest::ByRule); }
