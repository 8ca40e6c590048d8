// gpscat sharing the receiver, read by real gpsd clients (gpspipe and
// Python's gps module) and by plain sockets: the simulator behind COM1 on a
// pseudo-terminal, its --seed track known from the same seed's output.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "share/ShareClient.h"
#include "support/Pump.h"
#include "tests/tools/posix/ChildProcess.h"

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr const char* kGpspipe = "/usr/bin/gpspipe";
constexpr const char* kPython = "/usr/bin/python3";
const std::vector<std::string> kScenario = {"--seed", "23", "--count", "600"};

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "gpscat_share_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Fields(const std::string& sentence) {
    std::vector<std::string> f;
    const std::string payload = sentence.substr(1, sentence.find('*') - 1);
    std::istringstream in(payload);
    for (std::string field; std::getline(in, field, ',');) {
        f.push_back(field);
    }
    if (!payload.empty() && payload.back() == ',') {
        f.emplace_back();
    }
    return f;
}

double Degrees(const std::string& value, const std::string& side) {
    const double v = std::stod(value);
    const double deg = std::floor(v / 100) + std::fmod(v, 100) / 60;
    return side == "S" || side == "W" ? -deg : deg;
}

// What the simulator sends for the scenario: its lines, the position of
// each valid RMC by its time ("hhmmss"), and each epoch's satellites in view
// as (PRN, elevation, azimuth).
struct TTrack {
    std::string bytes;
    std::map<std::string, std::pair<double, double>> fixes;
    std::vector<std::set<std::tuple<int, int, int>>> skies;
};

TTrack SimulatorTrack() {
    std::vector<std::string> args = kScenario;
    args.insert(args.end(), {"--stdout", "--speed", "0"});
    childtest::TChild sim(NMEASIM_EXE, args);
    TTrack t;
    t.bytes = sim.ReadBytes(16 << 20);
    EXPECT_EQ(sim.Wait(), 0);
    std::set<std::tuple<int, int, int>> sky;
    for (std::string line : SplitLines(t.bytes)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        // The simulator garbles some lines on purpose: only sound ones count.
        const size_t star = line.find('*');
        if (line.empty() || line[0] != '$' || star == std::string::npos ||
            star + 3 != line.size()) {
            continue;
        }
        unsigned sum = 0;
        for (size_t i = 1; i < star; ++i) {
            sum ^= static_cast<unsigned char>(line[i]);
        }
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", sum);
        if (line.compare(star + 1, 2, hex) != 0) {
            continue;
        }
        const std::vector<std::string> f = Fields(line);
        if (f[0] == "GPRMC" && f.size() > 6 && f[2] == "A" && !f[3].empty()) {
            t.fixes[f[1].substr(0, 6)] = {Degrees(f[3], f[4]), Degrees(f[5], f[6])};
        } else if (f[0] == "GPGSV" && f.size() > 3) {
            if (f[2] == "1") {
                sky.clear();
            }
            for (size_t i = 4; i + 3 < f.size() + 1 && i + 2 < f.size(); i += 4) {
                if (!f[i].empty() && !f[i + 1].empty() && !f[i + 2].empty()) {
                    sky.insert({std::stoi(f[i]), std::stoi(f[i + 1]), std::stoi(f[i + 2])});
                }
            }
            if (f[1] == f[2]) {
                t.skies.push_back(sky);
            }
        }
    }
    return t;
}

// The port a server of gpscat listens on, from its "serving" line.
uint16_t ServedPort(childtest::TChild& cat, const std::string& what) {
    uint16_t port = 0;
    testsupport::Eventually(
        [&] {
            const std::string err = cat.ErrText();
            const std::string mark = "gpscat: serving " + what + " on 127.0.0.1:";
            const size_t at = err.find(mark);
            if (at != std::string::npos) {
                port = static_cast<uint16_t>(std::stoi(err.substr(at + mark.size())));
            }
            return port != 0 || cat.Wait(0).has_value();
        },
        20000);
    return port;
}

