#include "tools/nmeasim/Scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include "toolkit/Calendar.h"

namespace nmeasim {

namespace {

constexpr double kMetresPerDegree = 111120.0;

struct TPlace {
    double lat;
    double lon;
    double magVar;  // degrees, east positive
    double geoid;   // metres
    double altitude;
    const char* station;
};

// Harbours in all four quarters of the globe, so that both hemisphere letters appear.
constexpr TPlace kPlaces[] = {
    {59.8520, 10.7261, 3.9, 39.8, 12.0, "0136"},     // Oslo fjord
    {50.7800, -1.3000, -0.9, 47.0, 4.0, "0412"},     // the Solent
    {37.8100, -122.4200, 13.0, -32.1, 6.0, "0729"},  // San Francisco Bay
    {-33.8500, 151.2400, 12.8, 22.6, 3.0, "0221"},   // Sydney Harbour
};

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

std::string Format(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// Whether a line's checksum matches its payload.
bool ChecksumMatches(const std::string& line) {
    const size_t star = line.find('*');
    if (line.empty() || line[0] != '$' || star == std::string::npos || star + 3 > line.size()) {
        return false;
    }
    return line.compare(star + 1, 2, ChecksumText(std::string_view(line).substr(1, star - 1))) == 0;
}

}  // namespace

std::string ChecksumText(std::string_view payload) {
    unsigned sum = 0;
    for (const char c : payload) {
        sum ^= static_cast<unsigned char>(c);
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    return {kHex[sum >> 4], kHex[sum & 15]};
}

std::string Sentence(std::string_view payload) {
    std::string line = "$";
    line.append(payload);
    line += '*';
    line += ChecksumText(payload);
    line += "\r\n";
    return line;
}

std::string NmeaTimeField(int64_t unixSeconds, int hundredths) {
    const int64_t s = unixSeconds - FloorDiv(unixSeconds, 86400) * 86400;
    char text[16];
    std::snprintf(text, sizeof text, "%02d%02d%02d.%02d", static_cast<int>(s / 3600),
                  static_cast<int>(s / 60 % 60), static_cast<int>(s % 60), hundredths % 100);
    return text;
}

std::string NmeaDateField(int64_t unixSeconds) {
    int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    tk::CivilFromDays(FloorDiv(unixSeconds, 86400), y, m, d);
    char text[16];
    std::snprintf(text, sizeof text, "%02u%02u%02d", d, m,
                  static_cast<int>(((y % 100) + 100) % 100));
    return text;
}

std::string NmeaAngle(double degrees, int width) {
    // Whole ten-thousandths of a minute, so that rounding never gives 60 minutes.
    const auto units = static_cast<int64_t>(std::llround(std::fabs(degrees) * 600000.0));
    char text[24];
    std::snprintf(text, sizeof text, "%0*d%02d.%04d", width, static_cast<int>(units / 600000),
                  static_cast<int>(units % 600000 / 10000), static_cast<int>(units % 10000));
    return text;
}

const char* StageName(TStage stage) {
    switch (stage) {
        case TStage::NoFix:
            return "no fix";
        case TStage::Fix2D:
            return "2D";
        case TStage::Fix3D:
            return "3D";
        case TStage::DGPS:
            return "DGPS";
        case TStage::RTKFloat:
            return "RTK float";
    }
    return "?";
}

TScenario::TScenario(uint64_t seed, int64_t startUtc, TDialect dialect, int hz)
    : rng_(seed), utc_(startUtc), hz_(std::max(hz, 1)), dialect_(dialect) {
    const TPlace& place = kPlaces[UniformInt(0, static_cast<int>(std::size(kPlaces)) - 1)];
    lat_ = place.lat + Uniform(-0.01, 0.01);
    lon_ = place.lon + Uniform(-0.01, 0.01);
    magVar_ = place.magVar;
    geoid_ = place.geoid;
    baseAltitude_ = place.altitude;
    altitude_ = baseAltitude_;
    station_ = place.station;
    speedKnots_ = Uniform(3.0, 8.0);
    course_ = Uniform(0.0, 360.0);

    // Ten satellites in view, strongest first.
    std::vector<int> prns(32);
    for (int i = 0; i < 32; ++i) {
        prns[static_cast<size_t>(i)] = i + 1;
    }
    for (int i = 0; i < 10; ++i) {
        std::swap(prns[static_cast<size_t>(i)], prns[static_cast<size_t>(UniformInt(i, 31))]);
        satellites_.push_back({prns[static_cast<size_t>(i)], Uniform(5, 85), Uniform(0, 359)});
    }
    std::sort(satellites_.begin(), satellites_.end(),
              [](const TSatellite& a, const TSatellite& b) { return a.elevation > b.elevation; });

    stage_ = TStage::NoFix;
    stageLeft_ = UniformInt(6, 12);  // cold start

    if (dialect_ == TDialect::GNSS) {
        // Eight GLONASS (65-88) and six Galileo (1-36) satellites as well.
        const auto pick = [this](int first, int last, int count, std::vector<TSatellite>& out) {
            std::vector<int> numbers;
            for (int n = first; n <= last; ++n) {
                numbers.push_back(n);
            }
            for (int i = 0; i < count; ++i) {
                const auto at = static_cast<size_t>(UniformInt(i, last - first));
                std::swap(numbers[static_cast<size_t>(i)], numbers[at]);
                out.push_back({numbers[static_cast<size_t>(i)], Uniform(5, 85), Uniform(0, 359)});
            }
            std::sort(out.begin(), out.end(), [](const TSatellite& a, const TSatellite& b) {
                return a.elevation > b.elevation;
            });
        };
        pick(65, 88, 8, glonass_);
        pick(1, 36, 6, galileo_);
    }
}

double TScenario::Uniform(double low, double high) {
    // 53 random bits: the same numbers whatever the standard library.
    const double unit = static_cast<double>(rng_() >> 11) * 0x1.0p-53;
    return low + (high - low) * unit;
}

int TScenario::UniformInt(int low, int high) {
    return low + static_cast<int>(rng_() % static_cast<uint64_t>(high - low + 1));
}

void TScenario::NextStage() {
    if (cycleStep_ == 0) {
        // After the cold start: a first 2D fix.
        stage_ = TStage::Fix2D;
        stageLeft_ = UniformInt(5, 10);
        usedCount_ = 3;
        cycleStep_ = 1;
        return;
    }
    // The repeating cycle: 3D, DGPS, 3D, a lost fix, 2D while it comes back.
    switch (cycleStep_ % 5) {
        case 3:
            if (dialect_ == TDialect::GNSS) {
                stage_ = TStage::RTKFloat;
                stageLeft_ = UniformInt(10, 20);
                usedCount_ = UniformInt(8, 10);
                break;
            }
            [[fallthrough]];
        case 1:
            stage_ = TStage::Fix3D;
            stageLeft_ = UniformInt(20, 40);
            usedCount_ = UniformInt(6, 8);
            break;
        case 2:
            stage_ = TStage::DGPS;
            stageLeft_ = UniformInt(15, 30);
            usedCount_ = UniformInt(8, 10);
            break;
        case 4:
            stage_ = TStage::NoFix;
            stageLeft_ = UniformInt(3, 8);
            usedCount_ = 0;
            break;
        default:
            stage_ = TStage::Fix2D;
            stageLeft_ = UniformInt(2, 4);
            usedCount_ = 3;
            break;
    }
    ++cycleStep_;
}

void TScenario::Move(double seconds) {
    const double step = speedKnots_ * 1852.0 / 3600.0 * seconds;  // metres
    const double c = course_ * std::numbers::pi / 180.0;
    lat_ += step * std::cos(c) / kMetresPerDegree;
    lon_ += step * std::sin(c) / (kMetresPerDegree * std::cos(lat_ * std::numbers::pi / 180.0));
    if (lon_ > 180.0) {
        lon_ -= 360.0;
    } else if (lon_ < -180.0) {
        lon_ += 360.0;
    }
    course_ = std::fmod(course_ + Uniform(-2.0, 2.0) * seconds + 360.0, 360.0);
    speedKnots_ = std::clamp(speedKnots_ + Uniform(-0.3, 0.3) * seconds, 0.0, 14.0);
    altitude_ =
        std::clamp(altitude_ + Uniform(-0.3, 0.3) * seconds, baseAltitude_ - 5, baseAltitude_ + 5);
    for (TSatellite& s : satellites_) {
        s.azimuth = std::fmod(s.azimuth + 0.004 * seconds, 360.0);
    }
    for (std::vector<TSatellite>* list : {&glonass_, &galileo_}) {
        for (TSatellite& s : *list) {
            s.azimuth = std::fmod(s.azimuth + 0.004 * seconds, 360.0);
        }
    }
}

std::vector<int> TScenario::UsedSatellites() const {
    std::vector<int> used;
    for (int i = 0; i < usedCount_ && i < static_cast<int>(satellites_.size()); ++i) {
        used.push_back(satellites_[static_cast<size_t>(i)].prn);
    }
    std::sort(used.begin(), used.end());
    return used;
}

std::vector<std::string> TScenario::Payloads(int64_t utc) {
    if (dialect_ == TDialect::GNSS) {
        return GnssPayloads(utc);
    }
    const std::string time = NmeaTimeField(utc, tick_ * 100 / hz_);
    const std::string date = NmeaDateField(utc);
    const bool fix = stage_ != TStage::NoFix;
    const bool dgps = stage_ == TStage::DGPS;
    const std::vector<int> used = UsedSatellites();
    std::vector<std::string> out;

    const std::string lat = NmeaAngle(lat_, 2) + (lat_ < 0 ? ",S" : ",N");
    const std::string lon = NmeaAngle(lon_, 3) + (lon_ < 0 ? ",W" : ",E");
    const std::string magVar = Format("%.1f", std::fabs(magVar_)) + (magVar_ < 0 ? ",W" : ",E");
    const double course = std::fmod(std::round(course_ * 10) / 10, 360.0);
    if (fix) {
        out.push_back("GPRMC," + time + ",A," + lat + "," + lon + "," +
                      Format("%.1f", speedKnots_) + "," + Format("%.1f", course) + "," + date +
                      "," + magVar + (dgps ? ",D" : ",A"));
    } else {
        out.push_back("GPRMC," + time + ",V,,,,,,," + date + ",,,N");
    }

    const double n = static_cast<double>(std::max<size_t>(used.size(), 1));
    const double hdop = std::round((0.6 + 6.0 / n + Uniform(0, 0.2)) * 10) / 10;
    const double vdop = std::round(hdop * 15) / 10;
    const double pdop = std::round(std::sqrt(hdop * hdop + vdop * vdop) * 10) / 10;
    if (fix) {
        char sats[8];
        std::snprintf(sats, sizeof sats, "%02d", static_cast<int>(used.size()));
        out.push_back("GPGGA," + time + "," + lat + "," + lon + "," + (dgps ? "2," : "1,") + sats +
                      "," + Format("%.1f", hdop) + "," + Format("%.1f", altitude_) + ",M," +
                      Format("%.1f", geoid_) + ",M," +
                      (dgps ? Format("%.1f", 1.0 + epoch_ % 5) + "," + station_ : ","));
    } else {
        out.push_back("GPGGA," + time + ",,,,,0,00,99.99,,,,,,");
    }

    const int dim = stage_ == TStage::NoFix ? 1 : stage_ == TStage::Fix2D ? 2 : 3;
    std::string gsa = "GPGSA,A," + std::to_string(dim);
    for (size_t slot = 0; slot < 12; ++slot) {
        gsa += ',';
        if (slot < used.size()) {
            char prn[8];
            std::snprintf(prn, sizeof prn, "%02d", used[slot]);
            gsa += prn;
        }
    }
    if (fix) {
        gsa += "," + Format("%.1f", pdop) + "," + Format("%.1f", hdop) + "," +
               Format("%.1f", dim == 2 ? 1.0 : vdop);
    } else {
        gsa += ",99.99,99.99,99.99";
    }
    out.push_back(gsa);

    if (epoch_ % 5 == 0 && tick_ == 0) {
        const size_t count = satellites_.size();
        const size_t messages = (count + 3) / 4;
        for (size_t m = 0; m < messages; ++m) {
            std::string gsv = "GPGSV," + std::to_string(messages) + "," + std::to_string(m + 1) +
                              "," + std::to_string(count);
            for (size_t i = m * 4; i < count && i < m * 4 + 4; ++i) {
                const TSatellite& s = satellites_[i];
                char sat[32];
                std::snprintf(sat, sizeof sat, ",%02d,%02d,%03d,", s.prn,
                              static_cast<int>(s.elevation), static_cast<int>(s.azimuth));
                gsv += sat;
                if (fix) {
                    gsv += std::to_string(20 + static_cast<int>(s.elevation / 4));
                }
            }
            out.push_back(gsv);
        }
    }
    return out;
}

std::vector<std::string> TScenario::GnssPayloads(int64_t utc) {
    const std::string time = NmeaTimeField(utc, tick_ * 100 / hz_);
    const std::string date = NmeaDateField(utc);
    const bool fix = stage_ != TStage::NoFix;
    const char* mode = !fix                         ? "N"
                       : stage_ == TStage::DGPS     ? "D"
                       : stage_ == TStage::RTKFloat ? "F"
                                                    : "A";
    const char* quality = !fix                         ? "0"
                          : stage_ == TStage::DGPS     ? "2"
                          : stage_ == TStage::RTKFloat ? "5"
                                                       : "1";
    std::vector<std::string> out;

    const std::string lat = NmeaAngle(lat_, 2) + (lat_ < 0 ? ",S" : ",N");
    const std::string lon = NmeaAngle(lon_, 3) + (lon_ < 0 ? ",W" : ",E");
    const double course = std::fmod(std::round(course_ * 10) / 10, 360.0);
    // u-blox sends navigational status V with every fix.
    if (fix) {
        out.push_back("GNRMC," + time + ",A," + lat + "," + lon + "," +
                      Format("%.3f", speedKnots_) + "," + Format("%.2f", course) + "," + date +
                      ",,," + mode + ",V");
        out.push_back("GNVTG," + Format("%.2f", course) + ",T,,M," + Format("%.3f", speedKnots_) +
                      ",N," + Format("%.3f", speedKnots_ * 1.852) + ",K," + mode);
    } else {
        out.push_back("GNRMC," + time + ",V,,,,,,," + date + ",,,N,V");
        out.push_back("GNVTG,,,,,,,,,N");
    }

    // Used: the highest of each system; Galileo joins only in 3D and drops
    // out now and then, leaving its GSA line empty.
    const auto usedOf = [](const std::vector<TSatellite>& sats, int count) {
        std::vector<int> used;
        for (int i = 0; i < count && i < static_cast<int>(sats.size()); ++i) {
            used.push_back(sats[static_cast<size_t>(i)].prn);
        }
        std::sort(used.begin(), used.end());
        return used;
    };
    const bool threeD = fix && stage_ != TStage::Fix2D;
    const std::vector<int> gps = usedOf(satellites_, usedCount_);
    const std::vector<int> glo = usedOf(glonass_, usedCount_ / 2);
    const std::vector<int> gal = usedOf(galileo_, threeD && epoch_ % 7 >= 2 ? usedCount_ / 3 : 0);
    const size_t total = gps.size() + glo.size() + gal.size();

    const double n = static_cast<double>(std::max<size_t>(total, 1));
    const double hdop = std::round((0.5 + 4.0 / n + Uniform(0, 0.2)) * 100) / 100;
    const double vdop = std::round(hdop * 150) / 100;
    const double pdop = std::round(std::sqrt(hdop * hdop + vdop * vdop) * 100) / 100;
    if (fix) {
        char sats[8];
        std::snprintf(sats, sizeof sats, "%02d", static_cast<int>(std::min<size_t>(total, 12)));
        out.push_back("GNGGA," + time + "," + lat + "," + lon + "," + quality + "," + sats + "," +
                      Format("%.2f", hdop) + "," + Format("%.1f", altitude_) + ",M," +
                      Format("%.1f", geoid_) + ",M," +
                      (stage_ == TStage::DGPS || stage_ == TStage::RTKFloat
                           ? Format("%.1f", 1.0 + epoch_ % 5) + "," + station_
                           : ","));
    } else {
        out.push_back("GNGGA," + time + ",,,,,0,00,99.99,,,,,,");
    }

    const int dim = !fix ? 1 : stage_ == TStage::Fix2D ? 2 : 3;
    const std::string dops = fix ? Format("%.2f", pdop) + "," + Format("%.2f", hdop) + "," +
                                       Format("%.2f", dim == 2 ? 1.0 : vdop)
                                 : "99.99,99.99,99.99";
    const std::vector<int>* systems[] = {&gps, &glo, &gal};
    for (int id = 1; id <= 3; ++id) {
        std::string gsa = "GNGSA,A," + std::to_string(dim);
        const std::vector<int>& used = *systems[id - 1];
        for (size_t slot = 0; slot < 12; ++slot) {
            gsa += ',';
            if (slot < used.size()) {
                char prn[8];
                std::snprintf(prn, sizeof prn, "%02d", used[slot]);
                gsa += prn;
            }
        }
        out.push_back(gsa + "," + dops + "," + std::to_string(id));
    }

    // GSV groups, four satellites a message, with the signal ID (GPS L1 C/A
    // and GLONASS L1 OF: 1; Galileo E1: 7); no SNR without a fix.
    const auto gsv = [&](const char* talker, const std::vector<TSatellite>& sats, int signal) {
        const size_t count = sats.size();
        const size_t messages = (count + 3) / 4;
        for (size_t m = 0; m < messages; ++m) {
            char inView[24];
            std::snprintf(inView, sizeof inView, "%02zu", count);
            std::string line = std::string(talker) + "GSV," + std::to_string(messages) + "," +
                               std::to_string(m + 1) + "," + inView;
            for (size_t i = m * 4; i < count && i < m * 4 + 4; ++i) {
                const TSatellite& s = sats[i];
                char sat[32];
                std::snprintf(sat, sizeof sat, ",%02d,%02d,%03d,", s.prn,
                              static_cast<int>(s.elevation), static_cast<int>(s.azimuth));
                line += sat;
                if (fix) {
                    line += std::to_string(18 + static_cast<int>(s.elevation / 3));
                }
            }
            out.push_back(line + "," + std::to_string(signal));
        }
    };
    gsv("GP", satellites_, 1);
    gsv("GL", glonass_, 1);
    gsv("GA", galileo_, 7);

    if (fix) {
        out.push_back("GNGLL," + lat + "," + lon + "," + time + ",A," + mode);
    } else {
        out.push_back("GNGLL,,,,," + time + ",V,N");
    }
    return out;
}

TSimLine TScenario::Damaged(std::string line) {
    // The payload sits between "$" and "*"; the damage stays inside it, so
    // the line keeps its frame and only its checksum fails.
    const size_t star = line.find('*');
    const std::string original = line;
    for (;;) {
        line = original;
        if (UniformInt(0, 1) == 0) {
            // One byte changed on the way.
            const auto pos = static_cast<size_t>(UniformInt(1, static_cast<int>(star) - 1));
            char c = line[pos];
            while (c == line[pos] || c == '$' || c == '*' || c == '!' || c == ',') {
                c = static_cast<char>(UniformInt(0x21, 0x7E));
            }
            line[pos] = c;
        } else {
            // A stretch of bytes lost: the start of the line and its end meet.
            const auto from = static_cast<size_t>(UniformInt(1, static_cast<int>(star) / 2));
            const auto count = static_cast<size_t>(UniformInt(3, 12));
            line.erase(from, std::min(count, line.size() - 2 - from));
        }
        if (!ChecksumMatches(line)) {
            return {line, true};
        }
    }
}

TEpoch TScenario::Next() {
    if (tick_ == 0 && stageLeft_ <= 0) {
        NextStage();
    }
    TEpoch e;
    e.stage = stage_;
    e.utc = utc_;
    e.hundredths = tick_ * 100 / hz_;
    for (std::string& payload : Payloads(utc_)) {
        std::string line = Sentence(payload);
        if (UniformInt(1, kCorruptionOdds) == 1) {
            e.lines.push_back(Damaged(std::move(line)));
        } else {
            e.lines.push_back({std::move(line), false});
        }
    }
    if (++tick_ == hz_) {
        tick_ = 0;
        --stageLeft_;
        ++epoch_;
        ++utc_;
    }
    Move(1.0 / hz_);
    return e;
}

}  // namespace nmeasim
