#include "export/messagepagepainter.h"

#include "core/assetdir.h"
#include "core/emoji.h"
#include "export/bubblemarkup.h"
#include "export/vcardimage.h"
#include "msgdb/msgutil.h"

#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPagedPaintDevice>
#include <QTextLayout>
#include <QTransform>
#include <QtMath>

#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr QRgb kPageColour = qRgb(219, 226, 237);
constexpr QRgb kLineColour = qRgb(146, 146, 165);
constexpr int kBubbleFontPoints = 12;
constexpr int kSystemFontPoints = 10;
constexpr qint64 kDateLineGap = 60;
constexpr int kDateLineHeight = 22;
constexpr int kDateLineAdvance = 24;
constexpr int kSenderLineHeight = 18;
constexpr int kSenderLineAdvance = 19;
constexpr int kSenderIndent = 25;
constexpr int kPageNumberGap = 2;
constexpr int kPageNumberHeight = 18;
constexpr int kSystemLineGap = 8;
constexpr int kBubbleGap = 10;
constexpr int kMinBubbleWidth = 90;
constexpr int kMinBubbleHeight = 52;
constexpr int kBubbleSideSpace = 50;   // bubble width beyond its text or image
constexpr int kTextBubblePadding = 20; // bubble height beyond its text
constexpr int kImageBubblePadding = 30;
constexpr int kContentTop = 10;        // of the text or image inside a bubble
constexpr double kBubbleWidthShare = 0.8;

int contentLeft(bool sent)
{
    return sent ? 20 : 30;
}

// The application font taken once, at the given size.
QFont fontAt(int points)
{
    static const QFont base = QGuiApplication::font();
    QFont font(base);
    font.setPointSize(points);
    return font;
}

// One cell of the bubble images, prepared once so that drawing it is mostly a plain copy: scaling
// while drawing costs ten times as much per pixel, and bubbles are drawn by the thousand.
struct BubbleCell {
    QImage source;  // as loaded; null when the file is missing
    QImage ready;   // drawn from its top left, cut to the cell; null when the source must be scaled
    QColor fill;    // the colour of a centre of one colour; invalid otherwise
};

// Longer stretches than this are scaled while drawing.
constexpr int kStripLength = 2048;

bool rowsUniform(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 1; x < image.width(); ++x) {
            if (image.pixel(x, y) != image.pixel(0, y))
                return false;
        }
    }
    return true;
}

bool columnsUniform(const QImage& image)
{
    return rowsUniform(image.transformed(QTransform().rotate(90)));
}

// The cell in row and column of the nine-patch: corners at their fixed size, and edges that do not
// change along their stretch as long strips, which give the same pixels as scaling them.
BubbleCell prepareCell(const QImage& source, int row, int column, const NinePatchInsets& insets)
{
    BubbleCell cell{source, QImage(), QColor()};
    if (source.isNull())
        return cell;
    const int width = column == 0 ? insets.left : column == 2 ? insets.right : 0;
    const int height = row == 0 ? insets.top : row == 2 ? insets.bottom : 0;
    if (width && height)
        cell.ready = source.scaled(width, height);
    else if (height && rowsUniform(source))
        cell.ready = source.scaled(1, height).scaled(kStripLength, height);
    else if (width && columnsUniform(source))
        cell.ready = source.scaled(width, 1).scaled(width, kStripLength);
    else if (!width && !height && rowsUniform(source) && columnsUniform(source))
        cell.fill = QColor::fromRgba(qUnpremultiply(source.pixel(0, 0)));
    return cell;
}

