// Text helpers of NMEA lines: payload, checksum, splitting, number, angle and
// date-time fields, and the name tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <random>
#include <string>

#include "gps/GPS.h"
#include "gps/NMEA.h"

using namespace gps;

namespace {

const std::string kGsa = "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3A";

}  // namespace

TEST(NmeaPayload, TakesTextBetweenStartAndStar) {
    EXPECT_EQ(NmeaPayload(kGsa), "GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2");
    EXPECT_EQ(NmeaPayload("junk$GPTXT,x*11"), "GPTXT,x");
    EXPECT_EQ(NmeaPayload("!AIVDM,1*22"), "AIVDM,1");
    // "$" wins over an earlier "!".
    EXPECT_EQ(NmeaPayload("!a$b*c"), "b");
    EXPECT_EQ(NmeaPayload("no start*xx"), "no start");
    EXPECT_EQ(NmeaPayload("plain"), "plain");
    EXPECT_EQ(NmeaPayload(""), "");
    EXPECT_EQ(NmeaPayload("$"), "");
    EXPECT_EQ(NmeaPayload("$*"), "");
}

TEST(NmeaChecksum, TwoUpperCaseHexDigits) {
    EXPECT_EQ(NmeaChecksum("abc"), "60");
    EXPECT_EQ(NmeaChecksum(""), "00");
    EXPECT_EQ(NmeaChecksum("GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2"), "3A");
    EXPECT_EQ(NmeaChecksum("\x0A"), "0A");
    EXPECT_EQ(NmeaChecksum("\xFF"), "FF");
    EXPECT_EQ(NmeaChecksum(std::string("\xF0\x01", 2)), "F1");
    EXPECT_EQ(NmeaChecksum(std::string(1, '\0')), "00");
}

TEST(ChecksumOK, AcceptsOnlyExactUpperCaseChecksum) {
    EXPECT_TRUE(ChecksumOK(kGsa));
    EXPECT_TRUE(ChecksumOK("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A"));
    EXPECT_TRUE(ChecksumOK("$*00"));
    // Lower-case hex digits, a missing checksum, a cut-off line.
    EXPECT_FALSE(ChecksumOK("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3a"));
    EXPECT_FALSE(ChecksumOK("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2"));
    EXPECT_FALSE(ChecksumOK("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*"));
    EXPECT_FALSE(ChecksumOK("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3"));
    EXPECT_FALSE(ChecksumOK("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.3*3A"));
    // A line without "*" whose first characters look like its own checksum
    // ("00" XORs to 00) still carries no checksum.
    EXPECT_FALSE(ChecksumOK("00"));
    EXPECT_FALSE(ChecksumOK(""));
    // Anything after the two digits: another line glued on without its "$".
    EXPECT_FALSE(ChecksumOK(kGsa + "!GPGSA,A,1*2A"));
    EXPECT_FALSE(ChecksumOK(kGsa + " "));
    EXPECT_FALSE(ChecksumOK(kGsa + "\r"));
    // A "!" line alone is checked like a "$" line.
    EXPECT_TRUE(ChecksumOK("!GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.2*3A"));
    // Bytes above 0x7F count like any other.
    EXPECT_TRUE(ChecksumOK("$\xB0*B0"));
}

TEST(SplitSentence, FillsEntriesAtCommas) {
    TDataArray a;
    a.fill("stale");
    SplitSentence(kGsa, a);
    const char* expected[21] = {"GPGSA", "A", "3", "04", "05",  "",    "09",  "12", "", "", "24",
                                "",      "",  "",  "",   "2.5", "1.3", "2.2", "",   "", ""};
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i], expected[i]) << "entry " << i;
    }

    // 25 fields: the first 21 are kept, the rest dropped.
    std::string many = "$ID";
    for (int i = 1; i <= 24; ++i) {
        many += "," + std::to_string(i);
    }
    SplitSentence(many, a);
    EXPECT_EQ(a[0], "ID");
    EXPECT_EQ(a[20], "20");

    SplitSentence("$GPX,a,", a);
    EXPECT_EQ(a[0], "GPX");
    EXPECT_EQ(a[1], "a");
    EXPECT_EQ(a[2], "");
    EXPECT_EQ(a[3], "");

    SplitSentence("$*00", a);
    for (const std::string& e : a) {
        EXPECT_EQ(e, "");
    }
    SplitSentence("!AIVDM,1,2*00", a);
    EXPECT_EQ(a[0], "AIVDM");
    EXPECT_EQ(a[2], "2");
    EXPECT_EQ(a[3], "");
    // Commas only: 21 empty entries, nothing beyond.
    SplitSentence("$" + std::string(40, ','), a);
    for (const std::string& e : a) {
        EXPECT_EQ(e, "");
    }
}

