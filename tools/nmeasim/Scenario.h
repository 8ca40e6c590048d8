// The simulated receiver: NMEA-0183 sentences of a receiver that moves along
// a track at one or more epochs a second, going through the stages of a real one.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace nmeasim {

// The checksum of a payload: exclusive OR of its bytes as two upper-case
// hexadecimal digits.
std::string ChecksumText(std::string_view payload);

// A whole line: "$", payload, "*", checksum, carriage return and line feed.
std::string Sentence(std::string_view payload);

// Seconds since 1970-01-01 00:00:00 UTC (plus hundredths of a second) as
// the NMEA time (hhmmss.ss) and date (ddmmyy) fields.
std::string NmeaTimeField(int64_t unixSeconds, int hundredths = 0);
std::string NmeaDateField(int64_t unixSeconds);

// An angle as ddmm.mmmm (width 2, latitude) or dddmm.mmmm (width 3,
// longitude), sign dropped.
std::string NmeaAngle(double degrees, int width);

// What the receiver can do in an epoch (RTKFloat only in the GNSS dialect).
enum class TStage { NoFix, Fix2D, Fix3D, DGPS, RTKFloat };

// The sentences the receiver speaks: GP a classic GPS receiver; GNSS a
// GPS+GLONASS+Galileo receiver like a u-blox 8 at 9600 baud (NMEA 4.10).
enum class TDialect { GP, GNSS };

const char* StageName(TStage stage);

struct TSimLine {
    std::string text;        // the line with its CR LF
    bool corrupted = false;  // deliberately damaged on the way: its checksum fails
};

struct TEpoch {
    TStage stage = TStage::NoFix;
    int64_t utc = 0;     // seconds since 1970, UTC
    int hundredths = 0;  // and the epoch's part of that second
    std::vector<TSimLine> lines;
};

// The built-in scenario. A cold start without a fix, a 2D fix, then a 3D fix
// that now and then turns differential for a while or is lost (a bridge, a
// cutting) and comes back through 2D. The receiver moves at a few knots with
// a wandering course from one of a few harbours. Each epoch gives GPRMC,
// GPGGA and GPGSA (every fifth also GPGSV); about one line in 300 is damaged.
// The same seed and start time give the same lines.
//
// At hz epochs a second (1, 2, 5 or 10) each second has that many epochs,
// their times hhmmss.00, .20, .40 and so on at 5 Hz; the stages, the track
// and the GSV every fifth second keep their pace in seconds.
//
// The GNSS dialect goes through the same stages, with an RTK float spell in
// place of the second 3D one, and sends each epoch GNRMC (with mode
// indicator and navigational status), GNVTG, GNGGA, three GNGSA (GPS,
// GLONASS, Galileo with system IDs; the Galileo one empty at times), the
// GPGSV, GLGSV and GAGSV groups with signal IDs, and GNGLL: at most 960
// bytes, what 9600 baud carries in a second.
class TScenario {
  public:
    TScenario(uint64_t seed, int64_t startUtc, TDialect dialect = TDialect::GP, int hz = 1);

    TEpoch Next();

    // One line in this many, on average, is damaged.
    static constexpr int kCorruptionOdds = 300;

  private:
    struct TSatellite {
        int prn;
        double elevation;
        double azimuth;
    };

    double Uniform(double low, double high);
    int UniformInt(int low, int high);  // both ends included
    void Move(double seconds);
    void NextStage();
    std::vector<int> UsedSatellites() const;
    std::vector<std::string> Payloads(int64_t utc);
    std::vector<std::string> GnssPayloads(int64_t utc);
    TSimLine Damaged(std::string line);

    std::mt19937_64 rng_;
    int64_t utc_;
    TStage stage_ = TStage::NoFix;
    int stageLeft_ = 0;
    int cycleStep_ = 0;  // position in the repeating 3D, DGPS, 3D, loss, 2D cycle
    int usedCount_ = 0;
    int epoch_ = 0;  // whole seconds since the start
    int hz_ = 1;
    int tick_ = 0;  // the epoch within the second, 0 to hz_ - 1
    double lat_ = 0;
    double lon_ = 0;
    double speedKnots_ = 0;
    double course_ = 0;
    double altitude_ = 0;
    double baseAltitude_ = 0;
    double geoid_ = 0;
    double magVar_ = 0;
    std::string station_;
    std::vector<TSatellite> satellites_;  // GPS
    TDialect dialect_ = TDialect::GP;
    std::vector<TSatellite> glonass_;
    std::vector<TSatellite> galileo_;
};

}  // namespace nmeasim