std::array<BubbleCell, 9> loadBubbleCells(const char* prefix, const NinePatchInsets& insets)
{
    std::array<BubbleCell, 9> cells;
    for (int i = 0; i < 9; ++i) {
        const QString name = QStringLiteral("bubble/") + QLatin1String(prefix) + QStringLiteral("_0") +
                             QString::number(i + 1) + QStringLiteral(".png");
        // Premultiplied: the format the raster engine draws fastest.
        const QImage source = QImage(assetPath(name)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        cells[size_t(i)] = prepareCell(source, i / 3, i % 3, insets);
    }
    return cells;
}

// The nine cells of a received ("bb1") or sent ("bb2") bubble; a missing file leaves its cell unpainted.
const std::array<BubbleCell, 9>& bubbleCells(bool sent)
{
    static const std::array<std::array<BubbleCell, 9>, 2> cells = {loadBubbleCells("bb1", bubbleInsets(false)),
                                                                   loadBubbleCells("bb2", bubbleInsets(true))};
    return cells[sent ? 1 : 0];
}

void drawCell(QPainter& painter, const QRect& target, const BubbleCell& cell)
{
    if (cell.source.isNull() || target.isEmpty())
        return;
    if (!cell.ready.isNull() && target.width() <= cell.ready.width() && target.height() <= cell.ready.height())
        painter.drawImage(target.topLeft(), cell.ready, QRect(QPoint(0, 0), target.size()));
    else if (cell.fill.isValid())
        painter.fillRect(target, cell.fill);
    else
        painter.drawImage(target, cell.source);
}

const QImage& emptyPhoto()
{
    static const QImage image(assetPath(QStringLiteral("bubble/empty_photo.jpg")));
    return image;
}

// An image file as JPEG, else PNG, else the photo placeholder. A missing file is not tried: the image
// reader would look for it under a dozen suffixes.
QImage loadPicture(const QString& path)
{
    QImage image;
    if (QFileInfo(path).isFile() && (image.load(path, "JPEG") || image.load(path, "PNG")))
        return image;
    return emptyPhoto();
}

// Line breaks as the layout knows them; a CR alone counts as a space, as in QPainter::drawText.
QString layoutText(QString text)
{
    text.replace(QLatin1Char('\r'), QLatin1Char(' '));
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    return text;
}

// Text broken into lines no wider than a width: between words where possible, else anywhere. Runs of
// whole lines can be drawn on their own, which is how a long text goes on across pages.
class WrappedText {
public:
    WrappedText(const QString& text, const QFont& font, QPaintDevice* device, int width, Qt::Alignment alignment)
        : m_layout(layoutText(text), font, device)
    {
        QTextOption option(alignment);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        m_layout.setTextOption(option);
        m_layout.beginLayout();
        qreal y = 0;
        for (QTextLine line = m_layout.createLine(); line.isValid(); line = m_layout.createLine()) {
            line.setLineWidth(qMax(1, width));
            line.setPosition(QPointF(0, y));
            y += line.height();
        }
        m_layout.endLayout();
    }

    int lineCount() const { return m_layout.lineCount(); }

    // The widest of lines [first, last), rounded up.
    int width(int first, int last) const
    {
        qreal widest = 0;
        for (int i = first; i < last; ++i)
            widest = qMax(widest, m_layout.lineAt(i).naturalTextWidth());
        return qCeil(widest);
    }

    int height(int first, int last) const
    {
        if (first >= last)
            return 0;
        const QTextLine end = m_layout.lineAt(last - 1);
        return qCeil(end.y() + end.height() - m_layout.lineAt(first).y());
    }

    // The end of the longest run of lines from first that is at most maxHeight high (first when not
    // even one line is).
    int fit(int first, int maxHeight) const
    {
        int end = first;
        while (end < lineCount() && height(first, end + 1) <= maxHeight)
            ++end;
        return end;
    }

    // Draws lines [first, last) with the top of the first at topLeft, in the painter's pen.
    void draw(QPainter& painter, const QPointF& topLeft, int first, int last) const
    {
        if (first >= last)
            return;
        const QPointF origin = topLeft - QPointF(0, m_layout.lineAt(first).y());
        for (int i = first; i < last; ++i)
            m_layout.lineAt(i).draw(&painter, origin);
    }

private:
    QTextLayout m_layout;
};

using LineRun = std::pair<int, int>;  // [first, last)

// Runs of lines that each take at most maxHeight once padding is added, the first at most firstHeight
// (or none there when not even one line fits); every run holds one line at the least. Text that fits
// in maxHeight whole is one run.
std::vector<LineRun> splitLines(const WrappedText& text, int padding, int firstHeight, int maxHeight)
{
    const int count = text.lineCount();
    if (text.height(0, count) + padding <= maxHeight)
        return {{0, count}};
    std::vector<LineRun> runs;
    int limit = firstHeight;
    for (int line = 0; line < count;) {
        int end = text.fit(line, limit - padding);
        if (end == line) {
            if (limit != maxHeight) {
                limit = maxHeight;  // nothing fits in the first room: start in the next
                continue;
            }
            end = line + 1;  // a line taller than any room still goes somewhere
        }
        runs.emplace_back(line, end);
        line = end;
        limit = maxHeight;
    }
    return runs;
}

// Text laid out for a bubble at most maxWidth wide; bubble images have a plain image's resolution.
WrappedText wrapForBubble(const QString& text, int maxWidth)
{
    QImage resolution(1, 1, QImage::Format_RGB32);
    return WrappedText(text, fontAt(kBubbleFontPoints), &resolution, maxWidth - kBubbleSideSpace, Qt::AlignLeft);
}

// Bubbles are opaque: the page colour shows around the rounded cells.
QImage blankBubble(const QSize& size)
{
    QImage bubble(size, QImage::Format_RGB32);
    bubble.fill(kPageColour);
    return bubble;
}

QImage textBubble(const WrappedText& text, const LineRun& run, bool sent)
{
    QImage bubble = blankBubble(QSize(qMax(text.width(run.first, run.second) + kBubbleSideSpace, kMinBubbleWidth),
                                      qMax(text.height(run.first, run.second) + kTextBubblePadding, kMinBubbleHeight)));
    QPainter painter(&bubble);
    MessagePagePainter::drawNinePatch(&painter, bubble.rect(), sent);
    painter.setPen(Qt::black);
    text.draw(painter, QPointF(contentLeft(sent), kContentTop), run.first, run.second);
    painter.end();
    return bubble;
}

}  // namespace

