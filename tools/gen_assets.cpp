// Builds the files that sit beside the program: bubble/ (the conversation view's style sheet, the
// bubble images and the photo placeholder) and emoji/ (one PNG per emoji code point the emoji markup
// recognises, drawn from the Noto Color Emoji font).
//
//   tm_gen_assets --out DIR --css style.css --font NotoColorEmoji.ttf --sources EmojiSources.txt
//                 [--licence copyright-file]
//
// Emoji of the older private-use encoding (U+E001..U+E537) are found through the SoftBank column of
// EmojiSources.txt, whose Shift-JIS codes map onto the private-use block in rows of 94 codes. Code
// points the font has no glyph for get no file: the markup then shows its alternative text.
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QMap>
#include <QPainter>
#include <QPainterPath>
#include <QRawFont>
#include <QTextStream>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kEmojiSide = 32;     // the style sheet shows them at 20 px; the rest is for zoom and print
constexpr int kRenderSize = 109;   // the font's bitmap strike
constexpr int kRenderCanvas = 136;
constexpr int kBubbleCorner = 12;  // each of the nine bubble slices is a square of this side

// Symbols of the Basic Multilingual Plane that the emoji markup also treats as emoji.
constexpr std::array<char32_t, 44> kSymbolEmoji = {
    0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB, 0x23EC,
    0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE, 0x2611, 0x267B,
    0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744,
    0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030};

void fail(const QString& message)
{
    std::fprintf(stderr, "tm_gen_assets: %s\n", qPrintable(message));
    std::exit(1);
}

// The private-use code of a SoftBank Shift-JIS code, or 0 when it is outside the emoji rows.
// Rows start at F941, F741, F7A1, F9A1, FB41 and FBA1 (E001, E101, ..., E501); the trail byte 0x7F
// is not used in Shift-JIS and is skipped.
uint softBankToPrivateUse(uint sjis)
{
    const uint lead = sjis >> 8;
    const uint trail = sjis & 0xFF;
    const bool upperHalf = trail >= 0xA1;
    uint rowBase = 0;
    if (lead == 0xF9)
        rowBase = upperHalf ? 0xE300 : 0xE000;
    else if (lead == 0xF7)
        rowBase = upperHalf ? 0xE200 : 0xE100;
    else if (lead == 0xFB)
        rowBase = upperHalf ? 0xE500 : 0xE400;
    else
        return 0;
    if (trail < 0x41 || trail == 0x7F || trail > 0xFE)
        return 0;
    uint offset = trail - (upperHalf ? 0xA1 : 0x41);
    if (!upperHalf && trail > 0x7F)
        --offset;
    return rowBase + 1 + offset;
}

// Private-use code -> the standard emoji text it stands for.
QMap<uint, QString> readPrivateUseEmoji(const QString& sourcesPath)
{
    QFile file(sourcesPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        fail(QStringLiteral("cannot read %1").arg(sourcesPath));
    QMap<uint, QString> map;
    QTextStream in(&file);
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char(';'));
        if (fields.size() < 4 || fields.at(3).trimmed().isEmpty())
            continue;
        bool ok = false;
        const uint code = softBankToPrivateUse(fields.at(3).trimmed().toUInt(&ok, 16));
        if (!ok || code == 0)
            continue;
        QString text;
        for (const QString& hex : fields.at(0).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const char32_t cp = hex.toUInt(&ok, 16);
            if (ok)
                text += QString::fromUcs4(&cp, 1);
        }
        if (!text.isEmpty())
            map.insert(code, text);
    }
    return map;
}

bool hasInk(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(row[x]) != 0)
                return true;
    }
    return false;
}

class EmojiRenderer {
public:
    explicit EmojiRenderer(const QString& fontPath)
        : m_raw(fontPath, kRenderSize)
    {
        const int id = QFontDatabase::addApplicationFont(fontPath);
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (!m_raw.isValid() || families.isEmpty())
            fail(QStringLiteral("cannot load the emoji font %1").arg(fontPath));
        m_font = QFont(families.first());
        m_font.setPixelSize(kRenderSize);
        m_font.setStyleStrategy(QFont::NoFontMerging);  // a missing glyph must not come from another font
    }

