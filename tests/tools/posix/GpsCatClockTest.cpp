// gpscat keeping the clock set and feeding the shared-memory reference
// clock, in-process on a pseudo-terminal with a recording clock.
#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "gps/NMEA.h"
#include "serial/posix/PtyPair.h"
#include "toolkit/Calendar.h"
#include "toolkit/Clock.h"
#include "toolkit/SystemClock.h"
#include "tools/gpscat/GpsCat.h"
#include "tools/gpscat/ShmRefClock.h"

namespace {

const std::string kPayload = "GPRMC,235959.00,A,5951.1234,N,01043.5678,E,5.2,45.0,311224,3.9,E,A";
const std::string kFix = "$" + kPayload + "*" + gps::NmeaChecksum(kPayload) + "\r\n";
const std::string kNoFix = "$GPRMC,101500.00,V,,,,,,,150624,,,N*7C\r\n";
// 2024-12-31T23:59:59Z as a day count.
constexpr double kFixDay = 45657.0 + 86399.0 / 86400.0;

// A PC clock that reads the fix's time plus a given offset, one per reading,
// and records what is set and when (monotonic µs) it was read.
class TOffsetClock : public tk::TSystemClock {
  public:
    std::vector<double> offsetsMs;  // what each reading shows; the last one repeats
    std::vector<bool> answers;      // what each setting answers; the last one repeats
    std::vector<tk::TClockFields> set;
    std::vector<uint64_t> readUs;
    size_t readings = 0;
    double SystemNow() override {
        readUs.push_back(tk::MonotonicUs());
        const double ms = offsetsMs[std::min(readings++, offsetsMs.size() - 1)];
        return kFixDay + ms / 86400000.0;
    }
    bool SetSystemTime(const tk::TClockFields& f) override {
        set.push_back(f);
        return answers[std::min(set.size() - 1, answers.size() - 1)];
    }
};

// The day count of clock fields.
double DayCount(const tk::TClockFields& f) {
    return static_cast<double>(tk::DaysFromCivil(f.year, f.month, f.day) - tk::kDayCountEpoch) +
           (((f.hour * 60.0 + f.minute) * 60.0 + f.second) * 1000.0 + f.milliseconds) / 86400000.0;
}

struct TRun {
    int status = -1;
    std::string out;
    std::string err;
};

// gpscat in-process on a pseudo-terminal whose far end sends the input every
// 100 ms; firstWriteUs, when given, gets the monotonic moment of the first.
TRun RunOnPty(const std::vector<std::string>& args, const std::string& input,
              uint64_t* firstWriteUs = nullptr) {
    ptytest::TPtyPair pty;
    EXPECT_TRUE(pty.Ok());
    ptytest::TPortsEnv ports(pty.Path());
    std::atomic<bool> done{false};
    if (firstWriteUs != nullptr) {
        *firstWriteUs = tk::MonotonicUs();
    }
    std::thread receiver([&] {
        while (!done) {
            pty.Write(input);
            pty.Read(1 << 16, 0);
            for (int i = 0; i < 10 && !done; ++i) {
                usleep(10000);
            }
        }
    });
    std::ostringstream out;
    std::ostringstream err;
    TRun r;
    r.status = gpscat::Run(args, std::cin, out, err);
    done = true;
    receiver.join();
    r.out = out.str();
    r.err = err.str();
    return r;
}

// The record of an NTP shared-memory segment, as the daemons read it.
struct TShmTime {
    int mode;
    int count;
    time_t clockTimeStampSec;
    int clockTimeStampUSec;
    time_t receiveTimeStampSec;
    int receiveTimeStampUSec;
    int leap;
    int precision;
    int nsamples;
    int valid;
    unsigned clockTimeStampNSec;
    unsigned receiveTimeStampNSec;
    int dummy[8];
};

// A unit of this test's own, removed at the end.
struct TTestSegment {
    int32_t unit;
    explicit TTestSegment(int32_t u) : unit(u) { Remove(); }
    ~TTestSegment() { Remove(); }
    void Remove() const {
        const int id = shmget(gpscat::kShmKeyBase + unit, 0, 0);
        if (id >= 0) {
            shmctl(id, IPC_RMID, nullptr);
        }
    }
    bool Read(TShmTime& t) const {
        const int id = shmget(gpscat::kShmKeyBase + unit, 0, 0);
        if (id < 0) {
            return false;
        }
        void* p = shmat(id, nullptr, SHM_RDONLY);
        if (p == reinterpret_cast<void*>(-1)) {
            return false;
        }
        t = *static_cast<TShmTime*>(p);
        shmdt(p);
        return true;
    }
};

}  // namespace

