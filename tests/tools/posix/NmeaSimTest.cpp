// nmeasim: the scenario and the replay in-process, the program on a
// pseudo-terminal and on standard output.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "gps/GPS.h"
#include "gps/NMEA.h"
#include "gps/NmeaTestSupport.h"
#include "tests/tools/posix/ChildProcess.h"
#include "toolkit/Calendar.h"
#include "tools/nmeasim/Feed.h"
#include "tools/nmeasim/NmeaSim.h"

namespace {

using nmeasim::TStage;

const std::string kSample = std::string(PALMO_SOURCE_DIR) + "/samples/receiver.nmea";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string WithoutLineEnd(const std::string& line) {
    return line.substr(0, line.size() - 2);
}

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "nmeasim_" + std::to_string(getpid()) + "_" + name;
}

// Reads from a descriptor until it ends (the other side hung up) or
// timeoutMs pass without a byte.
std::string ReadUntilEnd(int fd, int timeoutMs = 5000) {
    std::string got;
    char buf[4096];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            break;
        }
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(NmeaSimScenario, EveryLineFramedAndOnlyDamagedLinesFailTheChecksum) {
    size_t lines = 0;
    size_t damaged = 0;
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        nmeasim::TScenario scenario(seed, nmeasim::kSeededStart);
        for (int i = 0; i < 600; ++i) {
            const nmeasim::TEpoch e = scenario.Next();
            ASSERT_GE(e.lines.size(), 3u);
            for (const nmeasim::TSimLine& line : e.lines) {
                ++lines;
                const std::string& t = line.text;
                ASSERT_GE(t.size(), 8u);
                EXPECT_EQ(t[0], '$') << t;
                EXPECT_EQ(t.substr(t.size() - 2), "\r\n") << t;
                EXPECT_EQ(t.find('\r'), t.size() - 2) << t;
                EXPECT_EQ(t.rfind('$'), 0u) << t;
                // The receiver's own checksum test is the judge.
                EXPECT_EQ(gps::ChecksumOK(WithoutLineEnd(t)), !line.corrupted) << t;
                damaged += line.corrupted ? 1 : 0;
            }
        }
    }
    // Rare, but there.
    EXPECT_GT(damaged, 0u);
    EXPECT_LT(damaged * 100, lines);
}

