// Deleting a local database, the folder and cache commands, the web pages and removing device nodes.
#include "command_test_support.h"

#include "device/tempbackupdir.h"
#include "fixtures/loopback_http.h"
#include "export/vcardimage.h"
#include "msgdb/country.h"
#include "msgdb/msgutil.h"
#include "ui/itemmodelsms.h"

#include <QAction>
#include <QFile>
#include <QMenuBar>
#include <QThreadPool>
#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using namespace command_tests;

QAction* menuAction(const MainWindow& window, const QString& text)
{
    for (QAction* menu : window.form().menuBar->actions()) {
        for (QAction* action : menu->menu()->actions()) {
            if (action->text() == text)
                return action;
        }
    }
    return nullptr;
}

void touch(const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("x");
}

class FolderCommandsTest : public CommandTest {};

TEST_F(FolderCommandsTest, DeletingADatabaseAsksRemovesFolderAndNodeAndLeavesNothingSelected)
{
    makeLocalDb(QStringLiteral("keep"));
    makeLocalDb(QStringLiteral("gone"));
    touch(localDbFolder(QStringLiteral("gone")) + QStringLiteral("/.hidden"));
    touch(localDbFolder(QStringLiteral(".removing-left-by-a-crash/x.db")));
    MainWindow window;
    Node* gone = childNamed(window.mainModel()->localDbRoot(), QStringLiteral("gone"));
    ASSERT_NE(gone, nullptr);
    select(window, gone);
    ASSERT_GT(window.smsModel()->rowCount(), 0);

    script.answerBox(QMessageBox::No);
    invoke(window, "miDelAll");
    EXPECT_TRUE(QFileInfo::exists(localDbFile(QStringLiteral("gone"))));
    EXPECT_EQ(childNamed(window.mainModel()->localDbRoot(), QStringLiteral("gone")), gone);

    script.answerBox(QMessageBox::Yes);
    invoke(window, "miDelAll");
    EXPECT_FALSE(QFileInfo::exists(localDbFolder(QStringLiteral("gone"))));  // hidden files too
    EXPECT_EQ(childNamed(window.mainModel()->localDbRoot(), QStringLiteral("gone")), nullptr);
    // The neighbour was neither selected nor read: the views are empty.
    EXPECT_EQ(currentNode(window), nullptr);
    EXPECT_EQ(window.smsModel()->rowCount(), 0);
    for (QAction* action : window.actions().sharedActions())
        EXPECT_FALSE(action->isEnabled()) << qPrintable(action->text());
    EXPECT_TRUE(static_cast<_AbsDBItemNode*>(childNamed(window.mainModel()->localDbRoot(), QStringLiteral("keep")))
                    ->store.messageList()
                    .isEmpty());
    ASSERT_EQ(script.boxTexts(QMessageBox::Information).size(), 1);
    EXPECT_TRUE(script.boxTexts(QMessageBox::Information).front().contains(QStringLiteral("gone")));
    EXPECT_TRUE(QFileInfo::exists(localDbFile(QStringLiteral("keep"))));
    // Removed on a worker, with what an earlier run left aside.
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(localDatabasesDir().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"keep"});
}

TEST_F(FolderCommandsTest, ALinkedDatabaseFolderIsNeverFollowedAndTheFailureIsReported)
{
    const QString outside = homePath(QStringLiteral("elsewhere"));
    const IOS6MessageDb made{QDir(outside), QString(), true};
    fixtures::createIos6DeviceDb(fixtures::ios6DbPathIn(outside));
    ASSERT_TRUE(QFile::link(outside, localDbFolder(QStringLiteral("linked"))));
    MainWindow window;
    Node* linked = childNamed(window.mainModel()->localDbRoot(), QStringLiteral("linked"));
    ASSERT_NE(linked, nullptr);
    select(window, linked);

    script.answerBox(QMessageBox::Yes);
    invoke(window, "miDelAll");

    EXPECT_TRUE(QFileInfo::exists(fixtures::ios6DbPathIn(outside)));
    EXPECT_TRUE(script.boxTexts(QMessageBox::Information).isEmpty());
    ASSERT_EQ(script.boxTexts(QMessageBox::Warning).size(), 1);
    EXPECT_TRUE(script.boxTexts(QMessageBox::Warning).front().contains(QStringLiteral("linked")));
}

