// The service bridge of libtmmd.so against a plain socket pair: a device's answer (a file-relay archive,
// say) read by the program through the bridge's two hops and pump threads, and read straight from the
// connection. With a socket pair standing in for the device connection the bridge's whole cost shows;
// against a real device, USB is far slower than either.
#include "fixtures/socket_stream.h"
#include "floors.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

size_t answerBytes()
{
    const char* megabytes = std::getenv("BENCH_BRIDGE_MB");
    const long mb = megabytes ? std::atol(megabytes) : 0;
    return size_t(mb > 0 ? mb : 256) << 20;
}

// Seconds for the program to read bytes that the device writes into device.
double readAnswer(int device, int program, size_t bytes)
{
    const auto start = Clock::now();
    std::thread writer([device, bytes] {
        const std::vector<char> chunk(64 * 1024, 'm');
        for (size_t left = bytes; left > 0;) {
            const size_t size = std::min(left, chunk.size());
            if (!fixtures::writeAll(device, {chunk.data(), size}))
                break;
            left -= size;
        }
        ::shutdown(device, SHUT_WR);
    });
    std::vector<char> buffer(64 * 1024);
    size_t received = 0;
    for (ssize_t n; (n = ::recv(program, buffer.data(), buffer.size(), 0)) > 0;)
        received += size_t(n);
    writer.join();
    if (received != bytes)
        std::abort();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_ServiceAnswerThroughBridge(benchmark::State& state)
{
    const bool serialised = state.range(0) != 0;
    const size_t bytes = answerBytes();
    double ours = 0;
    double raw = 0;
    int rounds = 0;
    for (auto _ : state) {
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        raw += readAnswer(pair[0], pair[1], bytes);
        ::close(pair[0]);
        ::close(pair[1]);

        int device = -1;
        const int program = fixtures::startSocketBridge(serialised, device);
        const double elapsed = readAnswer(device, program, bytes);
        ::close(program);
        ::close(device);
        ours += elapsed;
        state.SetIterationTime(elapsed);
        ++rounds;
    }
    const double total = double(bytes) * rounds;
    state.counters["ours_per_s"] = benchmark::Counter(total / ours);
    state.counters["raw_per_s"] = benchmark::Counter(total / raw);
    state.counters["slowdown"] = benchmark::Counter(ours / raw);
}
// Argument: 1 for a connection whose receive and send take turns (SSL).
BENCHMARK(BM_ServiceAnswerThroughBridge)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    return floors::runInTemporaryHome(argc, argv);
}
