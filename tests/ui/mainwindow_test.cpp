#include "core/datadir.h"
#include "devicesim/simcontrol.h"
#include "fixtures/message_history.h"
#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "msgdb/ios6messagedb.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QSet>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QToolBar>
#include <gtest/gtest.h>


namespace {

using Node = AbsTreeItemModel::_ItemNode;

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

class MainWindowTest : public TempHomeTest {
protected:
    QString localDbFolder(const QString& name) const { return localDatabasesDir().absoluteFilePath(name); }
    QString virtualFolder(const QString& name) const
    {
        return dataDir().absoluteFilePath(QStringLiteral("virtual_ios/") + name);
    }
    // A local database with a small history, made the way the program makes them.
    void makeLocalDb(const QString& name)
    {
        IOS6MessageDb db(QDir(localDbFolder(name)), QString(), true);
        db.open();
        db.close();
        fixtures::fillSampleHistory(fixtures::ios6DbPathIn(localDbFolder(name)), {60, 5, 7, false});
    }
    void makeCorruptDb(const QString& folder)
    {
        const QString path = fixtures::ios6DbPathIn(folder);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    }
    void makeVirtualDevice(const QString& name)
    {
        const QString path = fixtures::ios6DbPathIn(virtualFolder(name));
        fixtures::createIos6DeviceDb(path);
        fixtures::fillSampleHistory(path, {80, 6, 11, false});
    }
    Node* childNamed(Node* parent, const QString& name) const
    {
        for (const auto& child : parent->children) {
            if (child->name == name)
                return child.get();
        }
        return nullptr;
    }
    void select(MainWindow& window, Node* node)
    {
        window.form().treeViewDS->setCurrentIndex(window.mainModel()->indexOfNode(node));
    }
    QList<bool> actionStates(const MainWindow& window) const
    {
        QList<bool> states;
        for (QAction* action : window.actions().sharedActions())
            states.append(action->isEnabled());
        return states;
    }

    fixtures::ScriptedInteraction script;
};

TEST_F(MainWindowTest, EmptyHomeShowsTwoExpandedRoots)
{
    MainWindow window;
    ItemModelMain* model = window.mainModel();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_TRUE(model->deviceRoot()->children.empty());
    EXPECT_TRUE(model->localDbRoot()->children.empty());
    EXPECT_TRUE(window.form().treeViewDS->isExpanded(model->indexOfNode(model->deviceRoot())));
    EXPECT_TRUE(window.form().treeViewDS->isExpanded(model->indexOfNode(model->localDbRoot())));
    EXPECT_TRUE(script.boxes().empty());
    for (QAction* action : window.actions().sharedActions())
        EXPECT_FALSE(action->isEnabled());
}

TEST_F(MainWindowTest, VirtualDevicesAreReadAndLocalDatabasesAreNotOpened)
{
    makeLocalDb(QStringLiteral("db1"));
    makeCorruptDb(localDbFolder(QStringLiteral("broken")));
    makeVirtualDevice(QStringLiteral("dev1"));
    const QString brokenPath = fixtures::ios6DbPathIn(localDbFolder(QStringLiteral("broken")));
    const QByteArray brokenBefore = fileBytes(brokenPath);

    MainWindow window;
    ItemModelMain* model = window.mainModel();
    EXPECT_TRUE(script.boxes().empty()) << qPrintable(script.boxes().front().text);

    Node* device = childNamed(model->deviceRoot(), QStringLiteral("dev1"));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->type, kNodeIOSDevice);
    auto* deviceNode = static_cast<_IOSDeviceItemNode*>(device);
    EXPECT_EQ(deviceNode->device.cacheDir().absolutePath(), virtualFolder(QStringLiteral("dev1")));
    ASSERT_FALSE(device->children.empty());
    EXPECT_EQ(device->children.size(), static_cast<size_t>(deviceNode->store.chatSessions().size()));
    for (size_t i = 1; i < device->children.size(); ++i) {
        const auto* newer = static_cast<_ChatSessionItemNode*>(device->children[i - 1].get());
        const auto* older = static_cast<_ChatSessionItemNode*>(device->children[i].get());
        EXPECT_GE(newer->last, older->last);
    }

