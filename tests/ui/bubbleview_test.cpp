#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "msgdb/msgutil.h"
#include "ui/bubbleviewmgr.h"

#include <QFile>
#include <QSignalSpy>
#include <QWebElement>
#include <QWebFrame>
#include <QWebView>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

constexpr int kStart = 400000000;  // an iOS date in 2013

// Messages owned by the test, as a store would own them.
struct Conversation {
    std::vector<std::unique_ptr<_MsgMessage>> messages;
    std::vector<std::unique_ptr<_MsgAttachment>> attachments;
    MsgMessageList list;

    _MsgMessage* add(int date, const QString& text, bool fromMe = false)
    {
        messages.push_back(std::make_unique<_MsgMessage>());
        _MsgMessage* m = messages.back().get();
        m->rowid = qint64(messages.size());
        m->date = date;
        m->text = text;
        m->is_from_me = fromMe ? 1 : 0;
        list.append(m);
        return m;
    }
    _MsgAttachment* attach(_MsgMessage* m, const QString& mime, const QString& path)
    {
        attachments.push_back(std::make_unique<_MsgAttachment>());
        _MsgAttachment* a = attachments.back().get();
        a->rowid = qint64(attachments.size());
        a->mime_type = mime;
        a->localPath = path;
        m->attachments.insert(QString::number(a->rowid), a);
        return a;
    }
};

int occurrences(const QString& html, const QString& what)
{
    return html.count(what);
}

QString writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
    return path;
}

}  // namespace

TEST(BubblePage, FiftyMessagesToAPageWithPageLinks)
{
    Conversation c;
    for (int i = 0; i < 51; ++i)
        c.add(kStart + i, QStringLiteral("m%1").arg(i));
    const QString first = bubblePageHtml(c.list, 1, 2);
    EXPECT_TRUE(first.startsWith("<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\""));
    EXPECT_TRUE(first.contains("<link href=\"bubble/style.css\" type=\"text/css\" rel=\"stylesheet\"/>"));
    EXPECT_EQ(occurrences(first, "<a name=\"sms_"), 50);
    EXPECT_FALSE(first.contains("/pre_page"));
    EXPECT_TRUE(first.contains("<p><a href=\"/next_page\">&gt;&gt;Next Page</a></p>"));
    const QString second = bubblePageHtml(c.list, 2, 2);
    EXPECT_EQ(occurrences(second, "<a name=\"sms_"), 1);
    EXPECT_TRUE(second.contains("<a name=\"sms_51\"></a>"));
    EXPECT_TRUE(second.contains("/pre_page"));
    EXPECT_FALSE(second.contains("/next_page"));
    EXPECT_EQ(bubblePageHtml(c.list, 3, 2), "");

    Conversation fifty;
    for (int i = 0; i < 50; ++i)
        fifty.add(kStart, QStringLiteral("x"));
    const QString only = bubblePageHtml(fifty.list, 1, 1);
    EXPECT_FALSE(only.contains("_page"));
}

TEST(BubblePage, DateLinesAfterMoreThanSixtySecondsAndSystemEvents)
{
    Conversation c;
    c.add(kStart, "a");
    c.add(kStart + 30, "b");
    _MsgMessage* event = c.add(kStart + 500, QString());
    event->item_type = 2;
    event->group_title = QStringLiteral("<Team>");
    c.add(kStart + 60, "c");  // exactly 60 s after the date line: none
    const QString html = bubblePageHtml(c.list, 1, 1);
    EXPECT_EQ(occurrences(html, "class=\"dt\""), 1);
    EXPECT_TRUE(html.contains(QLocale::c().toString(appleTimeToDateTime(kStart), "dd MMM yyyy h:mm AP")));
    EXPECT_EQ(occurrences(html, "class=\"sysif\""), 1);
    EXPECT_FALSE(html.contains("<Team>"));
    c.add(kStart + 61, "d");
    EXPECT_EQ(occurrences(bubblePageHtml(c.list, 1, 1), "class=\"dt\""), 2);
}

