// Reading a device's message database over AFC against the raw floor for the same bytes: the client's
// read requests of at most 64 KiB, each a round trip to a peer thread playing the device, against one
// plain stream of the file over the same kind of socket, timed in the same run.
#include "floors.h"
#include "device/afcclient.h"
#include "device/servicesocket.h"

#include <QTemporaryDir>
#include <QtEndian>

#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 10000;

QByteArray sampleDatabase()
{
    QTemporaryDir dir;
    return floors::generatedDatabase(dir.filePath(QStringLiteral("sms.db")));
}

// The device's side of AFC for one open file: each read request gets the next bytes of file, until the
// client closes.
void serveReads(int socket, const QByteArray& file)
{
    int position = 0;
    char head[Afc::kHeaderBytes];
    while (Socket::receiveAll(socket, head, sizeof head, kWaitMs) == int(sizeof head)) {
        QByteArray arguments(int(AfcPacketHeader::decode(head).entireLength) - Afc::kHeaderBytes, '\0');
        if (arguments.size() < 16 || Socket::receiveAll(socket, arguments.data(), arguments.size(), kWaitMs) != arguments.size())
            break;
        const QByteArray piece = file.mid(position, int(qFromLittleEndian<quint64>(arguments.constData() + 8)));
        position += piece.size();
        AfcPacket::send(socket, AfcPacketHeader::request(socket, Afc::Data, piece.size()), piece);
    }
}

// Seconds that client takes on one end of a fresh connection while peer serves the other.
double timed(const std::function<void(int)>& client, const std::function<void(int)>& peer)
{
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
        throw std::runtime_error("no socket pair");
    std::thread device(peer, ends[1]);
    const auto start = Clock::now();
    client(ends[0]);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    ::shutdown(ends[0], SHUT_WR);  // ends the peer
    device.join();
    Socket::close(ends[0]), Socket::close(ends[1]);
    return elapsed;
}

void BM_ReadFileOverAfc(benchmark::State& state)
{
    const QByteArray file = sampleDatabase();
    QByteArray ours(file.size(), '\0');
    QByteArray raw(file.size(), '\0');
    double oursSeconds = 0;
    double rawSeconds = 0;
    double files = 0;
    for (auto _ : state) {
        rawSeconds += timed([&](int s) { Socket::receiveAll(s, raw.data(), raw.size(), kWaitMs); },
                            [&](int s) { Socket::sendAll(s, file.constData(), file.size(), kWaitMs); });
        const double elapsed = timed([&](int s) { AfcRequest::fileRead(s, 1, ours.data(), ours.size()); },
                                     [&](int s) { serveReads(s, file); });
        oursSeconds += elapsed;
        state.SetIterationTime(elapsed);
        files += 1;
    }
    if (ours != file || raw != file)
        state.SkipWithError("the bytes read differ from the file");
    state.counters["ours_per_s"] = benchmark::Counter(files / oursSeconds);
    state.counters["raw_per_s"] = benchmark::Counter(files / rawSeconds);
    state.counters["slowdown"] = benchmark::Counter(oursSeconds / rawSeconds);
    state.counters["file_mb"] = benchmark::Counter(double(file.size()) / (1 << 20));
}

}  // namespace

BENCHMARK(BM_ReadFileOverAfc)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv)
{
    return floors::runInTemporaryHome(argc, argv);
}
