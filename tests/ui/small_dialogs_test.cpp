// The phone-number dialog, the device chooser and the About dialog, answered through the interaction seam.
#include "command_test_support.h"

#include "fixtures/loopback_http.h"
#include "msgdb/msgutil.h"
#include "ui/aboutusform.h"
#include "ui/datasourceselform.h"
#include "ui/setmsgnumdialog.h"

#include <QComboBox>
#include <QDate>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <gtest/gtest.h>

namespace {

using namespace command_tests;

class SetMsgNumDialogTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        for (const char* id : {"+2", "+1"})
            recycle.insertHandle(handle(0, QLatin1String(id), QString(), QStringLiteral("SMS")), 0);
        for (int date : {10, 20}) {
            messages.push_back(std::make_unique<_MsgMessage>());
            messages.back()->guid = newGuid();
            messages.back()->date = date;
            recycle.insertMessage(*messages.back(), QString(), QString(), 0);
        }
        callers = {handle(5, QStringLiteral("+15550003"), QStringLiteral("Bob"), QStringLiteral("iMessage")),
                   handle(-2047483647, QStringLiteral("hidden"), QString(), QString()),
                   handle(-2047483646, QStringLiteral("+3"), QString(), QString())};
    }
    static _MsgHandle handle(qint64 rowid, const QString& id, const QString& name, const QString& service)
    {
        _MsgHandle h;
        h.rowid = rowid;
        h.id = id;
        h.contactName = name;
        h.service = service;
        return h;
    }
    std::unique_ptr<SetMsgNumDialog> dialog()
    {
        QList<_MsgHandle*> handles;
        for (_MsgHandle& h : callers)
            handles.append(&h);
        auto made = std::make_unique<SetMsgNumDialog>(MsgMessageList{messages[0].get(), messages[1].get()}, handles, recycle);
        list = made->findChild<QListWidget*>(QStringLiteral("ltHandle"));
        number = made->findChild<QLineEdit*>(QStringLiteral("txtNumber"));
        return made;
    }
    QStringList rows() const
    {
        QStringList texts;
        for (int row = 0; row < list->count(); ++row)
            texts << list->item(row)->text() + (list->item(row)->foreground().color() == Qt::red ? "*" : "");
        return texts;
    }
    QStringList storedNumbers()
    {
        QStringList numbers;
        Sqlite3Cursor rows = recycle.queryThrow("select chat_identifier || '/' || handle from message order by rowid");
        while (rows.moveNext())
            numbers << rows.getText(0);
        return numbers;
    }

    MessageRecycleDb recycle{homePath(QStringLiteral("recycle.db"))};
    std::vector<std::unique_ptr<_MsgMessage>> messages;
    QList<_MsgHandle> callers;
    QListWidget* list = nullptr;
    QLineEdit* number = nullptr;
};

TEST_F(SetMsgNumDialogTest, ListsRecycledHandlesFirstInRedAndFiltersByIdOrName)
{
    const auto shown = dialog();
    const QStringList all{"+1 - SMS*", "+2 - SMS*", "Bob (+15550003) - iMessage", "+3"};  // ids in code-unit order
    EXPECT_EQ(rows(), all);
    number->setText(QStringLiteral("bob"));
    EXPECT_EQ(rows(), QStringList{"Bob (+15550003) - iMessage"});
    number->clear();
    EXPECT_EQ(rows(), all);

    list->setCurrentRow(1);  // the refill waits until the list's own selection signal is over
    EXPECT_EQ(number->text(), QStringLiteral("+2"));
    EXPECT_EQ(list->count(), 4);
    QCoreApplication::processEvents();
    EXPECT_EQ(rows(), QStringList{"+2 - SMS*"});
}

