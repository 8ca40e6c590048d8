// The PC clock through SetSystemTime (UTC) and SetLocalTime (local time); a
// process without the right to change the time gets false from them.
#include <windows.h>

#include <cmath>
#include <cstdint>

#include "toolkit/SystemClock.h"

namespace tk {

namespace {

SYSTEMTIME ToSystemTime(const TClockFields& f) {
    SYSTEMTIME st{};
    st.wYear = f.year;
    st.wMonth = f.month;
    st.wDayOfWeek = f.dayOfWeek;
    st.wDay = f.day;
    st.wHour = f.hour;
    st.wMinute = f.minute;
    st.wSecond = f.second;
    st.wMilliseconds = f.milliseconds;
    return st;
}

}  // namespace

double TSystemClock::LocalNow() {
    // The zone's offset at this moment: local minus UTC of the same instant.
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    FILETIME u{};
    FILETIME l{};
    SystemTimeToFileTime(&utc, &u);
    SystemTimeToFileTime(&local, &l);
    const auto ticks = [](const FILETIME& f) {
        return static_cast<int64_t>((static_cast<uint64_t>(f.dwHighDateTime) << 32) |
                                    f.dwLowDateTime);
    };
    // Rounded to whole minutes: the two readings are not taken at once.
    const double offsetMinutes = std::round(static_cast<double>(ticks(l) - ticks(u)) / 600000000.0);
    return UtcNowDayCount() + offsetMinutes / 1440.0;
}

bool TSystemClock::SetSystemTime(const TClockFields& utc) {
    const SYSTEMTIME st = ToSystemTime(utc);
    return ::SetSystemTime(&st) != 0;
}

bool TSystemClock::SetLocalTime(const TClockFields& local) {
    const SYSTEMTIME st = ToSystemTime(local);
    return ::SetLocalTime(&st) != 0;
}

}  // namespace tk
