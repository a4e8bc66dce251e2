// The message pages: bubble sizes and the nine-patch, long texts split across pages without losing a
// line, and PDF files as poppler reads them (pages, date lines, senders, system lines, page numbers,
// one image per bubble).
#include "export/bubblemarkup.h"
#include "export/exportmessagespdf.h"
#include "export/exportmessagesthread.h"
#include "export/messagepagepainter.h"
#include "export/sample_records.h"
#include "msgdb/msgutil.h"

#include "fixtures/pdf_tools.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/temp_home.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>

using exporttest::SampleRecords;
using fixtures::pdfImages;
using fixtures::pdfPageCount;
using fixtures::pdfPageTexts;

namespace {

constexpr int kStart = 399999960;  // on a whole minute
constexpr int kBubbleWidth = 560;

QString lines(int count)
{
    QStringList text;
    for (int i = 1; i <= count; ++i)
        text.append(QStringLiteral("line %1").arg(i));
    return text.join(QLatin1Char('\n'));
}

class PdfPages : public TempHomeTest {
protected:
    QTemporaryDir dir;

    // Exports messages through the job into dir/name; the PDFs made there, sorted.
    QStringList exportPdfs(const MsgMessageList& messages, const QString& name)
    {
        fixtures::RecordingProgressSink sink;
        ExportMessagesThread job(messages, dir.filePath(name), ExportMessagesThread::Pdf, &sink);
        job.run();
        EXPECT_EQ(sink.errors(), QStringList());
        QStringList files;
        for (const QString& file : QDir(dir.filePath(name)).entryList({QStringLiteral("*.pdf")}, QDir::Files))
            files.append(dir.filePath(name + QLatin1Char('/') + file));
        files.sort();
        return files;
    }
};

}  // namespace

TEST(BubbleImages, SizesAndNinePatchCells)
{
    for (const bool sent : {false, true})
        EXPECT_EQ(MessagePagePainter::drawTextBubble(QStringLiteral("a"), kBubbleWidth, sent).size(), QSize(90, 52));

    // The image keeps its own size inside its 170 x 120 bubble.
    QImage red(120, 90, QImage::Format_RGB32);
    red.fill(Qt::red);
    const QImage bubble = MessagePagePainter::drawImageBubble(red, false);
    EXPECT_EQ(bubble.size(), QSize(170, 120));
    EXPECT_EQ(bubble.pixelColor(30 + 119, 10 + 89), QColor(Qt::red));
    EXPECT_NE(bubble.pixelColor(30 + 60, 10 + 90), QColor(Qt::red));
    EXPECT_TRUE(MessagePagePainter::drawImageBubble(QImage(), true).isNull());

    const std::array<QRect, 9> sent = {QRect(0, 0, 29, 27),  QRect(29, 0, 20, 27),  QRect(48, 0, 41, 27),
                                       QRect(0, 27, 29, 0),  QRect(29, 27, 20, 0),  QRect(48, 27, 41, 0),
                                       QRect(0, 26, 29, 25), QRect(29, 26, 20, 25), QRect(48, 26, 41, 25)};
    EXPECT_EQ(ninePatchCells(QRect(0, 0, 90, 52), bubbleInsets(true)), sent);
    const std::array<QRect, 9> received = {QRect(10, 20, 40, 28), QRect(50, 20, 31, 28), QRect(80, 20, 29, 28),
                                           QRect(10, 48, 40, 8),  QRect(50, 48, 31, 8),  QRect(80, 48, 29, 8),
                                           QRect(10, 55, 40, 24), QRect(50, 55, 31, 24), QRect(80, 55, 29, 24)};
    EXPECT_EQ(ninePatchCells(QRect(10, 20, 100, 60), bubbleInsets(false)), received);
}