// gpscat on the simulator behind COM1, serving gpsd JSON on a free port,
// once the simulator's fix is 3D.
struct TServedSimulator {
    TServedSimulator(std::vector<std::string> extra = {})
        : link(TempPath("com1")), sim(NMEASIM_EXE, [&] {
              std::vector<std::string> a = kScenario;
              a.insert(a.end(), {"--link", link, "--speed", "10"});
              return a;
          }()) {
        EXPECT_TRUE(sim.ReadLine()) << sim.ErrText();
        std::vector<std::string> args = {"--port", "1", "--serve", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        cat.emplace(GPSCAT_EXE, args, std::vector<std::string>{"PALMOGPS_PORTS=" + link});
        port = ServedPort(*cat, "gpsd JSON");
        // Unless quiet, the events go on as before: up to the first 3D fix.
        const bool quiet = std::find(extra.begin(), extra.end(), "--quiet") != extra.end();
        for (std::optional<std::string> line; !quiet && (line = cat->ReadLine(20000));) {
            if (line->find("\"event\":\"OnFixProgress\"") != std::string::npos &&
                json::parse(*line)["FixD"] == 3) {
                threeD = true;
                break;
            }
        }
    }
    ~TServedSimulator() {
        if (cat) {
            cat->Signal(SIGTERM);
            EXPECT_EQ(cat->Wait(), 0) << cat->ErrText();
        }
    }
    std::string link;
    childtest::TChild sim;
    std::optional<childtest::TChild> cat;
    uint16_t port = 0;
    bool threeD = false;
};

std::string Address(uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

std::vector<json> Objects(childtest::TChild& client, size_t count) {
    std::vector<json> objects;
    while (objects.size() < count) {
        const std::optional<std::string> line = client.ReadLine(20000);
        if (!line) {
            break;
        }
        objects.push_back(json::parse(*line));
    }
    return objects;
}

}  // namespace

TEST(GpsCatShare, GpspipeReadsTheSimulatorsTrackAndSky) {
    const TTrack track = SimulatorTrack();
    ASSERT_GT(track.fixes.size(), 100u);
    TServedSimulator served;
    ASSERT_NE(served.port, 0) << served.cat->ErrText();
    ASSERT_TRUE(served.threeD);

    childtest::TChild pipe(kGpspipe, {"-w", "-n", "20", Address(served.port)});
    const std::vector<json> got = Objects(pipe, 20);
    EXPECT_EQ(pipe.Wait(), 0) << pipe.ErrText();
    ASSERT_EQ(got.size(), 20u);
    EXPECT_EQ(got[0]["class"], "VERSION");
    EXPECT_EQ(got[0]["proto_major"], 3);
    EXPECT_EQ(got[1]["class"], "DEVICES");
    EXPECT_EQ(got[1]["devices"][0]["path"], served.link);
    EXPECT_EQ(got[1]["devices"][0]["bps"], 4800);
    EXPECT_EQ(got[2]["class"], "WATCH");
    size_t threeD = 0;
    size_t skies = 0;
    for (size_t i = 3; i < got.size(); ++i) {
        const json& o = got[i];
        if (o["class"] == "TPV" && o["mode"] == 3) {
            ++threeD;
            const std::string time = o["time"];  // 2024-06-15T10:15:22.000Z
            const std::string hhmmss = time.substr(11, 2) + time.substr(14, 2) + time.substr(17, 2);
            ASSERT_EQ(track.fixes.count(hhmmss), 1u) << time;
            EXPECT_NEAR(o["lat"].get<double>(), track.fixes.at(hhmmss).first, 1e-7);
            EXPECT_NEAR(o["lon"].get<double>(), track.fixes.at(hhmmss).second, 1e-7);
            EXPECT_TRUE(o.contains("altMSL"));
        } else if (o["class"] == "SKY") {
            ++skies;
            std::set<std::tuple<int, int, int>> sky;
            for (const json& s : o["satellites"]) {
                sky.insert({s["PRN"].get<int>(), s["el"].get<int>(), s["az"].get<int>()});
                EXPECT_EQ(s["gnssid"], 0);
                EXPECT_TRUE(s["used"].is_boolean());
            }
            EXPECT_NE(std::find(track.skies.begin(), track.skies.end(), sky), track.skies.end());
            EXPECT_EQ(o["uSat"].get<int>() > 0, true);
        }
    }
    EXPECT_GE(threeD, 3u);
    EXPECT_GE(skies, 3u);
}

TEST(GpsCatShare, PythonGpsModuleReadsTpvAndSky) {
    const std::string script = TempPath("client.py");
    std::ofstream(script) << R"(import json, sys
import gps
session = gps.gps(host="127.0.0.1", port=sys.argv[1], mode=gps.WATCH_ENABLE | gps.WATCH_JSON)
tpv = None
sky = None
for _ in range(500):
    report = session.next()
    if report["class"] == "TPV" and report.get("mode", 0) == 3 and tpv is None:
        tpv = {"lat": report.lat, "lon": report.lon, "time": report.time}
    if report["class"] == "SKY" and session.satellites and sky is None:
        sky = [[s.PRN, s.used] for s in session.satellites]
    if tpv and sky:
        break
print(json.dumps({"tpv": tpv, "sky": sky}))
)";
    const TTrack track = SimulatorTrack();
    TServedSimulator served({"--quiet"});
    ASSERT_NE(served.port, 0);
    childtest::TChild python(kPython, {script, std::to_string(served.port)});
    const std::optional<std::string> line = python.ReadLine(30000);
    EXPECT_EQ(python.Wait(30000), 0) << python.ErrText();
    ASSERT_TRUE(line.has_value()) << python.ErrText();
    const json got = json::parse(*line);
    ASSERT_TRUE(got["tpv"].is_object()) << *line;
    const std::string time = got["tpv"]["time"];
    const std::string hhmmss = time.substr(11, 2) + time.substr(14, 2) + time.substr(17, 2);
    ASSERT_EQ(track.fixes.count(hhmmss), 1u) << time;
    EXPECT_NEAR(got["tpv"]["lat"].get<double>(), track.fixes.at(hhmmss).first, 1e-7);
    ASSERT_TRUE(got["sky"].is_array());
    EXPECT_GE(got["sky"].size(), 4u);
    std::remove(script.c_str());
}

