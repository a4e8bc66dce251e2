#pragma once
// Emoji markup: finds the emoji of a message text and replaces each one with a text chosen from its
// code point ("[EMOJI]" for plain text and printing, an image tag for the bubble view and HTML).
//
// Two encodings reach us: the older private-use code points U+E000..U+E537 together with a set of
// Basic Multilingual Plane symbols, and supplementary-plane emoji U+1F000..U+1F7FF as surrogate pairs
// with high surrogate D83C or D83D.
#include <QString>

class QRegularExpression;
class QRegularExpressionMatch;

// Returns the replacement for one emoji; hexCode is its code point in upper-case hex without
// padding ("E415", "1F604"). userData is passed through unchanged.
using EmojiCallback = QString (*)(void* userData, const QString& hexCode);

struct EmojiHandler {
    EmojiCallback callback = nullptr;
    void* userData = nullptr;
};

// Returns the replacement text for one match of the generic replace routine.
using MatchFunction = QString (*)(const QRegularExpressionMatch& match, EmojiHandler* handler);

// Replaces every match of pattern in source, scanning left to right without overlaps, by match's
// text; the text between matches is copied unchanged. An empty match replaces nothing and the scan
// moves on by one character, so the loop always ends.
QString regExpReplaceAll(const QString& source, const QRegularExpression& pattern, MatchFunction match,
                         EmojiHandler* handler);

// Replaces every emoji of text by callback's text for its code point, stores the result back into
// text and returns it. A high surrogate D83C/D83D that is not followed by a low surrogate is left as
// it is and never takes the next character with it.
QString replaceEmoji(QString& text, EmojiCallback callback, void* userData = nullptr);

// An EmojiCallback that yields "[EMOJI]" for every emoji: plain text, printing and PDF pages.
QString emojiPlaceholder(void* userData, const QString& hexCode);

// An EmojiCallback that yields <img src="emoji/HEX.png" /> for the bubble view and HTML export.
// HTML-escape the text before replacing emoji; the tag itself holds only hex digits.
QString emojiImageTag(void* userData, const QString& hexCode);
