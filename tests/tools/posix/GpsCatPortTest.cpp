// gpscat on a port: the simulator on a pseudo-terminal, the program reading
// it as COM1, and the clock setting in-process with a recording clock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "gps/NMEA.h"
#include "serial/posix/PtyPair.h"
#include "tests/tools/posix/ChildProcess.h"
#include "toolkit/Clock.h"
#include "toolkit/SystemClock.h"
#include "tools/gpscat/GpsCat.h"

using nlohmann::json;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "gpscat_port_" + std::to_string(getpid()) + "_" + name;
}

// The events gpscat prints for a file of NMEA bytes.
std::vector<std::string> EventsOfFile(const std::string& path) {
    childtest::TChild cat(GPSCAT_EXE, {path});
    std::vector<std::string> lines;
    while (std::optional<std::string> line = cat.ReadLine()) {
        lines.push_back(*line);
    }
    EXPECT_EQ(cat.Wait(), 0);
    return lines;
}

class TRecordingClock : public tk::TSystemClock {
  public:
    explicit TRecordingClock(bool accept) : accept_(accept) {}
    bool SetSystemTime(const tk::TClockFields& utc) override {
        system.push_back(utc);
        return accept_;
    }
    bool SetLocalTime(const tk::TClockFields& local) override {
        this->local.push_back(local);
        return accept_;
    }
    std::vector<tk::TClockFields> system;
    std::vector<tk::TClockFields> local;

  private:
    bool accept_;
};

struct TRun {
    int status = -1;
    std::string out;
    std::string err;
    uint32_t ms = 0;
};

// gpscat in-process on the slave of a pseudo-terminal whose far end sends the
// input now and again every 100 ms, as a receiver repeats its sentences.
TRun RunOnPty(const std::vector<std::string>& args, const std::string& input) {
    ptytest::TPtyPair pty;
    EXPECT_TRUE(pty.Ok());
    ptytest::TPortsEnv ports(pty.Path());
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        while (!done) {
            pty.Write(input);
            pty.Read(1 << 16, 0);  // nothing comes back, but keep the queue empty
            for (int i = 0; i < 10 && !done; ++i) {
                usleep(10000);
            }
        }
    });
    std::ostringstream out;
    std::ostringstream err;
    TRun r;
    const uint32_t start = tk::MonotonicMs();
    r.status = gpscat::Run(args, std::cin, out, err);
    r.ms = tk::MonotonicMs() - start;
    done = true;
    receiver.join();
    r.out = out.str();
    r.err = err.str();
    return r;
}

const std::string kNoFix = "$GPRMC,101500.00,V,,,,,,,150624,,,N*7C\r\n";
const std::string kFix =
    "$GPRMC,235959.00,A,5951.1234,N,01043.5678,E,5.2,45.0,311224,3.9,E,A*" +
    gps::NmeaChecksum("GPRMC,235959.00,A,5951.1234,N,01043.5678,E,5.2,45.0,311224,3.9,E,A") +
    "\r\n";
// Status A with a date that is no date: no time to set the clock to.
const std::string kUndatedFix =
    "$GPRMC,101500.00,A,5951.1234,N,01043.5678,E,5.2,45.0,310224,,,A*" +
    gps::NmeaChecksum("GPRMC,101500.00,A,5951.1234,N,01043.5678,E,5.2,45.0,310224,,,A") + "\r\n";

void ExpectNewYearsEve(const tk::TClockFields& f) {
    // 2024-12-31 23:59:59 UTC plus the few milliseconds since the line came.
    EXPECT_EQ(f.year, 2024);
    EXPECT_EQ(f.month, 12);
    EXPECT_EQ(f.day, 31);
    EXPECT_EQ(f.dayOfWeek, 2);  // a Tuesday
    EXPECT_EQ(f.hour, 23);
    EXPECT_EQ(f.minute, 59);
    EXPECT_EQ(f.second, 59);
}

}  // namespace