NinePatchInsets bubbleInsets(bool sent)
{
    return sent ? NinePatchInsets{27, 41, 25, 29} : NinePatchInsets{28, 29, 24, 40};
}

std::array<QRect, 9> ninePatchCells(const QRect& rect, const NinePatchInsets& insets)
{
    const int x1 = rect.left();
    const int y1 = rect.top();
    const int x2 = rect.right();
    const int y2 = rect.bottom();
    const int columns[3][2] = {{x1, insets.left},
                               {x1 + insets.left, x2 - insets.right - x1 - insets.left + 1},
                               {x2 - insets.right, insets.right}};
    const int rows[3][2] = {{y1, insets.top},
                            {y1 + insets.top, y2 - insets.bottom - y1 - insets.top + 1},
                            {y2 - insets.bottom, insets.bottom}};
    std::array<QRect, 9> cells;
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column)
            cells[size_t(row * 3 + column)] = QRect(columns[column][0], rows[row][0], columns[column][1], rows[row][1]);
    }
    return cells;
}

void MessagePagePainter::drawNinePatch(QPainter* painter, const QRect& rect, bool sent)
{
    const std::array<QRect, 9> targets = ninePatchCells(rect, bubbleInsets(sent));
    const std::array<BubbleCell, 9>& cells = bubbleCells(sent);
    for (size_t i = 0; i < targets.size(); ++i)
        drawCell(*painter, targets[i], cells[i]);
}

QImage MessagePagePainter::drawImageBubble(const QImage& image, bool sent)
{
    if (image.isNull())
        return image;
    const QSize size(qMax(image.width() + kBubbleSideSpace, kMinBubbleWidth),
                     qMax(image.height() + kImageBubblePadding, kMinBubbleHeight));
    QImage bubble = blankBubble(size);
    QPainter painter(&bubble);
    drawNinePatch(&painter, bubble.rect(), sent);
    // At its own size: stretching it to fill the bubble would distort it.
    painter.drawImage(QPoint(contentLeft(sent), kContentTop), image);
    painter.end();
    return bubble;
}

