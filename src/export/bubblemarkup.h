#pragma once
// The markup of messages as speech bubbles, 50 messages to a page. The conversation view shows it and
// the HTML export writes it; the two differ only in where links and images point (BubbleLinks).
// Assets go by relative paths ("bubble/style.css", "emoji/*.png") from the page's base folder.
// Message texts come from other people: every part taken from data is escaped.
#include "msgdb/records.h"

#include <QString>

#include <optional>

constexpr int kBubblePageSize = 50;

// Where a page's links and images point. Every value returned is ready for an attribute value:
// percent-encoded and HTML-escaped.
class BubbleLinks {
public:
    virtual ~BubbleLinks() = default;
    // The href of an attachment's file, asked for once per attachment before its image, whatever it shows.
    virtual QString fileLink(const QString& localPath) = 0;
    // The src of an image file that exists (a thumbnail, a card image); "" when it cannot be shown.
    virtual QString imageSource(const QString& imagePath) = 0;
    // The src of the photo placeholder shown when a picture has no thumbnail.
    virtual QString placeholderSource() = 0;
};

// The conversation view's: file URLs, the placeholder beside the program.
class FileUrlLinks : public BubbleLinks {
public:
    QString fileLink(const QString& localPath) override;
    QString imageSource(const QString& imagePath) override;
    QString placeholderSource() override;
};

// The bubble of content (markup already): the sender line when sender is not empty, then a sent
// ("bb2") or received ("bb1") bubble with its nine background cells.
QString makeBubbleHtml(const QString& content, bool sent, const QString& sender);

// A link to href showing the image src; both attribute-ready, attributes as they are.
QString makeImageLinkHtml(const QString& href, const QString& src, const QString& attributes);

// The date line shown above message: its date and time, C locale.
QString dateLineHtml(const _MsgMessage& message);
// The same date and time as plain text, for printed pages.
QString dateLineText(const _MsgMessage& message);

// The name shown above the bubbles of a received message in a group conversation; "" for any other.
QString bubbleSender(const _MsgMessage& message);

// The text of a message's text bubble: a "<Subject:...>" line when it has a subject, then the text
// without attachment marks. Raw: escape it for markup.
QString bubbleText(const _MsgMessage& message);

// The contents of a text attachment shown inline (at most 1 MiB of it, as UTF-8); nothing when the
// file cannot be read.
std::optional<QString> textAttachmentContents(const QString& path);

// The markup of one message without its anchor: a system line, or the date line when due, then its
// bubbles. lastShown is the time (Unix seconds) of the last date line on the page; a message more
// than 60 seconds after or before it gets a date line and moves it on.
QString messageContentHtml(const _MsgMessage& message, qint64& lastShown, BubbleLinks& links);

// The conversation view's markup of one message: its anchor "sms_<rowid>", then its content.
QString messageBubbleHtml(const _MsgMessage& message, qint64& lastShown);

// The whole page p (1-based) of pageCount for messages; "" when p is out of range.
QString bubblePageHtml(const MsgMessageList& messages, int page, int pageCount);
