// Calendar fields of day counts, and the clock setter seam. The platform's
// setter is only given fields that are no valid time, so the machine's
// clock is never changed.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "toolkit/SystemClock.h"

namespace {

tk::TClockFields Fields(uint16_t y, uint16_t mo, uint16_t dow, uint16_t d, uint16_t h, uint16_t mi,
                        uint16_t s, uint16_t ms) {
    tk::TClockFields f;
    f.year = y;
    f.month = mo;
    f.dayOfWeek = dow;
    f.day = d;
    f.hour = h;
    f.minute = mi;
    f.second = s;
    f.milliseconds = ms;
    return f;
}

struct TRecordingClock : tk::TSystemClock {
    int sys = 0;
    int local = 0;
    bool SetSystemTime(const tk::TClockFields&) override { return ++sys > 0; }
    bool SetLocalTime(const tk::TClockFields&) override { return ++local < 0; }
};

}  // namespace

TEST(SystemClock, FieldsOfDayCounts) {
    tk::TClockFields f;
    // Day 0 is Saturday 1899-12-30; 1994-03-23 12:35:19 was a Wednesday.
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(0.0, f));
    EXPECT_EQ(f, Fields(1899, 12, 6, 30, 0, 0, 0, 0));
    const double t = 34416 + (12 * 3600 + 35 * 60 + 19) / 86400.0;
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(t, f));
    EXPECT_EQ(f, Fields(1994, 3, 3, 23, 12, 35, 19, 0));
    // Milliseconds round to the nearest; a carry runs through to the date.
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(t + 1234.4 / 86400000.0, f));
    EXPECT_EQ(f, Fields(1994, 3, 3, 23, 12, 35, 20, 234));
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(36892.0 - 0.2 / 86400000.0, f));
    EXPECT_EQ(f, Fields(2001, 1, 1, 1, 0, 0, 0, 0));
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(36892.0 - 0.6 / 86400000.0, f));
    EXPECT_EQ(f, Fields(2000, 12, 0, 31, 23, 59, 59, 999));
    // Leap days, and a count below 0 as a plain earlier time.
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(36585.75, f));
    EXPECT_EQ(f, Fields(2000, 2, 2, 29, 18, 0, 0, 0));
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(-1.25, f));
    EXPECT_EQ(f, Fields(1899, 12, 4, 28, 18, 0, 0, 0));
    // Outside what a system clock takes, or not a number: false, untouched.
    const tk::TClockFields before = f;
    for (const double bad :
         {-109206.0, 11000000.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_FALSE(tk::ClockFieldsFromDayCount(bad, f)) << bad;
        EXPECT_EQ(f, before);
    }
    ASSERT_TRUE(tk::ClockFieldsFromDayCount(-109205.0, f));
    EXPECT_EQ(f, Fields(1601, 1, 1, 1, 0, 0, 0, 0));
}

TEST(SystemClock, SetterSeam) {
    tk::TSystemClock& platform = tk::CurrentSystemClock();
    TRecordingClock recorder;
    {
        tk::TSystemClockInstall install(recorder);
        EXPECT_EQ(&tk::CurrentSystemClock(), &recorder);
        EXPECT_TRUE(tk::CurrentSystemClock().SetSystemTime(Fields(2024, 1, 1, 1, 0, 0, 0, 0)));
        EXPECT_FALSE(tk::CurrentSystemClock().SetLocalTime(Fields(2024, 1, 1, 1, 0, 0, 0, 0)));
    }
    EXPECT_EQ(recorder.sys, 1);
    EXPECT_EQ(recorder.local, 1);
    EXPECT_EQ(&tk::CurrentSystemClock(), &platform);

    // The platform's setter refuses fields that are no time, with false.
    for (const tk::TClockFields& bad :
         {Fields(2024, 13, 0, 1, 0, 0, 0, 0), Fields(2024, 2, 0, 30, 0, 0, 0, 0),
          Fields(2023, 2, 0, 29, 0, 0, 0, 0), Fields(2024, 1, 0, 0, 0, 0, 0, 0),
          Fields(2024, 1, 0, 1, 24, 0, 0, 0), Fields(2024, 1, 0, 1, 0, 60, 0, 0),
          Fields(2024, 1, 0, 1, 0, 0, 60, 0), Fields(2024, 1, 0, 1, 0, 0, 0, 1000)}) {
        EXPECT_FALSE(platform.SetSystemTime(bad));
        EXPECT_FALSE(platform.SetLocalTime(bad));
    }
}
