// The phone-number dialog, the device chooser and the About dialog, answered through the interaction seam.
#include "command_test_support.h"

#include "fixtures/loopback_http.h"
#include "msgdb/msgutil.h"
#include "ui/aboutusform.h"
#include "ui/datasourceselform.h"
#include "ui/setmsgnumdialog.h"

#include <QDate>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <gtest/gtest.h>

namespace {

using namespace command_tests;

TEST_F(CommandTest, PhoneNumberDialogListsAndFiltersHandlesThenWritesEveryMessageInOneTransaction)
{
    MessageRecycleDb recycle(homePath(QStringLiteral("recycle.db")));
    for (const char* id : {"+2", "+1"})
        recycle.insertHandle({0, id, "", "SMS", "", "", {}}, 0);
    _MsgMessage first, second;
    for (_MsgMessage* m : {&first, &second}) {
        m->guid = newGuid();
        recycle.insertMessage(*m, QString(), QString(), 0);
    }
    _MsgHandle callers[3] = {{5, "+15550003", "", "iMessage", "", "Bob", {}},  // row id, id, country, service, ...
                             {-2047483647, "hidden", "", "", "", "", {}}, {-2047483646, "+3", "", "", "", "", {}}};
    SetMsgNumDialog dialog({&first, &second}, {&callers[0], &callers[1], &callers[2]}, recycle);
    auto* list = dialog.findChild<QListWidget*>(QStringLiteral("ltHandle"));
    auto* number = dialog.findChild<QLineEdit*>(QStringLiteral("txtNumber"));
    const auto rows = [list] {  // "*" marks red rows
        QStringList texts;
        for (int row = 0; row < list->count(); ++row)
            texts << list->item(row)->text() + (list->item(row)->foreground().color() == Qt::red ? "*" : "");
        return texts;
    };
    const auto numbered = [&recycle](const QString& n) {
        Sqlite3Cursor count = recycle.queryThrow(
            Sqlite3Sql("select count(*) from message where chat_identifier=? and handle=?").addTextParam(n).addTextParam(n));
        return count.moveNext() ? count.getInt64(0) : -1;
    };

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

    number->setText(QStringLiteral("  "));
    dialog.accept();
    EXPECT_EQ(script.boxTexts(QMessageBox::Warning), QStringList{"Phone number is required."});

    const QString typed = QStringLiteral("<b>+4</b>");
    number->setText(typed);
    recycle.executeThrow("create trigger refuse before update on message when new.rowid=2"
                         " begin select raise(abort, 'refused'); end");
    script.answerBox(QMessageBox::Yes);
    dialog.accept();
    EXPECT_TRUE(script.boxTexts(QMessageBox::Question).front().contains(QStringLiteral("&lt;b&gt;+4&lt;/b&gt;")));
    EXPECT_EQ(script.boxTexts(QMessageBox::Critical).size(), 1);
    EXPECT_EQ(numbered(typed), 0);  // the first update rolled back too
    EXPECT_NE(dialog.result(), QDialog::Accepted);

    recycle.executeThrow("drop trigger refuse");
    script.answerBox(QMessageBox::Yes);
    dialog.accept();
    EXPECT_EQ(numbered(typed), 2);
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.records().back().handle, typed);
}

TEST_F(CommandTest, DeviceChooserPreselectsASingleEntryAndGivesBackItsFullId)
{
    const qintptr wide = qintptr(sizeof(qintptr) > 4 ? 0x7fff12345678LL : 0x12345678);
    const auto pressOk = [](QDialog& d) { return QMetaObject::invokeMethod(&d, "onBtnOkPressed") ? d.result() : -1; };
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
        QLabel* notice = about.findChild<QLabel*>("lbNotice");
        EXPECT_TRUE(notice->text().endsWith(QStringLiteral("All rights reserved.")));
        EXPECT_TRUE(notice->text().contains(QString::number(QDate::currentDate().year())));
        notice->ensurePolished();
        const int flags = int(notice->alignment()) | (notice->wordWrap() ? Qt::TextWordWrap : 0);
        const QRect needed = notice->fontMetrics().boundingRect(notice->contentsRect(), flags, notice->text());
        EXPECT_TRUE(notice->contentsRect().contains(needed)) << needed.width() << "x" << needed.height();
        EXPECT_TRUE(about.findChild<QLabel*>("lbHomePage")->text().contains(QStringLiteral("tallowmere.html")));
        emit about.findChild<QLabel*>("lbHomePage")->linkActivated(QStringLiteral("http://example.invalid/tallowmere.html"));
        return int(QDialog::Accepted);
    });
    MainWindow window;
    invoke(window, "miAbout");
    ASSERT_EQ(script.dialogs().size(), 1u);
    EXPECT_EQ(script.dialogs().front().objectName, QStringLiteral("AboutUsForm"));
    EXPECT_EQ(openedUrls, QStringList{"http://example.invalid/tallowmere.html"});
}

}  // namespace
