// The recorder: the cost of one track point written crash-safe (the point
// and the closing tags in one write to the file), and whole recordings of a
// receiver at 1 Hz and at 10 Hz through the decoder, with the track's and
// the raw log's size per hour computed from the files they made.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "NmeaStreams.h"
#include "gps/NmeaDecoder.h"
#include "record/GpxTrack.h"
#include "record/RecordListener.h"
#include "record/Recorder.h"

namespace {

std::string TempFile(const std::string& name) {
    return (std::filesystem::temp_directory_path() / ("palmo_bench_" + name)).string();
}

// One point with every field, as a 3D fix with speed and course gives it.
void TrackPoint(benchmark::State& state) {
    const std::string path = TempFile("point.gpx");
    record::TGpxTrack track;
    if (!track.Create(path, true, "bench")) {
        state.SkipWithError(track.Error().c_str());
        return;
    }
    record::TTrackPoint p;
    p.Time = 45458.4;
    p.LatDeg = 59.852073333;
    p.LonDeg = 10.726163333;
    p.Elevation = 12.3;
    p.GeoidHeight = 39.8;
    p.Fix = record::TFixType::ThreeD;
    p.Satellites = 8;
    p.Hdop = 0.9;
    p.Vdop = 1.2;
    p.Pdop = 1.5;
    p.SpeedMps = 2.675;
    p.CourseDeg = 43.9;
    for (auto _ : state) {
        p.Time += 1.0 / 86400.0;
        p.LatDeg += 1e-6;
        if (!track.AddPoint(p)) {
            state.SkipWithError(track.Error().c_str());
            break;
        }
    }
    state.counters["bytes_per_point"] =
        static_cast<double>(track.Size()) / static_cast<double>(track.Points());
    state.counters["per_point"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    track.Close();
    std::filesystem::remove(path);
}
BENCHMARK(TrackPoint);

// A classic receiver at hz fixes a second: GPGGA, GPGSA and GPRMC each
// epoch, and the GPGSV group once a second, moving at 5 knots.
std::string ReceiverAt(int hz, int epochs) {
    std::string stream;
    for (int e = 0; e < epochs; ++e) {
        const int tenths = e * (10 / hz);
        char utc[24];
        std::snprintf(utc, sizeof utc, "10%02d%02d.%d0", tenths / 600 % 60, tenths / 10 % 60,
                      tenths % 10);
        char lat[24];
        std::snprintf(lat, sizeof lat, "5951.%04d", 1234 + e * 7 / hz);
        char lon[24];
        std::snprintf(lon, sizeof lon, "01043.%04d", 5678 + e * 9 / hz);
        const std::string at = std::string(utc) + "," + lat + ",N," + lon + ",E,";
        stream += benchnmea::Sentence("GPGGA," + at + "1,08,0.9,12.3,M,39.8,M,,");
        stream += benchnmea::Sentence("GPGSA,A,3,03,07,11,16,21,26,30,,,,,,2.1,1.2,1.7");
        stream += benchnmea::Sentence("GPRMC," + std::string(utc) + ",A," + lat + ",N," + lon +
                                      ",E,5.2,45.0,150624,3.9,E,A");
        if (e % hz == 0) {
            stream += benchnmea::Sentence(
                "GPGSV,2,1,07,03,45,123,38,07,12,045,31,11,67,270,44,16,30,310,40");
            stream += benchnmea::Sentence("GPGSV,2,2,07,21,05,180,,26,50,090,42,30,22,200,35");
        }
    }
    return stream;
}

// Ten minutes of the receiver recorded through the decoder (track and raw
// log), in time per epoch; the files' sizes scaled to an hour.
void Recording(benchmark::State& state) {
    const int hz = static_cast<int>(state.range(0));
    const int epochs = 600 * hz;
    const std::string stream = ReceiverAt(hz, epochs);
    record::TRecordOptions options;
    options.GpxPath = TempFile("rec.gpx");
    options.NmeaPath = TempFile("rec.nmea");
    options.Overwrite = true;
    uint64_t points = 0;
    for (auto _ : state) {
        gps::TNmeaDecoder decoder;
        record::TRecorder recorder;
        record::TRecordListener listener(decoder, recorder);
        if (!recorder.Start(options)) {
            state.SkipWithError(recorder.Error().c_str());
            return;
        }
        for (size_t at = 0; at < stream.size(); at += 512) {
            decoder.FeedBytes(std::string_view(stream).substr(at, 512));
        }
        recorder.Stop();
        points = recorder.Points();
    }
    if (points != static_cast<uint64_t>(epochs)) {
        state.SkipWithError("a fix was not recorded");
    }
    const double hours = epochs / static_cast<double>(hz) / 3600.0;
    state.counters["gpx_MB_per_hour"] =
        static_cast<double>(std::filesystem::file_size(options.GpxPath)) / hours / 1e6;
    state.counters["nmea_MB_per_hour"] =
        static_cast<double>(std::filesystem::file_size(options.NmeaPath)) / hours / 1e6;
    state.counters["per_epoch"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * epochs,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    std::filesystem::remove(options.GpxPath);
    std::filesystem::remove(options.NmeaPath);
}
BENCHMARK(Recording)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