TEST(BubbleImages, LongTextsSplitBetweenLinesAndLongWordsWrap)
{
    const QString text = lines(120);
    const int whole = MessagePagePainter::drawTextBubble(text, kBubbleWidth, false).height();
    const QList<QImage> parts = MessagePagePainter::drawTextBubbles(text, kBubbleWidth, false, 300, 1000);
    ASSERT_GE(parts.size(), 3);
    EXPECT_LE(parts.first().height(), 300);
    int textHeight = 0;
    for (const QImage& part : parts) {
        EXPECT_LE(part.height(), 1000);
        textHeight += part.height() - 20;
    }
    EXPECT_EQ(textHeight, whole - 20);  // every line in exactly one part

    // Text that fits a page stays whole, even where the first room is small.
    EXPECT_EQ(MessagePagePainter::drawTextBubbles(lines(3), kBubbleWidth, true, 60, 1000).size(), 1);

    const QImage url = MessagePagePainter::drawTextBubble(QString(400, QLatin1Char('W')), kBubbleWidth, true);
    EXPECT_LE(url.width(), kBubbleWidth);
    EXPECT_GT(url.height(), 52);
}

TEST(DateLines, TheCLocaleFormatAtAnyHourMonthAndYear)
{
    _MsgMessage m;
    for (m.date = -400 * 86400; m.date < 500000000; m.date += 97 * 3600 + 7 * 60)
        ASSERT_EQ(dateLineText(m), QLocale::c().toString(appleTimeToDateTime(m.date), "dd MMM yyyy h:mm AP"));
}

