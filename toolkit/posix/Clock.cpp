// Monotonic time from CLOCK_MONOTONIC.
#include "toolkit/Clock.h"

#include <time.h>

namespace tk {

namespace {

uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

uint32_t MonotonicMs() {
    return static_cast<uint32_t>(NowNs() / 1000000u);
}

uint64_t MonotonicUs() {
    return NowNs() / 1000u;
}

}  // namespace tk
