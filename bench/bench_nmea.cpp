// Receiver throughput: streams of a classic and of a multi-system receiver
// through PortTriggerAvail with every event assigned, in nanoseconds per
// sentence; and the checksum test and split alone.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "NmeaStreams.h"
#include "gps/GPS.h"

namespace {

using benchnmea::TStreamSource;

// The whole stream through PortTriggerAvail, every event assigned (and
// OnSatellites in ndGNSS), in nanoseconds per sentence.
void ReceiverStream(benchmark::State& state, gps::TNmeaDialect dialect) {
    int sentences = 0;
    const std::string stream = dialect == gps::TNmeaDialect::ndGNSS
                                   ? benchnmea::MakeGnssStream(60, sentences)
                                   : benchnmea::MakeStream(60, sentences);
    gps::TGPS receiver;
    receiver.SetDialect(dialect);
    double sink = 0;
    benchnmea::AssignEvents(receiver, sink);
    if (dialect == gps::TNmeaDialect::ndGNSS) {
        receiver.OnSatellites = [&](gps::TGPS&, const gps::TSatelliteList& list) {
            sink += static_cast<double>(list.size());
        };
    }
    TStreamSource source(stream);
    for (auto _ : state) {
        benchnmea::FeedChunks(receiver, source, stream.size());
        benchmark::DoNotOptimize(sink);
    }
    state.SetItemsProcessed(state.iterations() * sentences);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
    // CPU time per sentence, shown with its SI prefix (e.g. "550ns").
    state.counters["per_sentence"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * sentences,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A classic GPS receiver: GPGGA, GPGSA, GPRMC.
void BM_ReceiverStream(benchmark::State& state) {
    ReceiverStream(state, gps::TNmeaDialect::ndGP);
}
BENCHMARK(BM_ReceiverStream);

// A GPS+GLONASS+Galileo receiver in ndGNSS: GSA groups and GSV groups too.
void BM_ReceiverGnssStream(benchmark::State& state) {
    ReceiverStream(state, gps::TNmeaDialect::ndGNSS);
}
BENCHMARK(BM_ReceiverGnssStream);

// The checksum test and split alone, for comparison with the whole path.
void BM_ChecksumAndSplit(benchmark::State& state) {
    const std::string line =
        "$GPRMC,121530.30,A,5955.1444,N,01043.5948,E,5.2,45.0,150624,3.9,E,A*00";
    gps::TDataArray fields;
    for (auto _ : state) {
        benchmark::DoNotOptimize(gps::ChecksumOK(line));
        gps::SplitSentence(line, fields);
        benchmark::DoNotOptimize(fields[3].data());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ChecksumAndSplit);

}  // namespace

BENCHMARK_MAIN();
