// The recorder's files as real readers see them: xmllint checks each
// state of a growing track against the GPX 1.1 schema, gpsbabel reads the
// points back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <regex>

#include "gps/NMEA.h"
#include "record/GpxTrack.h"
#include "record/XmlWriter.h"
#include "record/RecordTestSupport.h"
#include "record/posix/Programs.h"

namespace {

struct TExpected {
    double lat, lon;
    double ele;
    std::string time;  // as gpsbabel's unicsv writes it
};

TEST(GpxReaders, EveryStateOfAGrowingTrackIsValidAndReadsBack) {
    rectest::TTempDir dir;
    const std::string path = dir.File("grow.gpx");
    record::TGpxTrack track;
    ASSERT_TRUE(track.Create(path, false, "PalmoGPS <test> & \"friends\" \xB0"));
    ASSERT_EQ(rectest::ValidateGpx(path).status, 0) << rectest::ValidateGpx(path).output;

    std::mt19937 random(20240615);
    std::uniform_real_distribution<double> lat(-89.999999, 89.999999), lon(-179.999999, 179.999999);
    std::vector<TExpected> expected;
    int second = 0;
    size_t segments = 0;
    for (int i = 0; i < 24; ++i) {
        // Whole seconds, tenths, hundredths and milliseconds; a gap now and then.
        second += i % 7 == 3 ? 15 : 1;
        const int ms = (i % 4) * 250 + (i % 3 == 2 ? 1 : 0);
        record::TTrackPoint p;
        p.Time = gps::EncodeDayCount(2024, 6, 15, 10, 0, 0) + (second + ms / 1000.0) / 86400.0;
        p.LatDeg = lat(random);
        p.LonDeg = lon(random);
        p.Elevation =
            std::round(std::uniform_real_distribution<double>(-430, 8848)(random) * 10) / 10;
        p.GeoidHeight = -12.5;
        p.Fix = i % 5 == 0 ? record::TFixType::DGPS
                : i % 2    ? record::TFixType::TwoD
                           : record::TFixType::ThreeD;
        p.Satellites = i;
        p.Hdop = 0.8, p.Vdop = 1.25, p.Pdop = 99.99;
        if (p.Fix == record::TFixType::DGPS) {
            p.AgeOfDgps = 2.5;
            p.DgpsStation = 1023;
        }
        if (i % 3) {
            p.SpeedMps = i * 0.514444;
            p.CourseDeg = 359.9;
        }
        if (i == 10) {
            track.BreakSegment();
        }
        segments += i == 0 || i == 10 || i % 7 == 3;
        ASSERT_TRUE(track.AddPoint(p)) << track.Error();
        const rectest::TRun lint = rectest::ValidateGpx(path);
        ASSERT_EQ(lint.status, 0) << "after point " << i << ":\n" << lint.output;
        char time[40];
        const int s = second % 60, m = second / 60;
        if (ms) {
            std::snprintf(time, sizeof time, "2024/06/15 10:%02d:%02d.%03d", m, s, ms);
        } else {
            std::snprintf(time, sizeof time, "2024/06/15 10:%02d:%02d", m, s);
        }
        expected.push_back({p.LatDeg, p.LonDeg, *p.Elevation, time});
    }
    track.Close();

    const rectest::TRun segs =
        rectest::Run("xmllint --xpath \"count(//*[local-name()='trkseg'])\" '" + path + "'");
    EXPECT_EQ(std::atoi(segs.output.c_str()), static_cast<int>(segments)) << segs.output;

    // gpsbabel: as many points, with their times and altitudes...
    const rectest::TRun csv = rectest::Run("gpsbabel -t -i gpx -f '" + path + "' -o unicsv -F -");
    ASSERT_EQ(csv.status, 0) << csv.output;
    const auto rows = rectest::CsvRows(csv.output);
    ASSERT_EQ(rows.size(), expected.size() + 1) << csv.output;
    const auto& head = rows[0];
    const auto column = [&](const std::string& name) {
        return static_cast<size_t>(std::find(head.begin(), head.end(), name) - head.begin());
    };
    const size_t date = column("Date"), time = column("Time"), alt = column("Altitude");
    ASSERT_LT(std::max({date, time, alt}), head.size()) << csv.output;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rows[i + 1][date] + " " + rows[i + 1][time], expected[i].time) << i;
        EXPECT_NEAR(std::atof(rows[i + 1][alt].c_str()), expected[i].ele, 1e-9) << i;
    }
    // ... and positions to far better than 1e-7 degrees (unicsv prints six
    // decimals, so gpsbabel's own GPX output carries them).
    const rectest::TRun gpx = rectest::Run("gpsbabel -t -i gpx -f '" + path + "' -o gpx -F -");
    ASSERT_EQ(gpx.status, 0) << gpx.output;
    const std::regex trkpt("<trkpt lat=\"([-0-9.]+)\" lon=\"([-0-9.]+)\"");
    size_t i = 0;
    for (auto it = std::sregex_iterator(gpx.output.begin(), gpx.output.end(), trkpt);
         it != std::sregex_iterator() && i < expected.size(); ++it, ++i) {
        EXPECT_NEAR(std::stod((*it)[1]), expected[i].lat, 1e-9) << i;
        EXPECT_NEAR(std::stod((*it)[2]), expected[i].lon, 1e-9) << i;
    }
    EXPECT_EQ(i, expected.size());
}

TEST(GpxReaders, EscapedTextReadsBackAsWritten) {
    rectest::TTempDir dir;
    const std::string path = dir.File("text.xml");
    std::string doc;
    record::TXmlWriter xml(doc);
    xml.Declaration();
    const std::string hostile =
        std::string("a<b>&c \"q\" 'a' ]]> \t|\n|\r|\x01|\xB0|") + "\xE2\x82\xAC";
    xml.Start("d", {{"a", hostile}});
    xml.TextElement("t", hostile);
    xml.End();
    rectest::WriteFile(path, doc);
    const rectest::TRun lint = rectest::Run("xmllint --noout '" + path + "'");
    ASSERT_EQ(lint.status, 0) << lint.output << doc;
    // What a reader gets: the text with U+FFFD for what XML cannot hold.
    const std::string read = "a<b>&c \"q\" 'a' ]]> \t|\n|\r|\xEF\xBF\xBD|\xEF\xBF\xBD|\xE2\x82\xAC";
    EXPECT_EQ(rectest::Run("xmllint --xpath 'string(/d/@a)' '" + path + "'").output, read + "\n");
    EXPECT_EQ(rectest::Run("xmllint --xpath 'string(/d/t)' '" + path + "'").output, read + "\n");
}

}  // namespace
