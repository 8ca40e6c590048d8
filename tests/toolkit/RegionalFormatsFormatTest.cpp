// The general number format and the date and time pictures.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "toolkit/RegionalFormats.h"

namespace {

// Fixes the separator for one test and returns to the user's afterwards.
struct Separator {
    explicit Separator(char c) { tk::SetDecimalSeparatorOverride(c); }
    ~Separator() { tk::ClearDecimalSeparatorOverride(); }
};

struct Pictures {
    Pictures(const std::string& date, const std::string& time) {
        tk::SetDateTimeFormatOverride(date, time);
    }
    ~Pictures() { tk::ClearDateTimeFormatOverride(); }
};

TEST(RegionalFormats, FloatToStrGeneral) {
    Separator point('.');
    EXPECT_EQ(tk::FloatToStrGeneral(100 / 0.3048), "328.083989501312");  // 100 m in feet
    EXPECT_EQ(tk::FloatToStrGeneral(0.0), "0");
    EXPECT_EQ(tk::FloatToStrGeneral(-0.0), "0");
    EXPECT_EQ(tk::FloatToStrGeneral(100.0), "100");
    EXPECT_EQ(tk::FloatToStrGeneral(-2.5), "-2.5");
    EXPECT_EQ(tk::FloatToStrGeneral(0.1), "0.1");
    EXPECT_EQ(tk::FloatToStrGeneral(1.0 / 3), "0.333333333333333");
    EXPECT_EQ(tk::FloatToStrGeneral(2.0 / 3), "0.666666666666667");
    EXPECT_EQ(tk::FloatToStrGeneral(51.5), "51.5");
    EXPECT_EQ(tk::FloatToStrGeneral(-0.12345), "-0.12345");

    // Scientific only below 0.00001 ...
    EXPECT_EQ(tk::FloatToStrGeneral(0.00001), "0.00001");
    EXPECT_EQ(tk::FloatToStrGeneral(0.0000123), "0.0000123");
    EXPECT_EQ(tk::FloatToStrGeneral(1e-6), "1E-6");
    EXPECT_EQ(tk::FloatToStrGeneral(-1.5e-7), "-1.5E-7");
    EXPECT_EQ(tk::FloatToStrGeneral(1.25e-300), "1.25E-300");
    // ... or beyond 15 integer digits.
    EXPECT_EQ(tk::FloatToStrGeneral(123456789012345.0), "123456789012345");
    EXPECT_EQ(tk::FloatToStrGeneral(999999999999999.0), "999999999999999");
    EXPECT_EQ(tk::FloatToStrGeneral(1e15), "1E15");
    EXPECT_EQ(tk::FloatToStrGeneral(1234567890123456.0), "1.23456789012346E15");
    EXPECT_EQ(tk::FloatToStrGeneral(1e20), "1E20");
    EXPECT_EQ(tk::FloatToStrGeneral(-3.5e100), "-3.5E100");
    // Rounding to 15 digits may carry into a new digit.
    EXPECT_EQ(tk::FloatToStrGeneral(0.9999999999999999), "1");
    EXPECT_EQ(tk::FloatToStrGeneral(9.9999999999999999e14), "1E15");

    EXPECT_EQ(tk::FloatToStrGeneral(std::numeric_limits<double>::quiet_NaN()), "NAN");
    EXPECT_EQ(tk::FloatToStrGeneral(std::numeric_limits<double>::infinity()), "INF");
    EXPECT_EQ(tk::FloatToStrGeneral(-std::numeric_limits<double>::infinity()), "-INF");

    // The user's separator.
    Separator comma(',');
    EXPECT_EQ(tk::FloatToStrGeneral(328.08), "328,08");
    EXPECT_EQ(tk::FloatToStrGeneral(-1.5e-7), "-1,5E-7");
    EXPECT_EQ(tk::FloatToStrGeneral(0.00005), "0,00005");
}

TEST(RegionalFormats, DatesAndTimesThroughPictures) {
    Pictures p("dd/MM/yyyy", "HH:mm:ss");
    EXPECT_EQ(tk::ShortDateFormat(), "dd/MM/yyyy");
    EXPECT_EQ(tk::LongTimeFormat(), "HH:mm:ss");
    EXPECT_EQ(tk::FormatShortDate(0), "30/12/1899");
    EXPECT_EQ(tk::FormatLongTime(0), "00:00:00");
    // 2025-12-09 12:00, 2026-01-05 13:05:09.
    EXPECT_EQ(tk::FormatShortDate(46000.5), "09/12/2025");
    EXPECT_EQ(tk::FormatLongTime(46000.5), "12:00:00");
    const double monday = 46027 + (13 * 3600 + 5 * 60 + 9) / 86400.0;
    EXPECT_EQ(tk::FormatShortDate(monday), "05/01/2026");
    EXPECT_EQ(tk::FormatLongTime(monday), "13:05:09");
    // Seconds are cut, not rounded; a count a hair below midnight rounds to
    // the next day's first millisecond.
    EXPECT_EQ(tk::FormatLongTime(46027 + 59.9 / 86400), "00:00:59");
    EXPECT_EQ(tk::FormatLongTime(0.999999), "23:59:59");
    EXPECT_EQ(tk::FormatShortDate(46026.9999999999), "05/01/2026");
    EXPECT_EQ(tk::FormatLongTime(46026.9999999999), "00:00:00");
    // Negative counts: the date counts back, the fraction's size is the time.
    EXPECT_EQ(tk::FormatShortDate(-1.25), "29/12/1899");
    EXPECT_EQ(tk::FormatLongTime(-1.25), "06:00:00");
    // The years 1 to 9999, and nothing outside them.
    EXPECT_EQ(tk::FormatShortDate(-693593), "01/01/0001");
    EXPECT_EQ(tk::FormatShortDate(2958465.99), "31/12/9999");
    EXPECT_EQ(tk::FormatShortDate(2958466), "");
    EXPECT_EQ(tk::FormatShortDate(-693594), "");
    EXPECT_EQ(tk::FormatLongTime(std::nan("")), "");
    EXPECT_EQ(tk::FormatShortDate(1e300), "");

    // Every picture element, with English names.
    const tk::TLocaleNames en = tk::DefaultLocaleNames();
    EXPECT_EQ(tk::FormatDateTime("d/M/yy y", monday, en), "5/1/26 26");
    EXPECT_EQ(tk::FormatDateTime("dddd, MMMM d, yyyy", monday, en), "Monday, January 5, 2026");
    EXPECT_EQ(tk::FormatDateTime("ddd d MMM", 46000.5, en), "Tue 9 Dec");
    EXPECT_EQ(tk::FormatDateTime("h:mm:ss tt", monday, en), "1:05:09 PM");
    EXPECT_EQ(tk::FormatDateTime("hh:m:s t", 46027 + 9 / 86400.0, en), "12:0:9 A");
    EXPECT_EQ(tk::FormatDateTime("H.mm", 46027.25, en), "6.00");
    EXPECT_EQ(tk::FormatDateTime("yyyy'y'MM'm' gg", monday, en), "2026y01m ");
    EXPECT_EQ(tk::FormatDateTime("d 'o''clock' HH", monday, en), "5 o'clock 13");
    EXPECT_EQ(tk::FormatDateTime("'unclosed d", monday, en), "unclosed d");

    // Without the override, the user's pictures come back.
    tk::ClearDateTimeFormatOverride();
    EXPECT_EQ(tk::ShortDateFormat(), tk::SystemShortDateFormat());
    EXPECT_EQ(tk::LongTimeFormat(), tk::SystemLongTimeFormat());
    EXPECT_EQ(tk::FormatShortDate(monday),
              tk::FormatDateTime(tk::SystemShortDateFormat(), monday, tk::SystemLocaleNames()));
    EXPECT_FALSE(tk::FormatLongTime(monday).empty());
}

TEST(RegionalFormats, StrftimePatternsBecomePictures) {
    EXPECT_EQ(tk::StrftimeToPicture("%m/%d/%y"), "MM/dd/yy");
    EXPECT_EQ(tk::StrftimeToPicture("%d.%m.%Y"), "dd.MM.yyyy");
    EXPECT_EQ(tk::StrftimeToPicture("%F"), "yyyy-MM-dd");
    EXPECT_EQ(tk::StrftimeToPicture("%D"), "MM/dd/yy");
    EXPECT_EQ(tk::StrftimeToPicture("%-d/%-m/%Y"), "d/M/yyyy");
    EXPECT_EQ(tk::StrftimeToPicture("%e %b %Y"), "d MMM yyyy");
    EXPECT_EQ(tk::StrftimeToPicture("%A %B"), "dddd MMMM");
    EXPECT_EQ(tk::StrftimeToPicture("%T"), "HH:mm:ss");
    EXPECT_EQ(tk::StrftimeToPicture("%r"), "hh:mm:ss tt");
    EXPECT_EQ(tk::StrftimeToPicture("%I:%M:%S %p"), "hh:mm:ss tt");
    EXPECT_EQ(tk::StrftimeToPicture("%k:%M"), "H:mm");
    EXPECT_EQ(tk::StrftimeToPicture("%Ey %Od"), "yy dd");
    EXPECT_EQ(tk::StrftimeToPicture("100%% %Z"), "100% ");
    // Literal text with picture letters is quoted, and reads back as itself.
    const std::string spanish = tk::StrftimeToPicture("%e de %B de %Y");
    EXPECT_EQ(spanish, "d' de 'MMMM' de 'yyyy");
    EXPECT_EQ(tk::FormatDateTime(spanish, 46027, tk::DefaultLocaleNames()), "5 de January de 2026");
    EXPECT_EQ(tk::StrftimeToPicture("%H h %M"), "HH' h 'mm");
    EXPECT_EQ(tk::StrftimeToPicture("%Y'%m"), "yyyy''''MM");
    EXPECT_EQ(tk::FormatDateTime(tk::StrftimeToPicture("%Y'%m"), 46027, tk::DefaultLocaleNames()),
              "2026'01");
    // A pattern that ends in a lone percent sign keeps it.
    EXPECT_EQ(tk::StrftimeToPicture("%Y%"), "yyyy%");
}

}  // namespace
