#include "fixtures/conversation.h"
#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "ui/bubbleviewmgr.h"

#include <QFile>
#include <QSignalSpy>
#include <QWebElement>
#include <QWebFrame>
#include <QWebView>
#include <gtest/gtest.h>

namespace {

using fixtures::Conversation;
using fixtures::writeFile;

constexpr int kStart = 400000000;  // an iOS date in 2013

}  // namespace

TEST(BubbleLinks, PageLinksFilesAndSuffixes)
{
    QTemporaryDir dir;
    const QString photo = writeFile(dir.filePath("p.JPG"), "x");
    const QString bare = writeFile(dir.filePath("noext"), "x");
    const QString doc = writeFile(dir.filePath("d.jpgx"), "x");
    EXPECT_EQ(classifyBubbleLink(QUrl("file:///pre_page")), BubbleLinkAction::PreviousPage);
    EXPECT_EQ(classifyBubbleLink(QUrl("file:///next_page")), BubbleLinkAction::NextPage);
    EXPECT_EQ(classifyBubbleLink(QUrl("https://example.org/x.jpg")), BubbleLinkAction::Ignore);
    EXPECT_EQ(classifyBubbleLink(QUrl::fromLocalFile(dir.filePath("gone.jpg"))), BubbleLinkAction::MissingFile);
    EXPECT_EQ(classifyBubbleLink(QUrl::fromLocalFile(dir.path())), BubbleLinkAction::MissingFile);
    EXPECT_EQ(classifyBubbleLink(QUrl::fromLocalFile(photo)), BubbleLinkAction::OpenFile);
    EXPECT_EQ(classifyBubbleLink(QUrl::fromLocalFile(bare)), BubbleLinkAction::SaveFile);
    EXPECT_EQ(classifyBubbleLink(QUrl::fromLocalFile(doc)), BubbleLinkAction::SaveFile);
    EXPECT_FALSE(isDirectlyOpenableSuffix("pg"));
    EXPECT_TRUE(isDirectlyOpenableSuffix("Mov"));
}

TEST(BubbleLinks, SavingCopiesAndNeverDestroysTheSource)
{
    QTemporaryDir dir;
    const QString source = writeFile(dir.filePath("a.bin"), "attachment");
    const QString target = writeFile(dir.filePath("b.bin"), "old content that is longer");
    ASSERT_TRUE(saveAttachmentCopy(source, target));
    QFile copy(target);
    ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
    EXPECT_EQ(copy.readAll(), "attachment");
    EXPECT_TRUE(saveAttachmentCopy(source, dir.filePath("./a.bin")));  // onto itself
    QFile same(source);
    ASSERT_TRUE(same.open(QIODevice::ReadOnly));
    EXPECT_EQ(same.readAll(), "attachment");
    EXPECT_FALSE(saveAttachmentCopy(dir.filePath("none"), target));
    EXPECT_FALSE(saveAttachmentCopy(source, dir.filePath("no/such/folder/x")));
}

class BubbleViewTest : public TempHomeTest {
protected:
    void waitLoaded(QSignalSpy& spy)
    {
        if (spy.isEmpty()) {
            ASSERT_TRUE(spy.wait(10000));
        }
        spy.clear();
    }
    fixtures::ScriptedInteraction script;
};

TEST_F(BubbleViewTest, PagesStateAndTheRenderedView)
{
    Conversation c;
    for (int i = 0; i < 120; ++i)
        c.add(kStart + 100 * i, QStringLiteral("message %1").arg(i), i % 2);
    QWebView view;
    BubbleViewMgr mgr;
    mgr.setWebView(&view);
    QSignalSpy loaded(&view, &QWebView::loadFinished);

    mgr.lastPage();  // nothing shown yet: nothing happens
    EXPECT_EQ(mgr.currentPage(), 0);
    mgr.showBubble(c.list);
    EXPECT_EQ(mgr.pageCount(), 3);
    EXPECT_EQ(mgr.currentPage(), 1);
    waitLoaded(loaded);
    QWebFrame* frame = view.page()->mainFrame();
    EXPECT_EQ(frame->findAllElements("div.bb2").count(), 25);
    // The style sheet beside the program was found through the base URL.
    EXPECT_EQ(frame->findFirstElement("div.bb_bg").styleProperty("display", QWebElement::ComputedStyle), "none");
    EXPECT_FALSE(view.settings()->testAttribute(QWebSettings::JavascriptEnabled));

    mgr.onLinkClicked(QUrl("file:///next_page"));
    EXPECT_EQ(mgr.currentPage(), 2);
    EXPECT_EQ(mgr.anchor(), "start");
    waitLoaded(loaded);
    mgr.scrollToPos(49);
    EXPECT_EQ(mgr.currentPage(), 1);
    EXPECT_EQ(mgr.anchor(), "sms_50");
    waitLoaded(loaded);
    mgr.scrollToPos(10);  // on the current page: scrolls without loading
    EXPECT_EQ(mgr.currentPage(), 1);
    mgr.scrollToPos(120);
    EXPECT_EQ(mgr.anchor(), "sms_11");
    mgr.lastPage();
    EXPECT_EQ(mgr.currentPage(), 3);
    EXPECT_EQ(mgr.anchor(), "end");
    mgr.nextPage();
    EXPECT_EQ(mgr.currentPage(), 3);
    mgr.previousPage();
    EXPECT_EQ(mgr.currentPage(), 2);

    mgr.showBubble({});
    EXPECT_EQ(mgr.currentPage(), 0);
    EXPECT_EQ(mgr.pageCount(), 0);
    mgr.previousPage();
    EXPECT_EQ(mgr.currentPage(), 0);
}

TEST_F(BubbleViewTest, ClickedFilesAreReportedMissingOrSaved)
{
    BubbleViewMgr mgr;
    mgr.onLinkClicked(QUrl::fromLocalFile(homePath("gone<b>.doc")));
    ASSERT_EQ(script.boxTexts(QMessageBox::Warning).size(), 1);
    EXPECT_TRUE(script.boxTexts(QMessageBox::Warning).first().contains("gone&lt;b&gt;.doc"));

    const QString source = writeFile(homePath("report.doc"), "doc");
    script.answerPath(homePath("saved.doc"));
    mgr.onLinkClicked(QUrl::fromLocalFile(source));
    ASSERT_EQ(script.choosers().size(), 1u);
    EXPECT_TRUE(script.choosers().front().dir.endsWith("/report.doc"));
    EXPECT_TRUE(QFile::exists(homePath("saved.doc")));
    EXPECT_EQ(script.boxTexts(QMessageBox::Information).size(), 1);

    mgr.onLinkClicked(QUrl::fromLocalFile(source));  // cancelled: nothing happens
    EXPECT_EQ(script.boxes().size(), 2u);
}
