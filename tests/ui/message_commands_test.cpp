// The export, extraction and delete commands on a selection, a conversation and a whole database.
#include "command_test_support.h"
#include "fixtures/pdf_tools.h"
#include "ui/mmsprinter.h"

#include <QFile>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

using namespace command_tests;

qint64 fileSize(const QString& path)
{
    return QFileInfo(path).size();
}

class MessageCommandsTest : public CommandTest {
protected:
    void SetUp() override
    {
        CommandTest::SetUp();
        makeLocalDb(QStringLiteral("db"), 60);
        QDir().mkpath(homePath(QStringLiteral("out")));
    }
    _AbsDBItemNode* db(MainWindow& window) const
    {
        return static_cast<_AbsDBItemNode*>(childNamed(window.mainModel()->localDbRoot(), QStringLiteral("db")));
    }
    // The first conversation with at least three messages.
    Node* busyChat(MainWindow& window) const
    {
        for (const auto& child : db(window)->children) {
            if (_MsgStore::messagesOfChats(static_cast<_ChatSessionItemNode*>(child.get())->chats).size() >= 3)
                return child.get();
        }
        return nullptr;
    }
    static bool storeHoldsGuid(const _MsgStore& store, const QString& guid)
    {
        for (const _MsgMessage* message : store.messageList()) {
            if (message->guid == guid)
                return true;
        }
        for (const _MsgChat* chat : store.chatList()) {
            for (const _MsgMessage* message : chat->messages) {
                if (message->guid == guid)
                    return true;
            }
        }
        return false;
    }
};

TEST_F(MessageCommandsTest, ExportWritesTheSelectionTheConversationOrTheWholeDatabase)
{
    MainWindow window;
    select(window, db(window));
    Node* chat = busyChat(window);
    ASSERT_NE(chat, nullptr);

    script.answerPath(homePath(QStringLiteral("out/all")));
    invoke(window, "miExport");
    select(window, chat);
    script.answerPath(homePath(QStringLiteral("out/chat")));
    script.answerFilter(QStringLiteral("CSV Files(*.csv)"));  // the filter, not a typed suffix, decides
    invoke(window, "miExport");
    selectRows(window, {0});
    script.answerPath(homePath(QStringLiteral("out/one")));
    invoke(window, "miExport");

    EXPECT_TRUE(script.boxTexts(QMessageBox::Critical).isEmpty());
    ASSERT_EQ(script.choosers().size(), 3u);
    EXPECT_EQ(script.choosers().front().filter,
              QStringLiteral("Text Files(*.txt);;Doc Files(*.doc);;CSV Files(*.csv);;PDF Files(*.pdf);;"
                             "HTML Files(*.html)"));
    EXPECT_TRUE(script.choosers().front().dir.startsWith(QDir::homePath() + QStringLiteral("/messages(")));
    const qint64 all = fileSize(homePath(QStringLiteral("out/all.txt")));
    const qint64 one = fileSize(homePath(QStringLiteral("out/one.txt")));
    QFile csv(homePath(QStringLiteral("out/chat.csv")));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_TRUE(csv.readLine().contains(','));  // a CSV header, not the text export's first line
    EXPECT_GT(one, 0);
    EXPECT_GT(all, one);
}

TEST_F(MessageCommandsTest, ExtractionGoesIntoANewStampedFolderOfTheChosenOne)
{
    MainWindow window;
    select(window, db(window));
    select(window, busyChat(window));
    script.answerPath(homePath(QStringLiteral("out")));
    invoke(window, "miExtractMedia");
    ASSERT_EQ(script.choosers().size(), 1u);
    EXPECT_EQ(script.choosers().front().kind, fixtures::ScriptedInteraction::ChooserKind::Directory);
    EXPECT_EQ(script.choosers().front().caption, QStringLiteral("Please select Save Path for media files."));
    EXPECT_TRUE(script.boxTexts(QMessageBox::Critical).isEmpty());
    for (const QString& name : QDir(homePath(QStringLiteral("out"))).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^attachments\\(\\d{8}-\\d{6}\\)")).match(name).hasMatch())
            << name.toStdString();
}

TEST_F(MessageCommandsTest, DeletingSelectedMessagesKeepsTheConversationShownWithTheRest)
{
    MainWindow window;
    select(window, db(window));
    const int total = storedMessages(localDbFolder(QStringLiteral("db")));
    Node* chat = busyChat(window);
    select(window, chat);
    const int inChat = window.smsModel()->rowCount();
    selectRows(window, {0});
    const QString deleted = window.smsModel()->messages().front()->guid;

    script.answerBox(QMessageBox::No);
    invoke(window, "miDel");
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("db"))), total);

    script.answerBox(QMessageBox::Yes);
    invoke(window, "miDel");
    QCoreApplication::processEvents();
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("db"))), total - 1);
    EXPECT_EQ(currentNode(window), chat);
    EXPECT_EQ(window.smsModel()->rowCount(), inChat - 1);
    EXPECT_FALSE(storeHoldsGuid(db(window)->store, deleted));  // gone from every conversation's table
    EXPECT_EQ(script.boxTexts(QMessageBox::Question),
              (QStringList{QStringLiteral("Confirm to delete the selected Messages?"),
                           QStringLiteral("Confirm to delete the selected Messages?")}));
}

