#include "ui/bubbleviewmgr.h"

#include "core/assetdir.h"
#include "core/fileutil.h"
#include "core/htmltext.h"
#include "export/vcardimage.h"
#include "msgdb/msgutil.h"
#include "ui/interaction.h"
#include "ui/messagebox.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QWebFrame>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>

namespace {

constexpr qint64 kDateLineGap = 60;
constexpr qint64 kMaxInlineTextBytes = 1024 * 1024;
const QString kImageSize = QStringLiteral("style=\"max-width:120px;max-height:120px\"");
const QString kCardSize = QStringLiteral("style=\"max-width:200px;max-height:200px\"");

// Serves local files only: a page built from message texts must never reach the network.
class LocalFileAccessManager : public QNetworkAccessManager {
public:
    using QNetworkAccessManager::QNetworkAccessManager;

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request, QIODevice* data) override
    {
        if (request.url().isLocalFile())
            return QNetworkAccessManager::createRequest(op, request, data);
        qWarning() << "conversation view: refused" << request.url().scheme() << "request";
        return QNetworkAccessManager::createRequest(op, QNetworkRequest(QUrl()), data);
    }
};

// A file URL fit for an attribute value: percent-encoded, then HTML-escaped.
QString fileUrlAttribute(const QString& path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded).toHtmlEscaped();
}

QString linkHtml(const QString& path, const char* label)
{
    return QStringLiteral("<a href=\"") + fileUrlAttribute(path) + QStringLiteral("\">") + QLatin1String(label) +
           QStringLiteral("</a>");
}

QString dateLineHtml(const _MsgMessage& message)
{
    const QString when =
        QLocale::c().toString(appleTimeToDateTime(message.date), QStringLiteral("dd MMM yyyy h:mm AP"));
    return QStringLiteral("<div class=\"dt\">") + when + QStringLiteral("</div>");
}

// The sender line of a received message in a group conversation, else "".
QString senderOf(const _MsgMessage& message)
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

QString inlineTextFile(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return QString();
    return escapeHtmlWithEmoji(QString::fromUtf8(file.read(kMaxInlineTextBytes)));
}

// The content of one attachment's bubble; "" when it shows nothing.
QString attachmentContent(const _MsgAttachment& attachment)
{
    const QString mime = attachment.mime_type.toLower();
    const QString& path = attachment.localPath;
    if (mime.startsWith(QLatin1String("image/")))
        return makeImageLinkHtml(path, attachmentThumbnail(&attachment), kImageSize);
    if (mime.startsWith(QLatin1String("video/")))
        return linkHtml(path, "[VIDEO]");
    if (mime.startsWith(QLatin1String("audio/")))
        return linkHtml(path, "[AUDIO]");
    if (mime == QLatin1String("text/x-vcard") || mime == QLatin1String("text/vcard")) {
        const QString card = renderVCardImage(path);
        if (!card.isEmpty() && QFileInfo(card).isFile())
            return makeImageLinkHtml(path, card, kCardSize);
        return linkHtml(path, "[VCARD]");
    }
    if (mime == QLatin1String("text/plain"))
        return inlineTextFile(path);
    return linkHtml(path, "[ATTACHMENT]");
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

QString makeImageLinkHtml(const QString& file, const QString& thumbnail, const QString& attributes)
{
    const QString source = !thumbnail.isEmpty() && QFileInfo(thumbnail).isFile()
                               ? fileUrlAttribute(thumbnail)
                               : QStringLiteral("bubble/empty_photo.jpg");
    return QStringLiteral("<a href=\"") + fileUrlAttribute(file) + QStringLiteral("\"><img src=\"") + source +
           QStringLiteral("\" ") + attributes + QStringLiteral("></a>");
}

QString messageBubbleHtml(const _MsgMessage& message, qint64& lastShown)
{
    QString html = QStringLiteral("<a name=\"sms_") + QString::number(message.rowid) + QStringLiteral("\"></a>");
    if (message.item_type != 0) {
        return html + QStringLiteral("<div class=\"sysif\">") + escapeHtmlWithEmoji(messagePlainText(&message)) +
               QStringLiteral("</div>");
    }
    const QString sender = senderOf(message);
    const bool sent = message.is_from_me != 0;
    const qint64 shownAt = qint64(message.date) + kAppleEpochOffset;
    if (shownAt - lastShown > kDateLineGap) {
        html += dateLineHtml(message);
        lastShown = shownAt;
    }
    const QString text = bubbleText(message);
    if (!text.isEmpty() || message.attachments.isEmpty())
        html += makeBubbleHtml(escapeHtmlWithEmoji(text), sent, sender);
    for (const _MsgAttachment* attachment : message.sortedAttachments()) {
        const QString content = attachmentContent(*attachment);
        if (!content.isEmpty())  // an unreadable text file shows nothing, not an empty bubble
            html += makeBubbleHtml(content, sent, sender);
    }
    return html;
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

bool isDirectlyOpenableSuffix(const QString& suffix)
{
    static const QStringList kOpenable = {QStringLiteral("jpg"), QStringLiteral("jpeg"), QStringLiteral("png"),
                                          QStringLiteral("bmp"), QStringLiteral("gif"),  QStringLiteral("mp3"),
                                          QStringLiteral("mp4"), QStringLiteral("mov")};
    return !suffix.isEmpty() && kOpenable.contains(suffix, Qt::CaseInsensitive);
}

BubbleLinkAction classifyBubbleLink(const QUrl& url)
{
    if (url.path() == QLatin1String("/pre_page"))
        return BubbleLinkAction::PreviousPage;
    if (url.path() == QLatin1String("/next_page"))
        return BubbleLinkAction::NextPage;
    if (!url.isLocalFile())
        return BubbleLinkAction::Ignore;
    const QFileInfo file(url.toLocalFile());
    if (!file.isFile())
        return BubbleLinkAction::MissingFile;
    return isDirectlyOpenableSuffix(file.suffix()) ? BubbleLinkAction::OpenFile : BubbleLinkAction::SaveFile;
}

bool saveAttachmentCopy(const QString& source, const QString& destination)
{
    const QString canonicalSource = QFileInfo(source).canonicalFilePath();
    if (canonicalSource.isEmpty())
        return false;
    if (canonicalSource == QFileInfo(destination).canonicalFilePath())
        return true;  // removing the destination first would delete the attachment itself
    QFile in(source);
    QSaveFile out(destination);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
        return false;
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 20);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            return false;
        }
    }
    return out.commit();
}