TEST(GpsCatPortProgram, SimulatorThroughAPseudoTerminalAsAFileWouldGiveThenOneComLoss) {
    const std::string link = TempPath("com1");
    const std::string trace = TempPath("port.trc");
    const std::string log = TempPath("port.log");
    const std::string file = TempPath("same.nmea");
    std::remove(trace.c_str());
    std::remove(log.c_str());
    const std::vector<std::string> scenario = {"--seed", "11", "--count", "40"};

    // The same bytes as a file.
    {
        std::vector<std::string> args = scenario;
        args.insert(args.end(), {"--stdout", "--speed", "0"});
        childtest::TChild sim(NMEASIM_EXE, args);
        std::ofstream(file, std::ios::binary) << sim.ReadBytes(1 << 20);
        ASSERT_EQ(sim.Wait(), 0);
    }
    const std::vector<std::string> expected = EventsOfFile(file);
    ASSERT_GT(expected.size(), 100u);

    std::vector<std::string> args = scenario;
    args.insert(args.end(), {"--link", link, "--speed", "20"});
    childtest::TChild sim(NMEASIM_EXE, args);
    ASSERT_TRUE(sim.ReadLine()) << sim.ErrText();
    childtest::TChild cat(GPSCAT_EXE,
                          {"--port", "1", "--timeout", "1500", "--trace", trace, "--log", log},
                          {"PALMOGPS_PORTS=" + link});
    std::vector<std::string> got;
    size_t lossesBeforeTheFirstLine = 0;  // a slow start is a silence too
    size_t devicesLost = 0;               // the simulator's end closes the device
    for (;;) {
        std::optional<std::string> line = cat.ReadLine(15000);
        ASSERT_TRUE(line) << "no OnComLoss; " << cat.ErrText();
        if (line->find(R"({"event":"OnDeviceLost")") == 0) {
            ++devicesLost;
            continue;
        }
        if (*line == R"({"event":"OnComLoss"})") {
            if (got.empty()) {
                ++lossesBeforeTheFirstLine;
                continue;
            }
            break;
        }
        got.push_back(*line);
    }
    EXPECT_LE(lossesBeforeTheFirstLine, 1u);
    EXPECT_EQ(devicesLost, 1u);
    EXPECT_EQ(got, expected);
    // The simulator has ended, its last line long read; the silence is
    // reported once only.
    EXPECT_EQ(sim.Wait(), 0);
    EXPECT_FALSE(cat.ReadLine(2500));

    // Ctrl-C: the port closes, the trace and the log are written.
    cat.Signal(SIGINT);
    EXPECT_EQ(cat.Wait(), 0);
    EXPECT_EQ(cat.ErrText(), "");
    const std::string traced = ReadFile(trace);
    EXPECT_NE(traced.find("$GPRMC,101500.00,V,,,,,,,150624,,,N*7C[0D][0A]"), std::string::npos)
        << traced.substr(0, 300);
    EXPECT_NE(ReadFile(log).find("Device: COM1"), std::string::npos);
    for (const std::string& path : {trace, log, file}) {
        std::remove(path.c_str());
    }
}

TEST(GpsCatPortProgram, StopsOnSigtermWithoutAnyLineAndReportsAMissingPort) {
    // A silent line: OnComLoss once, then SIGTERM ends the program cleanly.
    ptytest::TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    childtest::TChild cat(GPSCAT_EXE, {"--port", "2", "--timeout", "300", "--summary"},
                          {"PALMOGPS_PORTS=/nonexistent/tty:" + pty.Path()});
    EXPECT_EQ(cat.ReadLine(), R"({"event":"OnComLoss"})") << cat.ErrText();
    EXPECT_FALSE(cat.ReadLine(800));
    cat.Signal(SIGTERM);
    EXPECT_EQ(cat.Wait(), 0);
    // The summary comes after the close: a receiver that never had a line.
    const std::optional<std::string> state = cat.ReadLine();
    ASSERT_TRUE(state);
    const json summary = json::parse(*state);
    EXPECT_EQ(summary["event"], "State");
    EXPECT_EQ(summary["FixValid"], false);
    EXPECT_EQ(summary["NmeaSentence"], "");
    EXPECT_FALSE(cat.ReadLine(10));

    // COM1 leads to a path that does not exist; COM3 to no entry at all.
    for (const char* port : {"1", "3"}) {
        childtest::TChild missing(GPSCAT_EXE, {"--port", port},
                                  {"PALMOGPS_PORTS=/nonexistent/tty:" + pty.Path()});
        EXPECT_EQ(missing.Wait(), 1);
        EXPECT_EQ(missing.ErrText(), std::string("gpscat: COM") + port +
                                         ": ie_BadId - Specified comport doesn't exist\n");
        EXPECT_FALSE(missing.ReadLine(10));
    }
}

