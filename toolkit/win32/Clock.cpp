// Monotonic time from the performance counter (the multimedia timer when the
// machine has none).
#include "toolkit/Clock.h"

#include <windows.h>

namespace tk {

namespace {

uint64_t CounterFrequency() {
    LARGE_INTEGER f{};
    return QueryPerformanceFrequency(&f) ? static_cast<uint64_t>(f.QuadPart) : 0;
}

uint64_t Frequency() {
    static const uint64_t frequency = CounterFrequency();
    return frequency;
}

// The counter scaled to the given units per second, without overflow.
uint64_t CounterIn(uint64_t unitsPerSecond) {
    LARGE_INTEGER c{};
    QueryPerformanceCounter(&c);
    const uint64_t ticks = static_cast<uint64_t>(c.QuadPart);
    const uint64_t f = Frequency();
    return ticks / f * unitsPerSecond + ticks % f * unitsPerSecond / f;
}

}  // namespace

uint32_t MonotonicMs() {
    if (Frequency() == 0) {
        return timeGetTime();
    }
    return static_cast<uint32_t>(CounterIn(1000));
}

uint64_t MonotonicUs() {
    if (Frequency() == 0) {
        return static_cast<uint64_t>(timeGetTime()) * 1000;
    }
    return CounterIn(1000000);
}

}  // namespace tk
