// Points out of sentences: each valid RMC fix becomes one point, with the
// altitude and the rest of the GGA of its own epoch whichever of the two
// sentences the receiver sends first.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "gps/NMEA.h"
#include "record/TrackBuilder.h"
#include "record/RecordTestSupport.h"

namespace {

using record::TTrackPoint;

// Feeds sentences to a builder the way the recorder's listener does.
struct TFeed {
    record::TTrackBuilder builder;
    std::vector<TTrackPoint> points;
    std::vector<size_t> breaks;  // the number of points before each break

    TFeed() {
        builder.OnPoint = [this](const TTrackPoint& p) { points.push_back(p); };
        builder.OnBreak = [this] { breaks.push_back(points.size()); };
    }

    void Line(const std::string& payload) {
        const std::vector<std::string> f = rectest::Fields(rectest::Sentence(payload));
        const std::string type = f[0].substr(2);
        if (type == "RMC") {
            record::TRmcFix fix;
            ASSERT_TRUE(record::ParseRmc(f, fix)) << payload;
            builder.Fix(fix);
        } else if (type == "GGA") {
            record::TGgaData gga;
            ASSERT_TRUE(record::ParseGga(f, gga)) << payload;
            builder.Gga(gga);
        } else if (type == "GSA") {
            record::TGsaData gsa;
            ASSERT_TRUE(record::ParseGsa(f, gsa)) << payload;
            builder.Gsa(gsa);
        }
    }
};

const char kGga5[] = "GPGGA,101505.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,";
const char kRmc5[] = "GPRMC,101505.00,A,4807.038,N,01131.000,E,022.4,084.4,150624,003.1,W,A";
const char kGga6[] = "GPGGA,101506.00,4807.039,N,01131.001,E,1,07,1.0,546.0,M,46.9,M,,";
const char kRmc6[] = "GPRMC,101506.00,A,4807.039,N,01131.001,E,,,150624,,,A";
const char kGsa[] = "GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1";

TEST(TrackBuilder, GgaBeforeRmcFinishesThePointAtTheRmc) {
    TFeed feed;
    feed.Line(kGga5);
    feed.Line(kGsa);
    EXPECT_TRUE(feed.points.empty());
    feed.Line(kRmc5);
    ASSERT_EQ(feed.points.size(), 1u);
    const TTrackPoint& p = feed.points[0];
    EXPECT_DOUBLE_EQ(p.LatDeg, 48.0 + 7.038 / 60.0);
    EXPECT_DOUBLE_EQ(p.LonDeg, 11.0 + 31.0 / 60.0);
    EXPECT_DOUBLE_EQ(p.Time, gps::EncodeDayCount(2024, 6, 15, 10, 15, 5));
    EXPECT_EQ(p.Elevation, 545.4);
    EXPECT_EQ(p.GeoidHeight, 46.9);
    EXPECT_EQ(p.Satellites, 8);
    EXPECT_EQ(p.Fix, record::TFixType::ThreeD);
    EXPECT_EQ(p.Hdop, 1.3);  // the GSA's, with its vertical and position DOP
    EXPECT_EQ(p.Vdop, 2.1);
    EXPECT_EQ(p.Pdop, 2.5);
    ASSERT_TRUE(p.SpeedMps);
    EXPECT_NEAR(*p.SpeedMps, 11.5236, 1e-4);
    EXPECT_EQ(p.CourseDeg, 84.4);
    EXPECT_FALSE(p.AgeOfDgps);
    EXPECT_FALSE(feed.builder.Waiting());
}

TEST(TrackBuilder, RmcBeforeGgaWaitsForItsGga) {
    TFeed feed;
    feed.Line(kRmc5);
    EXPECT_TRUE(feed.points.empty());
    EXPECT_TRUE(feed.builder.Waiting());
    feed.Line(kGga5);
    ASSERT_EQ(feed.points.size(), 1u);
    EXPECT_EQ(feed.points[0].Elevation, 545.4);
    EXPECT_EQ(feed.points[0].Hdop, 0.9);  // no GSA yet: the GGA's
    EXPECT_EQ(feed.points[0].Fix, record::TFixType::Unknown);

    // Speed and course left empty are not known.
    feed.Line(kRmc6);
    feed.Line(kGga6);
    ASSERT_EQ(feed.points.size(), 2u);
    EXPECT_EQ(feed.points[1].Elevation, 546.0);
    EXPECT_FALSE(feed.points[1].SpeedMps);
    EXPECT_FALSE(feed.points[1].CourseDeg);
}

TEST(TrackBuilder, AGgaOfAnotherEpochIsNotUsed) {
    TFeed feed;
    feed.Line(kGga5);
    feed.Line(kRmc6);  // 10:15:06 after the GGA of 10:15:05: waits
    EXPECT_TRUE(feed.points.empty());
    feed.Line(kRmc5);  // the next epoch (here: an earlier time) ends it, with no GGA
    ASSERT_EQ(feed.points.size(), 2u);
    EXPECT_FALSE(feed.points[0].Elevation);
    EXPECT_FALSE(feed.points[0].Satellites);
    EXPECT_EQ(feed.points[1].Elevation, 545.4);  // 10:15:05 found its GGA at once

    TFeed other;
    other.Line(kRmc5);
    other.Line(kGga6);  // another time: the waiting point goes without it
    ASSERT_EQ(other.points.size(), 1u);
    EXPECT_FALSE(other.points[0].Elevation);
    other.Line(kRmc6);  // and the GGA that came serves its own epoch
    ASSERT_EQ(other.points.size(), 2u);
    EXPECT_EQ(other.points[1].Elevation, 546.0);
}

TEST(TrackBuilder, DifferentialDataOnlyWithADifferentialFix) {
    TFeed feed;
    feed.Line(kGsa);
    feed.Line("GPGGA,101505.00,4807.038,N,01131.000,E,2,08,0.9,1788.0,F,46.9,M,3.2,0120");
    feed.Line(kRmc5);
    ASSERT_EQ(feed.points.size(), 1u);
    EXPECT_EQ(feed.points[0].Fix, record::TFixType::DGPS);
    EXPECT_EQ(feed.points[0].AgeOfDgps, 3.2);
    EXPECT_EQ(feed.points[0].DgpsStation, 120);
    ASSERT_TRUE(feed.points[0].Elevation);
    EXPECT_NEAR(*feed.points[0].Elevation, 544.9824, 1e-9);  // 1788 ft

    feed.Line("GPGGA,101506.00,4807.039,N,01131.001,E,1,07,1.0,546.0,M,,,3.2,0120");
    feed.Line(kRmc6);
    ASSERT_EQ(feed.points.size(), 2u);
    EXPECT_EQ(feed.points[1].Fix, record::TFixType::ThreeD);
    EXPECT_FALSE(feed.points[1].AgeOfDgps);
    EXPECT_FALSE(feed.points[1].DgpsStation);
    EXPECT_FALSE(feed.points[1].GeoidHeight);
}

TEST(TrackBuilder, FixLossFinishesTheWaitingPointThenBreaks) {
    TFeed feed;
    feed.Line(kRmc5);
    feed.builder.FixLost();
    EXPECT_EQ(feed.points.size(), 1u);
    EXPECT_EQ(feed.breaks, std::vector<size_t>{1});
    feed.Line(kRmc6);
    feed.builder.Flush();
    EXPECT_EQ(feed.points.size(), 2u);
    feed.builder.Flush();
    EXPECT_EQ(feed.points.size(), 2u);
}

TEST(TrackBuilder, FieldsAreReadAsTheReceiverWroteThem) {
    record::TRmcFix fix;
    ASSERT_TRUE(record::ParseRmc(rectest::Fields(rectest::Sentence(
                                     "GNRMC,235959.75,A,3351.128,S,15112.5,W,0.0,,311224,,,D")),
                                 fix));
    EXPECT_DOUBLE_EQ(fix.LatDeg, -(33.0 + 51.128 / 60.0));
    EXPECT_DOUBLE_EQ(fix.LonDeg, -(151.0 + 12.5 / 60.0));
    EXPECT_NEAR((fix.Time - gps::EncodeDayCount(2024, 12, 31, 23, 59, 59)) * 86400.0, 0.75, 1e-6);
    EXPECT_EQ(fix.SpeedKnots, 0.0);
    EXPECT_FALSE(fix.CourseDeg);

    EXPECT_FALSE(
        record::ParseRmc(rectest::Fields(rectest::Sentence("GPRMC,101505,A,,,,,,,150624")), fix));
    EXPECT_FALSE(record::ParseRmc(
        rectest::Fields(rectest::Sentence("GPRMC,101505,A,4807.038,X,01131.000,E,,,150624")), fix));
    EXPECT_FALSE(record::ParseRmc(rectest::Fields("$GPRMC,101505"), fix));

    EXPECT_EQ(record::TimeOfDayMs("101505.25"), 36905250);
    EXPECT_EQ(record::TimeOfDayMs("101505.2567"), 36905256);
    EXPECT_EQ(record::TimeOfDayMs("101505"), 36905000);
    EXPECT_EQ(record::TimeOfDayMs("1015"), -1);
    EXPECT_EQ(record::TimeOfDayMs("10150a"), -1);
    EXPECT_EQ(record::TimeOfDayMs("241505"), -1);
    EXPECT_EQ(record::TimeOfDayMs("101505,2"), -1);
}

}  // namespace