TEST(NmeaSimScenario, StagesInOrderAlongAPlausibleTrack) {
    nmeasim::TScenario scenario(7, nmeasim::kSeededStart);
    gps::TGPS receiver;
    std::vector<int32_t> dims;
    std::vector<int32_t> qualities;
    std::vector<std::string> order;  // fix losses and valid fixes, as they came
    size_t errors = 0;
    receiver.OnFixProgress = [&](gps::TGPS&, const std::string&, int32_t d) { dims.push_back(d); };
    receiver.OnFixQuality = [&](gps::TGPS&, const std::string&, int32_t q) {
        qualities.push_back(q);
    };
    receiver.OnFixLoss = [&](gps::TGPS&) { order.push_back("loss"); };
    receiver.OnError = [&](gps::TGPS&, const std::string& msg) {
        EXPECT_EQ(msg, "Checksum failed");
        ++errors;
    };

    std::vector<TStage> stages;
    size_t damaged = 0;
    double lastUtc = 0;
    double lastLat = 0;
    double lastLon = 0;
    int steps = 0;
    receiver.OnValidFix = [&](gps::TGPS& g, double lat, double lon, double sog, double) {
        order.push_back("fix");
        EXPECT_LE(sog, 14.0);
        if (std::llround((g.UTCTime() - lastUtc) * 86400) == 1) {
            // At most 14 knots: about 7.2 m in a second.
            const double north = (lat - lastLat) * 111120;
            const double east = (lon - lastLon) * 111120 * std::cos(lat * 3.14159265 / 180);
            EXPECT_LT(std::hypot(north, east), 8.0);
            ++steps;
        }
        lastUtc = g.UTCTime();
        lastLat = lat;
        lastLon = lon;
    };
    double firstUtc = -1;
    for (int i = 0; i < 400; ++i) {
        const nmeasim::TEpoch e = scenario.Next();
        EXPECT_EQ(e.utc, nmeasim::kSeededStart + i);
        if (stages.empty() || stages.back() != e.stage) {
            stages.push_back(e.stage);
        }
        for (const nmeasim::TSimLine& line : e.lines) {
            damaged += line.corrupted ? 1 : 0;
            receiver.ProcessSentence(WithoutLineEnd(line.text));
        }
        if (e.stage != TStage::NoFix && firstUtc < 0 && receiver.FixValid()) {
            firstUtc = receiver.UTCTime();
            // 2024-06-15T10:15:00Z plus the cold start.
            EXPECT_EQ(std::floor(firstUtc), 45458.0);
        }
    }

    // Cold start, 2D, 3D, then the cycle with DGPS and a lost fix that comes back through 2D.
    ASSERT_GE(stages.size(), 8u);
    const std::vector<TStage> start(stages.begin(), stages.begin() + 8);
    EXPECT_EQ(start,
              (std::vector<TStage>{TStage::NoFix, TStage::Fix2D, TStage::Fix3D, TStage::DGPS,
                                   TStage::Fix3D, TStage::NoFix, TStage::Fix2D, TStage::Fix3D}));
    // The decoder sees the same: dimensions 1, 2, 3; quality GPS, DGPS, GPS, lost, GPS.
    ASSERT_GE(dims.size(), 6u);
    EXPECT_EQ(std::vector<int32_t>(dims.begin(), dims.begin() + 6),
              (std::vector<int32_t>{1, 2, 3, 1, 2, 3}));
    ASSERT_GE(qualities.size(), 5u);
    EXPECT_EQ(std::vector<int32_t>(qualities.begin(), qualities.begin() + 5),
              (std::vector<int32_t>{1, 2, 1, 0, 1}));
    EXPECT_TRUE(receiver.IsDGPS());
    EXPECT_FALSE(receiver.StnDGPS().empty());
    // A lost fix is followed by fixes again.
    const auto loss = std::find(order.begin(), order.end(), "loss");
    ASSERT_NE(loss, order.end());
    EXPECT_NE(std::find(loss, order.end(), "fix"), order.end());
    EXPECT_GT(steps, 200);
    EXPECT_EQ(errors, damaged);
}

TEST(NmeaSimScenario, SameSeedSameBytes) {
    auto bytes = [](uint64_t seed, int64_t start, int epochs) {
        nmeasim::TScenarioFeed feed(seed, start);
        std::string all;
        nmeasim::TChunk chunk;
        for (int i = 0; i < epochs; ++i) {
            EXPECT_TRUE(feed.Next(chunk));
            EXPECT_EQ(chunk.due, i);
            all += chunk.bytes;
        }
        return all;
    };
    const std::string a = bytes(42, nmeasim::kSeededStart, 300);
    EXPECT_EQ(a, bytes(42, nmeasim::kSeededStart, 300));
    EXPECT_NE(a, bytes(43, nmeasim::kSeededStart, 300));

    // The program gives the same bytes on standard output.
    childtest::TChild sim(NMEASIM_EXE,
                          {"--stdout", "--seed", "42", "--speed", "0", "--count", "50"});
    const std::string out = sim.ReadBytes(1 << 20);
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_EQ(out, bytes(42, nmeasim::kSeededStart, 50));

    // --start moves the clock: 2030-01-01 23:59:59, then the next day.
    childtest::TChild later(NMEASIM_EXE, {"--stdout", "--seed=42", "--speed=0", "--count=2",
                                          "--start=2030-01-01T23:59:59Z"});
    const std::string two = later.ReadBytes(1 << 20);
    EXPECT_EQ(later.Wait(), 0);
    EXPECT_EQ(two.find("$GPRMC,235959.00,V,,,,,,,010130,,,N*"), 0u) << two;
    EXPECT_NE(two.find("$GPRMC,000000.00,V,,,,,,,020130,,,N*"), std::string::npos) << two;
}

