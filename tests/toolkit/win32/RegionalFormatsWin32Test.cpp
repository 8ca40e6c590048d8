// The user's date and time formats against the system's own formatting.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "toolkit/RegionalFormats.h"

namespace {

std::string SystemDate(const SYSTEMTIME& st) {
    char buffer[128] = {};
    const int n = GetDateFormatA(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buffer,
                                 static_cast<int>(sizeof buffer));
    return n > 0 ? std::string(buffer, static_cast<size_t>(n - 1)) : std::string();
}

std::string SystemTime(const SYSTEMTIME& st) {
    char buffer[128] = {};
    const int n = GetTimeFormatA(LOCALE_USER_DEFAULT, 0, &st, nullptr, buffer,
                                 static_cast<int>(sizeof buffer));
    return n > 0 ? std::string(buffer, static_cast<size_t>(n - 1)) : std::string();
}

TEST(RegionalFormatsWin32, SameTextsAsTheSystem) {
    struct Case {
        double dayCount;
        SYSTEMTIME st;  // year, month, weekday, day, hour, minute, second, ms
    };
    const Case cases[] = {
        {46027 + (13 * 3600 + 5 * 60 + 9) / 86400.0, {2026, 1, 1, 5, 13, 5, 9, 0}},
        {46000.5, {2025, 12, 2, 9, 12, 0, 0, 0}},
        {36526 + (23 * 3600 + 59 * 60 + 59) / 86400.0, {2000, 1, 6, 1, 23, 59, 59, 0}},
        {46027 + 9 / 86400.0, {2026, 1, 1, 5, 0, 0, 9, 0}},
    };
    const tk::TLocaleNames names = tk::SystemLocaleNames();
    for (const Case& c : cases) {
        EXPECT_EQ(tk::FormatDateTime(tk::SystemShortDateFormat(), c.dayCount, names),
                  SystemDate(c.st))
            << tk::SystemShortDateFormat();
        EXPECT_EQ(tk::FormatDateTime(tk::SystemLongTimeFormat(), c.dayCount, names),
                  SystemTime(c.st))
            << tk::SystemLongTimeFormat();
        EXPECT_EQ(tk::FormatShortDate(c.dayCount), SystemDate(c.st));
        EXPECT_EQ(tk::FormatLongTime(c.dayCount), SystemTime(c.st));
    }
}

}  // namespace
