// gpscat driven in-process: options, JSON of the events and the summary.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/gpscat/GpsCat.h"

using nlohmann::json;

namespace {

const std::string kRmc = "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string kGga = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";
const std::string kGsa = "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3A\r\n";

struct TResult {
    int status = -1;
    std::string out;
    std::string err;
    std::vector<json> lines;
};

TResult RunWith(const std::vector<std::string>& args, const std::string& input = {}) {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    TResult r;
    r.status = gpscat::Run(args, in, out, err);
    r.out = out.str();
    r.err = err.str();
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind('{', 0) == 0) {
            r.lines.push_back(json::parse(line));
        }
    }
    return r;
}

std::vector<std::string> EventNames(const TResult& r) {
    std::vector<std::string> names;
    for (const json& j : r.lines) {
        names.push_back(j.at("event").get<std::string>());
    }
    return names;
}

// A file of this test's own: test programs of several builds may run at once.
std::string TempFile(const std::string& name, const std::string& content) {
    static const std::string unique = std::to_string(std::random_device{}());
    const std::string path = testing::TempDir() + "gpscat_" + unique + "_" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

}  // namespace

TEST(GpsCatOptions, ValuesAndMistakes) {
    gpscat::TOptions o;
    std::string error;
    ASSERT_TRUE(gpscat::ParseOptions({"--units", "metric", "--pos-units=rad", "--format", "ddddd",
                                      "--quiet", "--summary", "a.nmea", "-", "--", "--odd"},
                                     o, error));
    EXPECT_EQ(o.units, gps::TUnits::Metric);
    EXPECT_EQ(o.posUnits, gps::TFloatUnits::Rad);
    EXPECT_EQ(o.format, gps::TStrFormat::DDddd);
    EXPECT_TRUE(o.quiet);
    EXPECT_TRUE(o.summary);
    EXPECT_EQ(o.files, (std::vector<std::string>{"a.nmea", "-", "--odd"}));

    struct Bad {
        std::vector<std::string> args;
        const char* mentions;
    };
    const Bad bad[] = {{{"--units", "furlongs"}, "furlongs"},
                       {{"--pos-units"}, "--pos-units"},
                       {{"--format=DDMMSS"}, "DDMMSS"},
                       {{"--verbose"}, "--verbose"},
                       {{"-q"}, "-q"},
                       {{"--quiet=yes"}, "--quiet"}};
    for (const Bad& b : bad) {
        gpscat::TOptions fresh;
        error.clear();
        EXPECT_FALSE(gpscat::ParseOptions(b.args, fresh, error)) << b.mentions;
        EXPECT_NE(error.find(b.mentions), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);

        // The program says so on one line of standard error, and nothing else.
        const TResult r = RunWith(b.args, kRmc);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, error + "\n");
    }

    const TResult help = RunWith({"--help"}, kRmc);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--pos-units deg|min|sec|rad"), std::string::npos);
    EXPECT_EQ(help.err, "");

    // --version: the name and the receiver's own Version, and no input read.
    const gps::TGPS receiver;
    const TResult version = RunWith({"--version", "--units", "metric"}, kRmc);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "gpscat " + receiver.Version() + "\n");
    EXPECT_EQ(version.err, "");
}

TEST(GpsCatText, Latin1AndTimes) {
    EXPECT_EQ(gpscat::Latin1ToUtf8("48\xB0 07' N"), "48\xC2\xB0 07' N");
    EXPECT_EQ(gpscat::Latin1ToUtf8(std::string("\x00\x7F\x80\xFF", 4)),
              std::string("\x00\x7F\xC2\x80\xC3\xBF", 6));
    EXPECT_EQ(gpscat::IsoTime(-1.0), "1899-12-29T00:00:00Z");
    EXPECT_EQ(gpscat::IsoTime(0.0), "1899-12-30T00:00:00Z");
    EXPECT_EQ(gpscat::IsoTime(36526.0), "2000-01-01T00:00:00Z");
    EXPECT_EQ(gpscat::IsoTime(70941 + (12 * 3600 + 35 * 60 + 19) / 86400.0),
              "2094-03-23T12:35:19Z");
    // Nearest whole second, also across midnight.
    EXPECT_EQ(gpscat::IsoTime(45351 + 0.4 / 86400), "2024-02-29T00:00:00Z");
    EXPECT_EQ(gpscat::IsoTime(45351 + 86399.6 / 86400), "2024-03-01T00:00:00Z");
    EXPECT_EQ(gpscat::IsoTime(1e300), "");
}