TEST(ParseNumber, DecimalTextWithPointOnly) {
    double v = 0;
    struct Case {
        const char* text;
        double value;
    };
    const Case good[] = {{"0", 0},          {"12", 12},    {"-3.25", -3.25}, {"+4.5", 4.5},
                         {"5.", 5},         {".5", 0.5},   {"-.5", -0.5},    {"1e3", 1000},
                         {"2.5E-2", 0.025}, {"1e+2", 100}, {"007.50", 7.5},  {"545.4", 545.4}};
    for (const Case& c : good) {
        v = -999;
        EXPECT_TRUE(ParseNumber(c.text, v)) << c.text;
        EXPECT_DOUBLE_EQ(v, c.value) << c.text;
    }
    const char* bad[] = {"",    ".",   "-",     "+",      "+-1", "--1", "1,5", " 1",
                         "1 ",  "1e",  "e5",    "1e+",    "inf", "nan", "0x1", "1.2.3",
                         "1..", "12a", "1e999", "-1e999", "1-",  "."};
    for (const char* text : bad) {
        v = 42;
        EXPECT_FALSE(ParseNumber(text, v)) << text;
        EXPECT_EQ(v, 42) << "untouched after " << text;
    }
    // A long field converts or fails without reading past it.
    EXPECT_TRUE(ParseNumber(std::string(300, '1'), v));
    EXPECT_GT(v, 1e299);
    EXPECT_TRUE(ParseNumber("1." + std::string(500, '0'), v));
    EXPECT_EQ(v, 1.0);
    EXPECT_FALSE(ParseNumber(std::string(500, '9') + "x", v));
    // Beyond the double range either way: no number rather than infinity or zero.
    EXPECT_FALSE(ParseNumber(std::string(500, '1'), v));
    EXPECT_FALSE(ParseNumber("0." + std::string(500, '0') + "1", v));
    // Only the viewed characters count: the digit after the view is not read.
    const std::string text = "12.53";
    EXPECT_TRUE(ParseNumber(std::string_view(text).substr(0, 4), v));
    EXPECT_DOUBLE_EQ(v, 12.5);
    EXPECT_TRUE(IsNumber("5."));
    EXPECT_FALSE(IsNumber("."));
    EXPECT_FALSE(IsNumber(""));
}

TEST(ParseInteger, WholeFieldDecimalInteger) {
    int32_t v = 0;
    EXPECT_TRUE(ParseInteger("08", v));
    EXPECT_EQ(v, 8);
    EXPECT_TRUE(ParseInteger("-12", v));
    EXPECT_EQ(v, -12);
    EXPECT_TRUE(ParseInteger("+7", v));
    EXPECT_EQ(v, 7);
    EXPECT_TRUE(ParseInteger("2147483647", v));
    EXPECT_EQ(v, 2147483647);
    EXPECT_TRUE(ParseInteger("-2147483648", v));
    EXPECT_EQ(v, INT32_MIN);
    EXPECT_TRUE(ParseInteger("0000000000000000000000000000001", v));
    EXPECT_EQ(v, 1);
    for (const char* text : {"", "3.5", "1.", "1e2", " 1", "-", "+-1", "2147483648", "-2147483649",
                             "99999999999999999999999", "a"}) {
        v = 42;
        EXPECT_FALSE(ParseInteger(text, v)) << text;
        EXPECT_EQ(v, 42) << text;
    }
}

TEST(NmeaDegMin, DegreesAndMinutesAroundThePoint) {
    double d = 0;
    ASSERT_TRUE(NmeaDegMin("4807.038", d));
    EXPECT_DOUBLE_EQ(d, 48 + 7.038 / 60);
    ASSERT_TRUE(NmeaDegMin("01131.000", d));
    EXPECT_DOUBLE_EQ(d, 11 + 31.0 / 60);
    ASSERT_TRUE(NmeaDegMin("4717.11437", d));
    EXPECT_DOUBLE_EQ(d, 47 + 17.11437 / 60);
    ASSERT_TRUE(NmeaDegMin("000.5", d));
    EXPECT_DOUBLE_EQ(d, 0.5 / 60);
    // Minutes take at most 10 characters: 2 digits, the point and 7 decimals.
    ASSERT_TRUE(NmeaDegMin("4807.0380000999", d));
    EXPECT_DOUBLE_EQ(d, 48 + 7.038 / 60);
    ASSERT_TRUE(NmeaDegMin("4807.", d));
    EXPECT_DOUBLE_EQ(d, 48 + 7.0 / 60);

    for (const char* text :
         {"", "4807", "07.5", ".5", "1.5", "48a7.0", "4807.0x", "48.07", "ab07.5", "."}) {
        d = 42;
        EXPECT_FALSE(NmeaDegMin(text, d)) << text;
        EXPECT_EQ(d, 42) << text;
    }
    // A long field neither crashes nor reads outside itself.
    EXPECT_FALSE(NmeaDegMin(std::string(500, '.'), d));
    EXPECT_TRUE(NmeaDegMin(std::string(300, '1') + "11.5", d));
    EXPECT_TRUE(std::isfinite(d));
}