TEST(NmeaSimReplay, EpochsOfTheLogAndLinesAtARate) {
    const std::string log = ReadFile(kSample);
    ASSERT_FALSE(log.empty());
    const std::vector<std::string> lines = nmeasim::SplitLines(log);
    const std::vector<std::string> epochs = nmeasim::GroupEpochs(lines);
    // Every byte once, in order; one RMC an epoch (the log's RMC ends its epoch).
    std::string joined;
    for (const std::string& e : epochs) {
        joined += e;
        size_t rmc = 0;
        for (size_t at = e.find("$GPRMC"); at != std::string::npos; at = e.find("$GPRMC", at + 1)) {
            ++rmc;
        }
        EXPECT_EQ(rmc, 1u) << e;
    }
    EXPECT_EQ(joined, log);
    EXPECT_EQ(epochs.size(), 180u);

    nmeasim::TReplayFeed ownCadence(log, 0);
    nmeasim::TChunk chunk;
    for (size_t i = 0; i < epochs.size(); ++i) {
        ASSERT_TRUE(ownCadence.Next(chunk));
        EXPECT_EQ(chunk.due, static_cast<double>(i));
        EXPECT_EQ(chunk.bytes, epochs[i]);
    }
    EXPECT_FALSE(ownCadence.Next(chunk));

    nmeasim::TReplayFeed rated(log, 50);
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_TRUE(rated.Next(chunk));
        EXPECT_DOUBLE_EQ(chunk.due, static_cast<double>(i) / 50);
        EXPECT_EQ(chunk.bytes, lines[i]);
    }
    EXPECT_FALSE(rated.Next(chunk));

    // A receiver that sends its RMC first: the simulator's own epochs come back.
    nmeasim::TScenario scenario(5, nmeasim::kSeededStart);
    std::string rmcFirst;
    std::vector<std::string> expected;
    for (int i = 0; i < 120; ++i) {
        std::string epoch;
        for (const nmeasim::TSimLine& l : scenario.Next().lines) {
            if (!l.corrupted) {
                epoch += l.text;
            }
        }
        rmcFirst += epoch;
        expected.push_back(epoch);
    }
    EXPECT_EQ(nmeasim::GroupEpochs(nmeasim::SplitLines(rmcFirst)), expected);

    // Without time stamps each RMC starts an epoch; a last line without line end stays.
    const std::string bare =
        "$GPRMC,,V,,,,,,,,,,N*53\r\n$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n$GPRMC,,V,,,,,,,,,,N*53";
    EXPECT_EQ(
        nmeasim::GroupEpochs(nmeasim::SplitLines(bare)),
        (std::vector<std::string>{"$GPRMC,,V,,,,,,,,,,N*53\r\n$GPGSA,A,1,,,,,,,,,,,,,,,*1E\r\n",
                                  "$GPRMC,,V,,,,,,,,,,N*53"}));
}