QImage MessagePagePainter::drawTextBubble(const QString& text, int maxWidth, bool sent)
{
    const WrappedText wrapped = wrapForBubble(text, maxWidth);
    return textBubble(wrapped, {0, wrapped.lineCount()}, sent);
}

QList<QImage> MessagePagePainter::drawTextBubbles(const QString& text, int maxWidth, bool sent, int firstHeight,
                                                  int maxHeight)
{
    const WrappedText wrapped = wrapForBubble(text, maxWidth);
    QList<QImage> bubbles;
    for (const LineRun& run : splitLines(wrapped, kTextBubblePadding, firstHeight, maxHeight))
        bubbles.append(textBubble(wrapped, run, sent));
    return bubbles;
}

bool MessagePagePainter::begin(QPagedPaintDevice* device)
{
    m_device = device;
    const QPageLayout layout = device->pageLayout();
    const QMarginsF margins = layout.margins(QPageLayout::Point);
    const QRect page = layout.paintRectPixels(device->logicalDpiX());
    // The margins count once more inside the page's own paint rectangle: that is the look of the pages.
    m_content = QRect(int(margins.left()), int(margins.top()), int(page.width() - margins.left() - margins.right()),
                      int(page.height() - margins.top() - margins.bottom()));
    m_y = m_content.top();
    m_page = 1;
    m_lastDateTime = 0;
    m_failed = false;
    if (!m_painter.begin(device))
        return false;
    m_painter.setFont(fontAt(kBubbleFontPoints));
    m_painter.setPen(QColor(kLineColour));
    m_painter.fillRect(m_content, QColor(kPageColour));
    drawPageNumber();
    return true;
}

bool MessagePagePainter::end()
{
    if (!m_painter.isActive())
        return false;  // never begun, or ended already
    const bool ended = m_painter.end();
    return ended && !m_failed;
}

int MessagePagePainter::pageRoom() const
{
    return m_content.height() - m_content.top();
}

int MessagePagePainter::roomLeft() const
{
    // Measured from the content's height rather than its bottom, so every page keeps a free band
    // as high as the top margin above its bottom edge.
    return m_content.height() - m_y;
}

void MessagePagePainter::ensureSpace(int height)
{
    if (roomLeft() >= height)
        return;
    startPage();
}

void MessagePagePainter::startPage()
{
    if (!m_device->newPage())
        m_failed = true;
    m_painter.fillRect(m_content, QColor(kPageColour));
    m_y = m_content.top();
    ++m_page;
    drawPageNumber();
}

void MessagePagePainter::drawPageNumber()
{
    const QRect area(m_content.left(), m_content.bottom() + kPageNumberGap, m_content.width(), kPageNumberHeight);
    m_painter.drawText(area, Qt::AlignRight, QString::number(m_page));
}

int MessagePagePainter::bubbleMaxWidth() const
{
    return int(m_content.width() * kBubbleWidthShare);
}

void MessagePagePainter::drawMessage(const _MsgMessage& message)
{
    if (!isActive())
        return;
    if (message.item_type != 0) {
        drawSystemLine(message);
        return;
    }
    drawDateLine(message);
    const QString sender = bubbleSender(message);
    const bool sent = message.is_from_me != 0;
    QString text = bubbleText(message);
    replaceEmoji(text, emojiPlaceholder);
    if (!text.isEmpty() || message.attachments.isEmpty()) {
        drawSenderLine(sender);
        placeTextBubbles(text, sent);
    }
    for (const _MsgAttachment* attachment : message.sortedAttachments()) {
        drawSenderLine(sender);
        drawAttachment(*attachment, sent);
    }
}