TEST(GpsCatShare, GpspipeRawGetsTheSentencesByteForByte) {
    const TTrack track = SimulatorTrack();
    TServedSimulator served({"--quiet"});
    ASSERT_NE(served.port, 0);
    childtest::TChild pipe(kGpspipe, {"-r", "-n", "60", Address(served.port)});
    std::string raw = pipe.ReadBytes(1 << 20, 30000);
    EXPECT_EQ(pipe.Wait(), 0) << pipe.ErrText();
    // The sentences (after the JSON answers to gpspipe's own requests) are a
    // run of the simulator's lines with CR LF, only damaged ones left out.
    std::vector<std::string> sentences;
    for (size_t at = 0; at < raw.size();) {
        const size_t end = raw.find('\n', at);
        ASSERT_NE(end, std::string::npos);
        if (raw[at] == '$') {
            sentences.push_back(raw.substr(at, end + 1 - at));
        }
        at = end + 1;
    }
    ASSERT_GE(sentences.size(), 40u);
    size_t from = track.bytes.find(sentences.front());
    ASSERT_NE(from, std::string::npos) << sentences.front();
    for (const std::string& s : sentences) {
        ASSERT_EQ(s.substr(s.size() - 2), "\r\n");
        const size_t at = track.bytes.find(s, from);
        ASSERT_NE(at, std::string::npos) << s;
        // Anything skipped in between is one damaged line at most at a time.
        const std::string skipped = track.bytes.substr(from, at - from);
        EXPECT_LE(std::count(skipped.begin(), skipped.end(), '\n'), 1) << skipped;
        from = at + s.size();
    }
}