TEST(NmeaSimOptions, ValuesMistakesAndMessages) {
    nmeasim::TOptions o;
    std::string error;
    ASSERT_TRUE(nmeasim::ParseOptions(
        {"--link", "/tmp/x", "--replay=a.nmea", "--rate", "2.5", "--seed", "9", "--start",
         "2024-02-29T23:59:59Z", "--speed", "0", "--count", "12", "--persist"},
        o, error))
        << error;
    EXPECT_EQ(o.link, "/tmp/x");
    EXPECT_EQ(o.replay, "a.nmea");
    EXPECT_EQ(o.rate, 2.5);
    EXPECT_EQ(o.seed, 9u);
    EXPECT_EQ(o.start, 1709251199);
    EXPECT_EQ(o.speed, 0);
    EXPECT_EQ(o.count, 12);
    EXPECT_TRUE(o.persist);
    EXPECT_FALSE(o.realtime);
    nmeasim::TOptions rt;
    ASSERT_TRUE(nmeasim::ParseOptions({"--realtime", "--delay", "250", "--jitter=0"}, rt, error));
    EXPECT_TRUE(rt.realtime);
    EXPECT_EQ(rt.delayMs, 250);
    EXPECT_EQ(rt.jitterMs, 0);
    EXPECT_EQ(rt.hz, 1);
    nmeasim::TOptions fast;
    ASSERT_TRUE(nmeasim::ParseOptions({"--realtime", "--hz", "10"}, fast, error));
    EXPECT_EQ(fast.hz, 10);

    const std::vector<std::vector<std::string>> bad = {
        {"--rate", "5"},                     // without --replay
        {"--replay", "x", "--rate", "0"},    // not more than 0
        {"--seed", "-1"},                    // not a whole number
        {"--start", "2023-02-29T00:00:00"},  // no such day
        {"--start", "2024-06-15 10:15:00"},  // wrong layout
        {"--speed", "fast"},                 // not a number
        {"--count", "0"},                    // from 1
        {"--stdout", "--link", "/tmp/y"},    // link without a pseudo-terminal
        {"--count"},                         // value missing
        {"--stdout=yes"},                    // takes no value
        {"--baud", "4800"},                  // unknown
        {"--delay", "100"},                  // without --realtime
        {"--realtime", "--jitter", "1000"},  // under a second
        {"--realtime", "--replay", "x"},     // the scenario only
        {"--realtime", "--speed", "2"},      // the PC's own pace
        {"--hz", "3"},                       // 1, 2, 5 or 10 only
        {"--hz", "5.0"},
        {"--replay", "x", "--rate", "5", "--hz", "2"},  // lines or epochs a second
    };
    for (const std::vector<std::string>& args : bad) {
        nmeasim::TOptions fresh;
        error.clear();
        EXPECT_FALSE(nmeasim::ParseOptions(args, fresh, error)) << args[0];
        EXPECT_EQ(error.rfind("nmeasim: ", 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos);
        // The program: the message on one line of standard error, status 2.
        childtest::TChild sim(NMEASIM_EXE, args);
        EXPECT_EQ(sim.Wait(), 2);
        EXPECT_EQ(sim.ErrText(), error + "\n");
        EXPECT_EQ(sim.ReadBytes(1, 100), "");
    }

    childtest::TChild help(NMEASIM_EXE, {"--help"});
    EXPECT_NE(help.ReadBytes(1 << 16).find("Usage: nmeasim"), std::string::npos);
    EXPECT_EQ(help.Wait(), 0);
    childtest::TChild version(NMEASIM_EXE, {"--version"});
    EXPECT_EQ(version.ReadBytes(1 << 10), "nmeasim " + gps::TGPS().Version() + "\n");
    EXPECT_EQ(version.Wait(), 0);

    const std::string missing = TempPath("no_such.nmea");
    childtest::TChild gone(NMEASIM_EXE, {"--replay", missing});
    EXPECT_EQ(gone.Wait(), 1);
    EXPECT_NE(gone.ErrText().find("cannot read '" + missing + "'"), std::string::npos);
}

TEST(NmeaSimProgram, ReplayThroughARawPseudoTerminal) {
    const std::string link = TempPath("replay_link");
    childtest::TChild sim(NMEASIM_EXE, {"--link", link, "--replay", kSample, "--rate", "5000"});
    const std::optional<std::string> path = sim.ReadLine();
    ASSERT_TRUE(path) << sim.ErrText();
    EXPECT_EQ(path->rfind("/dev/pts/", 0), 0u);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), *path);

    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // What the reader sends is taken and dropped, never echoed.
    ASSERT_EQ(write(fd, "$PSRF,hello\r\n", 13), 13);
    const std::string got = ReadUntilEnd(fd);
    close(fd);
    EXPECT_EQ(got, ReadFile(kSample));  // every byte, carriage returns and noise included
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(Exists(link));
}

