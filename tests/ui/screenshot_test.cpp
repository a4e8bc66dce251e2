// Makes the main-window picture of the README from sample data. Not part of the suite:
//   TALLOWMERE_SCREENSHOT=docs/main-window.png build/dev/tests/test_ui
//       --gtest_also_run_disabled_tests --gtest_filter='*Screenshot*'
#include "core/datadir.h"
#include "fixtures/message_history.h"
#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QApplication>
#include <QLabel>
#include <QSignalSpy>
#include <QWebView>
#include <QTranslator>
#include <gtest/gtest.h>

namespace {

class Screenshot : public TempHomeTest {};

TEST_F(Screenshot, DISABLED_MainWindowWithSampleDatabase)
{
    const QString target = qEnvironmentVariable("TALLOWMERE_SCREENSHOT");
    ASSERT_FALSE(target.isEmpty());
    QTranslator translator;
    ASSERT_TRUE(translator.load(QStringLiteral(":/en.qm")));
    QApplication::installTranslator(&translator);
    fixtures::ScriptedInteraction script;

    const QString folder = localDatabasesDir().absoluteFilePath(QStringLiteral("Family phone_Backup"));
    {
        IOS6MessageDb db(QDir(folder), QString(), true);
        db.open();
    }
    fixtures::fillSampleHistory(fixtures::ios6DbPathIn(folder), {400, 12, 20130917, false});
    QDir().mkpath(localDatabasesDir().absoluteFilePath(QStringLiteral("Archive 2012")));

    MainWindow window;
    ItemModelMain* model = window.mainModel();
    auto* node = static_cast<_LocalDBItemNode*>(model->localDbRoot()->children.back().get());
    node->db->chats(node->store);
    model->loadChats(node);
    node->db->messages(node->store, 0);
    window.form().treeViewDS->expandAll();
    AbsTreeItemModel::_ItemNode* chatNode = node->children.front().get();
    window.form().treeViewDS->setCurrentIndex(model->indexOfNode(chatNode));
    const QList<_MsgChat*>& chats = static_cast<_ChatSessionItemNode*>(chatNode)->chats;
    QSignalSpy loaded(window.form().webViewSMS, &QWebView::loadFinished);
    window.browser().loadChatMessages(_MsgStore::messagesOfChats(chats), chats.first());
    window.show();
    if (loaded.isEmpty()) {
        ASSERT_TRUE(loaded.wait(10000));
    }
    QApplication::processEvents();
    EXPECT_TRUE(window.grab().save(target));
    QApplication::removeTranslator(&translator);
}

}  // namespace
