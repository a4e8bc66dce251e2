#pragma once
// The conversation view: the shown message list as speech bubbles in a web view, 50 messages to a
// page, and the handling of every link clicked in it (page links, opening or saving attachments).
//
// The page (export/bubblemarkup.h) is built in memory and set with the asset folder as base URL, so
// "bubble/style.css" and "emoji/*.png" load by relative paths. Scripts and plugins are off and nothing
// but local files is ever loaded: message texts come from other people.
#include "msgdb/records.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QWebView;

// What a click on a link of the view does.
enum class BubbleLinkAction { PreviousPage, NextPage, MissingFile, OpenFile, SaveFile, Ignore };
BubbleLinkAction classifyBubbleLink(const QUrl& url);

// Whether the desktop may open a file of this suffix directly (a few image, audio and video types,
// compared whole and without case). Anything else, and files without suffix, go to the save dialog.
bool isDirectlyOpenableSuffix(const QString& suffix);

// Copies source to destination, replacing it only once the copy is complete. Saving a file onto
// itself succeeds without touching it.
bool saveAttachmentCopy(const QString& source, const QString& destination);

class BubbleViewMgr : public QObject {
    Q_OBJECT
public:
    explicit BubbleViewMgr(QObject* parent = nullptr);

    // Renders into view from now on (not owned): delegates every link to onLinkClicked, turns off
    // scripts and plugins and refuses every request that is not for a local file.
    void setWebView(QWebView* view);
    // Sets page p of the current list on the view; nothing when p is out of range.
    void renderPage(int page);

    const MsgMessageList& messages() const { return m_messages; }
    int currentPage() const { return m_currentPage; }
    int pageCount() const { return m_pageCount; }
    const QString& anchor() const { return m_anchor; }
    // The base URL pages are set with: the folder that holds bubble/ and emoji/.
    static QUrl baseUrl();

public slots:
    void showBubble(const MsgMessageList& smslist);
    void onLoadFinish(bool ok);
    void onLinkClicked(const QUrl& url);
    void firstPage();
    void previousPage();
    void nextPage();
    void lastPage();
    // Shows the message at list position ipos: scrolls on the current page, else renders its page.
    void scrollToPos(int ipos);

private:
    void scrollToAnchor();
    void saveAttachment(const QString& path);

    QPointer<QWebView> m_view;
    MsgMessageList m_messages;  // records belong to a node's store
    int m_currentPage = 0;
    int m_pageCount = 0;
    QString m_anchor;
};
