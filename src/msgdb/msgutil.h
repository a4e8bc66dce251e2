#pragma once
// Helpers every consumer of message records shares: the text of a message for lists and exports,
// the content hash and the identifiers written into databases, iOS dates, the archived rich text of an
// attachment message, the sort orders and attachment thumbnails.
//
// The hash and the identifiers are stored in databases and compared on later runs: their byte layout
// must never change.
#include "msgdb/records.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <ctime>

// Seconds between the Unix epoch and 2001-01-01 00:00:00 UTC, the epoch of iOS dates.
constexpr qint64 kAppleEpochOffset = 978307200;

// The text of a message for lists and exports: a sentence for a system event (join, rename, leave,
// location sharing, other), else the visible text with one tag per attachment (" [IMAGE]", ...), trimmed.
QString messageSummary(const _MsgMessage* message);
// messageSummary with every emoji replaced by "[EMOJI]".
QString messagePlainText(const _MsgMessage* message);

// 32 lower-case hex digits identifying a message by its content, so the same message is found in
// another database: the guid for a system event; otherwise sender, date, direction, visible text and
// the attachment file names. Two genuinely identical messages (same sender, second and text) share it.
QString messageLogicHash(const _MsgMessage* message);

// "chat" followed by 18 characters derived from key: digits, and a rare "-" where a part is -2147483648.
QString makeChatRoomName(const QString& key);
// A random GUID: 36 upper-case characters, 8-4-4-4-12.
QString newGuid();
// The GUID derived from data's MD5: 36 upper-case characters, 8-4-4-4-12.
QString guidFromMd5(const QByteArray& data);

// An iOS date (seconds since 2001-01-01 UTC) in local time.
QDateTime appleTimeToDateTime(int seconds);
// The same local time broken down by localtime_r, which looks the time zone up once per process
// where QDateTime looks at it for every date. False when the date has no local time.
bool appleLocalTime(int seconds, std::tm& local);
// The local date and time of an iOS date as messages show it, in the C locale: "04 Sep 2013 3:06 PM".
QString appleTimeText(int seconds);

// The archived rich text of a message made of one attachment. attachmentGuid must be a GUID of 36
// bytes; anything else gives an empty array (the archive stores the length in one fixed byte).
QByteArray makeAttributedBody(const QString& attachmentGuid);

// Sort predicates: true when a goes before b. messageLessThan is not a strict weak ordering (a cycle
// a < b < c < a is possible), so sort messages only with std::stable_sort, never std::sort, or use
// sortMessages.
// By date when the sort keys are more than 20 apart or the dates more than 120 s apart, else by key.
bool messageLessThan(const _MsgMessage* a, const _MsgMessage* b);
// Newest first: messageLessThan(b, a), so equivalent messages keep their order.
bool messageNotLessThan(const _MsgMessage* a, const _MsgMessage* b);

// Sorts messages in the standard message order (std::stable_sort), or newest first.
void sortMessages(MsgMessageList& messages, bool newestFirst = false);

// The path of the thumbnail of an attachment's image (longer side 120 px, in the format that read
// it: JPEG, else PNG) in a private per-user cache folder, made on first use. The name depends on the
// file's path, size and modification time, so a changed file gets a new thumbnail. The path is
// returned also when no thumbnail could be made; callers test for the file.
QString attachmentThumbnail(const _MsgAttachment* attachment);

// The folder attachmentThumbnail writes to, created (owner-only) when missing.
QString thumbnailCacheDir();