    ASSERT_EQ(model->localDbRoot()->children.size(), 2u);
    EXPECT_EQ(model->localDbRoot()->children[0]->name, QStringLiteral("broken"));
    for (const auto& local : model->localDbRoot()->children) {
        EXPECT_EQ(local->type, kNodeLocalDb);
        EXPECT_TRUE(local->children.empty());
        EXPECT_FALSE(static_cast<_LocalDBItemNode*>(local.get())->db->isOpen());
    }
    EXPECT_EQ(fileBytes(brokenPath), brokenBefore);
}

TEST_F(MainWindowTest, VirtualDeviceWithoutDatabaseKeepsItsNodeAndGetsNoEmptyFile)
{
    QDir().mkpath(virtualFolder(QStringLiteral("empty")));
    MainWindow window;
    ASSERT_EQ(script.boxes().size(), 1u);
    EXPECT_EQ(script.boxes().front().icon, QMessageBox::Critical);
    EXPECT_TRUE(script.boxes().front().text.contains(QLatin1String("Cannot find")));
    EXPECT_TRUE(script.boxes().front().text.contains(QLatin1String("Folder: ") + virtualFolder("empty")));
    EXPECT_NE(childNamed(window.mainModel()->deviceRoot(), QStringLiteral("empty")), nullptr);
    EXPECT_FALSE(QFile::exists(fixtures::ios6DbPathIn(virtualFolder(QStringLiteral("empty")))));
}

TEST_F(MainWindowTest, VirtualDevicesAreReadWithTheReaderOfTheirLayoutAndAFailureNamesTheFolder)
{
    const QString ios5 = fixtures::ios6DbPathIn(virtualFolder(QStringLiteral("old")));
    fixtures::createDeviceDb(ios5, fixtures::DeviceLayout::IOS5);
    fixtures::fillSampleHistory(ios5, {40, 4, 3, false});
    makeCorruptDb(virtualFolder(QStringLiteral("junk")));
    MainWindow window;
    ASSERT_EQ(script.boxes().size(), 1u);
    EXPECT_TRUE(script.boxes().front().text.contains(QLatin1String("This file is not a message database.")));
    EXPECT_TRUE(script.boxes().front().text.contains(QLatin1String("Folder: ") + virtualFolder("junk")));
    Node* old = childNamed(window.mainModel()->deviceRoot(), QStringLiteral("old"));
    ASSERT_NE(old, nullptr);
    EXPECT_FALSE(old->children.empty());
    select(window, old);
    EXPECT_GT(window.smsModel()->rowCount(), 0);
}

TEST_F(MainWindowTest, ActionsFollowTheDatabaseNodeInMenuAndToolBar)
{
    makeLocalDb(QStringLiteral("db1"));
    makeVirtualDevice(QStringLiteral("dev1"));
    MainWindow window;
    ItemModelMain* model = window.mainModel();
    auto* local = static_cast<_LocalDBItemNode*>(childNamed(model->localDbRoot(), QStringLiteral("db1")));
    local->db->chats(local->store);
    model->loadChats(local);
    Node* device = childNamed(model->deviceRoot(), QStringLiteral("dev1"));
    ASSERT_FALSE(local->children.empty());
    ASSERT_FALSE(device->children.empty());

    // Backup, Extract, Export, Print, Delete
    const QList<bool> forDevice{true, true, true, true, false};
    const QList<bool> forLocal{false, true, true, true, true};
    const QList<bool> none{false, false, false, false, false};
    const struct {
        Node* node;
        QList<bool> states;
    } cases[] = {
        {device, forDevice},           {device->children.front().get(), forDevice},
        {local, forLocal},             {local->children.front().get(), forLocal},
        {model->deviceRoot(), none},   {model->localDbRoot(), none},
    };
    for (const auto& c : cases) {
        select(window, c.node);
        EXPECT_EQ(actionStates(window), c.states) << qPrintable(c.node->name);
    }
    window.form().treeViewDS->selectionModel()->clear();
    window.form().treeViewDS->setCurrentIndex(QModelIndex());
    window.updateActions();
    EXPECT_EQ(actionStates(window), none);

    // The File menu and the tool bar share the actions, in the table's order.
    QStringList file;
    for (QAction* action : window.form().menuBar->actions().front()->menu()->actions())
        file.append(action->text());
    EXPECT_EQ(file, (QStringList{"Backup Messages to Local Database", "", "Extract MMS attachment",
                                 "Export Messages to File", "Print Messages", "Delete Messages", "",
                                 "Import Messages from iTunes Backup to Local Database", "Open Database Folder",
                                 "Exit"}));
    QList<QAction*> toolBar = window.form().mainToolBar->actions();
    ASSERT_EQ(toolBar.size(), 6);
    EXPECT_TRUE(toolBar.takeAt(1)->isSeparator());
    EXPECT_EQ(toolBar, window.actions().sharedActions());
}

