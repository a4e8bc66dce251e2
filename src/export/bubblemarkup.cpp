#include "export/bubblemarkup.h"

#include "core/htmltext.h"
#include "export/vcardimage.h"
#include "msgdb/msgutil.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace {

constexpr qint64 kDateLineGap = 60;
constexpr qint64 kMaxInlineTextBytes = 1024 * 1024;
const QString kImageSize = QStringLiteral("style=\"max-width:120px;max-height:120px\"");
const QString kCardSize = QStringLiteral("style=\"max-width:200px;max-height:200px\"");

// A file URL fit for an attribute value: percent-encoded, then HTML-escaped.
QString fileUrlAttribute(const QString& path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toHtmlEscaped();
}

bool isExistingFile(const QString& path)
{
    return !path.isEmpty() && QFileInfo(path).isFile();
}

QString linkHtml(const QString& href, const char* label)
{
    return QStringLiteral("<a href=\"") + href + QStringLiteral("\">") + QLatin1String(label) + QStringLiteral("</a>");
}

QString inlineTextFile(const QString& path)
{
    return escapeHtmlWithEmoji(textAttachmentContents(path).value_or(QString()));
}

// The content of one attachment's bubble; "" when it shows nothing. The file's link comes first, so an
// export copies the attachment before its thumbnail.
QString attachmentContent(const _MsgAttachment& attachment, BubbleLinks& links)
{
    const QString mime = attachment.mime_type.toLower();
    const QString path = attachment.localPath.path();
    const QString href = links.fileLink(path);
    if (mime.startsWith(QLatin1String("image/"))) {
        const QString thumbnail = attachmentThumbnail(&attachment);
        const QString src = isExistingFile(thumbnail) ? links.imageSource(thumbnail) : QString();
        return makeImageLinkHtml(href, src.isEmpty() ? links.placeholderSource() : src, kImageSize);
    }
    if (mime.startsWith(QLatin1String("video/")))
        return linkHtml(href, "[VIDEO]");
    if (mime.startsWith(QLatin1String("audio/")))
        return linkHtml(href, "[AUDIO]");
    if (mime == QLatin1String("text/x-vcard") || mime == QLatin1String("text/vcard")) {
        const QString card = renderVCardImage(path);
        const QString src = isExistingFile(card) ? links.imageSource(card) : QString();
        return src.isEmpty() ? linkHtml(href, "[VCARD]") : makeImageLinkHtml(href, src, kCardSize);
    }
    if (mime == QLatin1String("text/plain"))
        return inlineTextFile(path);
    return linkHtml(href, "[ATTACHMENT]");
}

}  // namespace

QString makeBubbleHtml(const QString& content, bool sent, const QString& sender)
{
    QString html;
    if (!sender.isEmpty()) {
        html += QStringLiteral("<div class=\"ct_left\">") + escapeHtmlWithEmoji(sender) +
                QStringLiteral("</div><div class=\"clear\"></div>");
    }
    html += sent ? QStringLiteral("<div class=\"bb2\">") : QStringLiteral("<div class=\"bb1\">");
    html += QStringLiteral(
        "<div class=\"bb_bg top_left\"></div><div class=\"bb_bg top_middle\"></div>"
        "<div class=\"bb_bg top_right\"></div><div class=\"bb_bg middle_left\"></div>"
        "<div class=\"bb_bg middle_middle\"></div><div class=\"bb_bg middle_right\"></div>"
        "<div class=\"bb_bg bottom_left\"></div><div class=\"bb_bg bottom_middle\"></div>"
        "<div class=\"bb_bg bottom_right\"></div>");
    html += content;
    html += QStringLiteral("</div><div class=\"clear\"></div>");
    return html;
}

QString FileUrlLinks::fileLink(const QString& localPath)
{
    return fileUrlAttribute(localPath);
}

QString FileUrlLinks::imageSource(const QString& imagePath)
{
    return fileUrlAttribute(imagePath);
}