TEST(GpsCatRun, EventsInOrderWithTheirFields) {
    const std::string input = "junk\r\n" + kRmc + kGga + kGsa +
                              "$GPRMC,123520,V,,,,,,,230394,,*39\r\n$GNGSV,1,1,00*67\r\n";
    const TResult r = RunWith({}, input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(EventNames(r),
              (std::vector<std::string>{"OnError", "OnSentence", "OnValidFix", "OnSentence",
                                        "OnFixQuality", "OnSentence", "OnFixProgress", "OnFixLoss",
                                        "OnSentence", "OnSentence"}));
    EXPECT_EQ(r.lines[0], (json{{"event", "OnError"}, {"ErrMsg", "Checksum failed"}}));
    EXPECT_EQ(r.lines[1]["SenID"], "GPRMC");
    EXPECT_EQ(r.lines[1]["Sentence"], kRmc.substr(0, kRmc.size() - 2));
    const json& fix = r.lines[2];
    EXPECT_EQ(fix.size(), 8u);
    // Numbers read back to exactly the receiver's values.
    EXPECT_EQ(fix["Lat"].get<double>(), 48 + 7.038 / 60);
    EXPECT_EQ(fix["Lon"].get<double>(), 11 + 31.0 / 60);
    EXPECT_EQ(fix["SOG"].get<double>(), 22.4);
    EXPECT_EQ(fix["COG"].get<double>(), 84.4);
    EXPECT_EQ(fix["UTCTime"], "2094-03-23T12:35:19Z");
    EXPECT_EQ(fix["LatAsStr"], "48\xC2\xB0 07' 02\" N");
    EXPECT_EQ(fix["LonAsStr"], "11\xC2\xB0 31' 00\" E");
    EXPECT_EQ(r.lines[4],
              (json{{"event", "OnFixQuality"}, {"Quality", "GPS Fix (SPS)"}, {"FixQ", 1}}));
    EXPECT_EQ(r.lines[6], (json{{"event", "OnFixProgress"}, {"Progress", "3D Fix"}, {"FixD", 3}}));
    EXPECT_EQ(r.lines[7], (json{{"event", "OnFixLoss"}}));
    EXPECT_EQ(r.lines[9]["SenID"], "GNGSV");
    // "event" always comes first.
    std::istringstream text(r.out);
    std::string line;
    while (std::getline(text, line)) {
        EXPECT_EQ(line.rfind("{\"event\":", 0), 0u) << line;
    }
}

TEST(GpsCatRun, UnitsFormatsAndSummary) {
    const TResult r =
        RunWith({"--units", "metric", "--pos-units", "min", "--format", "ddmmmm", "--summary"},
                kRmc + kGga + kGsa);
    ASSERT_EQ(r.status, 0);
    const json& fix = r.lines.at(1);
    EXPECT_EQ(fix["Lat"].get<double>(), (48 + 7.038 / 60) * 60);
    EXPECT_EQ(fix["SOG"].get<double>(), 22.4 * 1.852);
    EXPECT_EQ(fix["LatAsStr"], "48\xC2\xB0 07.03 N");

    const json& s = r.lines.back();
    EXPECT_EQ(s["event"], "State");
    EXPECT_EQ(s["FixValid"], true);
    EXPECT_EQ(s["UTCTime"], "2094-03-23T12:35:19Z");
    EXPECT_EQ(s["LatDeg"].get<double>(), 48 + 7.038 / 60);
    EXPECT_EQ(s["MagVar"].get<double>(), -3.1);
    EXPECT_EQ(s["HasMagVar"], true);
    EXPECT_EQ(s["FixQuality"], 1);
    EXPECT_EQ(s["FixSatCount"], 8);
    EXPECT_EQ(s["RawAltitude"].get<double>(), 545.4);
    EXPECT_EQ(s["Altitude"].get<double>(), 545.4);
    EXPECT_EQ(s["AltUnits"], "M");
    EXPECT_EQ(s["DeltaUnits"], "M");
    EXPECT_EQ(s["IsDGPS"], false);
    EXPECT_EQ(s["StnDGPS"], "");
    EXPECT_EQ(s["FixMode"], "Automatic");
    EXPECT_EQ(s["FixDim"], 3);
    EXPECT_EQ(s["SatSet"], (json{4, 5, 9, 12, 24}));
    EXPECT_EQ(s["PDOP"].get<double>(), 2.5);
    EXPECT_EQ(s["HDOP"].get<double>(), 1.3);
    EXPECT_EQ(s["VDOP"].get<double>(), 2.2);
    EXPECT_EQ(s["NmeaSentence"], kGsa.substr(0, kGsa.size() - 2));
    EXPECT_EQ(s["LatAsStr"], "48\xC2\xB0 07.03 N");
    const char* keys[] = {"event",        "FixValid",    "UTCTime",   "LatDeg",        "LonDeg",
                          "SpeedKnots",   "COG",         "HasMagVar", "MagVar",        "FixQuality",
                          "FixSatCount",  "RawAltitude", "AltUnits",  "HasGeoidDelta", "GeoidDelta",
                          "DeltaUnits",   "IsDGPS",      "AgeDGPS",   "StnDGPS",       "FixMode",
                          "FixDim",       "SatSet",      "PDOP",      "HDOP",          "VDOP",
                          "NmeaSentence", "Altitude",    "LatAsStr",  "LonAsStr"};
    EXPECT_EQ(s.size(), std::size(keys));
    for (const char* k : keys) {
        EXPECT_TRUE(s.contains(k)) << k;
    }

    // Quiet: the summary alone; a fresh receiver has empty characters.
    const TResult quiet = RunWith({"--quiet", "--summary"}, "");
    ASSERT_EQ(quiet.lines.size(), 1u);
    EXPECT_EQ(quiet.lines[0]["AltUnits"], "");
    EXPECT_TRUE(quiet.lines[0]["UTCTime"].is_null());
    EXPECT_EQ(quiet.lines[0]["LatAsStr"], "--");
    EXPECT_EQ(quiet.lines[0]["SatSet"], json::array());
    EXPECT_EQ(RunWith({"--quiet"}, kRmc).out, "");
}

TEST(GpsCatRun, FilesInSequenceAndUnreadableFiles) {
    // A line split across two files is one line of the stream.
    const std::string first = TempFile("first.nmea", kRmc + kGga.substr(0, 20));
    const std::string second = TempFile("second.nmea", kGga.substr(20));
    const TResult r = RunWith({first, "-", second}, kGsa);
    ASSERT_EQ(r.status, 0) << r.err;
    // The GSA from standard input lands inside the split GGA line, which then
    // starts over at its "$" and the GGA tail fails.
    EXPECT_EQ(EventNames(r), (std::vector<std::string>{"OnSentence", "OnValidFix", "OnSentence",
                                                       "OnFixProgress", "OnError"}));

    const std::string missing = testing::TempDir() + "gpscat_no_such_file.nmea";
    std::remove(missing.c_str());
    const TResult gone = RunWith({first, missing});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.out, "");
    EXPECT_NE(gone.err.find(missing), std::string::npos);
    EXPECT_EQ(gone.err.find('\n'), gone.err.size() - 1);

    const TResult dir = RunWith({testing::TempDir()});
    EXPECT_EQ(dir.status, 1);
    EXPECT_EQ(dir.out, "");
    EXPECT_NE(dir.err.find("cannot read"), std::string::npos);
    std::remove(first.c_str());
    std::remove(second.c_str());
}