QStringList slotsOf(const QList<const ActionCollection::Command*>& entries)
{
    QStringList names;
    for (const ActionCollection::Command* entry : entries)
        names.append(QLatin1String(entry->slot));
    return names;
}

TEST(MainWindowMenus, ContextMenusByNodeType)
{
    _RootDeviceItemNode deviceRoot;
    _RootLocalDBItemNode localRoot;
    IOSDevice phone;
    _IOSDeviceItemNode device({}, phone);
    _LocalDBItemNode local({}, QStringLiteral("db"));
    _ChatSessionItemNode chatOfDevice(_MsgChatSession{});
    chatOfDevice.parent = &device;
    _ChatSessionItemNode chatOfLocal(_MsgChatSession{});
    chatOfLocal.parent = &local;
    AbsTreeItemModel::_ItemNode android(kNodeAndroid, QString(), &deviceRoot);

    EXPECT_TRUE(ActionCollection::treeMenu(nullptr).isEmpty());
    EXPECT_TRUE(ActionCollection::treeMenu(&deviceRoot).isEmpty());
    EXPECT_TRUE(ActionCollection::treeMenu(&android).isEmpty());
    EXPECT_EQ(slotsOf(ActionCollection::treeMenu(&localRoot)),
              (QStringList{"miOpenDbFolder", "miImportItunes"}));
    EXPECT_EQ(slotsOf(ActionCollection::treeMenu(&device)),
              (QStringList{"miBackupAll", "miExtractMediaAll", "miExportAll", "miPrintAll", "miViewCache",
                           "miUnmoutDevice"}));
    EXPECT_EQ(slotsOf(ActionCollection::treeMenu(&local)),
              (QStringList{"miImportToLocalDb", "miExtractMediaAll", "miExportAll", "miPrintAll", "miDelAll"}));
    EXPECT_EQ(slotsOf(ActionCollection::treeMenu(&chatOfDevice)),
              (QStringList{"miBackupChat", "miExtractMediaChat", "miExportChat", "miPrintChat"}));
    EXPECT_EQ(slotsOf(ActionCollection::treeMenu(&chatOfLocal)),
              (QStringList{"miExtractMediaChat", "miExportChat", "miPrintChat", "miDelChat"}));

    EXPECT_TRUE(ActionCollection::listMenu(nullptr).isEmpty());
    EXPECT_TRUE(ActionCollection::listMenu(&deviceRoot).isEmpty());
    EXPECT_TRUE(ActionCollection::listMenu(&localRoot).isEmpty());
    const QStringList deviceSel{"miBackupSel", "miExtractMediaSel", "miExportSel", "miPrintSel"};
    const QStringList localSel{"miExtractMediaSel", "miExportSel", "miPrintSel", "miDelSel"};
    EXPECT_EQ(slotsOf(ActionCollection::listMenu(&device)), deviceSel);
    EXPECT_EQ(slotsOf(ActionCollection::listMenu(&chatOfDevice)), deviceSel);
    EXPECT_EQ(slotsOf(ActionCollection::listMenu(&local)), localSel);
    EXPECT_EQ(slotsOf(ActionCollection::listMenu(&chatOfLocal)), localSel);

    // The table and the window agree: each command's slot exists, and each command slot of the window
    // has its command, so that invoking it by name runs something.
    QSet<QByteArray> tabled;
    for (const ActionCollection::Command& command : ActionCollection::commands()) {
        if (!command.slot)
            continue;
        tabled.insert(command.slot);
        EXPECT_GE(MainWindow::staticMetaObject.indexOfSlot(QByteArray(command.slot) + "()"), 0) << command.slot;
    }
    const QMetaObject& meta = MainWindow::staticMetaObject;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QByteArray name = meta.method(i).name();
        EXPECT_TRUE(!name.startsWith("mi") || tabled.contains(name)) << name.constData();
    }
}

