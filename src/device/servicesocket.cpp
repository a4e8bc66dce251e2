#include "device/servicesocket.h"

#include "core/errors.h"

#include <QtEndian>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFirstBytesTimeoutMs = 60000;
constexpr int kStopCheckMs = 500;
constexpr int kExcerptChars = 800;

// The end of a wait of timeoutMs from now; a timeout below 1 has no end.
struct Deadline {
    explicit Deadline(int timeoutMs) : unlimited(timeoutMs < 1), end(Clock::now() + std::chrono::milliseconds(timeoutMs))
    {
    }
    // Milliseconds left, rounded up; -1 without an end.
    int remainingMs() const
    {
        if (unlimited)
            return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now()).count();
        return int(std::max<decltype(left)>(left, 0));
    }

    bool unlimited;
    Clock::time_point end;
};

// Waits for data in slices, asking stop between them, so a cancel is seen within half a second.
bool waitReadable(int socket, int timeoutMs, const std::function<bool()>& stop)
{
    if (!stop)
        return Socket::waitReady(socket, timeoutMs, true) != 0;
    const Deadline deadline(timeoutMs);
    for (;;) {
        if (stop())
            return false;
        const int left = deadline.remainingMs();
        if (left == 0)
            return false;
        const int slice = left < 0 ? kStopCheckMs : std::min(left, kStopCheckMs);
        if (Socket::waitReady(socket, slice, true) != 0)
            return true;
    }
}

// Moves up to length bytes, one wait and one transfer (given the count so far) at a time, until all
// are moved, a wait gives up, or the peer has gone; the count moved.
template <class Wait, class Transfer>
int transferAll(int length, Wait wait, Transfer transfer)
{
    int done = 0;
    while (done < length && wait()) {
        const ssize_t count = transfer(done);
        if (count < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (count <= 0)
            break;
        done += int(count);
    }
    return done;
}

QString xmlExcerpt(const CFType& value)
{
    return QString::fromUtf8(value.toPlistData(kCFPropertyListXMLFormat_v1_0)).left(kExcerptChars);
}

[[noreturn]] void failReceive(const char* part, int received, const CFType& request)
{
    QString text = QStringLiteral("mobiledevice_recmsg(%1) error, received length: %2.")
                       .arg(QLatin1String(part), QString::number(received));
    if (!request.isNull())
        text += QLatin1Char('\n') + xmlExcerpt(request);
    throwUtf8(text);
}

}  // namespace

namespace Socket {

int waitReady(int socket, int timeoutMs, bool forRead)
{
    const Deadline deadline(timeoutMs);
    pollfd entry{socket, short(forRead ? POLLIN : POLLOUT), 0};
    for (;;) {
        entry.revents = 0;
        const int result = ::poll(&entry, 1, deadline.remainingMs());
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

int sendAll(int socket, const char* bytes, int length, int timeoutMs)
{
    // MSG_NOSIGNAL: a peer that has gone gives EPIPE here instead of a signal that ends the process.
    return transferAll(
        length, [&] { return waitReady(socket, timeoutMs, false) > 0; },
        [&](int sent) { return ::send(socket, bytes + sent, size_t(length - sent), MSG_NOSIGNAL); });
}

int receiveAll(int socket, char* buffer, int length, int timeoutMs, const std::function<bool()>& stop)
{
    return transferAll(
        length, [&] { return waitReadable(socket, timeoutMs, stop); },
        [&](int received) { return ::recv(socket, buffer + received, size_t(length - received), 0); });
}

void close(int socket)
{
    if (socket >= 0)
        ::close(socket);
}

}  // namespace Socket

void mobiledevice_sendmsg(int socket, const CFType& message, bool binary, int timeoutMs)
{
    const QByteArray body =
        message.toPlistData(binary ? kCFPropertyListBinaryFormat_v1_0 : kCFPropertyListXMLFormat_v1_0);
    if (body.isEmpty())
        return;
    char length[4];
    qToBigEndian<quint32>(quint32(body.size()), length);
    if (Socket::sendAll(socket, length, 4, timeoutMs) != 4)
        throwUtf8(QStringLiteral("mobiledevice_sendmsg(msg-length) error.\n") + xmlExcerpt(message));
    if (Socket::sendAll(socket, body.constData(), body.size(), timeoutMs) != body.size())
        throwUtf8(QStringLiteral("mobiledevice_sendmsg(msg) error.\n") + xmlExcerpt(message));
}

CFType mobiledevice_recmsg(int socket, const CFType& request, int timeoutMs)
{
    const int firstBytesTimeout = timeoutMs < 1 ? timeoutMs : std::max(timeoutMs, kFirstBytesTimeoutMs);
    char word[4];
    const int wordBytes = Socket::receiveAll(socket, word, 4, firstBytesTimeout);
    if (wordBytes != 4)
        failReceive("msg-length", wordBytes, request);
    const quint32 length = qFromBigEndian<quint32>(word);
    if (length == 0)
        return CFType();
    if (length > quint32(kMaxServiceMessageBytes)) {
        qWarning("a device announced a message of %u bytes", unsigned(length));
        failReceive("msg", 0, request);
    }
    QByteArray body(int(length), Qt::Uninitialized);
    const int bodyBytes = Socket::receiveAll(socket, body.data(), body.size(), timeoutMs);
    if (bodyBytes != body.size())
        failReceive("msg", bodyBytes, request);
    return CFType::fromPlistData(body);
}
