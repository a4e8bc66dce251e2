#pragma once
// Contact-card pictures: a contact card attached to a message is shown as a small 200 x 90 image with
// its photo, name, title, birthday, phones, e-mail and address. Uses QImage only, so export jobs may
// call it from their threads.
#include "export/vcard.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QStringList>

class QFont;
class QPainter;

// What a card image shows, taken from the first card (the last occurrence of a field wins).
struct CardFields {
    QString name;
    QString birthday;  // as written in the card
    QString address;   // ";" separators kept
    QStringList phones;
    QString email;
    QString title;
    QString organisation;
    QByteArray photo;  // raw decoded bytes
};

CardFields cardFields(const QList<VCard>& cards);

// Title and organisation on one line, trimmed; "" when both are empty.
QString cardTitleLine(const CardFields& fields);

// An ISO 8601 birthday in the system's short date format; "" when it is not an ISO date.
QString cardBirthdayText(const QString& birthday);

// The card photo fitted into size x size, decoded as JPEG, else PNG. Images declaring more than
// 8192 x 8192 pixels are refused before they are decoded; a null image when nothing could be read.
QImage decodeCardPhoto(const QByteArray& bytes, int size);

// Paints one labelled field at (x, y) in a column of width pixels and returns the height it used:
// the label in bold italic, then the value (if any) to its right, on one line or word-wrapped.
int drawCardField(QPainter& painter, QFont font, int x, int y, int width, const QString& label,
                  const QString& value, bool singleLine);

// The 200 x 90 card image of fields.
QImage drawCardImage(const CardFields& fields);

// The path of the JPEG card image of a vCard file, drawn on first use into the private cache folder
// and reused while the file keeps its size and modification time; "" when the file cannot be read
// (or is larger than 16 MiB) or holds no card.
QString renderVCardImage(const QString& vcardPath);

// The folder renderVCardImage writes to, created (owner-only) when missing.
QString cardImageCacheDir();
