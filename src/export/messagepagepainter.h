#pragma once
// Messages drawn as a chat transcript on the pages of any paged device (a PDF writer, a printer): date
// lines when time has passed, grey system lines, the sender's name in group conversations, and each
// text and attachment as a speech bubble, sent ones on the right and received ones on the left. Every
// page carries its number.
//
// Bubbles are built as images from a nine-patch of the bubble images in bubble/ and then placed on the
// page, so the painter uses QImage only and may run on an export job's thread.
//
// Nothing is cut off at a page's edge: a text bubble taller than a page goes on in further bubbles on
// the following pages, split between lines, and a word wider than a bubble is broken anywhere.
#include "msgdb/records.h"

#include <QImage>
#include <QList>
#include <QPainter>
#include <QRect>
#include <QString>

#include <array>

class QPagedPaintDevice;

// The insets of a bubble's nine-patch: the heights of its top and bottom rows, the widths of its left
// and right columns.
struct NinePatchInsets {
    int top;
    int right;
    int bottom;
    int left;
};

// The insets of the sent and the received bubble images.
NinePatchInsets bubbleInsets(bool sent);

// The nine cells of rect in reading order (top left, top, top right, ..., bottom right). The middle
// column and row reach one unit into the right column and the bottom row, which end one unit inside
// rect's outer edge: the bubble images were cut for that overlap.
std::array<QRect, 9> ninePatchCells(const QRect& rect, const NinePatchInsets& insets);

class MessagePagePainter {
public:
    // Prepares the first page of device: its background and page number. False when painting cannot
    // begin on it (a file that cannot be written); then nothing is drawn.
    bool begin(QPagedPaintDevice* device);
    // Starts a new page unless height still fits below the current position.
    void ensureSpace(int height);
    void drawMessage(const _MsgMessage& message);
    // Finishes the document; false when the device reported a failure.
    bool end();

    bool isActive() const { return m_painter.isActive(); }

    // The bubble builders, usable without a page.
    static void drawNinePatch(QPainter* painter, const QRect& rect, bool sent);
    // image in a bubble at its own size; a null image stays null.
    static QImage drawImageBubble(const QImage& image, bool sent);
    // The bubble of text, word-wrapped to fit maxWidth, whatever its height.
    static QImage drawTextBubble(const QString& text, int maxWidth, bool sent);
    // The bubbles of text split between lines: the first at most firstHeight high (none fits there when
    // even one line does not), every further one at most maxHeight (one line each at the least).
    static QList<QImage> drawTextBubbles(const QString& text, int maxWidth, bool sent, int firstHeight,
                                         int maxHeight);

private:
    // The height a piece may have on a page of its own.
    int pageRoom() const;
    // The height left below the current position.
    int roomLeft() const;
    void startPage();
    void drawPageNumber();
    void drawSystemLine(const _MsgMessage& message);
    void drawDateLine(const _MsgMessage& message);
    void drawSenderLine(const QString& sender);
    void placeBubble(const QImage& bubble, bool sent);
    void placeTextBubbles(const QString& text, bool sent);
    void drawAttachment(const _MsgAttachment& attachment, bool sent);
    int bubbleMaxWidth() const;

    QPagedPaintDevice* m_device = nullptr;  // not owned
    QPainter m_painter;
    QRect m_content;
    int m_y = 0;
    int m_page = 0;
    qint64 m_lastDateTime = 0;  // Unix seconds of the last date line
    bool m_failed = false;
};
