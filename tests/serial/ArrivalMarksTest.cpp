// Arrival marks over a real port: each line's "$" carries the moment it came
// off the device, between its write at the far end and the first notice that
// offered it, through partial takes, ring wraps and a full ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "serial/ComPortTestSupport.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/Sync.h"

using namespace cptest;

namespace {

// A line of exactly 64 bytes: "$", its number and padding, CR LF.
std::string Line(int n) {
    std::string s = "$L" + std::to_string(n) + ",";
    s.resize(62, 'x');
    return s + "\r\n";
}

struct TReader {
    std::vector<TArrivalTime> marks;  // one per "$" taken
    int missing = 0;                  // "$" without a mark
    size_t taken = 0;
    bool half = false;  // take half of what waits (rounded up)
    bool hold = false;  // take nothing
    // The moments the test learnt of bytes: by each, that many had come.
    struct TSeen {
        TArrivalTime at;
        size_t arrived;
    };
    std::vector<TSeen> seen;

    void Take(TRirCustomComPort& cp, uint16_t count) {
        seen.push_back({TArrivalTime::Now(), taken + count});
        if (hold) {
            return;
        }
        const uint16_t n = half ? static_cast<uint16_t>((count + 1) / 2) : count;
        for (uint16_t i = 0; i < n; ++i) {
            TakeOne(cp);
        }
    }
    void TakeOne(TRirCustomComPort& cp) {
        if (cp.ReceiveChar() == '$') {
            TArrivalTime t;
            if (cp.CharArrival(0, t)) {
                marks.push_back(t);
            } else {
                ++missing;
            }
        }
        ++taken;
    }
};

}  // namespace

TEST(ArrivalMarks, EachLineCarriesTheMomentItsDollarWasWritten) {
    REQUIRE_PORTS();
    TPorts ports;
    TFar farEnd(ports, kPortA);
    ASSERT_TRUE(farEnd.Ok());
    auto port = MakePort(kPortA);
    TReader reader;
    port->SetOnTriggerAvail([&](TRirCustomComPort& cp, uint16_t n) { reader.Take(cp, n); });
    // A line the device holds when the port opens came at a moment unknown.
    ASSERT_TRUE(farEnd.Write(Line(-1)));
    ASSERT_TRUE(testsupport::Eventually([&] { return HeldAtDevice(ports, kPortA) == 64; }, 60000));
    port->SetOpen(true);
    // The wall and monotonic times of a mark are two readings; Wine's wall
    // clock was seen half a millisecond off its monotonic one.
    const double clockAgreeMs = UnderWine() ? 2.0 : 0.5;
    // Win32 stamps bytes with the end of the wait that announced them; under
    // Wine a read can take bytes written after that end (Wine does not end a
    // serial wait when characters come to a COM port behind a
    // pseudo-terminal: the dispatch thread's quiet cycle of 50 ms reads
    // them), so a mark may come up to that long before its write there.
    const uint64_t earlyUs = UnderWine() ? 75000 : 0;

    // The far end writes from a thread of its own while this one serves the
    // port's notices.
    std::vector<TArrivalTime> before;
    std::vector<TArrivalTime> written;
    auto writeLines = [&](int first, int count, uint32_t pauseMs) {
        std::atomic<bool> done{false};
        std::thread writer([&] {
            for (int i = first; i < first + count; ++i) {
                before.push_back(TArrivalTime::Now());
                if (!farEnd.Write(Line(i))) {
                    break;
                }
                written.push_back(TArrivalTime::Now());
                tk::Sleep(pauseMs);
            }
            done = true;
        });
        PumpUntil([&] { return done.load(); }, 60000);
        writer.join();
    };
    // What a notice left unread the test takes itself.
    auto takeRest = [&](size_t total) {
        PumpUntil([&] { return port->CurrentDispatcher()->InputCount() + reader.taken == total; },
                  60000);
        reader.seen.push_back({TArrivalTime::Now(), total});
        while (reader.taken < total && port->CurrentDispatcher()->InputCount() > 0) {
            reader.TakeOne(*port);
        }
        return reader.taken == total;
    };
    // Each mark lies between the moment just before its line's write and
    // the first moment the test learnt of the line's "$" (a notice that
    // offered it, or the test's own look at the ring), on both clocks, so
    // it is the moment the "$" came and not the moment it was taken,
    // however slow the machine. How close it comes to the write is shown.
    auto expectMarks = [&](const char* phase) {
        ASSERT_EQ(reader.missing, 1) << phase;
        ASSERT_EQ(reader.marks.size(), written.size()) << phase;
        const double earlyDays = earlyUs / 86400e6;
        const double agreeDays = clockAgreeMs / 86400e3;
        std::vector<double> lags;
        std::vector<double> clockGaps;
        for (size_t i = 0; i < written.size(); ++i) {
            const TArrivalTime& m = reader.marks[i];
            const size_t dollar = 64 * (i + 1);  // after the line held at the start
            const auto first =
                std::find_if(reader.seen.begin(), reader.seen.end(),
                             [&](const TReader::TSeen& s) { return s.arrived > dollar; });
            ASSERT_NE(first, reader.seen.end()) << phase << " line " << i;
            EXPECT_GE(m.MonoUs + earlyUs, before[i].MonoUs) << phase << " line " << i;
            EXPECT_LE(m.MonoUs, first->at.MonoUs) << phase << " line " << i;
            EXPECT_GE(m.Utc + earlyDays + agreeDays, before[i].Utc) << phase << " line " << i;
            EXPECT_LE(m.Utc, first->at.Utc + agreeDays) << phase << " line " << i;
            const TArrivalTime& w = written[i];
            const double monoMs = (static_cast<double>(m.MonoUs) - w.MonoUs) / 1000.0;
            const double wallMs = (m.Utc - w.Utc) * 86400000.0;
            clockGaps.push_back(std::fabs(wallMs - monoMs));
            lags.push_back(monoMs);
        }
        // The two clocks of a mark read the same moment (single readings
        // may be a preemption apart).
        std::sort(clockGaps.begin(), clockGaps.end());
        EXPECT_LE(clockGaps[clockGaps.size() / 2], clockAgreeMs) << phase;
        std::sort(lags.begin(), lags.end());
        std::printf("%s: %zu lines, median lag %.3f ms, 75%% %.3f ms, worst %.3f ms\n", phase,
                    lags.size(), lags[lags.size() / 2], lags[lags.size() * 3 / 4], lags.back());
    };
    // Partial takes, and more lines than the ring holds, so that it wraps.
    reader.half = true;
    writeLines(0, 160, 10);
    ASSERT_TRUE(takeRest(161u * 64));
    expectMarks("partial takes");

    // A full ring: exactly its size waits unread, then everything is taken.
    reader.hold = true;
    reader.half = false;
    writeLines(160, kInputRingSize / 64, 10);
    ASSERT_TRUE(PumpUntil([&] { return port->CurrentDispatcher()->InputCount() == kInputRingSize; },
                          60000));
    reader.hold = false;
    ASSERT_TRUE(takeRest((161u + kInputRingSize / 64) * 64));
    expectMarks("full ring");
    port->SetOpen(false);
}
