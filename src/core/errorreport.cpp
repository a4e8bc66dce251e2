#include "core/errorreport.h"

#include "core/product.h"
#include "platform/webhost.h"

#include <QRegularExpression>

QString reportVersionText()
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(kVersionText)).arg(kBuildNumber);
}

QString encodeReportField(const QString& value)
{
    QString encoded = QString::fromLatin1(value.toUtf8().toBase64());
    encoded.replace(QLatin1Char('/'), QLatin1Char('!'));
    encoded.replace(QLatin1Char('='), QLatin1Char('-'));
    encoded.replace(QLatin1String("+"), QLatin1String("%2B"));
    return encoded;
}

QString reportPlainText(const QString& richText)
{
    static const QRegularExpression lineBreak(QStringLiteral("< *br */?>"),
                                              QRegularExpression::CaseInsensitiveOption);
    QString text = richText;
    text.replace(lineBreak, QStringLiteral("\r\n"));
    text.replace(QLatin1String("&lt;"), QLatin1String("<"));
    text.replace(QLatin1String("&gt;"), QLatin1String(">"));
    text.replace(QLatin1String("&quot;"), QLatin1String("\""));
    // Last, so that an escaped entity ("&amp;lt;") comes back as itself and not as its character.
    text.replace(QLatin1String("&amp;"), QLatin1String("&"));
    return text;
}

QByteArray errorReportBody(const QString& richText)
{
    const QString body = QStringLiteral("prod=") + encodeReportField(productTitle())
        + QStringLiteral("&ver=") + encodeReportField(reportVersionText())
        + QStringLiteral("&err=") + encodeReportField(reportPlainText(richText));
    return body.toUtf8();
}

bool sendErrorReport(const QString& richText)
{
    return webHostPost(QStringLiteral("err_report.php"), errorReportBody(richText),
                       QByteArrayLiteral("application/x-www-form-urlencoded"))
        != nullptr;
}