TEST(GpsCatOptions, PortOptionsAndTheirMistakes) {
    gpscat::TOptions o;
    std::string error;
    ASSERT_TRUE(gpscat::ParseOptions({"--port", "3", "--baud=9600", "--timeout", "1500", "--trace",
                                      "t.trc", "--log", "t.log", "--units", "metric"},
                                     o, error))
        << error;
    EXPECT_EQ(o.port, 3);
    EXPECT_EQ(o.baud, 9600);
    EXPECT_EQ(o.timeoutMs, 1500);
    EXPECT_EQ(o.trace, "t.trc");
    EXPECT_EQ(o.log, "t.log");
    EXPECT_EQ(o.setClock, gpscat::TClockChoice::None);
    EXPECT_TRUE(o.files.empty());

    gpscat::TOptions clock;
    ASSERT_TRUE(
        gpscat::ParseOptions({"--port=1", "--set-clock", "local", "--wait", "5"}, clock, error));
    EXPECT_EQ(clock.setClock, gpscat::TClockChoice::Local);
    EXPECT_EQ(clock.waitSeconds, 5);
    gpscat::TOptions defaults;
    ASSERT_TRUE(gpscat::ParseOptions({"--port", "255", "--set-clock=sys"}, defaults, error));
    EXPECT_EQ(defaults.baud, 4800);
    EXPECT_EQ(defaults.timeoutMs, 3000);
    EXPECT_EQ(defaults.waitSeconds, 60);

    struct Bad {
        std::vector<std::string> args;
        const char* mentions;
    };
    const Bad bad[] = {{{"--port", "0"}, "--port"},
                       {{"--port", "256"}, "--port"},
                       {{"--port", "COM1"}, "COM1"},
                       {{"--port", "1", "log.nmea"}, "not both"},
                       {{"--trace", "t.trc"}, "needs --port"},
                       {{"--baud", "4800", "log.nmea"}, "needs --port"},
                       {{"--port", "1", "--baud", "-5"}, "-5"},
                       {{"--port", "1", "--timeout", "soon"}, "soon"},
                       {{"--port", "1", "--set-clock", "utc"}, "utc"},
                       {{"--port", "1", "--wait", "10"}, "needs --set-clock"},
                       {{"--port", "1", "--set-clock", "sys", "--wait", "0"}, "--wait"},
                       {{"--port", "1", "--log="}, "--log"}};
    for (const Bad& b : bad) {
        gpscat::TOptions fresh;
        error.clear();
        EXPECT_FALSE(gpscat::ParseOptions(b.args, fresh, error)) << b.mentions;
        EXPECT_NE(error.find(b.mentions), std::string::npos) << error;
        const TResult r = RunWith(b.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, error + "\n");
    }

    gpscat::TOptions switching;
    ASSERT_TRUE(gpscat::ParseOptions({"--port", "1", "--switch-port", "2", "--switch-every=5"},
                                     switching, error))
        << error;
    EXPECT_EQ(switching.switchPort, 2);
    EXPECT_EQ(switching.switchSeconds, 5);
    const std::vector<std::string> badSwitches[] = {
        {"--switch-port", "2"},
        {"--port", "1", "--switch-every", "5"},
        {"--port", "1", "--switch-port", "1"},
        {"--port", "1", "--switch-port", "0"},
        {"--port=1", "--switch-port=2", "--switch-every=0"}};
    for (const std::vector<std::string>& args : badSwitches) {
        gpscat::TOptions fresh;
        EXPECT_FALSE(gpscat::ParseOptions(args, fresh, error)) << args.back();
    }

    const TResult help = RunWith({"--help"});
    for (const char* text : {"--port N", "--baud B", "--timeout MS", "--trace FILE", "--log FILE",
                             "--set-clock sys|local", "--wait SECONDS", "PALMOGPS_PORTS",
                             "needs the right to set the clock"}) {
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    }
}

