#include "core/datadir.h"
#include "fixtures/message_history.h"
#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "msgdb/ios6messagedb.h"
#include "msgdb/msgutil.h"
#include "ui/bubbleviewmgr.h"
#include "ui/itemmodelsms.h"
#include "ui/mainwindow.h"
#include "ui/mytreeview.h"

#include <QCoreApplication>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QApplication>
#include <QTest>
#include <gtest/gtest.h>

namespace {

using Node = AbsTreeItemModel::_ItemNode;

class BrowsingTest : public TempHomeTest {
protected:
    QString folder(const QString& name) const { return localDatabasesDir().absoluteFilePath(name); }
    void makeLocalDb(const QString& name, int messages)
    {
        IOS6MessageDb db(QDir(folder(name)), QString(), true);
        db.open();
        db.close();
        if (messages > 0)
            fixtures::fillSampleHistory(fixtures::ios6DbPathIn(folder(name)), {messages, 6, 7, false});
    }
    Node* localDb(MainWindow& window, const QString& name) const
    {
        for (const auto& child : window.mainModel()->localDbRoot()->children)
            if (child->name == name)
                return child.get();
        return nullptr;
    }
    void select(MainWindow& window, Node* node)
    {
        window.form().treeViewDS->setCurrentIndex(window.mainModel()->indexOfNode(node));
        QCoreApplication::processEvents();
    }
    int shownRows(MainWindow& window) const { return window.smsModel()->rowCount(); }

    fixtures::ScriptedInteraction script;
};

// Notes whether the tree was painted with node selected and current, under the wait cursor, while
// the message list was still empty: the click shown before the read.
class ClickShownFirst : public QObject {
public:
    ClickShownFirst(MainWindow& window, const QModelIndex& node) : m_window(window), m_node(node)
    {
        window.form().treeViewDS->viewport()->installEventFilter(this);
    }
    bool seen = false;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        const QTreeView* tree = m_window.form().treeViewDS;
        const QCursor* cursor = QApplication::overrideCursor();
        seen |= event->type() == QEvent::Paint && tree->selectionModel()->isSelected(m_node)
                && tree->currentIndex() == m_node && cursor && cursor->shape() == Qt::WaitCursor
                && m_window.smsModel()->rowCount() == 0;
        return false;
    }

private:
    MainWindow& m_window;
    QPersistentModelIndex m_node;
};

TEST_F(BrowsingTest, LocalDatabaseIsReadOnceAndAnEmptyOneClearsTheView)
{
    makeLocalDb("full", 120);
    makeLocalDb("empty", 0);
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    Node* full = localDb(window, "full");
    ASSERT_NE(full, nullptr);
    // The read holds the window: the click is painted first, and the wait cursor is up meanwhile.
    const QModelIndex index = window.mainModel()->indexOfNode(full);
    const ClickShownFirst click(window, index);
    QTest::mouseClick(window.form().treeViewDS->viewport(), Qt::LeftButton, {},
                      window.form().treeViewDS->visualRect(index).center());
    EXPECT_TRUE(click.seen);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    const int rows = shownRows(window);
    EXPECT_GT(rows, 50);
    EXPECT_FALSE(full->children.empty());
    EXPECT_EQ(window.form().lbChatName->text(), "All");
    EXPECT_EQ(window.form().lbSMSCount->text(), QStringLiteral("Messages: %1").arg(rows));
    EXPECT_EQ(window.browser().bubbleMgr()->pageCount(), (rows + 49) / 50);
    const MsgMessageList shown = window.smsModel()->messages();
    EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end(), [](const _MsgMessage* a, const _MsgMessage* b) {
        return a->date < b->date - 120;  // ascending (the comparator's own tolerance aside)
    }));

    select(window, localDb(window, "empty"));
    EXPECT_EQ(shownRows(window), 0);
    EXPECT_EQ(window.browser().bubbleMgr()->pageCount(), 0);
    EXPECT_EQ(window.form().lbSMSCount->text(), "Messages: 0");

    // The second selection is served from the store: the file is not read again.
    ASSERT_TRUE(QFile::remove(fixtures::ios6DbPathIn(folder("full"))));
    select(window, full);
    EXPECT_EQ(shownRows(window), rows);
    EXPECT_TRUE(script.boxes().empty());
}

