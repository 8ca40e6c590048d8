// gpscat --gpx and --nmea-log: receiver logs converted to tracks that
// xmllint and gpsbabel read back as the fixes gpscat reported, files that
// already exist, write errors that stop the recording and not the reading,
// SIGKILL at random moments, and the round trip through nmeasim --replay.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "record/RecordTestSupport.h"
#include "record/posix/Programs.h"
#include "tests/tools/posix/ChildProcess.h"

using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

struct TFix {
    double lat, lon;
    std::string time;  // YYYY-MM-DDTHH:MM:SSZ, to the second
};

struct TCatRun {
    int status = -1;
    std::vector<std::string> lines;
    std::string err;
};

TCatRun Cat(const std::vector<std::string>& args) {
    childtest::TChild cat(GPSCAT_EXE, args);
    TCatRun run;
    while (std::optional<std::string> line = cat.ReadLine(30000)) {
        run.lines.push_back(*line);
    }
    run.status = cat.Wait(30000).value_or(-1);
    run.err = cat.ErrText();
    return run;
}

std::vector<TFix> FixesOf(const std::vector<std::string>& lines) {
    std::vector<TFix> fixes;
    for (const std::string& line : lines) {
        const json j = json::parse(line);
        if (j["event"] == "OnValidFix") {
            fixes.push_back({j["Lat"], j["Lon"], j["UTCTime"].is_null() ? "" : j["UTCTime"]});
        }
    }
    return fixes;
}

// The points of a track as gpsbabel reads them: positions from its GPX
// output (nine decimals), times from its unicsv output.
std::vector<TFix> PointsOf(const std::string& gpx) {
    std::vector<TFix> points;
    const rectest::TRun out = rectest::Run("gpsbabel -t -i gpx -f '" + gpx + "' -o gpx -F -");
    EXPECT_EQ(out.status, 0) << out.output;
    const std::regex trkpt("<trkpt lat=\"([-0-9.]+)\" lon=\"([-0-9.]+)\"");
    for (auto it = std::sregex_iterator(out.output.begin(), out.output.end(), trkpt);
         it != std::sregex_iterator(); ++it) {
        points.push_back({std::stod((*it)[1]), std::stod((*it)[2]), ""});
    }
    const rectest::TRun csv = rectest::Run("gpsbabel -t -i gpx -f '" + gpx + "' -o unicsv -F -");
    EXPECT_EQ(csv.status, 0) << csv.output;
    const auto rows = rectest::CsvRows(csv.output);
    if (rows.empty()) {
        return points;
    }
    const auto& head = rows[0];
    const size_t date = std::find(head.begin(), head.end(), "Date") - head.begin();
    const size_t time = std::find(head.begin(), head.end(), "Time") - head.begin();
    EXPECT_EQ(rows.size() - 1, points.size()) << csv.output;
    for (size_t i = 1; i < rows.size() && i <= points.size(); ++i) {
        if (date >= rows[i].size() || time >= rows[i].size()) {
            continue;
        }
        // 2024/06/15 and 10:15:05[.500] as the whole second, as gpscat prints it.
        std::tm tm{};
        double seconds = 0;
        std::sscanf((rows[i][date] + " " + rows[i][time]).c_str(), "%d/%d/%d %d:%d:%lf",
                    &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &seconds);
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        time_t t = timegm(&tm) + static_cast<time_t>(std::floor(seconds));
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", gmtime_r(&t, &tm));
        points[i - 1].time = text;
    }
    return points;
}

void ExpectSameFixes(const std::vector<TFix>& points, const std::vector<TFix>& fixes,
                     const std::string& what) {
    ASSERT_EQ(points.size(), fixes.size()) << what;
    for (size_t i = 0; i < points.size(); ++i) {
        EXPECT_NEAR(points[i].lat, fixes[i].lat, 1e-7) << what << " point " << i;
        EXPECT_NEAR(points[i].lon, fixes[i].lon, 1e-7) << what << " point " << i;
        EXPECT_EQ(points[i].time, fixes[i].time) << what << " point " << i;
    }
}

