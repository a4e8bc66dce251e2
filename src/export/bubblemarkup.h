#pragma once
// The markup of messages as speech bubbles, 50 messages to a page. The conversation view shows it; it
// lives below the user interface so an HTML export can share it. Assets go by relative paths
// ("bubble/style.css", "emoji/*.png") from the page's base folder; attachments are file URLs.
// Message texts come from other people: every part taken from data is escaped.
#include "msgdb/records.h"

#include <QString>

#include <optional>

constexpr int kBubblePageSize = 50;

// The bubble of content (markup already): the sender line when sender is not empty, then a sent
// ("bb2") or received ("bb1") bubble with its nine background cells.
QString makeBubbleHtml(const QString& content, bool sent, const QString& sender);

// A link to file showing thumbnail (or the photo placeholder when there is no such file).
QString makeImageLinkHtml(const QString& file, const QString& thumbnail, const QString& attributes);

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

// The markup of one message. lastShown is the time (Unix seconds) of the last date line on the page;
// a message more than 60 seconds after or before it gets a date line and moves it on.
QString messageBubbleHtml(const _MsgMessage& message, qint64& lastShown);

// The whole page p (1-based) of pageCount for messages; "" when p is out of range.
QString bubblePageHtml(const MsgMessageList& messages, int page, int pageCount);