TEST(BubblePage, HostileTextIsEscapedBeforeEmojiAndNeverFormatted)
{
    Conversation c;
    _MsgMessage* m = c.add(kStart, QStringLiteral("<script>alert('%1')</script> & %2\r\nline") +
                                       QString::fromUcs4(U"\U0001F604") + QChar(0xFFFC));
    m->subject = QStringLiteral("<b>hi</b>");
    const QString html = bubblePageHtml(c.list, 1, 1);
    EXPECT_FALSE(html.contains("<script>"));
    EXPECT_FALSE(html.contains("<b>"));
    EXPECT_TRUE(html.contains("&lt;Subject:&lt;b&gt;hi&lt;/b&gt;&gt;<br/>"
                              "&lt;script&gt;alert('%1')&lt;/script&gt; &amp; %2<br/>line"
                              "<img src=\"emoji/1F604.png\" /></div>"));
}

TEST(BubblePage, BubblesForTextAttachmentsAndGroupSenders)
{
    QTemporaryDir dir;
    Conversation c;
    _MsgHandle ann;
    ann.id = QStringLiteral("+15550100");
    ann.contactName = QStringLiteral("Ann <A>");
    _MsgHandle bob;
    bob.id = QStringLiteral("+15550101");
    _MsgChat group;
    group.handles.insert("1", &ann);
    group.handles.insert("2", &bob);

    _MsgMessage* withFiles = c.add(kStart, QString(QChar(0xFFFC)));
    withFiles->chat = &group;
    withFiles->handle = &ann;
    const QString odd = dir.filePath("100% \"odd\" <x> %1.jpg");
    c.attach(withFiles, "IMAGE/jpeg", odd);
    c.attach(withFiles, "video/mp4", dir.filePath("v.mp4"));
    c.attach(withFiles, "audio/amr", dir.filePath("a.amr"));
    c.attach(withFiles, "text/x-vCard", dir.filePath("missing.vcf"));
    c.attach(withFiles, "text/plain", writeFile(dir.filePath("t.txt"), "plain <text>"));
    c.attach(withFiles, "text/plain", dir.filePath("unreadable.txt"));
    c.attach(withFiles, "application/pdf", dir.filePath("d.pdf"));
    c.add(kStart + 1, QString(), true);  // neither text nor attachments: one empty bubble

    const QString html = bubblePageHtml(c.list, 1, 1);
    // No text bubble for the attachment-only message: one bubble per shown attachment, each with the sender.
    EXPECT_EQ(occurrences(html, "<div class=\"bb1\">"), 6);
    EXPECT_EQ(occurrences(html, "<div class=\"ct_left\">Ann &lt;A&gt;</div>"), 6);
    EXPECT_EQ(occurrences(html, "<div class=\"bb2\">"), 1);
    EXPECT_TRUE(html.contains("<img src=\"bubble/empty_photo.jpg\" style=\"max-width:120px;max-height:120px\">"));
    EXPECT_TRUE(html.contains("100%25%20%22odd%22%20%3Cx%3E%20%251.jpg\"><img"));
    EXPECT_TRUE(html.contains("v.mp4\">[VIDEO]</a>"));
    EXPECT_TRUE(html.contains("a.amr\">[AUDIO]</a>"));
    EXPECT_TRUE(html.contains("missing.vcf\">[VCARD]</a>"));
    EXPECT_TRUE(html.contains("plain &lt;text&gt;"));
    EXPECT_TRUE(html.contains("d.pdf\">[ATTACHMENT]</a>"));
}

class BubbleCardTest : public TempHomeTest {};

TEST_F(BubbleCardTest, ContactCardsShowTheirImage)
{
    Conversation c;
    _MsgMessage* m = c.add(kStart, QString(), true);
    c.attach(m, "text/vcard", writeFile(homePath("ann.vcf"), "BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n"));
    const QString html = bubblePageHtml(c.list, 1, 1);
    EXPECT_TRUE(html.contains("ann.vcf\"><img src=\"file:///"));
    EXPECT_TRUE(html.contains(".jpg\" style=\"max-width:200px;max-height:200px\"></a>"));
}

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