TEST(NmeaSimProgram, EndsWhenTheReaderHangsUpOrOnASignal) {
    // The reader closes the line: the simulator ends and removes its link.
    const std::string link = TempPath("hangup_link");
    {
        childtest::TChild sim(NMEASIM_EXE, {"--link", link, "--speed", "20"});
        ASSERT_TRUE(sim.ReadLine()) << sim.ErrText();
        const int fd = open(link.c_str(), O_RDONLY | O_NOCTTY);
        ASSERT_GE(fd, 0);
        char buf[64];
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 5000), 1);
        EXPECT_GT(read(fd, buf, sizeof buf), 0);
        close(fd);
        EXPECT_EQ(sim.Wait(), 0) << sim.ErrText();
        EXPECT_FALSE(Exists(link));
    }
    // SIGINT and SIGTERM, with and without a reader.
    for (const int sig : {SIGINT, SIGTERM}) {
        for (const bool reader : {false, true}) {
            childtest::TChild sim(NMEASIM_EXE, {"--link", link});
            ASSERT_TRUE(sim.ReadLine()) << sim.ErrText();
            const int fd = reader ? open(link.c_str(), O_RDONLY | O_NOCTTY) : -1;
            sim.Signal(sig);
            EXPECT_EQ(sim.Wait(), 0) << sig;
            EXPECT_FALSE(Exists(link));
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    // --persist outlives a reader and serves the next one.
    {
        childtest::TChild sim(NMEASIM_EXE, {"--link", link, "--speed", "50", "--persist"});
        ASSERT_TRUE(sim.ReadLine());
        for (int round = 0; round < 2; ++round) {
            const int fd = open(link.c_str(), O_RDONLY | O_NOCTTY);
            ASSERT_GE(fd, 0);
            pollfd p{fd, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 5000), 1) << round;
            close(fd);
        }
        EXPECT_FALSE(sim.Wait(200));
        sim.Signal(SIGTERM);
        EXPECT_EQ(sim.Wait(), 0);
    }
    // A link path taken by a file is refused, and the file stays.
    std::ofstream(link) << "keep";
    childtest::TChild refused(NMEASIM_EXE, {"--link", link});
    EXPECT_EQ(refused.Wait(), 1);
    EXPECT_NE(refused.ErrText().find("not a symbolic link"), std::string::npos);
    EXPECT_EQ(ReadFile(link), "keep");
    std::remove(link.c_str());
}

TEST(NmeaSimProgram, WithoutAPaceAPersistingReceiverWaitsForItsNextReader) {
    // At full rate the receiver does not run on while nobody reads: the next
    // reader's sentences follow closely on the last reader's.
    const std::string link = TempPath("full_rate_link");
    childtest::TChild sim(NMEASIM_EXE,
                          {"--link", link, "--seed", "5", "--speed", "0", "--persist", "--stats"});
    ASSERT_TRUE(sim.ReadLine()) << sim.ErrText();
    auto readSome = [&link] {
        const int fd = open(link.c_str(), O_RDONLY | O_NOCTTY);
        EXPECT_GE(fd, 0);
        std::string got;
        char buf[4096];
        while (got.size() < 20000) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) {
                break;
            }
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
        close(fd);
        return got;
    };
    const std::string first = readSome();
    usleep(300 * 1000);
    const std::string second = readSome();
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);

    // The same sentences from the start, as far as 2 MB.
    childtest::TChild stream(NMEASIM_EXE, {"--stdout", "--seed", "5", "--speed", "0"});
    const std::string sent = stream.ReadBytes(2 << 20);
    stream.CloseOutput();
    ASSERT_EQ(first, sent.substr(0, first.size()));
    // The last complete line the first reader got, the first the second got.
    const size_t lastEnd = first.rfind("\r\n", first.size() - 3) + 2;
    const std::string last = first.substr(lastEnd, first.find("\r\n", lastEnd) - lastEnd);
    const size_t nextStart = second.find("\r\n$") + 2;
    const std::string next = second.substr(nextStart, second.find("\r\n", nextStart) - nextStart);
    const size_t lastAt = sent.find(last);
    const size_t nextAt = sent.find(next, lastAt);
    ASSERT_NE(nextAt, std::string::npos) << next;
    // Between them at most what the line held when the first reader closed.
    EXPECT_LT(nextAt - lastAt, 70000u);

    // --stats counts the lines written: at least those read.
    const auto lines = [](const std::string& s) { return std::count(s.begin(), s.end(), '\n'); };
    const std::string err = sim.ErrText();
    const size_t at = err.find("nmeasim: ");
    ASSERT_NE(at, std::string::npos) << err;
    const long written = std::stol(err.substr(at + 9));
    EXPECT_EQ(err.substr(err.find(' ', at + 9)), " lines written\n");
    EXPECT_GE(written, lines(first) + lines(second));
    EXPECT_LT(written, lines(first) + lines(second) + 3000);
}