TEST(GpsCatKeepClock, SetsOnlyPastTheThresholdAndPrintsEachCheck) {
    // Three checks a second apart with a threshold of 2 s: 0.5 s off (kept),
    // 8 s off (set), 4 s behind (set, but refused: status 1 and what it
    // takes). (Each check's line is some time old, which the offset shows.)
    TOffsetClock clock;
    clock.offsetsMs = {500, 8000, -4000};
    clock.answers = {true, false};
    tk::TSystemClockInstall install(clock);
    uint64_t firstWriteUs = 0;
    const TRun r =
        RunOnPty({"--port", "1", "--keep-clock", "sys", "--every", "1", "--threshold", "2000"},
                 kFix, &firstWriteUs);
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<nlohmann::json> checks;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        nlohmann::json j = nlohmann::json::parse(line);
        if (j["event"] == "ClockCheck") {
            checks.push_back(std::move(j));
        }
    }
    ASSERT_EQ(checks.size(), 3u) << r.out;
    ASSERT_EQ(clock.readUs.size(), 3u);
    const double expected[] = {500, 8000, -4000};
    const bool setOk[] = {false, true, false};
    double sinceSetLineMs = 0;
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(checks[i]["event"], "ClockCheck");
        // The GPS time has moved on by the time since the line came, which
        // the clock's reading bounds: the first check's line came after the
        // first write, and each further one a second or more after the one
        // before (a line the port read before its window was ready waits
        // for it, however long).
        const double offset = checks[i]["OffsetMs"].get<double>();
        const double sinceLineMs =
            (static_cast<double>(clock.readUs[i]) - static_cast<double>(firstWriteUs)) / 1000.0 -
            1000.0 * static_cast<double>(i);
        EXPECT_LE(offset, expected[i] + 1) << r.out;
        EXPECT_GE(offset, expected[i] - sinceLineMs - 1) << r.out;
        EXPECT_EQ(checks[i]["Set"], setOk[i]) << r.out;
        sinceSetLineMs = i == 1 ? sinceLineMs : sinceSetLineMs;
    }
    // The clock is set to the fix's time moved on by the line's age.
    ASSERT_EQ(clock.set.size(), 2u);
    const double setMs = (DayCount(clock.set[0]) - kFixDay) * 86400000.0;
    EXPECT_GE(setMs, -1.0);
    EXPECT_LE(setMs, sinceSetLineMs + 1);
    EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CAP_SYS_TIME"), std::string::npos) << r.err;

    // --quiet prints no event, the checks included; the clock is still kept
    // (a refusal ends the run).
    clock.offsetsMs = {600};
    clock.answers = {false};
    clock.readings = 0;
    clock.set.clear();
    const TRun quiet =
        RunOnPty({"--port", "1", "--keep-clock", "sys", "--every", "1", "--quiet"}, kFix);
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(clock.set.size(), 1u);

    std::string error;
    gpscat::TOptions o;
    EXPECT_FALSE(gpscat::ParseOptions({"--port", "1", "--every", "5"}, o, error));
    EXPECT_EQ(error, "gpscat: option '--every' needs --keep-clock");
    gpscat::TOptions o2;
    EXPECT_FALSE(gpscat::ParseOptions({"--keep-clock", "sys"}, o2, error));
    EXPECT_EQ(error, "gpscat: option '--keep-clock' needs --port");
}

TEST(GpsCatShm, OneMode1SamplePerDatedFixNothingWithoutOneAClearErrorWhenUnusable) {
    const TTestSegment segment(100 + getpid() % 100);
    const std::string unit = std::to_string(segment.unit);
    TOffsetClock clock;
    clock.offsetsMs = {0};
    clock.answers = {true};
    tk::TSystemClockInstall install(clock);

    // No valid fix: the segment is made, and nothing is written to it.
    TRun r = RunOnPty({"--port", "1", "--shm", unit, "--set-clock", "sys", "--wait", "1"}, kNoFix);
    EXPECT_EQ(r.status, 3) << r.err;
    TShmTime t{};
    ASSERT_TRUE(segment.Read(t));
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(t.valid, 0);

    // A dated fix (the clock setting ends the run after it): one sample, the
    // fix's time against its arrival less the receiver's 120 ms.
    const double before = tk::UtcNowDayCount();
    r = RunOnPty({"--port", "1", "--shm", unit, "--offset-ms", "120", "--set-clock", "sys"}, kFix);
    const double after = tk::UtcNowDayCount();
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(segment.Read(t));
    EXPECT_EQ(t.mode, 1);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.valid, 1);
    EXPECT_EQ(t.clockTimeStampSec, 1735689599);
    EXPECT_EQ(t.clockTimeStampUSec, 0);
    EXPECT_EQ(t.precision, gpscat::kShmPrecision);
    EXPECT_EQ(t.leap, 0);
    const double receive = t.receiveTimeStampSec + t.receiveTimeStampNSec / 1e9;
    EXPECT_EQ(t.receiveTimeStampUSec, static_cast<int>(t.receiveTimeStampNSec / 1000));
    EXPECT_GE(receive, (before - 25569.0) * 86400.0 - 0.120 - 0.001);
    EXPECT_LE(receive, (after - 25569.0) * 86400.0 - 0.120);

    // A segment of another size under the unit's key cannot be attached.
    segment.Remove();
    const int id = shmget(gpscat::kShmKeyBase + segment.unit, 8, IPC_CREAT | 0600);
    ASSERT_GE(id, 0);
    r = RunOnPty({"--port", "1", "--shm", unit}, kFix);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("gpscat: cannot attach NTP shared memory unit " + unit), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
}
