// When received bytes came off the device.
#pragma once

#include <cstdint>

// The moment a device read brought bytes in: the PC's wall clock (a UTC day
// count, days since 1899-12-30) and the monotonic clock (tk::MonotonicUs),
// taken together. Utc 0 means no such moment is known.
struct TArrivalTime {
    double Utc = 0.0;
    uint64_t MonoUs = 0;

    bool Known() const { return Utc != 0.0; }
    bool operator==(const TArrivalTime&) const = default;

    // The clocks now.
    static TArrivalTime Now();
};
