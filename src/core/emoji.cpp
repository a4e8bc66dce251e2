#include "core/emoji.h"

#include <QRegularExpression>

#include <algorithm>
#include <array>

namespace {

// Symbols of the Basic Multilingual Plane that the older encoding also treats as emoji, ascending.
constexpr std::array<char16_t, 44> kSymbolEmoji = {
    0x203C, 0x2049, 0x2139, 0x2194, 0x2195, 0x21A9, 0x21AA, 0x231A, 0x231B, 0x23EB, 0x23EC,
    0x23F0, 0x23F3, 0x24C2, 0x25AA, 0x25AB, 0x25FB, 0x25FC, 0x25FD, 0x25FE, 0x2611, 0x267B,
    0x2693, 0x26AA, 0x26AB, 0x26C5, 0x26D4, 0x2705, 0x2709, 0x270F, 0x2712, 0x2714, 0x2744,
    0x2747, 0x274E, 0x2795, 0x2796, 0x2797, 0x27B0, 0x2934, 0x2935, 0x2B1B, 0x2B1C, 0x3030};

constexpr char16_t kFirstPrivateEmoji = 0xE000;
constexpr char16_t kLastPrivateEmoji = 0xE537;

static_assert(kSymbolEmoji.front() < kFirstPrivateEmoji && kSymbolEmoji.front() < 0xD83C,
              "the scan of replaceEmoji passes over every unit below the first symbol");

bool isEmojiHighSurrogate(char16_t unit)
{
    return unit == 0xD83C || unit == 0xD83D;
}

bool isLowSurrogate(char16_t unit)
{
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

QString upperHex(uint codePoint)
{
    return QString::number(codePoint, 16).toUpper();
}

// The single UTF-16 units that are emoji of the older encoding.
bool isSingleUnitEmoji(char16_t unit)
{
    if (unit >= kFirstPrivateEmoji && unit <= kLastPrivateEmoji)
        return true;
    return std::binary_search(kSymbolEmoji.begin(), kSymbolEmoji.end(), unit);
}

}  // namespace

QString regExpReplaceAll(const QString& source, const QRegularExpression& pattern, MatchFunction match,
                         EmojiHandler* handler)
{
    QString result;
    int pos = 0;
    auto it = pattern.globalMatch(source);
    while (it.hasNext()) {
        const QRegularExpressionMatch found = it.next();
        if (found.capturedLength() == 0)
            continue;
        result += source.midRef(pos, found.capturedStart() - pos);
        result += match(found, handler);
        pos = found.capturedEnd();
    }
    result += source.midRef(pos);
    return result;
}

// One scan does the work of both passes: single-unit emoji and D83C/D83D pairs never overlap, and
// the callback's own output is not scanned again.
QString replaceEmoji(QString& text, EmojiCallback callback, void* userData)
{
    if (!callback)
        return text;
    QString result;
    const int size = text.size();
    int copiedUpTo = 0;
    for (int i = 0; i < size; ++i) {
        const char16_t unit = text.at(i).unicode();
        // Every emoji unit, and the first half of every emoji pair, lies above this: most text is
        // passed over with one comparison per unit.
        if (unit < kSymbolEmoji.front())
            continue;
        QString replacement;
        int length = 1;
        if (isSingleUnitEmoji(unit)) {
            replacement = callback(userData, upperHex(unit));
        } else if (isEmojiHighSurrogate(unit) && i + 1 < size && isLowSurrogate(text.at(i + 1).unicode())) {
            replacement = callback(userData, upperHex(QChar::surrogateToUcs4(unit, text.at(i + 1).unicode())));
            length = 2;
        } else {
            continue;
        }
        if (result.isNull())
            result.reserve(size);
        result += text.midRef(copiedUpTo, i - copiedUpTo);
        result += replacement;
        i += length - 1;
        copiedUpTo = i + 1;
    }
    if (copiedUpTo == 0)
        return text;  // nothing found: keep sharing the original text
    result += text.midRef(copiedUpTo);
    text = result;
    return text;
}

QString emojiPlaceholder(void*, const QString&)
{
    return QStringLiteral("[EMOJI]");
}

QString emojiImageTag(void*, const QString& hexCode)
{
    return QStringLiteral("<img src=\"emoji/%1.png\" />").arg(hexCode);
}