TEST_F(PdfPages, OneConversationWithDateLinesSendersSystemLinesAndOneImagePerBubble)
{
    SampleRecords r;
    _MsgHandle* ann = r.handle(1, QStringLiteral("+1555"), QStringLiteral("Ann"));
    _MsgHandle* bob = r.handle(2, QStringLiteral("+1666"), QStringLiteral("Bob"));
    _MsgChat* group = r.chat(1, QStringLiteral("chat42"), {ann, bob});
    const _MsgMessage* first = r.message(1, group, ann, kStart, QStringLiteral("hello"));
    r.message(2, group, nullptr, kStart + 60, QStringLiteral("yo"), true);  // no date line: 60 s
    _MsgMessage* photo = r.message(3, group, bob, kStart + 61, QStringLiteral("hey"));
    QImage picture(64, 48, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    ASSERT_TRUE(picture.save(dir.filePath(QStringLiteral("p.png"))));
    r.attachment(photo, 1, QStringLiteral("~/p.png"), dir.filePath(QStringLiteral("p.png")), QStringLiteral("image/png"));
    _MsgMessage* renamed = r.message(4, group, ann, kStart + 300, QString());
    renamed->item_type = 2;
    renamed->group_title = QStringLiteral("Team");

    const QString pdf = dir.filePath(QStringLiteral("one/chat42.pdf"));
    EXPECT_EQ(exportPdfs(r.messages(), QStringLiteral("one")), QStringList{pdf});
    EXPECT_EQ(pdfPageCount(pdf), 1);
    const QString text = pdfPageTexts(pdf).join(QString());
    EXPECT_EQ(text.count(dateLineText(*first)), 1);
    EXPECT_EQ(text.count(dateLineText(*photo)), 1);  // the same minute as the message at 60 s
    EXPECT_TRUE(text.contains(QStringLiteral("Ann named the conversation")));
    EXPECT_EQ(text.count(QStringLiteral("Bob")), 2);  // above the text and above the picture
    EXPECT_TRUE(text.contains(QRegularExpression(QStringLiteral("(^|\\n)\\s*1\\s*$"))));
    const QList<fixtures::PdfImage> images = pdfImages(pdf);
    ASSERT_EQ(images.size(), 4);  // hello, yo, hey and the picture
    EXPECT_EQ(QSize(images.last().width, images.last().height), QSize(170, 120));  // of a 120 x 90 thumbnail
}

TEST_F(PdfPages, ManyMessagesArePagesNumberedInOrderAndALongTextSpansPages)
{
    SampleRecords r;
    _MsgHandle* ann = r.handle(1, QStringLiteral("+1555"), QStringLiteral("Ann"));
    _MsgChat* chat = r.chat(1, QStringLiteral("+1555"), {ann});
    for (int i = 0; i < 120; ++i)
        r.message(i + 1, chat, ann, kStart + 120 * i, QStringLiteral("message %1").arg(i), i % 2);
    const QStringList pages = pdfPageTexts(exportPdfs(r.messages(), QStringLiteral("many")).value(0));
    ASSERT_GT(pages.size(), 1);
    for (int i = 0; i < pages.size(); ++i)
        EXPECT_EQ(pages.at(i).trimmed().section(QLatin1Char('\n'), -1).trimmed(), QString::number(i + 1));

    SampleRecords longOne;
    _MsgChat* alone = longOne.chat(1, QStringLiteral("+1555"), {longOne.handle(1, QStringLiteral("+1555"))});
    longOne.message(1, alone, nullptr, kStart, lines(150));
    const QString pdf = exportPdfs(longOne.messages(), QStringLiteral("long")).value(0);
    const int pageCount = pdfPageCount(pdf);
    ASSERT_GE(pageCount, 3);
    QSet<int> pagesWithBubbles;
    for (const fixtures::PdfImage& image : pdfImages(pdf))
        pagesWithBubbles.insert(image.page);
    EXPECT_EQ(pagesWithBubbles.size(), pageCount);
}

TEST_F(PdfPages, OnlyAFinishedFileStaysAndOneThatCannotBeCreatedIsAnErrorNamingIt)
{
    const QString unfinished = dir.filePath(QStringLiteral("unfinished.pdf"));
    { ExportMessagesPdf pdf(unfinished); }
    EXPECT_FALSE(QFileInfo::exists(unfinished));
    const QString finished = dir.filePath(QStringLiteral("finished.pdf"));
    {
        ExportMessagesPdf pdf(finished);
        pdf.end();
    }
    EXPECT_EQ(pdfPageTexts(finished).join(QString()).trimmed(), QStringLiteral("1"));

    const auto errorNaming = [](const QString& path) {
        return testing::ThrowsMessage<std::runtime_error>(testing::HasSubstr(path.toStdString()));
    };
    EXPECT_THAT([&] { ExportMessagesPdf{finished}; }, errorNaming(finished));  // never over a file already there
    EXPECT_EQ(pdfPageCount(finished), 1);
    const QString missing = dir.filePath(QStringLiteral("missing/folder/x.pdf"));
    EXPECT_THAT([&] { ExportMessagesPdf{missing}; }, errorNaming(missing));
    EXPECT_FALSE(QFileInfo::exists(missing));
}

TEST_F(PdfPages, AWriteErrorIsAnErrorAndTheRunLeavesNothing)
{
    SampleRecords r;
    _MsgChat* chat = r.chat(1, QStringLiteral("+1555"), {r.handle(1, QStringLiteral("+1555"))});
    r.message(1, chat, nullptr, kStart, lines(400));
    // A file size limit stands in for a full disk.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{64 * 1024, old.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    fixtures::RecordingProgressSink sink;
    ExportMessagesThread job(r.messages(), dir.filePath(QStringLiteral("full")), ExportMessagesThread::Pdf, &sink);
    job.run();
    setrlimit(RLIMIT_FSIZE, &old);
    ASSERT_EQ(sink.errors().size(), 1);
    EXPECT_TRUE(sink.errors().first().startsWith(QStringLiteral("Cannot create "))) << sink.errors().first().toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("full"))));
}

TEST_F(PdfPages, EqualConversationNamesHoldingPlaceholdersKeepTheirOwnFiles)
{
    SampleRecords r;
    for (int i = 1; i <= 2; ++i) {
        const QString id = QStringLiteral("+%1").arg(i);
        _MsgChat* chat = r.chat(i, id, {r.handle(i, id)});
        chat->display_name = QStringLiteral("50%1 off");
        r.message(i, chat, nullptr, kStart + 100 * i, QStringLiteral("hi"));
    }
    EXPECT_EQ(exportPdfs(r.messages(), QStringLiteral("names")),
              (QStringList{dir.filePath(QStringLiteral("names/50%1 off(1).pdf")),
                           dir.filePath(QStringLiteral("names/50%1 off.pdf"))}));
}
