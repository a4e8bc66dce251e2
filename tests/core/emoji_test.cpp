#include "core/emoji.h"

#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QStringList>

#include <gtest/gtest.h>

namespace {

// Records every code handed to it and answers "<HEX>".
QString recordingCallback(void* userData, const QString& hexCode)
{
    static_cast<QStringList*>(userData)->append(hexCode);
    return QStringLiteral("<%1>").arg(hexCode);
}

QString replaced(const QString& input, QStringList* calls)
{
    QString text = input;
    const QString result = replaceEmoji(text, recordingCallback, calls);
    EXPECT_EQ(text, result) << "the result is stored back into the text";
    return result;
}

QString u(std::initializer_list<char16_t> units)
{
    QString text;
    for (const char16_t unit : units)
        text += QChar(unit);
    return text;
}

TEST(ReplaceEmoji, TextWithoutEmojiIsUnchangedAndNoCallbackRuns)
{
    QStringList calls;
    EXPECT_EQ(replaced(QString(), &calls), QString());
    EXPECT_EQ(replaced(QString::fromUtf8("Plain text, © 2024 ™, ü and 中文"), &calls),
              QString::fromUtf8("Plain text, © 2024 ™, ü and 中文"));
    EXPECT_TRUE(calls.isEmpty());
}

TEST(ReplaceEmoji, SingleUnitsOfTheOlderEncoding)
{
    QStringList calls;
    EXPECT_EQ(replaced(u({0xE001, 'x', 0x2714, 0x203C, 0x3030}), &calls),
              QStringLiteral("<E001>x<2714><203C><3030>"));
    EXPECT_EQ(calls, (QStringList{"E001", "2714", "203C", "3030"}));

    // Bounds of the private-use range and neighbours of listed symbols stay.
    calls.clear();
    EXPECT_EQ(replaced(u({0xE000, 0xE537, 0xE538, 0xDFFF, 0xF8FF, 0x00A9, 0x2122, 0x2713, 0x2715}), &calls),
              QStringLiteral("<E000><E537>") + u({0xE538, 0xDFFF, 0xF8FF, 0x00A9, 0x2122, 0x2713, 0x2715}));
    EXPECT_EQ(calls, (QStringList{"E000", "E537"}));
}

TEST(ReplaceEmoji, SurrogatePairsAreOneEmoji)
{
    QStringList calls;
    EXPECT_EQ(replaced(u({'a', 0xD83D, 0xDE00, 'b', 0xD83C, 0xDC00}), &calls), QStringLiteral("a<1F600>b<1F000>"));
    EXPECT_EQ(calls, (QStringList{"1F600", "1F000"}));

    // U+1F900 and above (high surrogate D83E) are not part of the set.
    calls.clear();
    const QString supplemental = u({0xD83E, 0xDD14});
    EXPECT_EQ(replaced(supplemental, &calls), supplemental);
    EXPECT_TRUE(calls.isEmpty());
}

TEST(ReplaceEmoji, LoneHighSurrogateNeverSwallowsTheNextCharacter)
{
    QStringList calls;
    EXPECT_EQ(replaced(u({0xD83D, 'a'}), &calls), u({0xD83D, 'a'}));
    EXPECT_EQ(replaced(u({0xD83C, '\n'}), &calls), u({0xD83C, '\n'}));
    EXPECT_EQ(replaced(QString(QChar(0xD83D)) + QStringLiteral("&lt;"), &calls),
              QString(QChar(0xD83D)) + QStringLiteral("&lt;"));
    EXPECT_EQ(replaced(u({'x', 0xD83D}), &calls), u({'x', 0xD83D}));
    EXPECT_TRUE(calls.isEmpty());

    // Two high surrogates then a low one: the first stays alone, the second pairs.
    EXPECT_EQ(replaced(u({0xD83D, 0xD83D, 0xDE04}), &calls), QString(QChar(0xD83D)) + QStringLiteral("<1F604>"));
    // A lone low surrogate is not an emoji, nor is a low surrogate before a private-use one.
    EXPECT_EQ(replaced(u({0xDE04, 0xE415}), &calls), QString(QChar(0xDE04)) + QStringLiteral("<E415>"));
    EXPECT_EQ(calls, (QStringList{"1F604", "E415"}));
}

TEST(ReplaceEmoji, PlaceholderAndImageTagCallbacks)
{
    QString text = u({0xE415, ' ', 0xD83D, 0xDE04});
    EXPECT_EQ(replaceEmoji(text, emojiPlaceholder), QStringLiteral("[EMOJI] [EMOJI]"));

    QString html = u({'&', 'l', 't', ';', 0xD83D, 0xDE04});
    EXPECT_EQ(replaceEmoji(html, emojiImageTag), QStringLiteral("&lt;<img src=\"emoji/1F604.png\" />"));
}

QString bracketMatch(const QRegularExpressionMatch& match, EmojiHandler* handler)
{
    return handler->callback(handler->userData, match.captured(1));
}

TEST(RegExpReplaceAll, ReplacesLeftToRightAndKeepsTextBetween)
{
    QStringList calls;
    EmojiHandler handler{recordingCallback, &calls};
    const QRegularExpression digits(QStringLiteral("(\\d+)"));
    EXPECT_EQ(regExpReplaceAll(QStringLiteral("a1b22c333"), digits, bracketMatch, &handler),
              QStringLiteral("a<1>b<22>c<333>"));
    EXPECT_EQ(calls, (QStringList{"1", "22", "333"}));
    EXPECT_EQ(regExpReplaceAll(QStringLiteral("none"), digits, bracketMatch, &handler), QStringLiteral("none"));

    // A pattern that can match the empty string leaves the text alone and ends.
    const QRegularExpression optional(QStringLiteral("(x*)"));
    EXPECT_EQ(regExpReplaceAll(QStringLiteral("axxb"), optional, bracketMatch, &handler), QStringLiteral("a<xx>b"));
}

}  // namespace