TEST(GpsCatShare, ABusyAddressEndsWithAClearMessage) {
    asio::io_context io;
    asio::ip::tcp::acceptor holder(io, {asio::ip::make_address("127.0.0.1"), 0});
    const uint16_t busy = holder.local_endpoint().port();
    childtest::TChild cat(GPSCAT_EXE, {"--serve", Address(busy), "/dev/null"});
    EXPECT_EQ(cat.Wait(), 1);
    EXPECT_EQ(cat.ErrText(),
              "gpscat: cannot serve on " + Address(busy) + ": address in use (is gpsd running?)\n");
    EXPECT_FALSE(cat.ReadLine(100));
    childtest::TChild nmea(GPSCAT_EXE, {"--serve-nmea=" + Address(busy), "--port", "1"},
                           {"PALMOGPS_PORTS=/nonexistent/tty"});
    EXPECT_EQ(nmea.Wait(), 1);
    EXPECT_EQ(nmea.ErrText(), "gpscat: cannot serve on " + Address(busy) + ": address in use\n");
}

TEST(GpsCatShare, AFileServedAsNmeaDecodesToTheSameEventsAtItsPace) {
    const std::string source = TempPath("source.nmea");
    const std::string captured = TempPath("captured.nmea");
    std::string sent;
    {
        childtest::TChild sim(NMEASIM_EXE,
                              {"--seed", "5", "--count", "30", "--stdout", "--speed", "0"});
        sent = sim.ReadBytes(1 << 20);
        ASSERT_EQ(sim.Wait(), 0);
        std::ofstream(source, std::ios::binary) << sent;
    }
    // 30 epochs at 20 a second: never sooner than 29 intervals.
    childtest::TChild cat(GPSCAT_EXE, {"--serve-nmea", "0", "--pace", "20", "--quiet", source});
    const uint16_t port = ServedPort(cat, "NMEA");
    ASSERT_NE(port, 0) << cat.ErrText();
    const auto start = std::chrono::steady_clock::now();
    sharetest::TClient first(port);
    const std::optional<std::string> firstLine = first.Line(20s);
    ASSERT_TRUE(firstLine.has_value());
    // A second client joins while the file is being served, maybe in the
    // middle of a sentence: it gets whole sentences only.
    sharetest::TClient second(port);
    const std::string capture = *firstLine + first.ReadToEnd(20s);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(first.Eof());
    EXPECT_EQ(cat.Wait(), 0) << cat.ErrText();
    EXPECT_GE(took, 28 * 50ms);
    const std::string joined = second.ReadToEnd(5s);
    ASSERT_FALSE(joined.empty());
    for (const std::string& line : SplitLines(joined)) {
        EXPECT_EQ(line.front(), '$');
        EXPECT_EQ(line.back(), '\r');
        EXPECT_NE(sent.find(line + "\n"), std::string::npos) << line;
    }

    // What the first client captured, decoded, gives the source's events
    // but for the damaged lines, which were not passed on.
    std::ofstream(captured, std::ios::binary) << capture;
    auto events = [](const std::string& path, bool dropDamaged) {
        childtest::TChild decode(GPSCAT_EXE, {path});
        std::vector<std::string> lines;
        while (std::optional<std::string> line = decode.ReadLine()) {
            if (!(dropDamaged &&
                  line->find("\"ErrMsg\":\"Checksum failed\"") != std::string::npos)) {
                lines.push_back(*line);
            }
        }
        EXPECT_EQ(decode.Wait(), 0);
        return lines;
    };
    const std::vector<std::string> expected = events(source, true);
    ASSERT_GT(expected.size(), 60u);
    EXPECT_EQ(events(captured, false), expected);
    std::remove(source.c_str());
    std::remove(captured.c_str());
}
