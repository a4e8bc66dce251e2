#include "ui/updatecheck.h"

#include <QRegularExpression>
#include <QUrl>

namespace UpdateCheck {

namespace {

QByteArray upToNul(const QByteArray& bytes)
{
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}

}  // namespace

bool shouldCheck(const QByteArray& timeFileBytes, qint64 nowSecs)
{
    bool ok = false;
    const qulonglong stored = upToNul(timeFileBytes).trimmed().toULongLong(&ok);
    if (!ok || stored == 0)
        return true;
    const quint32 age = static_cast<quint32>(static_cast<quint64>(nowSecs) - stored);
    return age > kIntervalSeconds;
}

QString downloadUrlFromAnswer(const QByteArray& body)
{
    const QString text = QString::fromLatin1(upToNul(body)).trimmed();
    const bool web = text.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
        || text.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    return web && QUrl(text, QUrl::StrictMode).isValid() ? text : QString();
}

QString restyleAnchor(const QByteArray& body)
{
    QString text = QString::fromUtf8(body);
    static const QRegularExpression openingTag(QStringLiteral("^<a"), QRegularExpression::CaseInsensitiveOption);
    if (!openingTag.match(text).hasMatch())
        return QString();
    text.replace(openingTag,
                 QStringLiteral("<a style=\"color:%1;text-decoration:none;\"").arg(QLatin1String(kLinkColour)));
    return text;
}

QString versionRequestPath()
{
    return QStringLiteral("sms_check_update.php?pid=%1&ver=%2&q=1").arg(QLatin1String(kProductId)).arg(kBuildNumber);
}

QString linkRequestPath()
{
    return QStringLiteral("adv.php?pid=%1").arg(QLatin1String(kProductId));
}

QString updatePagePath()
{
    return QStringLiteral("sms_check_update.php?pid=%1&ver=%2&vs=%3")
        .arg(QLatin1String(kProductId))
        .arg(kBuildNumber)
        .arg(kVolumeSerial);
}

}  // namespace UpdateCheck