TEST_F(MainWindowTest, PluggedDevicesComeAndGoInTheTree)
{
    makeVirtualDevice(QStringLiteral("dev1"));
    ASSERT_TRUE(devicesim::loadSimulator());
    devicesim::addDevice(QStringLiteral("udid-b"));
    devicesim::plug(QStringLiteral("udid-b"));  // reported at the subscription, before start-up has finished: ignored
    MainWindow window;
    ItemModelMain* model = window.mainModel();
    QCoreApplication::processEvents();
    EXPECT_EQ(model->deviceRoot()->children.size(), 1u);

    window.setStartupFinished(true);
    void* a = devicesim::plugDeviceWithMessages("udid-a", "6.1", "310", fixtures::DeviceLayout::IOS6);
    QCoreApplication::processEvents();
    ASSERT_EQ(model->deviceRoot()->children.size(), 2u);
    Node* node = childNamed(model->deviceRoot(), QStringLiteral("UDID-A"));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(static_cast<_IOSDeviceItemNode*>(node)->device.udid, QStringLiteral("udid-a"));
    EXPECT_EQ(static_cast<_IOSDeviceItemNode*>(node)->device.amDevice, a);
    EXPECT_TRUE(script.boxes().at(0).text.contains(QLatin1String("passcode")));
    select(window, node);
    EXPECT_FALSE(window.currentDbMessages().isEmpty());
    EXPECT_EQ(actionStates(window), (QList<bool>{true, true, true, true, false}));

    // A device that refuses the session gets no node: its error is shown.
    devicesim::fail("AMDeviceStartSession", 7);
    devicesim::plug(QStringLiteral("udid-b"));
    QCoreApplication::processEvents();
    EXPECT_EQ(model->deviceRoot()->children.size(), 2u);
    EXPECT_TRUE(script.boxes().back().text.contains(QLatin1String("AMDeviceStartSession(7)")));

    // A null handle must not take the virtual device (which has none) with it.
    window.iosDeviceDisconnected(nullptr);
    ASSERT_TRUE(devicesim::unplug(QStringLiteral("udid-a")));
    QCoreApplication::processEvents();
    ASSERT_EQ(model->deviceRoot()->children.size(), 1u);
    EXPECT_EQ(model->deviceRoot()->children[0]->name, QStringLiteral("dev1"));
    EXPECT_FALSE(window.form().treeViewDS->currentIndex().isValid());
    // Nothing left for Backup, Print or Delete to act on.
    EXPECT_EQ(actionStates(window), (QList<bool>{false, false, false, false, false}));
}

TEST(MyTreeViewSignals, SelectionAndContextRequestsBecomeSignals)
{
    QStandardItemModel model(2, 1);
    MyTreeView view;
    view.setModel(&model);
    QSignalSpy selections(&view, &MyTreeView::onSelectionChanged);
    QSignalSpy menus(&view, &MyTreeView::createContextMenu);
    view.selectionModel()->select(model.index(0, 0), QItemSelectionModel::Select);
    view.clearSelection();
    ASSERT_EQ(selections.count(), 2);
    EXPECT_TRUE(selections.at(1).at(0).value<QItemSelection>().isEmpty());

    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(1, 200));  // below the rows
    QCoreApplication::sendEvent(view.viewport(), &event);
    EXPECT_EQ(menus.count(), 1);
    EXPECT_FALSE(event.isAccepted());
}

}  // namespace