TEST(NmeaSimProgram, StandardOutputClosedByTheReader) {
    childtest::TChild sim(NMEASIM_EXE, {"--stdout", "--speed", "0"});
    EXPECT_GE(sim.ReadBytes(10000).size(), 10000u);
    sim.CloseOutput();
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_EQ(sim.ErrText(), "");
}

TEST(NmeaSimScenario, GnssDialectLikeAUblox8) {
    const auto epochs = [](uint64_t seed, int count) {
        nmeasim::TScenarioFeed feed(seed, nmeasim::kSeededStart, nmeasim::TDialect::GNSS);
        std::vector<std::string> out;
        nmeasim::TChunk chunk;
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(feed.Next(chunk));
            out.push_back(chunk.bytes);
        }
        return out;
    };
    const std::vector<std::string> run = epochs(42, 400);
    EXPECT_EQ(run, epochs(42, 400));

    gps::TGPS gps;
    gps.SetDialect(gps::TNmeaDialect::ndGNSS);
    std::map<std::string, int> qualities;
    std::map<std::string, int> errors;
    std::map<gps::TGnssSystem, int> seen;
    int fixes = 0;
    int emptyGalileo = 0;
    gps.OnFixQuality = [&](gps::TGPS&, const std::string& q, int32_t) { ++qualities[q]; };
    gps.OnError = [&](gps::TGPS&, const std::string& e) { ++errors[e]; };
    gps.OnValidFix = [&](gps::TGPS&, double, double, double, double) { ++fixes; };
    gps.OnSatellites = [&](gps::TGPS&, const gps::TSatelliteList& list) {
        for (const gps::TSatellite& s : list) {
            ++seen[s.System];
        }
    };
    for (const std::string& epoch : run) {
        // What 9600 baud carries in a second, in the u-blox order.
        EXPECT_LE(epoch.size(), 960u);
        EXPECT_EQ(epoch.rfind("$GNRMC,", 0), 0u);
        const size_t galileo = epoch.find(",3*");
        ASSERT_NE(galileo, std::string::npos);
        const size_t line = epoch.rfind('$', galileo);
        if (epoch.compare(line, 18, "$GNGSA,A,3,,,,,,,,") == 0) {
            ++emptyGalileo;
        }
        for (const char* part :
             {"$GNVTG,", ",1*", ",2*", "$GPGSV,", "$GLGSV,", "$GAGSV,", "$GNGLL,"}) {
            EXPECT_NE(epoch.find(part), std::string::npos) << part;
        }
        gpstest::Feed(gps, epoch, 100);
    }
    // Every stage: the cold start, 2D, 3D, DGPS and RTK float.
    EXPECT_GT(qualities["Fix Not Valid"], 0);
    EXPECT_GT(qualities["GPS Fix (SPS)"], 0);
    EXPECT_GT(qualities["DGPS"], 0);
    EXPECT_GT(qualities["RTK Float"], 0);
    EXPECT_GT(fixes, 300);
    EXPECT_GT(emptyGalileo, 10);
    EXPECT_GT(seen[gps::TGnssSystem::GPS], 0);
    EXPECT_GT(seen[gps::TGnssSystem::GLONASS], 0);
    EXPECT_GT(seen[gps::TGnssSystem::Galileo], 0);
    EXPECT_EQ(seen.size(), 3u);
    // Only the lines damaged on purpose fail.
    EXPECT_EQ(errors.size(), 1u);
    EXPECT_GT(errors["Checksum failed"], 0);
}