TEST_F(MessageCommandsTest, DeletingAConversationRemovesItsNodeAndEmptiesTheViews)
{
    MainWindow window;
    select(window, db(window));
    const int total = storedMessages(localDbFolder(QStringLiteral("db")));
    Node* chat = busyChat(window);
    select(window, chat);
    const int inChat = window.smsModel()->rowCount();
    const size_t chats = db(window)->children.size();

    script.answerBox(QMessageBox::Yes);
    invoke(window, "miDel");

    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("db"))), total - inChat);
    EXPECT_EQ(db(window)->children.size(), chats - 1);
    EXPECT_EQ(currentNode(window), nullptr);  // no neighbour was selected in its place
    EXPECT_EQ(window.smsModel()->rowCount(), 0);
    EXPECT_EQ(script.boxTexts(QMessageBox::Question),
              QStringList{QStringLiteral("Confirm to delete Messages with this contact?")});

    // On the database node itself, the family deletes the database: after its own question.
    select(window, db(window));
    script.answerBox(QMessageBox::No);
    invoke(window, "miDel");
    EXPECT_EQ(script.boxTexts(QMessageBox::Question).back(), QStringLiteral("Confirm to delete this Database?"));
    EXPECT_TRUE(QFileInfo::exists(localDbFile(QStringLiteral("db"))));
}

TEST_F(MessageCommandsTest, CommandsNeverActOnAnotherSourcesRecordsNorDeleteFromADevice)
{
    makeLocalDb(QStringLiteral("other"), 30, 99);
    makeVirtualDevice(QStringLiteral("phone"));
    MainWindow window;
    auto* other = static_cast<_AbsDBItemNode*>(childNamed(window.mainModel()->localDbRoot(), QStringLiteral("other")));
    select(window, other);
    select(window, db(window));
    const int total = storedMessages(localDbFolder(QStringLiteral("db")));
    const int otherTotal = storedMessages(localDbFolder(QStringLiteral("other")));
    // Whatever the list shows, the database node decides which records a command may touch.
    window.browser().loadChatMessages(other->store.messageList(), nullptr);
    selectRows(window, {0, 1});
    script.answerBox(QMessageBox::Yes);
    invoke(window, "miDelSel");
    EXPECT_TRUE(script.boxes().empty());
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("db"))), total);
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("other"))), otherTotal);

    Node* device = childNamed(window.mainModel()->deviceRoot(), QStringLiteral("phone"));
    select(window, device->children.front().get());
    selectRows(window, {0});
    invoke(window, "miDelSel");
    invoke(window, "miDelChat");
    EXPECT_TRUE(script.boxes().empty());
}

TEST_F(MessageCommandsTest, EachExportSlotWritesItsOwnScopeWhateverIsSelected)
{
    MainWindow window;
    select(window, db(window));
    select(window, busyChat(window));
    selectRows(window, {0});
    const QStringList slotNames = {QStringLiteral("miExportSel"), QStringLiteral("miExportChat"),
                                   QStringLiteral("miExportAll")};
    QList<qint64> sizes;
    for (const QString& slot : slotNames) {
        script.answerPath(homePath(QStringLiteral("out/") + slot));
        invoke(window, slot.toLatin1().constData());
        sizes.append(fileSize(homePath(QStringLiteral("out/%1.txt").arg(slot))));
    }
    EXPECT_TRUE(script.boxTexts(QMessageBox::Critical).isEmpty());
    EXPECT_GT(sizes.at(0), 0);
    EXPECT_LT(sizes.at(0), sizes.at(1));  // one message, its conversation, the whole database
    EXPECT_LT(sizes.at(1), sizes.at(2));
}

TEST_F(MessageCommandsTest, PdfExportWritesOneFilePerConversationIntoAFolderBesideTheName)
{
    MainWindow window;
    select(window, db(window));
    script.answerPath(homePath(QStringLiteral("out/book.pdf")));
    script.answerFilter(QStringLiteral("PDF Files(*.pdf)"));
    invoke(window, "miExportAll");
    EXPECT_TRUE(script.boxTexts(QMessageBox::Critical).isEmpty());
    const QDir folder(homePath(QStringLiteral("out/book-pdf")));
    const QStringList pdfs = folder.entryList({QStringLiteral("*.pdf")}, QDir::Files);
    EXPECT_EQ(size_t(pdfs.size()), db(window)->children.size());
    EXPECT_GE(fixtures::pdfPageCount(folder.filePath(pdfs.value(0))), 1);
}

TEST_F(MessageCommandsTest, PrintingDrawsThePagesThePreviewAsksFor)
{
    // Nothing to print is one page with its number.
    const QString empty = homePath(QStringLiteral("out/empty.pdf"));
    QPrinter pdfPrinter(QPrinter::ScreenResolution);
    pdfPrinter.setOutputFormat(QPrinter::PdfFormat);
    pdfPrinter.setOutputFileName(empty);
    MMSPrinter().onPaintRequested(&pdfPrinter);
    EXPECT_EQ(fixtures::pdfPageTexts(empty).join(QString()).trimmed(), QStringLiteral("1"));

    MainWindow window;
    select(window, db(window));
    select(window, busyChat(window));
    const QString printed = homePath(QStringLiteral("out/printed.pdf"));
    QString title;
    script.answerDialog([&](QDialog& dialog) {
        title = dialog.windowTitle();
        auto& preview = dynamic_cast<QPrintPreviewDialog&>(dialog);
        preview.printer()->setOutputFormat(QPrinter::PdfFormat);
        preview.printer()->setOutputFileName(printed);
        emit preview.paintRequested(preview.printer());
        return int(QDialog::Rejected);
    });
    invoke(window, "miPrint");
    ASSERT_EQ(script.dialogs().size(), 1u);
    EXPECT_EQ(title, QStringLiteral("Print Messages"));
    EXPECT_GE(fixtures::pdfPageCount(printed), 1);
    EXPECT_FALSE(fixtures::pdfImages(printed).isEmpty());
}

}  // namespace