TEST(GpsCatPort, PortThatCannotBeOpened) {
    // COM 200 has nothing behind it on any machine this runs on: the
    // component's message on one line, status 1, no events.
    const TResult r = RunWith({"--port", "200"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("gpscat: COM200: ", 0), 0u) << r.err;
    EXPECT_GT(r.err.size(), std::string("gpscat: COM200: \n").size());
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
}

TEST(GpsCatRun, NoMadeUpDates) {
    auto line = [](const std::string& payload) {
        uint8_t sum = 0;
        for (const char c : payload) {
            sum ^= static_cast<uint8_t>(c);
        }
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", sum);
        return "$" + payload + "*" + hex + "\r\n";
    };
    // A date or time that does not decode (or none) is null, never 1899.
    for (const char* dateTime : {"120000,A,999999", "120000,A,", "120000,A,290223",
                                 "120000,A,310299", "99:99:99.999999,A,150624"}) {
        const std::string payload = std::string("GPRMC,") + dateTime;
        const std::string rmc = payload.substr(0, payload.rfind(',')) +
                                ",4800.000,N,01100.000,E,1,0," +
                                payload.substr(payload.rfind(',') + 1) + ",,";
        const TResult r = RunWith({"--summary"}, line(rmc));
        ASSERT_EQ(r.lines.size(), 3u) << rmc << r.out;
        EXPECT_EQ(r.lines[1]["event"], "OnValidFix");
        EXPECT_TRUE(r.lines[1]["UTCTime"].is_null()) << rmc << r.out;
        EXPECT_TRUE(r.lines[2]["UTCTime"].is_null()) << rmc;
    }
    // No time at all.
    const TResult none = RunWith({"--summary"}, "");
    ASSERT_EQ(none.lines.size(), 1u);
    EXPECT_TRUE(none.lines[0]["UTCTime"].is_null());
    // A real one is still printed.
    const TResult real = RunWith({"--summary"}, kRmc);
    EXPECT_EQ(real.lines.back()["UTCTime"], "2094-03-23T12:35:19Z");
}

namespace {

// FNV-1a, 64 bits: a compact fingerprint of a whole output.
uint64_t Fingerprint(const std::string& text) {
    uint64_t h = 0xcbf29ce484222325u;
    for (const char c : text) {
        h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    }
    return h;
}

}  // namespace

TEST(GpsCatRun, SampleLogOutputIsPinnedWithoutTheSatelliteOptions) {
    // The output of the sample log as it was before the dialects and the
    // satellites existed; --dialect gp and --satellites without GSV change
    // nothing. (A deliberate change of the output needs new fingerprints.)
    const std::string sample = PALMO_SOURCE_DIR "/samples/receiver.nmea";
    const TResult plain = RunWith({sample});
    ASSERT_EQ(plain.status, gpscat::kExitOk) << plain.err;
    EXPECT_EQ(plain.out.size(), 114425u);
    EXPECT_EQ(Fingerprint(plain.out), 0xb6ae6687cea30d16u);
    const TResult summary = RunWith({"--dialect", "gp", "--summary", sample});
    EXPECT_EQ(Fingerprint(summary.out), 0x0dc8cb6db707e6d8u);
    const TResult converted = RunWith(
        {"--units", "metric", "--pos-units", "rad", "--format", "ddddd", "--summary", sample});
    EXPECT_EQ(Fingerprint(converted.out), 0xc6940006db38b8a7u);

    // --satellites only adds its own lines.
    const TResult satellites = RunWith({"--satellites", sample});
    std::string others;
    size_t groups = 0;
    std::istringstream lines(satellites.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("{\"event\":\"OnSatellites\"", 0) == 0) {
            ++groups;
        } else {
            others += line + "\n";
        }
    }
    EXPECT_GT(groups, 0u);
    EXPECT_EQ(others, plain.out);
}