// Receiver logs: the ones kept with the tests, and two the simulator makes
// now (a GPS receiver and a multi-system one).
// The ones kept with the tests and made now come first; those hold fixes.
std::vector<std::string> ReceiverLogs(const rectest::TTempDir& dir, size_t& withFixes) {
    std::vector<std::string> logs = {std::string(PALMO_SOURCE_DIR) + "/samples/receiver.nmea"};
    const std::filesystem::path tests = std::string(PALMO_SOURCE_DIR) + "/tests";
    if (std::filesystem::exists(tests / "tools/posix/receiver.nmea")) {
        logs.push_back((tests / "tools/posix/receiver.nmea").string());
    }
    // The recorded logs of real receivers (*.nmea), where they have been put:
    // beside their description, in the build's corpus folder, or where
    // PALMO_RECEIVER_CORPUS says.
    std::vector<std::filesystem::path> folders = {
        tests / "data/receivers", std::string(PALMO_SOURCE_DIR) + "/build/receivers"};
    if (const char* corpus = std::getenv("PALMO_RECEIVER_CORPUS"); corpus && *corpus) {
        folders.emplace_back(corpus);
    }
    std::vector<std::string> found;
    for (const auto& folder : folders) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
            if (entry.is_regular_file() && entry.path().extension() == ".nmea") {
                found.push_back(entry.path().string());
            }
        }
    }
    std::sort(found.begin(), found.end());
    for (const std::string dialect : {"gp", "gnss"}) {
        childtest::TChild sim(NMEASIM_EXE, {"--stdout", "--speed", "0", "--seed", "5", "--count",
                                            "400", "--dialect", dialect});
        const std::string path = dir.File("sim-" + dialect + ".nmea");
        rectest::WriteFile(path, sim.ReadBytes(64 << 20, 30000));
        EXPECT_EQ(sim.Wait(), 0);
        logs.push_back(path);
    }
    withFixes = logs.size();
    // Some real receivers end lines with LF alone, which the receiver does
    // not take as a line end: those give no fix, and the track none either.
    logs.insert(logs.end(), found.begin(), found.end());
    return logs;
}

TEST(GpsCatRecord, ReceiverLogsBecomeTracksThatReadersReadBack) {
    rectest::TTempDir dir;
    int n = 0;
    size_t withFixes = 0;
    const std::vector<std::string> logs = ReceiverLogs(dir, withFixes);
    for (size_t i = 0; i < logs.size(); ++i) {
        const std::string& log = logs[i];
        size_t fixesInAnyDialect = 0;
        for (const std::string dialect : {"gp", "gnss"}) {
            const std::string what = log + " (" + dialect + ")";
            const std::string gpx = dir.File("t" + std::to_string(++n) + ".gpx");
            const std::string raw = dir.File("t" + std::to_string(n) + ".nmea");
            const TCatRun run = Cat({"--dialect", dialect, "--gpx", gpx, "--nmea-log", raw, log});
            ASSERT_EQ(run.status, 0) << what << run.err;
            const rectest::TRun lint = rectest::ValidateGpx(gpx);
            EXPECT_EQ(lint.status, 0) << what << lint.output;
            const std::vector<TFix> fixes = FixesOf(run.lines);
            fixesInAnyDialect += fixes.size();
            ExpectSameFixes(PointsOf(gpx), fixes, what);
            // The raw log holds the bytes as read.
            EXPECT_TRUE(rectest::ReadFile(raw) == rectest::ReadFile(log)) << what;
        }
        if (i < withFixes) {
            EXPECT_GT(fixesInAnyDialect, 0u) << log;
        }
    }
}

TEST(GpsCatRecord, ExistingFilesAreReplacedOnlyWithForce) {
    rectest::TTempDir dir;
    const std::string log = std::string(PALMO_SOURCE_DIR) + "/samples/receiver.nmea";
    const std::string gpx = dir.File("kept.gpx");
    const std::string raw = dir.File("kept.nmea");
    rectest::WriteFile(gpx, "precious");
    TCatRun run = Cat({"--gpx", gpx, log});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_EQ(run.err,
              "gpscat: cannot create " + gpx + ": the file exists (--force replaces it)\n");
    EXPECT_EQ(rectest::ReadFile(gpx), "precious");

    // The log made a moment before a refused track is not left behind.
    rectest::WriteFile(raw, "precious");
    run = Cat({"--gpx", dir.File("new.gpx"), "--nmea-log", raw, log});
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(std::filesystem::exists(dir.File("new.gpx")));

    run = Cat({"--quiet", "--force", "--gpx", gpx, "--nmea-log", raw, log});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(rectest::ValidateGpx(gpx).status, 0);
    EXPECT_EQ(rectest::ReadFile(raw), rectest::ReadFile(log));

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--force", log},
                                                {"--nmea-accepted", log},
                                                {"--gpx", raw, "--nmea-log", raw, log},
                                                {"--gpx", "", log}}) {
        EXPECT_EQ(Cat(bad).status, 2) << bad[0];
    }
}

