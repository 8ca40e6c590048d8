#include "toolkit/SystemClock.h"

#include <atomic>
#include <cmath>

namespace tk {

namespace {

std::atomic<TSystemClock*> gInstalled{nullptr};

constexpr double kMsPerDay = 86400000.0;
// 1601-01-01 as a day count since 1899-12-30, and a bound past year 30827
// (the year itself is checked after the conversion).
constexpr double kFirstDay = -109205.0;
constexpr double kEndDay = 11000000.0;

// Civil date of a day number counted from 1970-01-01 (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) {
        ++y;
    }
}

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
    CivilFromDays(days - 25569, year, month, day);
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

TSystemClock::~TSystemClock() = default;

TSystemClock& CurrentSystemClock() {
    static TSystemClock platform;
    TSystemClock* installed = gInstalled.load();
    return installed ? *installed : platform;
}

TSystemClock* InstallSystemClock(TSystemClock* clock) {
    return gInstalled.exchange(clock);
}

}  // namespace tk
