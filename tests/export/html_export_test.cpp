// The HTML page of one conversation: its exact frame and message lines, the copies in "files" and the
// links to them, and write errors.
#include "core/htmltext.h"
#include "export/exportmessageshtml.h"
#include "export/sample_records.h"
#include "export/vcardimage.h"
#include "msgdb/msgutil.h"

#include "fixtures/temp_home.h"

#include <QDir>
#include <QImage>
#include <QUrl>
#include <gtest/gtest.h>

using exporttest::readFile;
using exporttest::SampleRecords;
using exporttest::writeFile;

namespace {

constexpr int kStart = 400000000;
const QString kImageSize = QStringLiteral(" style=\"max-width:120px;max-height:120px\"></a>");

class HtmlPage : public TempHomeTest {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QString photo(const QString& name) const
    {
        QImage image(40, 30, QImage::Format_RGB32);
        image.fill(Qt::red);
        image.save(writeFile(path(name), ""), "JPEG");
        return path(name);
    }
    QByteArray exportPage(const MsgMessageList& messages)
    {
        ExportMessagesHtml page(QDir(path("out")), QStringLiteral("page.html"));
        page.setPlaceholderSource(writeFile(path("empty_photo.jpg"), "placeholder"));
        page.begin();
        for (_MsgMessage* message : messages)
            page.exportMessage(message);
        page.end();
        return readFile(path("out/page.html"));
    }
};

QString thumbName(_MsgAttachment* a)
{
    return QFileInfo(attachmentThumbnail(a)).fileName();
}

}  // namespace

TEST_F(HtmlPage, ExactFrameAndOneLineOfEachKind)
{
    SampleRecords r;
    _MsgHandle* ann = r.handle(1, QStringLiteral("+1"), QStringLiteral("Ann"));
    _MsgChat* group = r.chat(1, QStringLiteral("chat1"), {ann, r.handle(2, QStringLiteral("+2"))});
    _MsgMessage* hello = r.message(1, group, ann, kStart, QStringLiteral("a < b & ") + QString::fromUcs4(U"\U0001F604"));
    _MsgMessage* event = r.message(2, group, ann, kStart + 10, QString());
    event->item_type = 2;
    event->group_title = QStringLiteral("T");
    r.message(3, group, nullptr, kStart + 30, QString(), true)->subject = QStringLiteral("S");  // no date line
    _MsgMessage* files = r.message(4, group, ann, kStart + 100, QString(QChar(0xFFFC)));
    struct Case {
        const char* mime;
        QString file;
        QString content;  // "T" stands for the thumbnail's or card's copy
    } cases[] = {
        {"image/jpeg", photo("a/IMG.jpg"), "<a href=\"files/IMG.jpg\"><img src=\"files/T\"" + kImageSize},
        {"image/png", path("gone.png"), "<a href=\"#\"><img src=\"files/empty_photo.jpg\"" + kImageSize},
        {"video/mp4", path("gone.mp4"), "<a href=\"#\">[VIDEO]</a>"},
        {"audio/amr", path("gone.amr"), "<a href=\"#\">[AUDIO]</a>"},
        {"text/plain", writeFile(path("a/t.txt"), "plain <text>"), "plain &lt;text&gt;"},
        {"text/vcard", writeFile(path("a/ann.vcf"), "BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n"),
         "<a href=\"files/ann.vcf\"><img src=\"files/T\" style=\"max-width:200px;max-height:200px\"></a>"},
        {"text/x-vCard", path("gone.vcf"), "<a href=\"#\">[VCARD]</a>"},
        {"application/pdf", writeFile(path("a/x \"y\" %1 #z.pdf"), "pdf"),
         "<a href=\"files/x%20%22y%22%20%251%20%23z.pdf\">[ATTACHMENT]</a>"},
        {"image/jpeg", photo("b/IMG.jpg"), "<a href=\"files/IMG%281%29.jpg\"><img src=\"files/T\"" + kImageSize},
        {"image/gif", path("gone.gif"), "<a href=\"#\"><img src=\"files/empty_photo.jpg\"" + kImageSize},
    };
    QString expected = QStringLiteral(
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
        "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\n<html xmlns=\"http://www.w3.org/1999/xhtml\">\n"
        "<head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\n<title>Tallowmere</title>\n"
        "<link href=\"files/style.css\" type=\"text/css\" rel=\"stylesheet\"/></head><body>\n");
    expected += dateLineHtml(*hello) +
                makeBubbleHtml("a &lt; b &amp; <img src=\"emoji/1F604.png\" />", false, QStringLiteral("Ann")) +
                "\n<div class=\"sysif\">" + escapeHtmlWithEmoji(messagePlainText(event)) + "</div>\n" +
                makeBubbleHtml("&lt;Subject:S&gt;<br/>", true, QString()) + "\n" + dateLineHtml(*files);
    QStringList copies = {"IMG.jpg", "IMG(1).jpg", "ann.vcf", "empty_photo.jpg", "t.txt", "x \"y\" %1 #z.pdf"};
    for (const Case& c : cases) {
        _MsgAttachment* a = r.attachment(files, files->attachments.size() + 1, QString(), c.file, c.mime);
        const QString copy = c.mime == QByteArray("text/vcard") ? QFileInfo(renderVCardImage(c.file)).fileName()
                                                                : thumbName(a);
        if (c.content.contains("\"files/T\""))
            copies.append(copy);
        expected += makeBubbleHtml(QString(c.content).replace("\"files/T\"", "\"files/" + copy + "\""), false, "Ann");
    }
    EXPECT_EQ(QString::fromUtf8(exportPage(r.messages())), expected + "\n</body></html>");
    copies.sort();
    EXPECT_EQ(QDir(path("out/files")).entryList(QDir::Files, QDir::Name), copies);
    // The odd name's link leads to its copy.
    const QUrl odd = QUrl::fromLocalFile(path("out/page.html")).resolved(QUrl("files/x%20%22y%22%20%251%20%23z.pdf"));
    EXPECT_EQ(readFile(odd.toLocalFile()), QByteArray("pdf"));
}

TEST_F(HtmlPage, CopiesAndPagesThatCannotBeWrittenAreErrors)
{
    SampleRecords r;
    _MsgMessage* m = r.message(1, nullptr, nullptr, kStart, QString());
    r.attachment(m, 1, QString(), writeFile(path("a.pdf"), "pdf"), QStringLiteral("application/pdf"));
    writeFile(path("out/files"), "a file where the folder should be");
    EXPECT_THROW(exportPage(r.messages()), std::runtime_error);
    QDir().mkpath(path("out/page.html"));  // a folder where the page should be
    ExportMessagesHtml page(QDir(path("out")), QStringLiteral("page.html"));
    EXPECT_THROW(page.begin(), std::runtime_error);
}
