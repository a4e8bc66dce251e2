#pragma once
// Error texts thrown as std::runtime_error holding their UTF-8 bytes; catchers read them back with
// QString::fromUtf8(what()).
#include <QString>

#include <exception>
#include <stdexcept>

[[noreturn]] void throwUtf8(const QString& text);

// An error whose text is already rich text for the user (the device layer's hints with their line
// breaks and entities). Every other error text is plain and is escaped before it is shown.
class HtmlError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void throwHtml(const QString& html);

// The text of error as rich text: an HtmlError's as it stands, any other one HTML-escaped with each
// line break kept as "<br/>".
QString errorRichText(const std::exception& error);