TEST(GpsCatRecord, AcceptedSentencesOnly) {
    rectest::TTempDir dir;
    const std::string log = dir.File("noisy.nmea");
    const std::string good =
        rectest::Sentence("GPGGA,101505.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    rectest::WriteFile(log, "\x01\x02" + good + "\r\n$GPGGA,bad*00\r\n" + good + "\r\n");
    const std::string raw = dir.File("accepted.nmea");
    const TCatRun run = Cat({"--quiet", "--nmea-log", raw, "--nmea-accepted", log});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(rectest::ReadFile(raw), good + "\r\n" + good + "\r\n");
}

// A tmpfs of the test's own (where it may mount one), gone with the object.
class TSmallDisk {
  public:
    explicit TSmallDisk(size_t bytes) {
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ = mount("palmo_test", dir_.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                         options.c_str()) == 0;
    }
    ~TSmallDisk() {
        if (mounted_) {
            umount2(dir_.Path().c_str(), MNT_DETACH);
        }
    }
    bool Mounted() const { return mounted_; }
    std::string File(const std::string& name) const { return dir_.File(name); }

  private:
    rectest::TTempDir dir_;
    bool mounted_ = false;
};

TEST(GpsCatRecord, AFullDiskStopsTheRecordingNotTheReading) {
    TSmallDisk disk(24 * 1024);
    if (!disk.Mounted()) {
        GTEST_SKIP() << "no permission to mount a tmpfs here";
    }
    rectest::TTempDir dir;
    const std::string log = dir.File("long.nmea");
    {
        childtest::TChild sim(NMEASIM_EXE,
                              {"--stdout", "--speed", "0", "--seed", "3", "--count", "600"});
        rectest::WriteFile(log, sim.ReadBytes(64 << 20, 30000));
        ASSERT_EQ(sim.Wait(), 0);
    }
    const TCatRun plain = Cat({log});
    const std::string gpx = disk.File("full.gpx");
    const TCatRun run = Cat({"--gpx", gpx, log});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "gpscat: recording stopped: cannot write " + gpx + ": No space left on device\n");
    EXPECT_EQ(run.lines, plain.lines);  // every event still printed
    const rectest::TRun lint = rectest::ValidateGpx(gpx);
    EXPECT_EQ(lint.status, 0) << lint.output;
    const std::vector<TFix> points = PointsOf(gpx);
    const std::vector<TFix> fixes = FixesOf(plain.lines);
    ASSERT_GT(points.size(), 0u);
    ASSERT_LT(points.size(), fixes.size());
    ExpectSameFixes(points, std::vector<TFix>(fixes.begin(), fixes.begin() + points.size()), gpx);
}

// The simulator on a pseudo-terminal of its own, behind COM1.
struct TSimulator {
    std::string link;
    std::unique_ptr<childtest::TChild> sim;

    TSimulator(const rectest::TTempDir& dir, std::vector<std::string> args) {
        link = dir.File("com1");
        args.insert(args.end(), {"--link", link});
        sim = std::make_unique<childtest::TChild>(NMEASIM_EXE, args);
        EXPECT_TRUE(sim->ReadLine()) << sim->ErrText();  // the path: the line is there
    }
    std::vector<std::string> Env() const { return {"PALMOGPS_PORTS=" + link}; }
};

TEST(GpsCatRecord, WriteErrorOnAPortRecordingLeavesTheReceiverRunning) {
    rectest::TTempDir dir;
    TSimulator sim(dir, {"--seed", "8", "--speed", "10"});
    childtest::TChild cat(GPSCAT_EXE, {"--port", "1", "--nmea-log", "/dev/full"}, sim.Env());
    // The first write out, within a second of the first bytes, fails ...
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (cat.ErrText().empty() && Clock::now() < deadline) {
        ASSERT_TRUE(cat.ReadLine(5000)) << "no events";
    }
    EXPECT_EQ(cat.ErrText(),
              "gpscat: recording stopped: cannot write /dev/full: No space left on device\n");
    // ... and the events go on.
    size_t fixes = 0;
    while (fixes < 3) {
        const std::optional<std::string> line = cat.ReadLine(5000);
        ASSERT_TRUE(line) << "the receiver stopped";
        fixes += line->find("\"OnValidFix\"") != std::string::npos;
    }
    cat.Signal(SIGTERM);
    EXPECT_EQ(cat.Wait(), 1);
}