TEST_F(FolderCommandsTest, ClearingTheCacheKeepsNodesAndTouchesTheBackupRootOnlyWithItsStateFile)
{
    makeLocalDb(QStringLiteral("db"));
    touch(dataDir().absoluteFilePath(QStringLiteral("ios_cache/dev/file")));
    touch(dataDir().absoluteFilePath(QStringLiteral("itunes_cache/abc/manifest.db")));
    touch(dataFolderPath(DataFolder::Thumbnails) + QStringLiteral("/t.jpg"));
    touch(dataFolderPath(DataFolder::CardImages) + QStringLiteral("/c.jpg"));
    const QString root = dataFolderPath(DataFolder::TempBackups);
    touch(root + QStringLiteral("/udid/Manifest.plist"));
    MainWindow window;
    Node* db = childNamed(window.mainModel()->localDbRoot(), QStringLiteral("db"));
    select(window, db);
    const int shown = window.smsModel()->rowCount();
    const ProgressDialogs progress;

    invoke(window, "miClearCache");
    EXPECT_EQ(progress.statuses.join("|").toStdString(), "Clear Cache files");  // removed by a job
    EXPECT_FALSE(QFileInfo::exists(dataDir().absoluteFilePath(QStringLiteral("ios_cache"))));
    EXPECT_FALSE(QFileInfo::exists(dataDir().absoluteFilePath(QStringLiteral("itunes_cache"))));
    EXPECT_FALSE(QFileInfo::exists(dataFolderPath(DataFolder::Thumbnails)));
    EXPECT_FALSE(QFileInfo::exists(dataFolderPath(DataFolder::CardImages)));
    EXPECT_TRUE(QFileInfo::exists(root + QStringLiteral("/udid/Manifest.plist")));  // no state file: not ours
    EXPECT_EQ(childNamed(window.mainModel()->localDbRoot(), QStringLiteral("db")), db);
    EXPECT_EQ(window.smsModel()->rowCount(), shown);
    EXPECT_EQ(script.boxTexts(QMessageBox::Information), QStringList{QStringLiteral("Successfully cleared cache files.")});

    chooseTempBackupDir();
    invoke(window, "miClearCache");
    EXPECT_FALSE(QFileInfo::exists(root));
    EXPECT_FALSE(QFileInfo::exists(dataFilePath(DataFile::TempBackupsState)));
}

TEST_F(FolderCommandsTest, WhatTheProgramKeepsInItsDataFolderIsItsOwnersAlone)
{
    const auto mode = [](const QString& path) {
        struct stat st {};
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 07777 : 07777;
    };
    // As older versions left it: open to everyone.
    QDir().mkpath(defaultDataRoot() + QStringLiteral("/5F2C9A0E7D3B4E6A9C1F08B2D4E6A7C3"));
    makeLocalDb(QStringLiteral("db"), 0);
    IOSDevice device;
    device.udid = QStringLiteral("0123abcd");
    const QString cache = device.cacheDir().absolutePath();
    const MainWindow window;  // the virtual device folder and the country data
    CountryLibDb(QStringLiteral("310")).open();
    for (const QString& folder : {dataDir().absolutePath(), localDatabasesDir().absolutePath(), localDbFolder("db"),
                                  QFileInfo(localDbFile("db")).absolutePath(), cache, thumbnailCacheDir(),
                                  cardImageCacheDir(), dataFolderPath(DataFolder::VirtualDevices)})
        EXPECT_EQ(mode(folder), 0700u) << qPrintable(folder);
    for (const QString& file : {localDbFile("db"), dataFilePath(DataFile::Countries)})
        EXPECT_EQ(mode(file), 0600u) << qPrintable(file);
}

