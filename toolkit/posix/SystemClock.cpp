// The PC clock through clock_settime(CLOCK_REALTIME); the local variant
// reads the fields as local time (mktime, with the zone's daylight rule).
// Without CAP_SYS_TIME the call fails with EPERM and false comes back.
#include <time.h>

#include "toolkit/Calendar.h"
#include "toolkit/SystemClock.h"

namespace tk {

namespace {

// The broken-down time of the fields, or false when they are no valid date.
bool ToTm(const TClockFields& f, tm& out) {
    static constexpr uint16_t kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (f.year < 1601 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > kDays[f.month - 1] ||
        f.hour > 23 || f.minute > 59 || f.second > 59 || f.milliseconds > 999) {
        return false;
    }
    if (f.month == 2 && f.day == 29 && !IsLeapYear(f.year)) {
        return false;
    }
    out = tm{};
    out.tm_year = f.year - 1900;
    out.tm_mon = f.month - 1;
    out.tm_mday = f.day;
    out.tm_hour = f.hour;
    out.tm_min = f.minute;
    out.tm_sec = f.second;
    out.tm_isdst = -1;
    return true;
}

bool SetRealtime(time_t seconds, uint16_t milliseconds) {
    timespec ts{};
    ts.tv_sec = seconds;
    ts.tv_nsec = static_cast<long>(milliseconds) * 1000000L;
    return clock_settime(CLOCK_REALTIME, &ts) == 0;
}

}  // namespace

double TSystemClock::LocalNow() {
    // The zone's offset at this moment, from the broken-down local time.
    const double utc = UtcNowDayCount();
    const auto seconds = static_cast<time_t>(UnixSecondsFromDayCount(utc));
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return utc;
    }
    return utc + static_cast<double>(local.tm_gmtoff) / 86400.0;
}

bool TSystemClock::SetSystemTime(const TClockFields& utc) {
    tm t{};
    if (!ToTm(utc, t)) {
        return false;
    }
    const time_t seconds = timegm(&t);
    if (seconds == static_cast<time_t>(-1)) {
        return false;
    }
    return SetRealtime(seconds, utc.milliseconds);
}

bool TSystemClock::SetLocalTime(const TClockFields& local) {
    tm t{};
    if (!ToTm(local, t)) {
        return false;
    }
    const time_t seconds = mktime(&t);
    if (seconds == static_cast<time_t>(-1)) {
        return false;
    }
    return SetRealtime(seconds, local.milliseconds);
}

}  // namespace tk