TEST(GpsCatRun, GnssDialectSatellitesAndSummary) {
    const std::string input =
        "$GNRMC,083559.00,A,4717.11437,N,00833.91522,E,0.004,77.52,091202,,,A,V*33\r\n"
        "$GNGSA,A,3,02,05,,,,,,,,,,,1.10,0.64,0.89,1*05\r\n"
        "$GNGSA,A,3,65,,,,,,,,,,,,1.10,0.64,0.89,2*02\r\n"
        "$GPGSV,1,1,02,02,45,123,38,07,12,,,1*5A\r\n";
    const TResult r = RunWith({"--dialect", "gnss", "--satellites", "--summary"}, input);
    ASSERT_EQ(r.status, gpscat::kExitOk) << r.err;
    EXPECT_EQ(EventNames(r),
              (std::vector<std::string>{"OnSentence", "OnValidFix", "OnSentence", "OnFixProgress",
                                        "OnSentence", "OnSentence", "OnSatellites", "State"}));
    // Keys in the order written, null for an empty field.
    EXPECT_NE(r.out.find(
                  R"({"event":"OnSatellites","Satellites":[{"System":"GPS","PRN":2,"Elevation":45,)"
                  R"("Azimuth":123,"SNR":38,"Used":true},{"System":"GPS","PRN":7,"Elevation":12,)"
                  R"("Azimuth":null,"SNR":null,"Used":false}]})"
                  "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(R"("UsedSatellites":[{"System":"GPS","PRN":2},{"System":"GPS","PRN":5},)"
                         R"({"System":"GLONASS","PRN":65}],"SatellitesInView":[)"),
              std::string::npos);
    const json& state = r.lines.back();
    EXPECT_EQ(state.at("SatellitesInView").size(), 2u);
    // The GP dialect reads none of the GN lines and adds nothing to the summary.
    const TResult gp = RunWith({"--summary"}, input);
    EXPECT_FALSE(gp.lines.back().contains("UsedSatellites"));
    EXPECT_EQ(gp.lines.back().at("FixValid"), false);
    std::string error;
    gpscat::TOptions options;
    EXPECT_FALSE(gpscat::ParseOptions({"--dialect", "glonass"}, options, error));
    EXPECT_NE(error.find("one of gp, gnss"), std::string::npos) << error;
}

// gpscat's lines keep nlohmann::json's forms of numbers and strings, byte
// for byte, on values a receiver can give and on hostile ones.
TEST(GpsCatJson, NumbersAndStringsAsNlohmannWritesThem) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> wide(-1e7, 1e7);
    const double fixed[] = {0.0,   -0.0, 1.0,  48.1173,        -11.516666666666667,
                            22.4,  1e-7, 1e22, 123456789012.5, 3.2808 * 545.4,
                            5e-324};
    const auto line = [](double v) {
        std::string out;
        gpscat::TJsonLine j(out);
        j.Double("v", v);
        j.Close();
        return out;
    };
    for (const double v : fixed) {
        EXPECT_EQ(line(v), nlohmann::json({{"v", v}}).dump()) << v;
    }
    for (int i = 0; i < 2000; ++i) {
        const double v = wide(rng) / std::pow(10.0, static_cast<int>(rng() % 12));
        ASSERT_EQ(line(v), nlohmann::json({{"v", v}}).dump()) << v;
    }
    EXPECT_EQ(line(std::nan("")), R"({"v":null})");
    for (int i = 0; i < 2000; ++i) {
        std::string bytes(rng() % 40, '\0');
        for (char& c : bytes) {
            c = static_cast<char>(rng() % 4 == 0 ? rng() % 256 : 0x20 + rng() % 95);
        }
        std::string out;
        gpscat::TJsonLine j(out);
        j.Latin1("s", bytes);
        j.Close();
        ASSERT_EQ(out, nlohmann::json({{"s", gpscat::Latin1ToUtf8(bytes)}}).dump());
    }
}
