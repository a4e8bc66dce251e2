#include "loopback_http.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTimer>

namespace testing_http {

namespace {
constexpr char kHostVariable[] = "TALLOWMERE_WEB_HOST";
}

LoopbackHttpServer::LoopbackHttpServer()
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            ++m_connections;
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        }
    });
}

QString LoopbackHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void LoopbackHttpServer::readFrom(QTcpSocket* socket)
{
    QByteArray buffered = socket->property("buffered").toByteArray() + socket->readAll();
    socket->setProperty("buffered", buffered);
    const int headerEnd = buffered.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    Request request;
    const QList<QByteArray> lines = buffered.left(headerEnd).split('\n');
    request.requestLine = lines.value(0).trimmed();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines[i].indexOf(':');
        if (colon > 0)
            request.headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
    }
    const int length = request.headers.value("content-length", "0").toInt();
    if (buffered.size() - headerEnd - 4 < length)
        return;
    request.body = buffered.mid(headerEnd + 4, length);
    m_requests.push_back(request);
    socket->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    socket->disconnectFromHost();
}

bool LoopbackHttpServer::waitForRequest(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (m_requests.empty() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return !m_requests.empty();
}

ScopedWebHost::ScopedWebHost(const QString& baseUrl)
    : m_wasSet(qEnvironmentVariableIsSet(kHostVariable)), m_old(qgetenv(kHostVariable))
{
    qputenv(kHostVariable, baseUrl.toUtf8());
}

ScopedWebHost::~ScopedWebHost()
{
    if (m_wasSet)
        qputenv(kHostVariable, m_old);
    else
        qunsetenv(kHostVariable);
}

}  // namespace testing_http
