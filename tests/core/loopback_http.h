#pragma once
// A tiny HTTP server on 127.0.0.1 that records the requests it receives and answers 200, plus a guard
// that points the web host at it (or disables the web host) for one test.
#include <QByteArray>
#include <QMap>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <vector>

namespace testing_http {

struct Request {
    QByteArray requestLine;             // "POST /err_report.php HTTP/1.1"
    QMap<QByteArray, QByteArray> headers;  // lower-case names
    QByteArray body;
};

class LoopbackHttpServer : public QObject {
public:
    LoopbackHttpServer();
    QString baseUrl() const;
    // Runs the event loop until a request arrived or timeoutMs passed.
    bool waitForRequest(int timeoutMs);
    const std::vector<Request>& requests() const { return m_requests; }
    int connections() const { return m_connections; }

private:
    void readFrom(QTcpSocket* socket);

    QTcpServer m_server;
    std::vector<Request> m_requests;
    int m_connections = 0;
};

// Sets TALLOWMERE_WEB_HOST for its lifetime (empty: every request disabled) and restores it after.
class ScopedWebHost {
public:
    explicit ScopedWebHost(const QString& baseUrl);
    ~ScopedWebHost();
    ScopedWebHost(const ScopedWebHost&) = delete;
    ScopedWebHost& operator=(const ScopedWebHost&) = delete;

private:
    bool m_wasSet;
    QByteArray m_old;
};

}  // namespace testing_http
