#include "platform/webhost.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>

namespace {

Q_LOGGING_CATEGORY(lcWebHost, "tallowmere.webhost")

constexpr char kHostVariable[] = "TALLOWMERE_WEB_HOST";
constexpr int kTransferTimeoutMs = 30000;
constexpr char kSupportVariable[] = "TALLOWMERE_SUPPORT_ADDRESS";

QString configuredBaseText()
{
    if (qEnvironmentVariableIsSet(kHostVariable))
        return qEnvironmentVariable(kHostVariable).trimmed();
    return QStringLiteral(TALLOWMERE_WEB_HOST).trimmed();
}

bool isPlainAddress(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("\\A[^@\\s<>\"'&]+@[^@\\s<>\"'&]+\\z"));
    return pattern.match(text).hasMatch();
}

bool isUsableBase(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        && !url.host().isEmpty() && url.userInfo().isEmpty() && !url.hasQuery() && !url.hasFragment();
}

// Created on first use with the application as parent, so it goes away with the application and
// never outlives the event loop that drives it.
QNetworkAccessManager* networkManager()
{
    static QPointer<QNetworkAccessManager> manager;
    QCoreApplication* app = QCoreApplication::instance();
    if (!manager && app)
        manager = new QNetworkAccessManager(app);
    return manager;
}

QNetworkReply* deleteWhenFinished(QNetworkReply* reply)
{
    QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    return reply;
}

QNetworkRequest requestFor(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(kTransferTimeoutMs);
    return request;
}

}  // namespace

QUrl webHostBaseUrl()
{
    const QString text = configuredBaseText();
    if (text.isEmpty())
        return {};
    const QUrl url(text, QUrl::StrictMode);
    if (!isUsableBase(url)) {
        qCWarning(lcWebHost) << "ignoring unusable web host" << text;
        return {};
    }
    return url;
}

bool webHostEnabled()
{
    return !webHostBaseUrl().isEmpty();
}

QUrl webHostUrl(const QString& relativePath)
{
    QUrl url = webHostBaseUrl();
    if (url.isEmpty())
        return {};
    QString path = url.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    QString tail = relativePath;
    while (tail.startsWith(QLatin1Char('/')))
        tail.remove(0, 1);
    const int question = tail.indexOf(QLatin1Char('?'));
    if (question >= 0) {
        url.setQuery(tail.mid(question + 1));
        tail.truncate(question);
    }
    url.setPath(path + tail);
    return url;
}

QNetworkReply* webHostPost(const QString& relativePath, const QByteArray& body, const QByteArray& contentType)
{
    const QUrl url = webHostUrl(relativePath);
    QNetworkAccessManager* manager = networkManager();
    if (url.isEmpty() || !manager)
        return nullptr;
    QNetworkRequest request = requestFor(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return deleteWhenFinished(manager->post(request, body));
}

QNetworkReply* webHostGet(const QString& relativePath)
{
    const QUrl url = webHostUrl(relativePath);
    QNetworkAccessManager* manager = networkManager();
    if (url.isEmpty() || !manager)
        return nullptr;
    return deleteWhenFinished(manager->get(requestFor(url)));
}

QString supportAddress()
{
    const QString text = qEnvironmentVariableIsSet(kSupportVariable)
        ? qEnvironmentVariable(kSupportVariable).trimmed()
        : QStringLiteral(TALLOWMERE_SUPPORT_ADDRESS).trimmed();
    return isPlainAddress(text) ? text : QString();
}
