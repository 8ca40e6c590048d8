// The serial path on a pseudo-terminal, far end to the handler on the owning
// thread: notice latency for single sentences, flood throughput, and the
// processor time an open quiet port costs.
//   latency: median and p99 over 10,000 sentences (target p99 <= 2 ms)
//   flood:   bytes per second through the whole path (target >= 2 MB/s)
//   quiet:   processor share of one core over 10 s (target <= 0.5 %)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gps/NMEA.h"
#include "serial/posix/PtyOwner.h"
#include "serial/posix/PtyPair.h"

namespace {

using namespace ptytest;
using Clock = std::chrono::steady_clock;

std::string Sentence(int i) {
    char payload[96];
    std::snprintf(payload, sizeof payload,
                  "GPGGA,1215%02d.00,5955.%04d,N,01043.%04d,E,1,08,0.9,12.3,M,39.8,M,,", i % 60,
                  i % 10000, (i * 7) % 10000);
    return "$" + std::string(payload) + "*" + gps::NmeaChecksum(payload) + "\r\n";
}

// Opens the port behind the pseudo-terminal with its worker threads, or
// marks the benchmark skipped with the reason.
bool OpenOrSkip(TPtyPair& pty, TPtyOwner& o, benchmark::State& state) {
    if (!pty.Ok() || o.Open() != 0) {
        state.SkipWithError("cannot open the pseudo-terminal port");
        return false;
    }
    if (!o.D().ThreadsRunning()) {
        state.SkipWithError("the dispatcher does not start its worker threads");
        return false;
    }
    return true;
}

void BM_NoticeLatency(benchmark::State& state) {
    TPtyPair pty;
    TPortsEnv env(pty.Path());
    TPtyOwner o;
    if (!OpenOrSkip(pty, o, state)) {
        return;
    }
    constexpr int kSentences = 10000;
    std::vector<double> us;
    us.reserve(kSentences);
    for (auto _ : state) {
        for (int i = 0; i < kSentences; ++i) {
            const std::string s = Sentence(i);
            o.received.clear();
            const auto start = Clock::now();
            pty.Write(s);
            // Until the handler on this thread has the whole sentence.
            if (!o.PumpUntil([&] { return o.received.size() >= s.size(); }, 5000)) {
                state.SkipWithError("a sentence did not arrive");
                return;
            }
            us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[us.size() * 99 / 100];
    state.counters["max_us"] = us.back();
    o.Close();
}
BENCHMARK(BM_NoticeLatency)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Flood(benchmark::State& state) {
    TPtyPair pty;
    TPortsEnv env(pty.Path());
    TPtyOwner o;
    if (!OpenOrSkip(pty, o, state)) {
        return;
    }
    const size_t total = static_cast<size_t>(state.range(0)) << 20;
    std::string data(total, '\0');
    for (size_t i = 0; i < total; ++i) {
        data[i] = static_cast<char>((i * 2654435761u) >> 13);
    }
    o.received.reserve(total);
    for (auto _ : state) {
        o.received.clear();
        std::thread far([&] { pty.Write(data); });
        const bool ok = o.PumpUntil([&] { return o.received.size() >= total; }, 120000);
        far.join();
        if (!ok || o.received != data) {
            state.SkipWithError("bytes lost, doubled or reordered");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
    o.Close();
}
BENCHMARK(BM_Flood)->Arg(16)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_QuietPortCpu(benchmark::State& state) {
    TPtyPair pty;
    TPortsEnv env(pty.Path());
    TPtyOwner o;
    if (!OpenOrSkip(pty, o, state)) {
        return;
    }
    double share = 0;
    for (auto _ : state) {
        const double cpu = ProcessCpuMs();
        const auto start = Clock::now();
        // The owner sleeps in its message wait, as a program's loop does.
        while (ElapsedMs(start) < 10000) {
            tk::WaitForMessage(static_cast<uint32_t>(10000 - ElapsedMs(start)) + 1);
            tk::TMessage m;
            while (tk::TakeMessage(m)) {
                tk::DispatchTaken(m);
            }
        }
        share = (ProcessCpuMs() - cpu) / ElapsedMs(start) * 100.0;
    }
    state.counters["cpu_percent"] = share;
    o.Close();
}
BENCHMARK(BM_QuietPortCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
