// Instruction counts of the receiver path under callgrind: feeds a stream
// (gp: GPGGA/GPGSA/GPRMC; gnss: a multi-system receiver) through
// PortTriggerAvail in a dialect (gp or gnss) with every event assigned,
// repeats times, in one function that callgrind collects alone:
//   valgrind --tool=callgrind --toggle-collect='FeedStream*'
//            build/default/bench/nmea_feed STREAM DIALECT REPEATS
// Instructions per sentence = the collected Ir / the sentences printed.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "NmeaStreams.h"

__attribute__((noinline)) void FeedStream(gps::TGPS& receiver, benchnmea::TStreamSource& source,
                                          size_t size, int repeats) {
    for (int i = 0; i < repeats; ++i) {
        benchnmea::FeedChunks(receiver, source, size);
    }
}

int main(int argc, char** argv) {
    const bool gnssStream = argc > 1 && std::strcmp(argv[1], "gnss") == 0;
    const bool gnssDialect = argc > 2 && std::strcmp(argv[2], "gnss") == 0;
    const int repeats = argc > 3 ? std::atoi(argv[3]) : 20;
    int sentences = 0;
    const std::string stream = gnssStream ? benchnmea::MakeGnssStream(60, sentences)
                                          : benchnmea::MakeStream(60, sentences);
    gps::TGPS receiver;
    receiver.SetDialect(gnssDialect ? gps::TNmeaDialect::ndGNSS : gps::TNmeaDialect::ndGP);
    double sink = 0;
    benchnmea::AssignEvents(receiver, sink);
    receiver.OnSatellites = [&](gps::TGPS&, const gps::TSatelliteList& list) {
        sink += static_cast<double>(list.size());
    };
    benchnmea::TStreamSource source(stream);
    FeedStream(receiver, source, stream.size(), repeats);
    std::printf("%d sentences (sink %g)\n", sentences * repeats, sink);
    return 0;
}