TEST_F(BrowsingTest, ConversationsSortingAndSearches)
{
    makeLocalDb("db", 150);
    MainWindow window;
    Node* db = localDb(window, "db");
    select(window, db);
    ASSERT_GE(db->children.size(), 3u);
    Node* chat = db->children[0].get();
    select(window, chat);
    const auto* session = static_cast<_ChatSessionItemNode*>(chat);
    EXPECT_EQ(shownRows(window), _MsgStore::messagesOfChats(session->chats).size());
    EXPECT_EQ(window.browser().shownChat(), session->chats.first());

    // Only the date column sorts: another column sends the indicator back to the date, ascending.
    QHeaderView* header = window.form().treeViewSMS->header();
    header->setSortIndicator(0, Qt::DescendingOrder);
    const MsgMessageList descending = window.smsModel()->messages();
    EXPECT_GE(descending.first()->date, descending.last()->date);
    header->setSortIndicator(2, Qt::AscendingOrder);
    EXPECT_EQ(header->sortIndicatorSection(), 0);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
    EXPECT_LE(window.smsModel()->messages().first()->date, window.smsModel()->messages().last()->date);

    // Message search starts after the current row and wraps; the current row comes last.
    const int count = shownRows(window);
    window.form().treeViewSMS->setCurrentIndex(window.smsModel()->rowIndex(count - 1));
    const QString only = messagePlainText(window.smsModel()->messages().at(count - 1));
    window.form().txtSMSKeyword->setText(only);
    window.searchMessages();
    const int found = window.form().treeViewSMS->currentIndex().row();
    EXPECT_TRUE(messagePlainText(window.smsModel()->messages().at(found)).contains(only, Qt::CaseInsensitive));
    window.form().txtSMSKeyword->setText("no such words anywhere");
    window.searchMessages();
    ASSERT_EQ(script.boxTexts(QMessageBox::Information).size(), 1);
    EXPECT_TRUE(script.boxTexts(QMessageBox::Information).first().contains("no such words anywhere"));

    // Contact search from a conversation starts with the next one and wraps to the current one.
    window.form().txtHandleKeyword->setText(chat->name);
    window.searchCotnact();
    QCoreApplication::processEvents();
    EXPECT_EQ(AbsTreeItemModel::nodeOf(window.form().treeViewDS->currentIndex()), chat);
    window.form().txtHandleKeyword->setText(db->children[1]->name);
    window.searchCotnact();
    EXPECT_EQ(AbsTreeItemModel::nodeOf(window.form().treeViewDS->currentIndex()), db->children[1].get());
}

TEST_F(BrowsingTest, SearchingImageFindsImageAttachments)
{
    makeLocalDb("db", 200);
    MainWindow window;
    select(window, localDb(window, "db"));
    window.form().txtSMSKeyword->setText("image");
    window.searchMessages();
    const QModelIndex current = window.form().treeViewSMS->currentIndex();
    ASSERT_TRUE(current.isValid());
    EXPECT_TRUE(messagePlainText(ItemModelSms::messageOf(current)).contains("[IMAGE]"));
    EXPECT_EQ(window.selectedMessages().size(), 1);
    EXPECT_EQ(window.browser().bubbleMgr()->anchor(), QStringLiteral("sms_%1").arg(ItemModelSms::messageOf(current)->rowid));
}

TEST(ChatNameLabel, LongNamesAreCutAt25Characters)
{
    EXPECT_EQ(MessageBrowser::shortChatName(QString(30, 'a')), QString(25, 'a') + "...");
    EXPECT_EQ(MessageBrowser::shortChatName(QString(25, 'a')), QString(25, 'a'));
}

}  // namespace
