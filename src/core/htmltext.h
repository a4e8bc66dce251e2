#pragma once
// Text from data made safe as HTML: rich-text message boxes, the conversation view and the HTML export.
#include <QString>

// text with &, <, > and " replaced by entities, safe to embed in rich text and attribute values.
QString htmlEscape(const QString& text);

// Element content with emoji shown as images. Quotes are left as they are, so never put the result into
// an attribute value.

// text with "&", "<" and ">" as entities, each line feed (with a carriage return before it) as
// "<br/>", then every emoji as <img src="emoji/HEX.png" />. A lone carriage return stays.
QString escapeHtmlWithEmoji(const QString& text);
