#include "toolkit/SystemClock.h"

#include <atomic>
#include <chrono>
#include <cmath>

#include "toolkit/Calendar.h"

namespace tk {

namespace {

std::atomic<TSystemClock*> gInstalled{nullptr};

// 1601-01-01 as a day count since 1899-12-30, and a bound past year 30827
// (the year itself is checked after the conversion).
constexpr double kFirstDay = -109205.0;
constexpr double kEndDay = 11000000.0;

}  // namespace

bool ClockFieldsFromDayCount(double dayCount, TClockFields& out) {
    if (!std::isfinite(dayCount) || dayCount < kFirstDay || dayCount >= kEndDay) {
        return false;
    }
    const auto totalMs = static_cast<int64_t>(std::llround(dayCount * kMsPerDay));
    const int64_t msPerDay = 86400000;
    int64_t days = totalMs / msPerDay;
    int64_t msOfDay = totalMs % msPerDay;
    if (msOfDay < 0) {
        msOfDay += msPerDay;
        --days;
    }
    // Day 0 is 1899-12-30, 25569 days before 1970-01-01, a Saturday.
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days + kDayCountEpoch, year, month, day);
    if (year < 1601 || year > 30827) {
        return false;
    }
    out.year = static_cast<uint16_t>(year);
    out.month = static_cast<uint16_t>(month);
    out.day = static_cast<uint16_t>(day);
    out.dayOfWeek = static_cast<uint16_t>(((days % 7) + 7 + 6) % 7);
    out.hour = static_cast<uint16_t>(msOfDay / 3600000);
    out.minute = static_cast<uint16_t>(msOfDay / 60000 % 60);
    out.second = static_cast<uint16_t>(msOfDay / 1000 % 60);
    out.milliseconds = static_cast<uint16_t>(msOfDay % 1000);
    return true;
}

double UtcNowDayCount() {
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return static_cast<double>(us) / (kMsPerDay * 1000.0) - static_cast<double>(kDayCountEpoch);
}

TSystemClock::~TSystemClock() = default;

double TSystemClock::SystemNow() {
    return UtcNowDayCount();
}

TSystemClock& CurrentSystemClock() {
    static TSystemClock platform;
    TSystemClock* installed = gInstalled.load();
    return installed ? *installed : platform;
}

TSystemClock* InstallSystemClock(TSystemClock* clock) {
    return gInstalled.exchange(clock);
}

}  // namespace tk