    // The emoji image of text, or a null image when the font has no glyph for its first code point.
    QImage render(const QString& text) const
    {
        if (!m_raw.supportsCharacter(text.toUcs4().value(0)))
            return QImage();
        QImage canvas(kRenderCanvas, kRenderCanvas, QImage::Format_ARGB32_Premultiplied);
        canvas.fill(Qt::transparent);
        QPainter painter(&canvas);
        painter.setFont(m_font);
        painter.drawText(canvas.rect(), Qt::AlignCenter, text);
        painter.end();
        if (!hasInk(canvas))
            return QImage();
        return canvas.scaled(kEmojiSide, kEmojiSide, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }

private:
    QRawFont m_raw;
    QFont m_font;
};

void save(const QImage& image, const QString& path)
{
    if (!image.save(path))
        fail(QStringLiteral("cannot write %1").arg(path));
}

int writeEmoji(const QString& dir, const QString& fontPath, const QString& sourcesPath)
{
    const EmojiRenderer renderer(fontPath);
    QMap<uint, QString> emoji = readPrivateUseEmoji(sourcesPath);
    for (const char32_t cp : kSymbolEmoji)
        emoji.insert(cp, QString::fromUcs4(&cp, 1));
    for (char32_t cp = 0x1F000; cp <= 0x1F7FF; ++cp)
        emoji.insert(cp, QString::fromUcs4(&cp, 1));
    int written = 0;
    for (auto it = emoji.constBegin(); it != emoji.constEnd(); ++it) {
        const QImage image = renderer.render(it.value());
        if (image.isNull())
            continue;
        save(image, QDir(dir).filePath(QString::number(it.key(), 16).toUpper() + QStringLiteral(".png")));
        ++written;
    }
    return written;
}

// The nine slices of a rounded bubble, numbered row by row: 01 top left .. 09 bottom right.
void writeBubbleSlices(const QString& dir, const QString& prefix, const QColor& fill, const QColor& edge)
{
    const int side = 3 * kBubbleCorner;
    QImage whole(side, side, QImage::Format_ARGB32_Premultiplied);
    whole.fill(Qt::transparent);
    QPainter painter(&whole);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(edge, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(QRectF(0.5, 0.5, side - 1, side - 1), kBubbleCorner - 1, kBubbleCorner - 1);
    painter.end();
    for (int i = 0; i < 9; ++i) {
        const QRect slice((i % 3) * kBubbleCorner, (i / 3) * kBubbleCorner, kBubbleCorner, kBubbleCorner);
        save(whole.copy(slice), QDir(dir).filePath(QStringLiteral("%1_0%2.png").arg(prefix).arg(i + 1)));
    }
}

// A neutral picture frame shown where an image attachment has no thumbnail.
void writeEmptyPhoto(const QString& path)
{
    QImage image(120, 90, QImage::Format_RGB32);
    image.fill(QColor(236, 238, 242));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(190, 195, 204), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(30, 20, 60, 50), 4, 4);
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(190, 195, 204));
    painter.drawEllipse(QPointF(74, 34), 6, 6);
    QPainterPath hills;
    hills.moveTo(32, 68);
    hills.lineTo(50, 44);
    hills.lineTo(62, 58);
    hills.lineTo(70, 50);
    hills.lineTo(88, 68);
    hills.closeSubpath();
    painter.drawPath(hills);
    painter.end();
    if (!image.save(path, "JPEG", 90))
        fail(QStringLiteral("cannot write %1").arg(path));
}

void copyFile(const QString& from, const QString& to)
{
    QFile::remove(to);
    if (!QFile::copy(from, to))
        fail(QStringLiteral("cannot copy %1 to %2").arg(from, to));
}

QString makeDir(const QString& path)
{
    if (!QDir().mkpath(path))
        fail(QStringLiteral("cannot create %1").arg(path));
    return path;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOption({QStringLiteral("out"), QStringLiteral("Output folder."), QStringLiteral("dir")});
    parser.addOption({QStringLiteral("css"), QStringLiteral("The bubble style sheet."), QStringLiteral("file")});
    parser.addOption({QStringLiteral("font"), QStringLiteral("The colour emoji font."), QStringLiteral("file")});
    parser.addOption({QStringLiteral("sources"), QStringLiteral("EmojiSources.txt."), QStringLiteral("file")});
    parser.addOption({QStringLiteral("licence"), QStringLiteral("The font's licence."), QStringLiteral("file")});
    parser.process(app);
    for (const char* required : {"out", "css", "font", "sources"})
        if (parser.value(QLatin1String(required)).isEmpty())
            fail(QStringLiteral("--%1 is required").arg(QLatin1String(required)));

    const QDir out(parser.value(QStringLiteral("out")));
    const QString bubble = makeDir(out.filePath(QStringLiteral("bubble")));
    const QString emoji = makeDir(out.filePath(QStringLiteral("emoji")));

    copyFile(parser.value(QStringLiteral("css")), QDir(bubble).filePath(QStringLiteral("style.css")));
    writeBubbleSlices(bubble, QStringLiteral("bb1"), QColor(233, 233, 235), QColor(218, 218, 222));
    writeBubbleSlices(bubble, QStringLiteral("bb2"), QColor(207, 227, 255), QColor(186, 210, 245));
    writeEmptyPhoto(QDir(bubble).filePath(QStringLiteral("empty_photo.jpg")));

    const int count = writeEmoji(emoji, parser.value(QStringLiteral("font")), parser.value(QStringLiteral("sources")));
    if (count == 0)
        fail(QStringLiteral("the emoji font gave no images"));
    if (!parser.value(QStringLiteral("licence")).isEmpty())
        copyFile(parser.value(QStringLiteral("licence")), QDir(emoji).filePath(QStringLiteral("LICENSE.txt")));
    std::printf("tm_gen_assets: %d emoji images\n", count);
    return 0;
}
