#include "serial/Arrival.h"

#include "toolkit/Clock.h"
#include "toolkit/SystemClock.h"

TArrivalTime TArrivalTime::Now() {
    // The wall reading is bracketed by two monotonic ones and paired with
    // their midpoint; a thread preempted between readings would pair clocks
    // milliseconds apart, so a wide bracket is taken again (the narrowest of
    // a few tries is kept).
    constexpr uint64_t kTightUs = 50;
    TArrivalTime best;
    uint64_t bestWidth = UINT64_MAX;
    for (int attempt = 0; attempt < 4 && bestWidth > kTightUs; ++attempt) {
        const uint64_t before = tk::MonotonicUs();
        const double utc = tk::UtcNowDayCount();
        const uint64_t after = tk::MonotonicUs();
        if (after - before < bestWidth) {
            bestWidth = after - before;
            best.MonoUs = before + (after - before) / 2;
            best.Utc = utc;
        }
    }
    return best;
}