BubbleViewMgr::BubbleViewMgr(QObject* parent) : QObject(parent) {}

QUrl BubbleViewMgr::baseUrl()
{
    return QUrl::fromLocalFile(assetRoot() + QLatin1Char('/'));
}

void BubbleViewMgr::setWebView(QWebView* view)
{
    m_view = view;
    if (!view)
        return;
    QWebSettings* settings = view->settings();
    settings->setAttribute(QWebSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebSettings::PluginsEnabled, false);
    settings->setAttribute(QWebSettings::JavaEnabled, false);
    view->page()->setNetworkAccessManager(new LocalFileAccessManager(view->page()));
    view->page()->setLinkDelegationPolicy(QWebPage::DelegateAllLinks);
    connect(view, &QWebView::loadFinished, this, &BubbleViewMgr::onLoadFinish);
    connect(view, &QWebView::linkClicked, this, &BubbleViewMgr::onLinkClicked);
}

void BubbleViewMgr::showBubble(const MsgMessageList& smslist)
{
    m_messages = smslist;
    if (m_messages.isEmpty()) {
        m_currentPage = 0;
        m_pageCount = 0;
        if (m_view)
            m_view->setHtml(QString(), QUrl());
        return;
    }
    m_pageCount = (m_messages.size() + kBubblePageSize - 1) / kBubblePageSize;
    firstPage();
}

void BubbleViewMgr::renderPage(int page)
{
    if (page < 1 || page > m_pageCount)
        return;
    const QString html = bubblePageHtml(m_messages, page, m_pageCount);
    if (m_view)
        m_view->setHtml(html, baseUrl());
}

void BubbleViewMgr::firstPage()
{
    m_currentPage = 1;
    m_anchor = QStringLiteral("start");
    renderPage(m_currentPage);
}

void BubbleViewMgr::previousPage()
{
    if (m_currentPage < 2)
        return;
    m_anchor = QStringLiteral("end");
    renderPage(--m_currentPage);
}

void BubbleViewMgr::nextPage()
{
    if (m_currentPage >= m_pageCount)
        return;
    m_anchor = QStringLiteral("start");
    renderPage(++m_currentPage);
}

void BubbleViewMgr::lastPage()
{
    if (m_pageCount == 0)
        return;
    m_currentPage = m_pageCount;
    m_anchor = QStringLiteral("end");
    renderPage(m_currentPage);
}

void BubbleViewMgr::scrollToPos(int ipos)
{
    if (ipos < 0 || ipos >= m_messages.size() || !m_messages.at(ipos))
        return;
    const int page = ipos / kBubblePageSize + 1;
    m_anchor = QStringLiteral("sms_") + QString::number(m_messages.at(ipos)->rowid);
    if (page == m_currentPage) {
        scrollToAnchor();
        return;
    }
    m_currentPage = page;
    renderPage(page);
}

void BubbleViewMgr::onLoadFinish(bool)
{
    scrollToAnchor();
}

void BubbleViewMgr::scrollToAnchor()
{
    if (m_view)
        m_view->page()->mainFrame()->scrollToAnchor(m_anchor);
}

void BubbleViewMgr::onLinkClicked(const QUrl& url)
{
    switch (classifyBubbleLink(url)) {
    case BubbleLinkAction::PreviousPage:
        previousPage();
        break;
    case BubbleLinkAction::NextPage:
        nextPage();
        break;
    case BubbleLinkAction::MissingFile:
        showWarning(tr("can not find %1.").arg(url.toLocalFile().toHtmlEscaped()));
        break;
    case BubbleLinkAction::OpenFile:
        openInExplorer(url.toLocalFile());
        break;
    case BubbleLinkAction::SaveFile:
        saveAttachment(url.toLocalFile());
        break;
    case BubbleLinkAction::Ignore:
        break;
    }
}

void BubbleViewMgr::saveAttachment(const QString& path)
{
    const QString proposed = QDir::home().filePath(QFileInfo(path).fileName());
    const QString target = chooseSaveFileName(nullptr, tr("IDS_SAVE_ATTACHMENT"), proposed);
    if (target.isEmpty())
        return;
    if (saveAttachmentCopy(path, target))
        showInfo(tr("IDS_SAVE_ATTACHMENT_SUC"));
    else
        showError(tr("IDS_SAVE_ATTACHMENT_FILE_ERROR"));
}