namespace {

// The time field of each undamaged line of the given sentence type (RMC,
// GGA or GLL) in the bytes.
std::vector<std::string> TimeFields(const std::string& bytes, const std::string& type) {
    std::vector<std::string> times;
    for (const std::string& line : nmeasim::SplitLines(bytes)) {
        if (line.size() > 7 && line.compare(3, 3, type) == 0 &&
            gps::ChecksumOK(WithoutLineEnd(line))) {
            std::vector<std::string> f;
            std::istringstream in(line.substr(0, line.find('*')));
            for (std::string s; std::getline(in, s, ',');) {
                f.push_back(s);
            }
            times.push_back(f.at(type == "GLL" ? 5 : 1));
        }
    }
    return times;
}

// hhmmss.ss as seconds of the day.
double DaySeconds(const std::string& time) {
    return std::stoi(time.substr(0, 2)) * 3600 + std::stoi(time.substr(2, 2)) * 60 +
           std::stod(time.substr(4));
}

}  // namespace

TEST(NmeaSimScenario, SeveralEpochsASecondCarryTheirPartOfTheSecond) {
    // 5 Hz: 10:15:00.00, .20, .40 ... in RMC and GGA, due 0.2 s apart; the
    // satellites in view still every fifth second.
    nmeasim::TScenarioFeed feed(42, nmeasim::kSeededStart, nmeasim::TDialect::GP, 5);
    nmeasim::TChunk chunk;
    int gsvGroups = 0;
    int timed = 0;
    const char* const kFractions[] = {"00", "20", "40", "60", "80"};
    for (int i = 0; i < 250; ++i) {
        ASSERT_TRUE(feed.Next(chunk));
        EXPECT_DOUBLE_EQ(chunk.due, i * 0.2);
        const std::string expected =
            nmeasim::NmeaTimeField(nmeasim::kSeededStart + i / 5).substr(0, 7) + kFractions[i % 5];
        for (const char* type : {"RMC", "GGA"}) {
            for (const std::string& t : TimeFields(chunk.bytes, type)) {
                EXPECT_EQ(t, expected) << type << " of epoch " << i;
                ++timed;
            }
        }
        gsvGroups += chunk.bytes.find("$GPGSV,3,1,") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(timed, 490);
    EXPECT_EQ(gsvGroups, 10);

    // 10 Hz in the GNSS dialect: RMC, GGA and GLL alike, 0.1 s apart.
    nmeasim::TScenarioFeed gnss(42, nmeasim::kSeededStart, nmeasim::TDialect::GNSS, 10);
    std::string bytes;
    for (int i = 0; i < 30; ++i) {
        ASSERT_TRUE(gnss.Next(chunk));
        bytes += chunk.bytes;
    }
    for (const char* type : {"RMC", "GGA", "GLL"}) {
        const std::vector<std::string> t = TimeFields(bytes, type);
        ASSERT_GE(t.size(), 28u) << type;
        for (size_t i = 1; i < t.size(); ++i) {
            // A damaged line is left out: then two steps.
            const double step = DaySeconds(t[i]) - DaySeconds(t[i - 1]);
            EXPECT_TRUE(std::fabs(step - 0.1) < 1e-9 || std::fabs(step - 0.2) < 1e-9)
                << type << " " << t[i - 1] << " " << t[i];
        }
    }

    // The program: --hz on standard output, the same bytes.
    childtest::TChild sim(
        NMEASIM_EXE, {"--stdout", "--seed", "42", "--speed", "0", "--count", "12", "--hz", "5"});
    const std::string out = sim.ReadBytes(1 << 20);
    EXPECT_EQ(sim.Wait(), 0);
    nmeasim::TScenarioFeed again(42, nmeasim::kSeededStart, nmeasim::TDialect::GP, 5);
    std::string expected;
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(again.Next(chunk));
        expected += chunk.bytes;
    }
    EXPECT_EQ(out, expected);
    EXPECT_NE(out.find("$GPRMC,101502.20,"), std::string::npos);
}

