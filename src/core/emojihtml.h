#pragma once
// Text from data as HTML element content with emoji shown as images: the conversation view and the
// HTML export. The markup is for element content only; quotes are left as they are, so never put the
// result into an attribute value.
#include <QString>

// text with "&", "<" and ">" as entities, each line feed (with a carriage return before it) as
// "<br/>", then every emoji as <img src="emoji/HEX.png" />. A lone carriage return stays.
QString escapeHtmlWithEmoji(const QString& text);
