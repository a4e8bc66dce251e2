#include "export/bubblemarkup.h"
#include "fixtures/conversation.h"
#include "fixtures/temp_home.h"
#include "msgdb/msgutil.h"

#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using fixtures::Conversation;
using fixtures::writeFile;

constexpr int kStart = 400000000;  // an iOS date in 2013

int occurrences(const QString& html, const QString& what)
{
    return html.count(what);
}

// Pages with attachments make thumbnails, which belong in a temporary home.
class BubblePage : public TempHomeTest {};

}  // namespace

TEST_F(BubblePage, FiftyMessagesToAPageWithPageLinks)
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

TEST_F(BubblePage, DateLinesAfterMoreThanSixtySecondsAndSystemEvents)
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

    // Newest first: the same gaps, backwards.
    Conversation newest;
    for (const int offset : {200, 170, 100, 39})
        newest.add(kStart + offset, "x");
    EXPECT_EQ(occurrences(bubblePageHtml(newest.list, 1, 1), "class=\"dt\""), 3);
}

TEST_F(BubblePage, HostileTextIsEscapedBeforeEmojiAndNeverFormatted)
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

TEST_F(BubblePage, BubblesForTextAttachmentsAndGroupSenders)
{
    QTemporaryDir dir;
    Conversation c;
    _MsgHandle ann;
    ann.id = QStringLiteral("+15550100");
    ann.contactName = QStringLiteral("Ann <A>");
    _MsgHandle bob;
    bob.id = QStringLiteral("+15550101");
    _MsgChat group;
    group.handles.insert(1, &ann);
    group.handles.insert(2, &bob);

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