TEST(NmeaSimReplay, ALogOfSeveralEpochsASecondPartsAtTheirFractions) {
    // GGA alone at 2 Hz: each time is an epoch of its own; hhmmss.00 and
    // hhmmss are the same time.
    const std::string log = nmeasim::Sentence("GPGGA,101500.00,,,,,0,00,99.99,,,,,,") +
                            nmeasim::Sentence("GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99") +
                            nmeasim::Sentence("GPGLL,,,,,101500,V,N") +
                            nmeasim::Sentence("GPGGA,101500.50,,,,,0,00,99.99,,,,,,") +
                            nmeasim::Sentence("GPGGA,101501.000,,,,,0,00,99.99,,,,,,");
    const std::vector<std::string> lines = nmeasim::SplitLines(log);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(nmeasim::GroupEpochs(lines),
              (std::vector<std::string>{lines[0] + lines[1] + lines[2], lines[3], lines[4]}));
    nmeasim::TReplayFeed feed(log, 0, 2);
    nmeasim::TChunk chunk;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(feed.Next(chunk));
        EXPECT_DOUBLE_EQ(chunk.due, i * 0.5);
    }
    EXPECT_FALSE(feed.Next(chunk));
}

TEST(NmeaSimProgram, RealtimeAtFiveHzEachEpochLeavesAtTheTimeItCarries) {
    const std::string link = TempPath("five_hz_link");
    childtest::TChild sim(
        NMEASIM_EXE, {"--realtime", "--hz", "5", "--delay", "0", "--jitter", "0", "--link", link});
    ASSERT_TRUE(sim.ReadLine()) << sim.ErrText();
    const int fd = open(link.c_str(), O_RDONLY | O_NOCTTY);
    ASSERT_GE(fd, 0);
    // Every read with its moment on the PC clock: an epoch is written at
    // once, so the read that holds an RMC's "$" tells when it arrived.
    std::string all;
    std::vector<std::pair<size_t, double>> reads;  // where each read began, and when
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (TimeFields(all, "RMC").size() < 26 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) {
            continue;
        }
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        ASSERT_GT(n, 0);
        reads.emplace_back(all.size(), now);
        all.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(), 0);

    std::vector<double> carried;
    std::vector<double> lagMs;
    size_t from = 0;
    for (const std::string& line : nmeasim::SplitLines(all)) {
        const size_t at = from;
        from += line.size();
        if (line.rfind("$GPRMC,", 0) != 0 || !gps::ChecksumOK(WithoutLineEnd(line))) {
            continue;
        }
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string s; std::getline(in, s, ',');) {
            f.push_back(s);
        }
        ASSERT_GE(f.size(), 10u) << line;
        const std::string& date = f[9];
        const int64_t day = tk::DaysFromCivil(2000 + std::stoi(date.substr(4, 2)),
                                              static_cast<unsigned>(std::stoi(date.substr(2, 2))),
                                              static_cast<unsigned>(std::stoi(date.substr(0, 2))));
        const double utc = static_cast<double>(day) * 86400 + DaySeconds(f[1]);
        const auto read = std::prev(std::upper_bound(
            reads.begin(), reads.end(), at,
            [](size_t offset, const std::pair<size_t, double>& r) { return offset < r.first; }));
        carried.push_back(utc);
        lagMs.push_back((read->second - utc) * 1000);
    }
    ASSERT_GE(carried.size(), 20u) << all;
    for (size_t i = 1; i < carried.size(); ++i) {
        // A damaged RMC is left out: then two steps.
        const double step = carried[i] - carried[i - 1];
        EXPECT_TRUE(std::fabs(step - 0.2) < 1e-6 || std::fabs(step - 0.4) < 1e-6) << step;
    }
    std::sort(lagMs.begin(), lagMs.end());
    std::printf(
        "5 Hz in real time: %zu epochs, arrival minus their time median %.1f ms, "
        "worst %.1f ms\n",
        lagMs.size(), lagMs[lagMs.size() / 2], lagMs.back());
    // Never before its time; on a quiet machine within a few milliseconds of
    // it (on one busy with builds a median of about 10 ms and up to 50 ms),
    // and always far from the neighbouring epoch's.
    EXPECT_GE(lagMs.front(), -2.0);
    EXPECT_LE(lagMs[lagMs.size() / 2], 50.0);
    EXPECT_LE(lagMs.back(), 150.0);
}
