#include "core/errors.h"

#include "core/htmltext.h"

void throwUtf8(const QString& text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}

void throwHtml(const QString& html)
{
    throw HtmlError(html.toUtf8().toStdString());
}

QString errorRichText(const std::exception& error)
{
    const QString text = QString::fromUtf8(error.what());
    if (dynamic_cast<const HtmlError*>(&error))
        return text;
    return htmlEscape(text).replace(QLatin1Char('\n'), QLatin1String("<br/>"));
}