TEST(GpsCatRecord, KilledAtRandomMomentsTheFilesHoldWhatWasWritten) {
    rectest::TTempDir dir;
    std::mt19937 random(std::random_device{}());
    for (int run = 0; run < 20; ++run) {
        // A receiver of its own each time: a killed reader leaves the line
        // in exclusive mode.
        TSimulator sim(dir, {"--seed", std::to_string(21 + run), "--speed", "20"});
        const std::string gpx = dir.File("kill" + std::to_string(run) + ".gpx");
        const std::string raw = dir.File("kill" + std::to_string(run) + ".nmea");
        childtest::TChild cat(GPSCAT_EXE, {"--port", "1", "--gpx", gpx, "--nmea-log", raw},
                              sim.Env());
        // Kill after a random number of fixes, a random moment later.
        const int wanted = std::uniform_int_distribution<int>(1, 25)(random);
        std::vector<TFix> seen;
        std::vector<Clock::time_point> seenAt;
        while (static_cast<int>(seen.size()) < wanted) {
            const std::optional<std::string> line = cat.ReadLine(10000);
            ASSERT_TRUE(line) << cat.ErrText();
            const std::vector<TFix> fix = FixesOf({*line});
            if (!fix.empty()) {
                seen.push_back(fix[0]);
                seenAt.push_back(Clock::now());
            }
        }
        usleep(std::uniform_int_distribution<useconds_t>(0, 150000)(random));
        cat.Signal(SIGKILL);
        const Clock::time_point killedAt = Clock::now();
        ASSERT_EQ(cat.Wait(), 128 + SIGKILL);
        const std::string what =
            "run " + std::to_string(run) + " after " + std::to_string(wanted) + " fixes";

        // The track is whole and holds every fix but (at most) the one
        // still waiting for its epoch's GGA.
        const rectest::TRun lint = rectest::ValidateGpx(gpx);
        ASSERT_EQ(lint.status, 0) << what << lint.output;
        const std::vector<TFix> points = PointsOf(gpx);
        ASSERT_GE(points.size() + 1, seen.size()) << what;
        ExpectSameFixes(
            std::vector<TFix>(points.begin(),
                              points.begin() + std::min(points.size(), seen.size())),
            std::vector<TFix>(seen.begin(), seen.begin() + std::min(points.size(), seen.size())),
            what);

        // The raw log replays to the same fixes, and misses none that came
        // well over its one-second bound before the kill.
        const TCatRun replay = Cat({raw});
        ASSERT_EQ(replay.status, 0) << what;
        const std::vector<TFix> replayed = FixesOf(replay.lines);
        size_t due = 0;
        while (due < seenAt.size() && killedAt - seenAt[due] > std::chrono::milliseconds(2500)) {
            ++due;
        }
        ASSERT_GE(replayed.size(), due) << what;
        const size_t common = std::min(replayed.size(), seen.size());
        ExpectSameFixes(std::vector<TFix>(replayed.begin(), replayed.begin() + common),
                        std::vector<TFix>(seen.begin(), seen.begin() + common), what);
    }
}

TEST(GpsCatRecord, TheRawLogReplayedGivesTheSameTrack) {
    rectest::TTempDir dir;
    const std::string live = dir.File("live.gpx");
    const std::string raw = dir.File("live.nmea");
    {
        TSimulator sim(dir, {"--seed", "4", "--speed", "20", "--count", "120"});
        childtest::TChild cat(
            GPSCAT_EXE, {"--port", "1", "--timeout", "1000", "--gpx", live, "--nmea-log", raw},
            sim.Env());
        // Until the simulator has ended and the line fell silent.
        size_t fixes = 0;
        for (;;) {
            const std::optional<std::string> line = cat.ReadLine(20000);
            ASSERT_TRUE(line) << cat.ErrText();
            fixes += line->find("\"OnValidFix\"") != std::string::npos;
            if (fixes > 0 && *line == R"({"event":"OnComLoss"})") {
                break;
            }
        }
        cat.Signal(SIGINT);
        ASSERT_EQ(cat.Wait(), 0) << cat.ErrText();
    }
    ASSERT_EQ(rectest::ValidateGpx(live).status, 0);

    // The log as a file, and played back by the simulator into the port.
    const std::string converted = dir.File("converted.gpx");
    ASSERT_EQ(Cat({"--quiet", "--gpx", converted, raw}).status, 0);
    EXPECT_EQ(rectest::ReadFile(converted), rectest::ReadFile(live));

    const std::string replayed = dir.File("replayed.gpx");
    {
        TSimulator sim(dir, {"--replay", raw, "--speed", "20"});
        childtest::TChild cat(GPSCAT_EXE, {"--port", "1", "--timeout", "1000", "--gpx", replayed},
                              sim.Env());
        size_t fixes = 0;
        for (;;) {
            const std::optional<std::string> line = cat.ReadLine(20000);
            ASSERT_TRUE(line) << cat.ErrText();
            fixes += line->find("\"OnValidFix\"") != std::string::npos;
            if (fixes > 0 && *line == R"({"event":"OnComLoss"})") {
                break;
            }
        }
        cat.Signal(SIGINT);
        ASSERT_EQ(cat.Wait(), 0) << cat.ErrText();
    }
    EXPECT_EQ(rectest::ReadFile(replayed), rectest::ReadFile(live));
    EXPECT_GT(rectest::Count(rectest::ReadFile(live), "<trkpt "), 50u);
}

}  // namespace
