// Receiver streams for the benchmarks: a classic GPS receiver (GPGGA, GPGSA,
// GPRMC) and a multi-system one shaped like a u-blox 8 (GNRMC, GNGGA, three
// GNGSA with system IDs, GSV groups with signal IDs), and a character source
// that hands them out as a port would.
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

#include "gps/GPS.h"

namespace benchnmea {

inline std::string Sentence(const std::string& payload) {
    unsigned sum = 0;
    for (const char c : payload) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + payload + tail;
}

struct TEpoch {
    std::string utc, lat, lon;
};

inline TEpoch EpochAt(int t) {
    char utc[32];
    std::snprintf(utc, sizeof utc, "1215%02d.%02d", t % 60, t % 100);
    char lat[32];
    std::snprintf(lat, sizeof lat, "5955.%04d", 1234 + t * 7);
    char lon[32];
    std::snprintf(lon, sizeof lon, "01043.%04d", 5678 + t * 9);
    return {utc, lat, lon};
}

// A moving receiver at 1 Hz: GPGGA, GPGSA and GPRMC each second.
inline std::string MakeStream(int seconds, int& sentences) {
    std::string stream;
    sentences = 0;
    for (int t = 0; t < seconds; ++t) {
        const TEpoch e = EpochAt(t);
        const std::string quality = (t / 20) % 2 ? "2" : "1";
        stream += Sentence("GPGGA," + e.utc + "," + e.lat + ",N," + e.lon + ",E," + quality +
                           ",08,0.9,12.3,M,39.8,M,1.0,0136");
        stream += Sentence(std::string("GPGSA,A,") + ((t / 30) % 2 ? "3" : "2") +
                           ",03,07,11,16,21,26,30,,,,,,2.1,1.2,1.7");
        stream += Sentence("GPRMC," + e.utc + ",A," + e.lat + ",N," + e.lon +
                           ",E,5.2,45.0,150624,3.9,E,A");
        sentences += 3;
    }
    return stream;
}

// The same track from a GPS+GLONASS+Galileo receiver: GNRMC, GNGGA, three
// GNGSA (the Galileo one empty at times) each second, and every second
// epoch the GPGSV, GLGSV and GAGSV groups with signal IDs.
inline std::string MakeGnssStream(int seconds, int& sentences) {
    std::string stream;
    sentences = 0;
    for (int t = 0; t < seconds; ++t) {
        const TEpoch e = EpochAt(t);
        const std::string quality = (t / 20) % 2 ? "2" : "1";
        stream +=
            Sentence("GNRMC," + e.utc + ",A," + e.lat + ",N," + e.lon + ",E,5.2,45.0,150624,,,A,V");
        stream += Sentence("GNGGA," + e.utc + "," + e.lat + ",N," + e.lon + ",E," + quality +
                           ",12,0.7,12.3,M,39.8,M,1.0,0136");
        stream += Sentence("GNGSA,A,3,03,07,11,16,21,26,30,,,,,,1.4,0.7,1.2,1");
        stream += Sentence("GNGSA,A,3,65,71,72,80,,,,,,,,,1.4,0.7,1.2,2");
        stream += Sentence(t % 4 == 0 ? "GNGSA,A,3,,,,,,,,,,,,,1.4,0.7,1.2,3"
                                      : "GNGSA,A,3,02,11,,,,,,,,,,,1.4,0.7,1.2,3");
        sentences += 5;
        if (t % 2 == 0) {
            stream +=
                Sentence("GPGSV,2,1,07,03,45,123,38,07,12,045,31,11,67,270,44,16,30,310,40,1");
            stream += Sentence("GPGSV,2,2,07,21,05,180,,26,50,090,42,30,22,200,35,1");
            stream +=
                Sentence("GLGSV,1,1,04,65,40,100,36,71,55,220,41,72,10,330,28,80,33,015,39,1");
            stream += Sentence("GAGSV,1,1,02,02,61,140,40,11,25,250,33,7");
            sentences += 4;
        }
    }
    return stream;
}

class TStreamSource : public gps::TNmeaCharSource {
  public:
    explicit TStreamSource(const std::string& data) : data_(data) {}
    char ReceiveChar() override { return data_[pos_++]; }
    // As the port component does: one copy, up to the stop character.
    size_t ReceiveBlock(char* dest, size_t max, char stop) override {
        const char* from = data_.data() + pos_;
        const void* hit = std::memchr(from, stop, max);
        const size_t n = hit ? static_cast<size_t>(static_cast<const char*>(hit) - from) + 1 : max;
        std::memcpy(dest, from, n);
        pos_ += n;
        return n;
    }
    bool Open() const override { return true; }
    void Rewind() { pos_ = 0; }

  private:
    const std::string& data_;
    size_t pos_ = 0;
};

// Assigns the six fix events to handlers that only read their arguments.
inline void AssignEvents(gps::TGPS& receiver, double& sink) {
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
}

// Hands a whole stream to the receiver in chunks of 512, as a port at speed would.
inline void FeedChunks(gps::TGPS& receiver, TStreamSource& source, size_t size) {
    source.Rewind();
    size_t left = size;
    while (left > 0) {
        const size_t n = left < 512 ? left : 512;
        receiver.PortTriggerAvail(source, static_cast<uint16_t>(n));
        left -= n;
    }
}

}  // namespace benchnmea
