// Receiver throughput: a mixed stream of GPRMC, GPGGA and GPGSA lines through
// PortTriggerAvail with all six events assigned, in nanoseconds per sentence.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "gps/GPS.h"

namespace {

std::string Sentence(const std::string& payload) {
    unsigned sum = 0;
    for (const char c : payload) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + payload + tail;
}

// One minute of a moving receiver at 1 Hz: three sentences a second.
std::string MakeStream(int seconds, int& sentences) {
    std::string stream;
    sentences = 0;
    for (int t = 0; t < seconds; ++t) {
        char utc[16];
        std::snprintf(utc, sizeof utc, "1215%02d.%02d", t % 60, t % 100);
        char lat[16];
        std::snprintf(lat, sizeof lat, "5955.%04d", 1234 + t * 7);
        char lon[16];
        std::snprintf(lon, sizeof lon, "01043.%04d", 5678 + t * 9);
        const std::string quality = (t / 20) % 2 ? "2" : "1";
        stream += Sentence(std::string("GPGGA,") + utc + "," + lat + ",N," + lon + ",E," + quality +
                           ",08,0.9,12.3,M,39.8,M,1.0,0136");
        stream += Sentence(std::string("GPGSA,A,") + ((t / 30) % 2 ? "3" : "2") +
                           ",03,07,11,16,21,26,30,,,,,,2.1,1.2,1.7");
        stream += Sentence(std::string("GPRMC,") + utc + ",A," + lat + ",N," + lon +
                           ",E,5.2,45.0,150624,3.9,E,A");
        sentences += 3;
    }
    return stream;
}

class TStreamSource : public gps::TNmeaCharSource {
  public:
    explicit TStreamSource(const std::string& data) : data_(data) {}
    char ReceiveChar() override { return data_[pos_++]; }
    bool Open() const override { return true; }
    void Rewind() { pos_ = 0; }

  private:
    const std::string& data_;
    size_t pos_ = 0;
};

void BM_ReceiverStream(benchmark::State& state) {
    int sentences = 0;
    const std::string stream = MakeStream(60, sentences);
    gps::TGPS receiver;
    double sink = 0;
    receiver.OnSentence = [&](gps::TGPS&, const std::string& id, const gps::TDataArray& a) {
        sink += static_cast<double>(id.size() + a[1].size());
    };
    receiver.OnValidFix = [&](gps::TGPS&, double lat, double lon, double sog, double cog) {
        sink += lat + lon + sog + cog;
    };
    receiver.OnFixLoss = [&](gps::TGPS&) { sink += 1; };
    receiver.OnFixProgress = [&](gps::TGPS&, const std::string& p, int32_t d) {
        sink += static_cast<double>(p.size()) + d;
    };
    receiver.OnFixQuality = [&](gps::TGPS&, const std::string& q, int32_t n) {
        sink += static_cast<double>(q.size()) + n;
    };
    receiver.OnError = [&](gps::TGPS&, const std::string& m) {
        sink += static_cast<double>(m.size());
    };

    TStreamSource source(stream);
    for (auto _ : state) {
        source.Rewind();
        // Chunks as a port at speed would hand them over.
        size_t left = stream.size();
        while (left > 0) {
            const size_t n = left < 512 ? left : 512;
            receiver.PortTriggerAvail(source, static_cast<uint16_t>(n));
            left -= n;
        }
        benchmark::DoNotOptimize(sink);
    }
    state.SetItemsProcessed(state.iterations() * sentences);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
    // CPU time per sentence, shown with its SI prefix (e.g. "550ns").
    state.counters["per_sentence"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * sentences,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ReceiverStream);

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
