// Position texts and the regional decimal separator they use.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "gps/NavUtils.h"
#include "toolkit/RegionalFormats.h"

using namespace gps;

namespace {

// Restores the user's separator when a test ends, even on failure.
struct TSeparatorScope {
    explicit TSeparatorScope(char c) { tk::SetDecimalSeparatorOverride(c); }
    ~TSeparatorScope() { tk::ClearDecimalSeparatorOverride(); }
};

std::string Text(TStrFormat f, int kind, double degrees) {
    return PositionText(f, kind, degrees * 3600.0);
}

}  // namespace

TEST(PositionText, ThreeLayoutsOfTheWorkedExamples) {
    TSeparatorScope point('.');
    EXPECT_EQ(Text(TStrFormat::DDMMSS, 0, 48.1173), "48\xB0 07' 02\" N");
    EXPECT_EQ(Text(TStrFormat::DDMMmm, 0, 48.1173), "48\xB0 07.03 N");
    EXPECT_EQ(Text(TStrFormat::DDddd, 0, 48.1173), "48.1173 N");

    EXPECT_EQ(Text(TStrFormat::DDMMSS, 1, 11 + 31.0 / 60), "11\xB0 31' 00\" E");
    EXPECT_EQ(Text(TStrFormat::DDddd, 1, 11 + 31.0 / 60), "11.5167 E");
    EXPECT_EQ(Text(TStrFormat::DDMMSS, 1, -0.5), "0\xB0 30' 00\" W");
    EXPECT_EQ(Text(TStrFormat::DDddd, 1, -0.5), "0.5000 W");
    EXPECT_EQ(Text(TStrFormat::DDMMSS, 0, -33.8688), "33\xB0 52' 08\" S");
    EXPECT_EQ(Text(TStrFormat::DDMMmm, 0, -33.8688), "33\xB0 52.13 S");
    EXPECT_EQ(Text(TStrFormat::DDddd, 0, -33.8688), "33.8688 S");
    // Beyond 180 degrees the angle wraps to the other side.
    EXPECT_EQ(Text(TStrFormat::DDMMSS, 1, 200), "160\xB0 00' 00\" W");
    EXPECT_EQ(Text(TStrFormat::DDddd, 1, 200), "160.0000 W");
    EXPECT_EQ(Text(TStrFormat::DDMMSS, 1, 180), "180\xB0 00' 00\" E");
    // Exactly zero takes the southern and western letters.
    EXPECT_EQ(Text(TStrFormat::DDMMSS, 0, 0), "0\xB0 00' 00\" S");
    EXPECT_EQ(Text(TStrFormat::DDddd, 1, 0), "0.0000 W");
    EXPECT_EQ(Text(TStrFormat::DDMMmm, 1, 0), "0\xB0 00.00 W");
}

TEST(PositionText, SecondsRoundingAndHundredths) {
    TSeparatorScope point('.');
    // 59 whole seconds are 98 hundredths of a minute, 30 seconds 50.
    EXPECT_EQ(PositionText(TStrFormat::DDMMmm, 0, 59), "0\xB0 00.98 N");
    EXPECT_EQ(PositionText(TStrFormat::DDMMmm, 0, 30), "0\xB0 00.50 N");
    EXPECT_EQ(PositionText(TStrFormat::DDMMmm, 0, 3600 + 15 * 60 + 45), "1\xB0 15.75 N");
    // Half arc-seconds round to the even neighbour.
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 0, 2.5), "0\xB0 00' 02\" N");
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 0, 3.5), "0\xB0 00' 04\" N");
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 1, -59.5), "0\xB0 01' 00\" W");
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 1, 2.4999), "0\xB0 00' 02\" E");
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 1, 2.5001), "0\xB0 00' 03\" E");
    EXPECT_EQ(RoundHalfEven(0.5), 0.0);
    EXPECT_EQ(RoundHalfEven(1.5), 2.0);
    EXPECT_EQ(RoundHalfEven(-2.5), -2.0);
    EXPECT_EQ(RoundHalfEven(-1.5), -2.0);
    EXPECT_EQ(RoundHalfEven(7.2), 7.0);
}

TEST(PositionText, DecimalSeparatorFromRegionalSettings) {
    {
        TSeparatorScope comma(',');
        EXPECT_EQ(tk::DecimalSeparator(), ',');
        EXPECT_EQ(Text(TStrFormat::DDddd, 0, 48.1173), "48,1173 N");
        // The other layouts keep their fixed "." and blanks.
        EXPECT_EQ(Text(TStrFormat::DDMMmm, 0, 48.1173), "48\xB0 07.03 N");
    }
    // Back to the user's own separator, which is one byte.
    const char user = tk::SystemDecimalSeparator();
    EXPECT_EQ(tk::DecimalSeparator(), user);
    EXPECT_NE(user, '\0');
}

TEST(PositionText, AnglesBeyondAnyPositionGiveNoText) {
    TSeparatorScope point('.');
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 0, INFINITY), "--");
    EXPECT_EQ(PositionText(TStrFormat::DDddd, 1, -INFINITY), "--");
    EXPECT_EQ(PositionText(TStrFormat::DDMMmm, 0, NAN), "--");
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 0, 1e300), "--");
    // Large but finite angles still get a text.
    EXPECT_EQ(PositionText(TStrFormat::DDMMSS, 0, -3600.0 * 1000), "1000\xB0 00' 00\" S");
}
