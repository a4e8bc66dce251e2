#include "ui/bubbleviewmgr.h"

#include "core/assetdir.h"
#include "core/fileutil.h"
#include "export/bubblemarkup.h"
#include "ui/interaction.h"
#include "ui/messagebox.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QWebFrame>
#include <QWebPage>
#include <QWebSettings>
#include <QWebView>

namespace {

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

}  // namespace

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