void MessagePagePainter::drawSystemLine(const _MsgMessage& message)
{
    m_painter.setFont(fontAt(kSystemFontPoints));
    const WrappedText text(messagePlainText(&message), m_painter.font(), m_device, m_content.width(),
                           Qt::AlignHCenter);
    for (const LineRun& run : splitLines(text, kSystemLineGap, roomLeft(), pageRoom())) {
        const int height = text.height(run.first, run.second);
        ensureSpace(height + kSystemLineGap);
        text.draw(m_painter, QPointF(m_content.left(), m_y), run.first, run.second);
        m_y += height + kSystemLineGap;
    }
    m_painter.setFont(fontAt(kBubbleFontPoints));
}

void MessagePagePainter::drawDateLine(const _MsgMessage& message)
{
    const qint64 time = qint64(message.date) + kAppleEpochOffset;
    if (time - m_lastDateTime <= kDateLineGap)
        return;
    m_lastDateTime = time;
    ensureSpace(kDateLineAdvance);
    m_painter.drawText(QRect(m_content.left(), m_y, m_content.width(), kDateLineHeight), Qt::AlignCenter,
                       dateLineText(message));
    m_y += kDateLineAdvance;
}

void MessagePagePainter::drawSenderLine(const QString& sender)
{
    if (sender.isEmpty())
        return;
    ensureSpace(kSenderLineAdvance);
    const QRect area(m_content.left() + kSenderIndent, m_y, m_content.width() - 2 * kSenderIndent,
                     kSenderLineHeight);
    m_painter.drawText(area, Qt::AlignLeft, m_painter.fontMetrics().elidedText(sender, Qt::ElideRight, area.width()));
    m_y += kSenderLineAdvance;
}

void MessagePagePainter::placeBubble(const QImage& bubble, bool sent)
{
    if (!bubble.isNull()) {
        ensureSpace(bubble.height());
        const int x = sent ? m_content.right() - bubble.width() : m_content.left();
        m_painter.drawImage(QPoint(x, m_y), bubble);
    }
    m_y += bubble.height() + kBubbleGap;
}

void MessagePagePainter::placeTextBubbles(const QString& text, bool sent)
{
    // A text longer than a page starts in the room left on this one, unless that is too small for
    // even a short bubble.
    const int left = roomLeft();
    const int first = left >= kMinBubbleHeight ? left : pageRoom();
    for (const QImage& bubble : drawTextBubbles(text, bubbleMaxWidth(), sent, first, pageRoom()))
        placeBubble(bubble, sent);
}

void MessagePagePainter::drawAttachment(const _MsgAttachment& attachment, bool sent)
{
    const QString mime = attachment.mime_type.toLower();
    const QString path = attachment.localPath.path();
    if (mime.startsWith(QLatin1String("image/"))) {
        placeBubble(drawImageBubble(loadPicture(attachmentThumbnail(&attachment)), sent), sent);
    } else if (mime.startsWith(QLatin1String("video/"))) {
        placeTextBubbles(QStringLiteral("[VIDEO]"), sent);
    } else if (mime.startsWith(QLatin1String("audio/"))) {
        placeTextBubbles(QStringLiteral("[AUDIO]"), sent);
    } else if (mime == QLatin1String("text/x-vcard") || mime == QLatin1String("text/vcard")) {
        const QString card = renderVCardImage(path);
        if (!card.isEmpty() && QFileInfo(card).isFile())
            placeBubble(drawImageBubble(loadPicture(card), sent), sent);
        else
            placeTextBubbles(QStringLiteral("[VCARD]"), sent);
    } else if (mime == QLatin1String("text/plain")) {
        // Unreadable: no bubble, only its gap.
        const std::optional<QString> contents = textAttachmentContents(path);
        if (contents)
            placeTextBubbles(*contents, sent);
        else
            placeBubble(QImage(), sent);
    } else {
        placeTextBubbles(QStringLiteral("[ATTACHMENT]"), sent);
    }
}
