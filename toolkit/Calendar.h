// Proleptic Gregorian calendar arithmetic on day numbers counted from
// 1970-01-01, shared by the date-time conversions of the receiver, the
// toolkit and the companion programs.
#pragma once

#include <cstdint>

namespace tk {

// Day 0 of the date-time day count, 1899-12-30, as a day number.
constexpr int64_t kDayCountEpoch = -25569;

// Milliseconds in a day of the day count.
constexpr double kMsPerDay = 86400000.0;

// Seconds since 1970-01-01 of a day count, and back.
constexpr double UnixSecondsFromDayCount(double dayCount) {
    return (dayCount + static_cast<double>(kDayCountEpoch)) * 86400.0;
}
constexpr double DayCountFromUnixSeconds(double seconds) {
    return seconds / 86400.0 - static_cast<double>(kDayCountEpoch);
}

// The day number of a date (month 1 to 12, day 1 to 31).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);

// Whether a year has 29 February.
constexpr bool IsLeapYear(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// The date of a day number.
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

}  // namespace tk
