// The GPX track: the document on disk after each point, segments, number
// and time text, and files that already exist.
#include <gtest/gtest.h>

#include "gps/NMEA.h"
#include "record/GpxTrack.h"
#include "record/XmlWriter.h"
#include "record/RecordTestSupport.h"

namespace {

using record::TGpxTrack;
using record::TTrackPoint;

constexpr double kSecond = 1.0 / 86400.0;

double At(int hour, int minute, int second, double fraction = 0.0) {
    return gps::EncodeDayCount(2024, 6, 15, hour, minute, second) + fraction * kSecond;
}

TTrackPoint Point(double time, double lat, double lon) {
    TTrackPoint p;
    p.Time = time;
    p.LatDeg = lat;
    p.LonDeg = lon;
    return p;
}

const char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<gpx version=\"1.1\" creator=\"PalmoGPS &quot;test&quot; &lt;1.0&gt;\" "
    "xmlns=\"http://www.topografix.com/GPX/1/1\" xmlns:palmo=\"urn:palmogps:gpx:1\">\n";

TEST(GpxTrack, EveryStepLeavesAWholeDocumentOnDisk) {
    rectest::TTempDir dir;
    const std::string path = dir.File("track.gpx");
    TGpxTrack track;
    ASSERT_TRUE(track.Create(path, false, "PalmoGPS \"test\" <1.0>")) << track.Error();
    EXPECT_EQ(rectest::ReadFile(path), std::string(kHeader) + "</gpx>\n");

    TTrackPoint full = Point(At(10, 15, 5, 0.5), 48.1173, 11.0 + 31.0 / 60.0);
    full.Elevation = 545.4;
    full.GeoidHeight = 46.9;
    full.Fix = record::TFixType::ThreeD;
    full.Satellites = 8;
    full.Hdop = 0.9;
    full.Vdop = 1.2;
    full.Pdop = 1.5;
    full.SpeedMps = 22.4 * 1852.0 / 3600.0;
    full.CourseDeg = 84.4;
    ASSERT_TRUE(track.AddPoint(full));
    const std::string firstPoint =
        "  <trk>\n"
        "    <name>2024-06-15T10:15:05.5Z</name>\n"
        "    <trkseg>\n"
        "      <trkpt lat=\"48.117300000\" lon=\"11.516666667\">\n"
        "        <ele>545.4</ele>\n"
        "        <time>2024-06-15T10:15:05.5Z</time>\n"
        "        <geoidheight>46.9</geoidheight>\n"
        "        <fix>3d</fix>\n"
        "        <sat>8</sat>\n"
        "        <hdop>0.9</hdop>\n"
        "        <vdop>1.2</vdop>\n"
        "        <pdop>1.5</pdop>\n"
        "        <extensions>\n"
        "          <palmo:speed>11.524</palmo:speed>\n"
        "          <palmo:course>84.4</palmo:course>\n"
        "        </extensions>\n"
        "      </trkpt>\n";
    const std::string closing = "    </trkseg>\n  </trk>\n</gpx>\n";
    EXPECT_EQ(rectest::ReadFile(path), kHeader + firstPoint + closing);

    // Southern and western, DGPS, nothing else known; longitude 180 is -180.
    TTrackPoint dgps = Point(At(10, 15, 6), -33.8688, 180.0);
    dgps.Fix = record::TFixType::DGPS;
    dgps.AgeOfDgps = 3.2;
    dgps.DgpsStation = 120;
    ASSERT_TRUE(track.AddPoint(dgps));
    EXPECT_EQ(rectest::ReadFile(path),
              kHeader + firstPoint +
                  "      <trkpt lat=\"-33.868800000\" lon=\"-180.000000000\">\n"
                  "        <time>2024-06-15T10:15:06Z</time>\n"
                  "        <fix>dgps</fix>\n"
                  "        <ageofdgpsdata>3.2</ageofdgpsdata>\n"
                  "        <dgpsid>120</dgpsid>\n"
                  "      </trkpt>\n" +
                  closing);
    EXPECT_EQ(track.Points(), 2u);
    EXPECT_EQ(track.Size(), rectest::ReadFile(path).size());
}

TEST(GpxTrack, FixLossGapsAndBackwardTimeStartSegments) {
    rectest::TTempDir dir;
    const std::string path = dir.File("segments.gpx");
    TGpxTrack track;
    ASSERT_TRUE(track.Create(path, false, "t"));
    track.BreakSegment();  // before any point: no empty segment
    const double t0 = At(8, 0, 0);
    ASSERT_TRUE(track.AddPoint(Point(t0, 1, 2)));
    ASSERT_TRUE(track.AddPoint(Point(t0 + 10 * kSecond, 1, 2)));    // 10 s: same segment
    ASSERT_TRUE(track.AddPoint(Point(t0 + 20.5 * kSecond, 1, 2)));  // 10.5 s: new
    track.BreakSegment();
    ASSERT_TRUE(track.AddPoint(Point(t0 + 21.5 * kSecond, 1, 2)));  // after a loss: new
    ASSERT_TRUE(track.AddPoint(Point(t0 + 15 * kSecond, 1, 2)));    // backwards: new
    ASSERT_TRUE(track.AddPoint(Point(t0 + 16 * kSecond, 1, 2)));
    const std::string text = rectest::ReadFile(path);
    EXPECT_EQ(rectest::Count(text, "<trk>"), 1u);
    EXPECT_EQ(rectest::Count(text, "<trkseg>"), 4u);
    EXPECT_EQ(rectest::Count(text, "</trkseg>"), 4u);
    EXPECT_EQ(rectest::Count(text, "<trkpt "), 6u);
    // The points of each segment, in order.
    std::vector<size_t> perSegment;
    for (size_t at = text.find("<trkseg>"); at != std::string::npos;
         at = text.find("<trkseg>", at + 1)) {
        perSegment.push_back(
            rectest::Count(text.substr(at, text.find("</trkseg>", at) - at), "<trkpt "));
    }
    EXPECT_EQ(perSegment, (std::vector<size_t>{2, 1, 1, 2}));
}

TEST(GpxTrack, AnExistingFileIsKeptUnlessOverwriting) {
    rectest::TTempDir dir;
    const std::string path = dir.File("old.gpx");
    rectest::WriteFile(path, "precious");
    TGpxTrack track;
    EXPECT_FALSE(track.Create(path, false, "t"));
    EXPECT_NE(track.Error().find(path), std::string::npos) << track.Error();
    EXPECT_FALSE(track.IsOpen());
    EXPECT_FALSE(track.AddPoint(Point(At(1, 0, 0), 1, 1)));
    EXPECT_EQ(rectest::ReadFile(path), "precious");

    ASSERT_TRUE(track.Create(path, true, "t")) << track.Error();
    ASSERT_TRUE(track.AddPoint(Point(At(1, 0, 0), 1, 1)));
    EXPECT_EQ(rectest::ReadFile(path).rfind("<?xml", 0), 0u);
    EXPECT_EQ(rectest::Count(rectest::ReadFile(path), "precious"), 0u);

    TGpxTrack missingFolder;
    EXPECT_FALSE(missingFolder.Create(dir.File("no/such/folder.gpx"), true, "t"));
}

TEST(GpxTrack, NumbersAndTimesAreExactText) {
    // Nine decimals, rounded, with no binary noise and no exponent.
    EXPECT_EQ(record::FormatFixed(48.1173, 9), "48.117300000");
    EXPECT_EQ(record::FormatFixed(48.0 + 7.0383 / 60.0, 9), "48.117305000");
    EXPECT_EQ(record::FormatFixed(-0.0000000001, 9), "0.000000000");
    EXPECT_EQ(record::FormatFixed(-123.4567891236, 9), "-123.456789124");
    EXPECT_EQ(record::FormatDecimal(545.4), "545.4");
    EXPECT_EQ(record::FormatDecimal(0.0000001), "0.0000001");
    EXPECT_EQ(record::FormatDecimal(-12.0), "-12");

    EXPECT_EQ(record::FormatTime(At(10, 15, 5)), "2024-06-15T10:15:05Z");
    EXPECT_EQ(record::FormatTime(At(10, 15, 5, 0.25)), "2024-06-15T10:15:05.25Z");
    EXPECT_EQ(record::FormatTime(At(10, 15, 5, 0.05)), "2024-06-15T10:15:05.05Z");
    EXPECT_EQ(record::FormatTime(At(10, 15, 5, 0.001)), "2024-06-15T10:15:05.001Z");
    // To the millisecond: the last one of a day rounds into the next.
    EXPECT_EQ(record::FormatTime(At(23, 59, 59, 0.9996)), "2024-06-16T00:00:00Z");
    EXPECT_EQ(record::FormatTime(gps::EncodeDayCount(2000, 2, 29, 0, 0, 0)),
              "2000-02-29T00:00:00Z");
}

}  // namespace
