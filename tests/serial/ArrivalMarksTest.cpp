// Arrival marks over a real port: each line's "$" carries the moment it was
// written at the far end, through partial takes, ring wraps and a full ring.
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

    void Take(TRirCustomComPort& cp, uint16_t count) {
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
    tk::Sleep(20);
    port->SetOpen(true);
    // Wine does not end a serial wait when characters come to a COM port
    // behind a pseudo-terminal: the dispatch thread's quiet cycle (50 ms)
    // reads them, and that moment is their mark.
    const double toleranceMs = UnderWine() ? 75.0 : 2.0;
    // The wall and monotonic times of a mark are two readings; Wine's wall
    // clock was seen half a millisecond off its monotonic one.
    const double clockAgreeMs = UnderWine() ? 2.0 : 0.5;
    const uint64_t earlyUs = UnderWine() ? static_cast<uint64_t>(toleranceMs * 1000.0) : 0;

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
        PumpUntil([&] { return port->CurrentDispatcher()->InputCount() + reader.taken == total; });
        while (reader.taken < total && port->CurrentDispatcher()->InputCount() > 0) {
            reader.TakeOne(*port);
        }
        return reader.taken == total;
    };
    // Each mark lies between the moments just before and just after its
    // line's write, plus the time the port's threads take to read it: within
    // the tolerance for three lines in four, and within a quarter second for
    // all (a busy machine may leave a worker unscheduled for tens of ms).
    auto expectMarks = [&](const char* phase) {
        ASSERT_EQ(reader.missing, 1) << phase;
        ASSERT_EQ(reader.marks.size(), written.size()) << phase;
        std::vector<double> lags;
        for (size_t i = 0; i < written.size(); ++i) {
            const TArrivalTime& m = reader.marks[i];
            const TArrivalTime& w = written[i];
            // Win32 stamps bytes with the end of the wait that announced them;
            // under Wine a read can take bytes written after that end, so a
            // mark may come up to the tolerance before its write there.
            EXPECT_GE(m.MonoUs + earlyUs, before[i].MonoUs) << phase << " line " << i;
            const double monoMs = (static_cast<double>(m.MonoUs) - w.MonoUs) / 1000.0;
            const double wallMs = (m.Utc - w.Utc) * 86400000.0;
            EXPECT_NEAR(wallMs, monoMs, clockAgreeMs) << phase << " line " << i;
            EXPECT_LE(monoMs, 250.0) << phase << " line " << i;
            lags.push_back(monoMs);
        }
        std::sort(lags.begin(), lags.end());
        const double p75 = lags[lags.size() * 3 / 4];
        EXPECT_LE(p75, toleranceMs) << phase << ": 75% of the lines within " << p75 << " ms";
        std::printf("%s: %zu lines, median lag %.3f ms, 75%% %.3f ms, worst %.3f ms\n", phase,
                    lags.size(), lags[lags.size() / 2], p75, lags.back());
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
    ASSERT_TRUE(
        PumpUntil([&] { return port->CurrentDispatcher()->InputCount() == kInputRingSize; }));
    reader.hold = false;
    ASSERT_TRUE(takeRest((161u + kInputRingSize / 64) * 64));
    expectMarks("full ring");
    port->SetOpen(false);
}
