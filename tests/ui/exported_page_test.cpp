// An exported HTML page as a browser engine shows it: the style sheet applies and every image it
// refers to (emoji, thumbnails, the photo placeholder, contact cards) loads from the export folder.
#include "export/exportmessagesthread.h"
#include "fixtures/conversation.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/temp_home.h"

#include <QImage>
#include <QSignalSpy>
#include <QWebElement>
#include <QWebFrame>
#include <QWebPage>
#include <QWebSettings>
#include <gtest/gtest.h>

class ExportedPage : public TempHomeTest {
protected:
    void TearDown() override
    {
        qunsetenv("GST_REGISTRY");
        TempHomeTest::TearDown();
    }
};

TEST_F(ExportedPage, LoadsEveryImageItRefersTo)
{
    fixtures::Conversation c;
    _MsgMessage* m = c.add(400000000, QStringLiteral("hi ") + QString::fromUcs4(U"\U0001F604") + QChar(0xFFFC));
    QImage photo(64, 48, QImage::Format_RGB32);
    photo.fill(Qt::blue);
    ASSERT_TRUE(photo.save(homePath("my \"photo\" %1 #2.jpg"), "JPEG"));
    c.attach(m, "image/jpeg", homePath("my \"photo\" %1 #2.jpg"));
    c.attach(m, "image/png", homePath("missing.png"));
    c.attach(m, "text/vcard", fixtures::writeFile(homePath("ann.vcf"), "BEGIN:VCARD\r\nFN:Ann\r\nEND:VCARD\r\n"));
    fixtures::RecordingProgressSink sink;
    ExportMessagesThread job(c.list, homePath("out"), ExportMessagesThread::Html, &sink);
    job.run();  // the bubble and emoji files beside the test program
    ASSERT_EQ(sink.successes().size(), 1) << sink.errors().join('\n').toStdString();

    // The engine's media layer writes its plug-in registry on first use; it belongs in this test's home.
    qputenv("GST_REGISTRY", homePath("gst-registry.bin").toUtf8());
    QWebPage page;
    page.settings()->setAttribute(QWebSettings::JavascriptEnabled, true);
    QSignalSpy loaded(&page, &QWebPage::loadFinished);
    page.mainFrame()->load(QUrl::fromLocalFile(homePath("out/unknown-chat.html")));
    ASSERT_TRUE(!loaded.isEmpty() || loaded.wait(10000));
    ASSERT_TRUE(loaded.first().first().toBool());
    QWebFrame* frame = page.mainFrame();
    EXPECT_EQ(frame->findFirstElement("div.bb_bg").styleProperty("display", QWebElement::ComputedStyle), "none");
    EXPECT_EQ(frame->evaluateJavaScript("document.images.length").toInt(), 4);
    const QString broken = frame->evaluateJavaScript(
        "Array.prototype.filter.call(document.images, function(i) { return !(i.complete && i.naturalWidth > 0); })"
        ".map(function(i) { return i.src; }).join(' ')").toString();
    EXPECT_EQ(broken.toStdString(), "");
}