TEST(GpsCatSetClock, SetRefusedOrNoFixInTime) {
    // Set: the system clock gets the fix's UTC fields; events are printed as usual.
    {
        TRecordingClock clock(true);
        tk::TSystemClockInstall install(clock);
        const TRun r = RunOnPty({"--port", "1", "--set-clock", "sys"}, kNoFix + kFix);
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(clock.system.size(), 1u);
        EXPECT_TRUE(clock.local.empty());
        ExpectNewYearsEve(clock.system[0]);
        EXPECT_NE(r.err.find("system clock set from the fix of 2024-12-31T23:59:59Z"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.out.find(R"({"event":"OnValidFix")"), std::string::npos);
    }
    {
        TRecordingClock clock(true);
        tk::TSystemClockInstall install(clock);
        const TRun r = RunOnPty({"--port", "1", "--set-clock", "local", "--quiet"}, kFix + kFix);
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(clock.local.size(), 1u);  // once, from the first fix
        EXPECT_TRUE(clock.system.empty());
        ExpectNewYearsEve(clock.local[0]);
        EXPECT_EQ(r.out, "");
    }
    // Refused: status 1 and what it takes.
    {
        TRecordingClock clock(false);
        tk::TSystemClockInstall install(clock);
        const TRun r = RunOnPty({"--port", "1", "--set-clock", "sys"}, kFix);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(clock.system.size(), 1u) << r.err << r.out;
        EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("CAP_SYS_TIME"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("administrator"), std::string::npos) << r.err;
    }
    // No dated valid fix within --wait: status 3, the clock untouched.
    {
        TRecordingClock clock(true);
        tk::TSystemClockInstall install(clock);
        const TRun r =
            RunOnPty({"--port", "1", "--set-clock", "sys", "--wait", "1"}, kNoFix + kUndatedFix);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_TRUE(clock.system.empty());
        EXPECT_TRUE(clock.local.empty());
        EXPECT_GE(r.ms, 1000u);
        EXPECT_NE(r.err.find("no valid fix came within 1 s"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(R"({"event":"OnValidFix")"), std::string::npos);  // undated
    }
}

TEST(GpsCatSetClock, AStopRequestEndsTheWaitCleanly) {
    // A stop request (what Ctrl-C posts) ends the loop before any fix: status
    // 0, nothing set, the port closed.
    TRecordingClock clock(true);
    tk::TSystemClockInstall install(clock);
    ptytest::TPtyPair pty;
    ASSERT_TRUE(pty.Ok());
    ptytest::TPortsEnv ports(pty.Path());
    std::ostringstream out;
    std::ostringstream err;
    std::thread interrupt([] {
        // Once the program's own handler is in place, it turns this into the
        // stop message.
        for (int i = 0; i < 10000; ++i) {
            struct sigaction current {};
            sigaction(SIGINT, nullptr, &current);
            if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) {
                break;
            }
            usleep(1000);
        }
        kill(getpid(), SIGINT);
    });
    const uint32_t start = tk::MonotonicMs();
    const int status =
        gpscat::Run({"--port", "1", "--set-clock", "sys", "--wait", "20"}, std::cin, out, err);
    interrupt.join();
    EXPECT_EQ(status, 0) << err.str();
    EXPECT_LT(tk::MonotonicMs() - start, 10000u);
    EXPECT_TRUE(clock.system.empty());
    // The port is free again: a second run opens it.
    EXPECT_EQ(gpscat::Run({"--port", "1", "--set-clock", "sys", "--wait", "1"}, std::cin, out, err),
              3);
}

// A receiver that goes away (its pseudo-terminal closed and its link removed)
// and comes back at the same path (a new pseudo-terminal behind the link).
TEST(GpsCatPortProgram, FollowsAVanishedDeviceBackToItsPath) {
    const std::string link = TempPath("receiver_link");
    const std::string trace = TempPath("lost.trc");
    std::remove(link.c_str());
    // The far end is the test's alone: a child that inherited it would keep
    // the device from going.
    auto newDevice = [&] {
        auto pair = std::make_unique<ptytest::TPtyPair>(false);
        fcntl(pair->Master(), F_SETFD, FD_CLOEXEC);
        EXPECT_EQ(symlink(pair->Path().c_str(), link.c_str()), 0);
        return pair;
    };
    auto pty = newDevice();
    ASSERT_TRUE(pty->Ok());
    const std::string log = TempPath("lost.log");
    childtest::TChild cat(GPSCAT_EXE,
                          {"--port", "1", "--timeout", "0", "--trace", trace, "--log", log},
                          {"PALMOGPS_PORTS=" + link});
    // Sends the fix until the named event comes; the other events are skipped.
    auto until = [&](ptytest::TPtyPair* far, const std::string& event) -> json {
        for (int i = 0; i < 100; ++i) {
            if (far != nullptr) {
                far->Write(kFix);
            }
            while (std::optional<std::string> line = cat.ReadLine(100)) {
                const json j = json::parse(*line);
                if (j["event"] == event) {
                    return j;
                }
            }
        }
        return json();
    };
    ASSERT_EQ(until(pty.get(), "OnSentence")["SenID"], "GPRMC") << cat.ErrText();

    pty.reset();
    std::remove(link.c_str());
    const json lost = until(nullptr, "OnDeviceLost");
    EXPECT_EQ(lost, json({{"event", "OnDeviceLost"}, {"Port", "COM1"}, {"Path", link}}));

    // Nothing there: the program waits (once a second, no busy loop) until
    // the device is back.
    usleep(1500 * 1000);
    pty = newDevice();
    ASSERT_TRUE(pty->Ok());
    const json back = until(nullptr, "OnDeviceBack");
    EXPECT_EQ(back, json({{"event", "OnDeviceBack"}, {"Port", "COM1"}, {"Path", link}}));
    EXPECT_EQ(until(pty.get(), "OnSentence")["SenID"], "GPRMC");
    cat.Signal(SIGTERM);
    EXPECT_EQ(cat.Wait(), 0) << cat.ErrText();
    // The trace holds what came before the loss and after the return.
    const std::string traced = ReadFile(trace);
    const size_t second = traced.find("Receive: ", 1);
    ASSERT_NE(second, std::string::npos) << traced;
    EXPECT_LT(traced.find("$GPRMC"), second) << traced;
    EXPECT_NE(traced.find("$GPRMC", second), std::string::npos) << traced;
    // The dispatch log records the loss as a line-status error.
    const std::string logged = ReadFile(log);
    EXPECT_NE(logged.find("Line status   00000400"), std::string::npos) << logged;

    // With --no-reconnect the loss ends the program with status 1.
    childtest::TChild once(GPSCAT_EXE, {"--port", "1", "--no-reconnect"},
                           {"PALMOGPS_PORTS=" + link});
    for (int i = 0; i < 100; ++i) {
        pty->Write(kFix);
        const std::optional<std::string> line = once.ReadLine(100);
        if (line && json::parse(*line)["event"] == "OnSentence") {
            break;
        }
    }
    pty.reset();
    std::optional<std::string> last;
    while (std::optional<std::string> line = once.ReadLine(5000)) {
        last = line;
    }
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(json::parse(*last)["event"], "OnDeviceLost");
    EXPECT_EQ(once.Wait(), 1);
    std::remove(link.c_str());
    std::remove(trace.c_str());
    std::remove(log.c_str());
}

TEST(GpsCatPortProgram, SwitchesBetweenTwoPortsAndBack) {
    // Each far end repeats a line of its own, so every sentence tells its port.
    ptytest::TPtyPair one;
    ptytest::TPtyPair two;
    ASSERT_TRUE(one.Ok() && two.Ok());
    std::atomic<bool> done{false};
    std::thread receivers([&] {
        while (!done) {
            one.Write(kNoFix);
            two.Write(kFix);
            usleep(20000);
        }
    });
    const std::string trace = TempPath("switch.trc");
    childtest::TChild cat(GPSCAT_EXE,
                          {"--port", "1", "--switch-port", "2", "--switch-every", "1", "--timeout",
                           "0", "--trace", trace},
                          {"PALMOGPS_PORTS=" + one.Path() + ":" + two.Path()});
    const std::string lines[] = {kNoFix.substr(0, kNoFix.size() - 2),
                                 kFix.substr(0, kFix.size() - 2)};
    std::vector<json> switches;
    size_t port = 0;
    size_t sentences[2][3] = {};  // per port, per stretch between switches
    while (switches.size() < 3) {
        const std::optional<std::string> line = cat.ReadLine(5000);
        ASSERT_TRUE(line) << cat.ErrText();
        const json j = json::parse(*line);
        if (j["event"] == "PortSwitch") {
            switches.push_back(j);
            port = 1 - port;
        } else if (j["event"] == "OnSentence") {
            // A line of the other port would show a switch that let it through.
            EXPECT_EQ(j["Sentence"], lines[port]) << switches.size();
            ++sentences[port][switches.size()];
        }
    }
    cat.Signal(SIGTERM);
    EXPECT_EQ(cat.Wait(), 0) << cat.ErrText();
    done = true;
    receivers.join();
    EXPECT_EQ(switches[0], json({{"event", "PortSwitch"}, {"Port", "COM2"}, {"Path", two.Path()}}));
    EXPECT_EQ(switches[1], json({{"event", "PortSwitch"}, {"Port", "COM1"}, {"Path", one.Path()}}));
    // About 50 lines a second: each stretch brings its port's lines.
    EXPECT_GT(sentences[0][0], 10u);
    EXPECT_GT(sentences[1][1], 10u);
    EXPECT_GT(sentences[0][2], 10u);
    // The trace holds every stretch, each after a heading of its own: COM1,
    // COM2, COM1, then the stretch the stop ended.
    const std::string traced = ReadFile(trace);
    std::vector<std::string> stretches;
    for (size_t at = traced.find("Receive: "); at != std::string::npos;) {
        const size_t next = traced.find("Receive: ", at + 1);
        stretches.push_back(traced.substr(at, next - at));
        at = next;
    }
    ASSERT_GE(stretches.size(), 3u) << traced;
    const std::string fromOne = "$GPRMC,101500";
    const std::string fromTwo = "$GPRMC,235959";
    EXPECT_NE(stretches[0].find(fromOne), std::string::npos) << stretches[0];
    EXPECT_EQ(stretches[0].find(fromTwo), std::string::npos) << stretches[0];
    EXPECT_NE(stretches[1].find(fromTwo), std::string::npos) << stretches[1];
    EXPECT_EQ(stretches[1].find(fromOne), std::string::npos) << stretches[1];
    EXPECT_NE(stretches[2].find(fromOne), std::string::npos) << stretches[2];
    std::remove(trace.c_str());
}

TEST(GpsCatPortProgram, SwitchingGoesOnWithThePortsThatAreThere) {
    // COM2 goes while it is read: the program goes back to COM1 at once and
    // keeps reading it, skipping COM2 at each switch until it is back.
    ptytest::TPtyPair one;
    ASSERT_TRUE(one.Ok());
    const std::string link = TempPath("switch_link");
    std::remove(link.c_str());
    auto two = std::make_unique<ptytest::TPtyPair>(false);
    fcntl(two->Master(), F_SETFD, FD_CLOEXEC);
    ASSERT_EQ(symlink(two->Path().c_str(), link.c_str()), 0);
    std::atomic<bool> done{false};
    std::mutex twoLock;  // COM2's receiver goes while the thread may write to it
    std::thread receivers([&] {
        while (!done) {
            one.Write(kNoFix);
            {
                std::lock_guard lock(twoLock);
                if (two) {
                    two->Write(kFix);
                }
            }
            usleep(20000);
        }
    });
    childtest::TChild cat(
        GPSCAT_EXE, {"--port", "1", "--switch-port", "2", "--switch-every", "1", "--timeout", "0"},
        {"PALMOGPS_PORTS=" + one.Path() + ":" + link});
    const auto next = [&](const std::string& event) -> json {
        while (std::optional<std::string> line = cat.ReadLine(5000)) {
            json j = json::parse(*line);
            if (j["event"] == event) {
                return j;
            }
        }
        return json();
    };
    ASSERT_EQ(next("PortSwitch")["Port"], "COM2") << cat.ErrText();
    ASSERT_EQ(next("OnSentence")["Sentence"], kFix.substr(0, kFix.size() - 2));
    std::remove(link.c_str());
    {
        std::lock_guard lock(twoLock);
        two.reset();
    }
    EXPECT_EQ(next("OnDeviceLost")["Port"], "COM2");
    EXPECT_EQ(next("PortSwitch")["Port"], "COM1");
    // Three switch times later COM1 is still read, with no gap of a second.
    const uint64_t start = tk::MonotonicMs();
    uint64_t last = start;
    uint64_t widest = 0;
    while (tk::MonotonicMs() - start < 3500) {
        const std::optional<std::string> line = cat.ReadLine(5000);
        ASSERT_TRUE(line) << cat.ErrText();
        const json j = json::parse(*line);
        ASSERT_NE(j["event"], "PortSwitch") << *line;
        if (j["event"] == "OnSentence") {
            EXPECT_EQ(j["Sentence"], kNoFix.substr(0, kNoFix.size() - 2));
            widest = std::max(widest, tk::MonotonicMs() - last);
            last = tk::MonotonicMs();
        }
    }
    // Each skipped switch closes and reopens COM1: a short gap, not the
    // switch period.
    EXPECT_LT(widest, 1000u);
    cat.Signal(SIGTERM);
    EXPECT_EQ(cat.Wait(), 0) << cat.ErrText();
    done = true;
    receivers.join();
}

TEST(GpsCatPortProgram, TraceAndLogFilesAreCheckedAtTheStart) {
    ptytest::TPtyPair pty;
    const std::string same = TempPath("same.bin");
    childtest::TChild both(GPSCAT_EXE, {"--port", "1", "--trace", same, "--log", same},
                           {"PALMOGPS_PORTS=" + pty.Path()});
    EXPECT_EQ(both.Wait(), 1);
    EXPECT_NE(both.ErrText().find("the same file"), std::string::npos) << both.ErrText();
    childtest::TChild folder(GPSCAT_EXE, {"--port", "1", "--log", testing::TempDir()},
                             {"PALMOGPS_PORTS=" + pty.Path()});
    EXPECT_EQ(folder.Wait(), 1);
    EXPECT_NE(folder.ErrText().find("Is a directory"), std::string::npos) << folder.ErrText();
}

// Output that cannot be written ends the program with a message and
// status 1, after the port was closed cleanly (trace written); --trace
// writes its heading even when no byte arrived.
TEST(GpsCatPortProgram, UnwritableOutputAndAnEmptyTrace) {
    ptytest::TPtyPair pty(false);
    ASSERT_TRUE(pty.Ok());
    fcntl(pty.Master(), F_SETFD, FD_CLOEXEC);
    const std::string trace = TempPath("full.trc");
    const std::string command = std::string("PALMOGPS_PORTS='") + pty.Path() + "' '" + GPSCAT_EXE +
                                "' --port 1 --trace '" + trace + "' >/dev/full 2>'" + trace +
                                ".err' &";
    std::remove(trace.c_str());
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string err;
    for (int i = 0; i < 100 && err.empty(); ++i) {
        pty.Write(kFix);
        usleep(100 * 1000);
        err = ReadFile(trace + ".err");
    }
    EXPECT_EQ(err, "gpscat: cannot write output: No space left on device\n");
    EXPECT_EQ(ReadFile(trace).rfind("Receive: \r\n", 0), 0u);
    EXPECT_NE(ReadFile(trace).find("$GPRMC"), std::string::npos);

    // No byte at all: the trace is its heading alone.
    ptytest::TPtyPair quiet(false);
    childtest::TChild cat(GPSCAT_EXE, {"--port", "1", "--trace", trace, "--timeout", "200"},
                          {"PALMOGPS_PORTS=" + quiet.Path()});
    // The loss notice shows the port open and the program ready for SIGTERM.
    EXPECT_EQ(cat.ReadLine(), R"({"event":"OnComLoss"})") << cat.ErrText();
    cat.Signal(SIGTERM);
    EXPECT_EQ(cat.Wait(), 0) << cat.ErrText();
    EXPECT_EQ(ReadFile(trace), "Receive: \r\n");
    std::remove(trace.c_str());
    std::remove((trace + ".err").c_str());
}