TEST_F(SetMsgNumDialogTest, WritesEveryMessageInOneTransactionAfterConfirmation)
{
    const auto shown = dialog();
    number->setText(QStringLiteral("  "));
    shown->accept();
    EXPECT_EQ(script.boxTexts(QMessageBox::Warning), QStringList{"Phone number is required."});

    number->setText(QStringLiteral("<b>+4</b>"));
    recycle.executeThrow("create trigger refuse before update on message when new.rowid=2"
                         " begin select raise(abort, 'refused'); end");
    script.answerBox(QMessageBox::Yes);
    shown->accept();
    EXPECT_TRUE(script.boxTexts(QMessageBox::Question).front().contains(QStringLiteral("&lt;b&gt;+4&lt;/b&gt;")));
    EXPECT_EQ(script.boxTexts(QMessageBox::Critical).size(), 1);
    EXPECT_EQ(storedNumbers(), QStringList({"/", "/"}));  // the first update rolled back too
    EXPECT_NE(shown->result(), QDialog::Accepted);

    recycle.executeThrow("drop trigger refuse");
    script.answerBox(QMessageBox::Yes);
    shown->accept();
    EXPECT_EQ(storedNumbers(), QStringList({"<b>+4</b>/<b>+4</b>", "<b>+4</b>/<b>+4</b>"}));
    EXPECT_EQ(shown->result(), QDialog::Accepted);
    EXPECT_EQ(shown->records().back().handle, QStringLiteral("<b>+4</b>"));
}

TEST_F(CommandTest, DeviceChooserPreselectsASingleEntryAndGivesBackItsFullId)
{
    const qintptr wide = qintptr(sizeof(qintptr) > 4 ? 0x7fff12345678LL : 0x12345678);
    const auto pressOk = [](QDialog& d) {
        QMetaObject::invokeMethod(&d, "onBtnOkPressed");
        return d.result();
    };
    script.answerDialog(pressOk);
    EXPECT_EQ(DataSourceSelForm().setDataSources(QStringLiteral("Pick"), {{QString(), QStringLiteral("a"), wide}}), wide);
    script.answerDialog(pressOk);
    EXPECT_EQ(DataSourceSelForm().setDataSources(QStringLiteral("Pick"), {{QString(), "a", 1}, {QString(), "b", 2}}), 0);
    EXPECT_EQ(script.boxTexts(QMessageBox::Warning), QStringList{"Need to select a Device to continue."});
    script.answerDialog(QDialog::Rejected);
    EXPECT_EQ(DataSourceSelForm().setDataSources(QStringLiteral("Pick"), {{QString(), "a", 1}}), 0);
}

TEST_F(CommandTest, AboutOpensFromTheHelpMenuWithProductYearAndHomePage)
{
    EXPECT_TRUE(AboutUsForm().findChild<QLabel*>("lbHomePage")->text().isEmpty());  // no web host
    const testing_http::ScopedWebHost host(QStringLiteral("http://example.invalid/"));
    script.answerDialog([](QDialog& about) {
        EXPECT_EQ(about.findChild<QLabel*>(QStringLiteral("lbProduct"))->text(), QStringLiteral("Tallowmere v3.2.11"));
        EXPECT_TRUE(about.findChild<QLabel*>("lbNotice")->text().contains(QString::number(QDate::currentDate().year())));
        emit about.findChild<QLabel*>("lbHomePage")->linkActivated(QStringLiteral("http://example.invalid/tallowmere.html"));
        return int(QDialog::Accepted);
    });
    MainWindow window;
    for (QAction* menu : window.form().menuBar->actions()) {
        for (QAction* action : menu->menu()->actions()) {
            if (action->text() == QStringLiteral("About"))
                action->trigger();
        }
    }
    ASSERT_EQ(script.dialogs().size(), 1u);
    EXPECT_EQ(script.dialogs().front().objectName, QStringLiteral("AboutUsForm"));
    EXPECT_EQ(openedUrls, QStringList{"http://example.invalid/tallowmere.html"});
    EXPECT_TRUE(AboutUsForm().findChild<QLabel*>("lbHomePage")->text().contains(QStringLiteral("tallowmere.html")));
}

}  // namespace