TEST_F(FolderCommandsTest, FolderViewsOpenTheDatabaseFolderAndADevicesCacheMadeWhenMissing)
{
    MainWindow window;
    invoke(window, "miOpenDbFolder");
    IOSDevice device;
    device.name = QStringLiteral("Phone");
    device.udid = QStringLiteral("0123abcd");
    _IOSDeviceItemNode* node = window.mainModel()->addIOSDevice({}, device);
    invoke(window, "miViewCache");  // no current node: nothing
    select(window, node);
    invoke(window, "miViewCache");

    const QString cache = dataDir().absoluteFilePath(QStringLiteral("ios_cache/0123abcd"));
    EXPECT_EQ(openedPaths, (QStringList{localDatabasesDir().absolutePath(), cache}));
    EXPECT_TRUE(QFileInfo(cache).isDir());
}

TEST_F(FolderCommandsTest, WebPagesAreDisabledWithoutAHostAndGoBelowTheConfiguredOne)
{
    {
        MainWindow window;
        for (const char* text : {"Help", "Feedback and Support", "Check for Update"}) {
            QAction* action = menuAction(window, QString::fromLatin1(text));
            ASSERT_NE(action, nullptr) << text;
            EXPECT_FALSE(action->isEnabled()) << text;
        }
        EXPECT_TRUE(menuAction(window, QStringLiteral("Clear Cache files"))->isEnabled());
        invoke(window, "miHelp");
        invoke(window, "miHome");
        EXPECT_TRUE(openedUrls.isEmpty());
    }
    testing_http::ScopedWebHost host(QStringLiteral("http://127.0.0.1:9/site/"));
    MainWindow window;
    EXPECT_TRUE(menuAction(window, QStringLiteral("Help"))->isEnabled());
    invoke(window, "miHelp");
    invoke(window, "miFeedback");
    invoke(window, "miHome");
    EXPECT_EQ(openedUrls, (QStringList{QStringLiteral("http://127.0.0.1:9/site/tallowmere/help.html"),
                                       QStringLiteral("http://127.0.0.1:9/site/support.html"),
                                       QStringLiteral("http://127.0.0.1:9/site/tallowmere.html")}));
}

TEST_F(FolderCommandsTest, DeviceNodesGoOnRequestOrRemovalOnlyTheFirstOfAHandle)
{
    makeLocalDb(QStringLiteral("db"));
    MainWindow window;
    int handle = 0;
    int other = 0;
    IOSDevice device;
    device.udid = QStringLiteral("aaaa");
    device.amDevice = &handle;
    device.name = QStringLiteral("first");
    Node* first = window.mainModel()->addIOSDevice({}, device);
    device.name = QStringLiteral("second");
    Node* second = window.mainModel()->addIOSDevice({}, device);
    Node* root = window.mainModel()->deviceRoot();

    window.iosDeviceDisconnected(&other);
    EXPECT_EQ(root->children.size(), 2u);
    select(window, first);
    window.iosDeviceDisconnected(&handle);
    ASSERT_EQ(root->children.size(), 1u);
    EXPECT_EQ(root->children.front().get(), second);
    EXPECT_EQ(currentNode(window), nullptr);  // no neighbour was picked in the middle of the removal

    select(window, childNamed(window.mainModel()->localDbRoot(), QStringLiteral("db")));
    invoke(window, "miUnmoutDevice");  // a local database is no device
    EXPECT_EQ(root->children.size(), 1u);
    select(window, second);
    invoke(window, "miUnmoutDevice");
    EXPECT_TRUE(root->children.empty());
    EXPECT_EQ(currentNode(window), nullptr);
}

}  // namespace
