// Monotonic time for the serial library's timing.
#pragma once

#include <cstdint>

namespace tk {

// Milliseconds from a monotonic source (the performance counter on Windows,
// CLOCK_MONOTONIC on POSIX); wraps at 2^32 like a DWORD tick count.
uint32_t MonotonicMs();

// Microsecond resolution of the same source, for measurements.
uint64_t MonotonicUs();

}  // namespace tk
