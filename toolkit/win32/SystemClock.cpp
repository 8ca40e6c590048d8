// The PC clock through SetSystemTime (UTC) and SetLocalTime (local time); a
// process without the right to change the time gets false from them.
#include <windows.h>

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

bool TSystemClock::SetSystemTime(const TClockFields& utc) {
    const SYSTEMTIME st = ToSystemTime(utc);
    return ::SetSystemTime(&st) != 0;
}

bool TSystemClock::SetLocalTime(const TClockFields& local) {
    const SYSTEMTIME st = ToSystemTime(local);
    return ::SetLocalTime(&st) != 0;
}

}  // namespace tk