TEST(NmeaDateTime, CalendarDateAndClockTime) {
    // 23 March 2094, 12:35:19 (two-digit years count from 2000).
    const double expected = 70941 + (12 * 3600 + 35 * 60 + 19) / 86400.0;
    EXPECT_DOUBLE_EQ(NmeaDateTime("230394", "123519"), expected);
    // Fractions of 0 to 3 digits are ignored.
    EXPECT_DOUBLE_EQ(NmeaDateTime("230394", "123519."), expected);
    EXPECT_DOUBLE_EQ(NmeaDateTime("230394", "123519.5"), expected);
    EXPECT_DOUBLE_EQ(NmeaDateTime("230394", "123519.99"), expected);
    EXPECT_DOUBLE_EQ(NmeaDateTime("230394", "123519.999"), expected);
    // 1 January 2000 is day 36526.
    EXPECT_DOUBLE_EQ(NmeaDateTime("010100", "000000"), 36526.0);
    EXPECT_DOUBLE_EQ(NmeaDateTime("291224", "235959"), 45655 + 86399 / 86400.0);
    EXPECT_DOUBLE_EQ(NmeaDateTime("290224", "000000"), 45351.0);  // leap day 2024

    // Not a calendar date or clock time, or not numbers: -1.0.
    for (auto [date, time] : {std::pair{"310294", "123519"},
                              {"290223", "000000"},
                              {"001200", "000000"},
                              {"011300", "000000"},
                              {"010000", "000000"},
                              {"010100", "240000"},
                              {"010100", "006000"},
                              {"010100", "000060"},
                              {"", "123519"},
                              {"230394", ""},
                              {"2303", "123519"},
                              {"230394", "1235"},
                              {"2a0394", "123519"},
                              {"230394", "12.519"},
                              {"-10394", "123519"},
                              {"230394", "-10000"}}) {
        EXPECT_EQ(NmeaDateTime(date, time), -1.0) << date << " " << time;
    }
}

TEST(NameTables, NumbersWithoutNameGiveDashes) {
    // Qualities 4 and 5 sit between named ones; the tables' edges and beyond.
    EXPECT_EQ(QualityName(3), "PPS Fix");
    EXPECT_EQ(QualityName(4), "--");
    EXPECT_EQ(QualityName(5), "--");
    EXPECT_EQ(QualityName(6), "Estimated");
    EXPECT_EQ(QualityName(8), "Simulation Mode");
    EXPECT_EQ(QualityName(9), "--");
    EXPECT_EQ(QualityName(-1), "--");
    EXPECT_EQ(QualityName(INT32_MIN), "--");
    EXPECT_EQ(FixDimName(0), "--");
    EXPECT_EQ(FixDimName(4), "--");
    EXPECT_EQ(FixModeName('a'), "Not defined");
    EXPECT_EQ(FixModeName('\0'), "Not defined");
}

TEST(ParseNumber, AgreesBitForBitWithCorrectRounding) {
    // Fields of every shape a receiver writes, against the standard library's
    // correctly rounded conversion.
    std::mt19937_64 random(20240615);
    for (int i = 0; i < 20000; ++i) {
        const int intLen = static_cast<int>(random() % 9);
        const int fracLen = static_cast<int>(random() % 10);
        std::string text;
        for (int d = 0; d < intLen; ++d) {
            text += static_cast<char>('0' + random() % 10);
        }
        if (fracLen > 0 || intLen == 0) {
            text += '.';
            for (int d = 0; d < std::max(fracLen, 1); ++d) {
                text += static_cast<char>('0' + random() % 10);
            }
        }
        double expected = 0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        double parsed = -1;
        ASSERT_TRUE(ParseNumber(text, parsed)) << text;
        ASSERT_EQ(parsed, expected) << text;
        ASSERT_TRUE(ParseNumber("-" + text, parsed)) << text;
        ASSERT_EQ(parsed, -expected) << text;
    }
}
