// Setting the PC clock, through a replaceable setter so that tests never
// change the machine's clock.
#pragma once

#include <cstdint>

namespace tk {

// Calendar fields of a clock time, as the system clock takes them.
struct TClockFields {
    uint16_t year = 0;
    uint16_t month = 0;      // 1..12
    uint16_t dayOfWeek = 0;  // 0 Sunday .. 6 Saturday
    uint16_t day = 0;        // 1..31
    uint16_t hour = 0;
    uint16_t minute = 0;
    uint16_t second = 0;
    uint16_t milliseconds = 0;

    bool operator==(const TClockFields&) const = default;
};

// The fields of a day count (days since 1899-12-30 plus the fraction of the
// day), rounded to the millisecond. False for a value outside years 1601 to
// 30827 or not finite.
bool ClockFieldsFromDayCount(double dayCount, TClockFields& out);

// The PC's own clock now, in UTC, as a day count to the microsecond. Always
// the platform's clock, whatever setter is installed.
double UtcNowDayCount();

// TSystemClock itself sets the platform's clock: on Windows SetSystemTime /
// SetLocalTime; on Linux clock_settime, the local variant taking the fields
// as local time. Each returns false when the system refuses (no right to
// set the clock) or the fields are no valid time; neither throws.
class TSystemClock {
  public:
    TSystemClock() = default;
    virtual ~TSystemClock();
    TSystemClock(const TSystemClock&) = delete;
    TSystemClock& operator=(const TSystemClock&) = delete;

    // Sets the clock to the fields taken as UTC.
    virtual bool SetSystemTime(const TClockFields& utc);
    // Sets the clock to the fields taken as local time.
    virtual bool SetLocalTime(const TClockFields& local);
    // What the clock shows now, as a day count: in UTC (UtcNowDayCount) and
    // as local time (the fields a local clock shows, zone offset applied).
    virtual double SystemNow();
    virtual double LocalNow();
};

// The clock setter in use: the one installed last, else the platform's.
TSystemClock& CurrentSystemClock();
// Installs a setter (nullptr: the platform's again) and returns the one it
// replaces (nullptr when that was the platform's). The caller keeps the
// setter alive while it is installed.
TSystemClock* InstallSystemClock(TSystemClock* clock);

// Installs a setter for the life of the object, then puts back the previous one.
class TSystemClockInstall {
  public:
    explicit TSystemClockInstall(TSystemClock& clock) : previous_(InstallSystemClock(&clock)) {}
    ~TSystemClockInstall() { InstallSystemClock(previous_); }
    TSystemClockInstall(const TSystemClockInstall&) = delete;
    TSystemClockInstall& operator=(const TSystemClockInstall&) = delete;

  private:
    TSystemClock* previous_;
};

}  // namespace tk
