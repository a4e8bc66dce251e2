#include "core/htmltext.h"

#include "core/emoji.h"

QString htmlEscape(const QString& text)
{
    return text.toHtmlEscaped();
}

QString escapeHtmlWithEmoji(const QString& text)
{
    QString html;
    html.reserve(text.size() + text.size() / 8);
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('&'))
            html += QLatin1String("&amp;");
        else if (c == QLatin1Char('<'))
            html += QLatin1String("&lt;");
        else if (c == QLatin1Char('>'))
            html += QLatin1String("&gt;");
        else if (c == QLatin1Char('\n'))
            html += QLatin1String("<br/>");
        else if (c == QLatin1Char('\r') && i + 1 < size && text.at(i + 1) == QLatin1Char('\n'))
            continue;  // the pair becomes one break
        else
            html += c;
    }
    // The tags hold only hex digits, and escaping came first, so nothing in them is escaped again.
    return replaceEmoji(html, emojiImageTag);
}