QString FileUrlLinks::placeholderSource()
{
    return QStringLiteral("bubble/empty_photo.jpg");
}

QString makeImageLinkHtml(const QString& href, const QString& src, const QString& attributes)
{
    return QStringLiteral("<a href=\"") + href + QStringLiteral("\"><img src=\"") + src + QStringLiteral("\" ") +
           attributes + QStringLiteral("></a>");
}

QString bubbleSender(const _MsgMessage& message)
{
    if (!message.chat || !message.chat->isGroup() || message.is_from_me || !message.handle)
        return QString();
    return message.handle->displayName(false);
}

QString bubbleText(const _MsgMessage& message)
{
    QString text;
    if (!message.subject.isEmpty())
        text = QStringLiteral("<Subject:") + message.subject + QStringLiteral(">\n");
    return text + message.visibleText();
}

std::optional<QString> textAttachmentContents(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(file.read(kMaxInlineTextBytes));
}

QString dateLineText(const _MsgMessage& message)
{
    return appleTimeText(message.date);
}

QString dateLineHtml(const _MsgMessage& message)
{
    return QStringLiteral("<div class=\"dt\">") + dateLineText(message) + QStringLiteral("</div>");
}

QString messageContentHtml(const _MsgMessage& message, qint64& lastShown, BubbleLinks& links)
{
    if (message.item_type != 0)
        return QStringLiteral("<div class=\"sysif\">") + escapeHtmlWithEmoji(messagePlainText(&message)) +
               QStringLiteral("</div>");
    QString html;
    const QString sender = bubbleSender(message);
    const bool sent = message.is_from_me != 0;
    const qint64 shownAt = qint64(message.date) + kAppleEpochOffset;
    // Either way: the list may be sorted newest first.
    if (qAbs(shownAt - lastShown) > kDateLineGap) {
        html += dateLineHtml(message);
        lastShown = shownAt;
    }
    const QString text = bubbleText(message);
    if (!text.isEmpty() || message.attachments.isEmpty())
        html += makeBubbleHtml(escapeHtmlWithEmoji(text), sent, sender);
    for (const _MsgAttachment* attachment : message.sortedAttachments()) {
        const QString content = attachmentContent(*attachment, links);
        if (!content.isEmpty())  // an unreadable text file shows nothing, not an empty bubble
            html += makeBubbleHtml(content, sent, sender);
    }
    return html;
}

QString messageBubbleHtml(const _MsgMessage& message, qint64& lastShown)
{
    FileUrlLinks links;
    return QStringLiteral("<a name=\"sms_") + QString::number(message.rowid) + QStringLiteral("\"></a>") +
           messageContentHtml(message, lastShown, links);
}

QString bubblePageHtml(const MsgMessageList& messages, int page, int pageCount)
{
    if (page < 1 || page > pageCount)
        return QString();
    QString html = QStringLiteral(
        "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
        "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">"
        "<html xmlns=\"http://www.w3.org/1999/xhtml\"><head>"
        "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />"
        "<title>Bubble</title><link href=\"bubble/style.css\" type=\"text/css\" rel=\"stylesheet\"/>"
        "</head><body><a name=\"start\"></a>");
    if (page != 1)
        html += QStringLiteral("<p><a href=\"/pre_page\">&lt;&lt;Previous Page</a></p>");
    qint64 lastShown = 0;
    const int first = (page - 1) * kBubblePageSize;
    const int end = qMin(page * kBubblePageSize, messages.size());
    for (int i = first; i < end; ++i) {
        if (messages.at(i))
            html += messageBubbleHtml(*messages.at(i), lastShown);
    }
    if (page != pageCount)
        html += QStringLiteral("<p><a href=\"/next_page\">&gt;&gt;Next Page</a></p>");
    html += QStringLiteral("<a name=\"end\"></a></body></html>");
    return html;
}
