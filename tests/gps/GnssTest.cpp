// Multi-system receivers: every talker in the GNSS dialect, GSA groups and
// the satellites in view, on streams shaped like u-blox, SiRF and MediaTek
// output; and the GP dialect left as it was.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NmeaTestSupport.h"
#include "gps/GPS.h"
#include "support/Pump.h"

using namespace gps;
using gpstest::Feed;
using gpstest::Sentence;
using gpstest::TEventLog;
using Events = std::vector<std::string>;

namespace {

std::string Lines(const std::vector<std::string>& payloads) {
    std::string out;
    for (const std::string& p : payloads) {
        out += Sentence(p) + "\r\n";
    }
    return out;
}

// A u-blox 8 epoch (NMEA 4.10): three GNGSA with system IDs, the Galileo one
// empty, and GSV groups per signal (GPS L1 C/A and L2, GLONASS, Galileo).
const std::string kUblox = Lines({
    "GNRMC,083559.00,A,4717.11437,N,00833.91522,E,0.004,77.52,091202,,,A,V",
    "GNVTG,77.52,T,,M,0.004,N,0.008,K,A",
    "GNGGA,083559.00,4717.11437,N,00833.91522,E,1,12,0.64,499.6,M,48.0,M,,",
    "GNGSA,A,3,02,05,13,15,18,20,29,,,,,,1.10,0.64,0.89,1",
    "GNGSA,A,3,65,66,72,81,88,,,,,,,,1.10,0.64,0.89,2",
    "GNGSA,A,3,,,,,,,,,,,,,1.20,0.66,0.91,3",
    "GPGSV,2,1,07,02,45,123,38,05,12,045,31,13,67,270,44,15,30,310,40,1",
    "GPGSV,2,2,07,18,05,180,,20,50,090,42,29,22,200,35,1",
    "GPGSV,1,1,03,02,45,123,41,13,67,270,40,29,,,,6",
    "GLGSV,1,1,04,65,40,100,36,66,55,220,41,72,10,330,28,81,33,015,,1",
    "GAGSV,1,1,02,02,61,140,40,11,25,250,33,7",
    "GNGLL,4717.11437,N,00833.91522,E,083559.00,A,A",
});

std::string Ids(const TSatelliteIdList& list) {
    std::string s;
    for (const TSatelliteId& id : list) {
        s += GnssSystemName(id.System) + " " + std::to_string(id.PRN) + ";";
    }
    return s;
}

std::string Text(const TSatelliteList& list) {
    std::string s;
    const auto opt = [](const std::optional<int32_t>& v) {
        return v ? std::to_string(*v) : std::string("-");
    };
    for (const TSatellite& sat : list) {
        s += GnssSystemName(sat.System) + " " + std::to_string(sat.PRN) + " " + opt(sat.Elevation) +
             "/" + opt(sat.Azimuth) + "/" + opt(sat.SNR) + (sat.Used ? " used" : "") + ";";
    }
    return s;
}

// The satellites' clock, set by the test.
class TClockedGPS : public TGPS {
  public:
    uint32_t now = 1000;

  protected:
    uint32_t SatelliteClockMs() const override { return now; }
};

}  // namespace

TEST(Gnss, UbloxEpochDecodesEveryTalker) {
    TClockedGPS gps;
    gps.SetDialect(TNmeaDialect::ndGNSS);
    TEventLog log(gps);
    std::vector<std::string> satellites;
    gps.OnSatellites = [&](TGPS& g, const TSatelliteList& list) {
        EXPECT_EQ(&list, &g.SatellitesInView());
        log.events.push_back("Satellites " + std::to_string(list.size()));
        satellites.push_back(Text(list));
    };
    Feed(gps, kUblox, 37);
    EXPECT_EQ(log.Take(),
              (Events{"Sentence GNRMC", "ValidFix 47.285240 8.565254 0.0040 77.52",
                      "Sentence GNVTG", "Sentence GNGGA", "FixQuality GPS Fix (SPS) 1",
                      "Sentence GNGSA", "FixProgress 3D Fix 3", "Sentence GNGSA", "Sentence GNGSA",
                      "Sentence GPGSV", "Sentence GPGSV", "Satellites 7", "Sentence GPGSV",
                      "Satellites 7", "Sentence GLGSV", "Satellites 11", "Sentence GAGSV",
                      "Satellites 13", "Sentence GNGLL"}));
    // The union of the group; the empty Galileo line wiped nothing, but its
    // dilutions are the group's.
    EXPECT_EQ(Ids(gps.UsedSatellites()),
              "GPS 2;GPS 5;GPS 13;GPS 15;GPS 18;GPS 20;GPS 29;GLONASS 65;GLONASS 66;GLONASS 72;"
              "GLONASS 81;GLONASS 88;");
    EXPECT_EQ(gps.FixSatSet(), (1u << 2) | (1u << 5) | (1u << 13) | (1u << 15) | (1u << 18) |
                                   (1u << 20) | (1u << 29));
    double h = 0, v = 0, p = 0;
    gps.GDOP(h, v, p);
    EXPECT_DOUBLE_EQ(p, 1.20);
    EXPECT_DOUBLE_EQ(v, 0.91);
    EXPECT_TRUE(gps.FixValid());
    EXPECT_EQ(gps.FixSatCount(), 12);
    // One entry per satellite with its strongest signal; a position that only
    // one signal carries is kept.
    EXPECT_EQ(satellites.back(),
              "GPS 2 45/123/41 used;GPS 5 12/45/31 used;GPS 13 67/270/44 used;"
              "GPS 15 30/310/40 used;GPS 18 5/180/- used;GPS 20 50/90/42 used;"
              "GPS 29 22/200/35 used;GLONASS 65 40/100/36 used;GLONASS 66 55/220/41 used;"
              "GLONASS 72 10/330/28 used;GLONASS 81 33/15/- used;Galileo 2 61/140/40;"
              "Galileo 11 25/250/33;");

    // The next epoch: a group of GSA lines starts again, without GLONASS now.
    Feed(gps,
         Lines({"GNGSA,A,3,02,05,,,,,,,,,,,1.5,0.9,1.1,1", "GNGSA,A,3,,,,,,,,,,,,,1.5,0.9,1.1,2"}));
    EXPECT_EQ(Ids(gps.UsedSatellites()), "GPS 2;GPS 5;");
    log.Take();

    // Mode indicator N: no fix despite status A; the navigational status V of
    // a good fix is no validity flag. RTK names; errors name the sentence.
    Feed(gps, Lines({"GNRMC,083600.00,A,4717.11437,N,00833.91522,E,0.004,77.52,091202,,,N,V",
                     "GNGGA,083600.00,4717.11437,N,00833.91522,E,5,12,0.64,499.6,M,48.0,M,1.0,0000",
                     "GNGGA,083600.00,4717.11437,N,00833.91522,E,4,12,0.64,499.6,M,48.0,M,1.0,0000",
                     "GLRMC,083601.00,A,4717.11437,N,00833.91522,E,0.004,,091202,,,A,V",
                     "GLRMC,083602.00,A,4717.11437,N,00833.91522,E,0.004,7.7.7,091202,,,A,V",
                     "GNGSA,A,3,02,05,,,,,,,,,,,1.5,0.9,,1", "GPGGA,083600.00,,,,,x,,,,,,,,"}));
    // The GSA group that ended at the RMC changed the used marks; a course
    // left empty is not known, no error.
    EXPECT_EQ(
        log.Take(),
        (Events{"FixLoss", "Sentence GNRMC", "Satellites 13", "Sentence GNGGA",
                "FixQuality RTK Float 5", "Sentence GNGGA", "FixQuality RTK Fixed 4",
                "Sentence GLRMC", "ValidFix 47.285240 8.565254 0.0040 nan",
                "Error GLRMC is invalid", "Error GNGSA is invalid", "Error GPGGA is invalid"}));
    EXPECT_TRUE(gps.FixValid());
}

TEST(Gnss, SirfAndMediatekStreams) {
    // SiRF: GP talker only, GSV padded with empty blocks, no system IDs.
    TClockedGPS sirf;
    sirf.SetDialect(TNmeaDialect::ndGNSS);
    int groups = 0;
    sirf.OnSatellites = [&](TGPS&, const TSatelliteList&) { ++groups; };
    Feed(sirf, Lines({
                   "GPGGA,120002.000,5955.1234,N,01043.5678,E,1,05,1.6,12.3,M,39.8,M,,0000",
                   "GPGSA,A,3,07,11,16,26,46,,,,,,,,2.6,1.6,2.0",
                   "GPGSV,2,1,06,07,79,048,42,11,50,220,40,16,35,300,38,26,20,120,33",
                   "GPGSV,2,2,06,46,30,190,36,193,70,045,41,,,,,,,,",
                   "GPRMC,120002.000,A,5955.1234,N,01043.5678,E,0.13,309.62,150624,,,A",
               }));
    EXPECT_EQ(groups, 1);
    EXPECT_EQ(Ids(sirf.UsedSatellites()), "GPS 7;GPS 11;GPS 16;GPS 26;SBAS 46;");
    EXPECT_EQ(Text(sirf.SatellitesInView()),
              "GPS 7 79/48/42 used;GPS 11 50/220/40 used;GPS 16 35/300/38 used;"
              "GPS 26 20/120/33 used;SBAS 46 30/190/36 used;QZSS 193 70/45/41;");

    // MediaTek: GN talker for GSA without system IDs (numbers decide), GP and
    // GL for GSV; GLONASS numbers above 31 stay out of FixSatSet.
    TClockedGPS mtk;
    mtk.SetDialect(TNmeaDialect::ndGNSS);
    Feed(mtk, Lines({
                  "GNGSA,A,3,10,32,24,,,,,,,,,,1.23,0.95,0.78",
                  "GNGSA,A,3,67,68,78,,,,,,,,,,1.23,0.95,0.78",
                  "GPGSV,1,1,03,10,63,137,17,32,44,052,22,24,41,296,31",
                  "GLGSV,1,1,03,67,40,100,25,68,35,200,,78,20,300,27",
                  "GNRMC,064951.000,A,2307.1256,N,12016.4438,E,0.03,165.48,260406,3.05,W,A",
              }));
    EXPECT_EQ(Ids(mtk.UsedSatellites()), "GPS 10;GPS 24;GPS 32;GLONASS 67;GLONASS 68;GLONASS 78;");
    EXPECT_EQ(mtk.FixSatSet(), (1u << 10) | (1u << 24));
    EXPECT_EQ(Text(mtk.SatellitesInView()),
              "GPS 10 63/137/17 used;GPS 24 41/296/31 used;GPS 32 44/52/22 used;"
              "GLONASS 67 40/100/25 used;GLONASS 68 35/200/- used;GLONASS 78 20/300/27 used;");
    EXPECT_TRUE(mtk.FixValid());
    EXPECT_DOUBLE_EQ(mtk.MagVar(), -3.05);
}

TEST(Gnss, GsvGroupsDropOutAndComLoss) {
    TClockedGPS gps;
    gps.SetDialect(TNmeaDialect::ndGNSS);
    std::vector<size_t> sizes;
    gps.OnSatellites = [&](TGPS&, const TSatelliteList& list) { sizes.push_back(list.size()); };
    // Out of order, incomplete, interrupted by a new first message, malformed:
    // each group is dropped whole; GSV never fails a line.
    TEventLog log(gps);
    Feed(gps, Lines({"GPGSV,2,2,05,21,05,180,30", "GPGSV,3,1,09,03,45,123,38",
                     "GPGSV,3,2,09,07,12,045,31", "GPRMC,1,V", "GPGSV,2,1,05,03,45,123,38",
                     "GPGSV,2,2,05,x,05,180,30", "GPGSV,2,2,05,21,05,180,30", "GPGSV,0,0,00",
                     "GLGSV,1,1,01,65,40,,36"}));
    EXPECT_EQ(sizes, (std::vector<size_t>{1}));
    EXPECT_EQ(log.Take().size(), 9u) << "one sentence event each, no error";
    EXPECT_EQ(Text(gps.SatellitesInView()), "GLONASS 65 40/-/36;");

    // A talker not heard for 5 s drops out, also on a line of another kind.
    gps.now += 3000;
    Feed(gps, Lines({"GPGSV,1,1,01,03,45,123,38"}));
    gps.now += 2000;
    Feed(gps, Lines({"GPRMC,1,V"}));
    EXPECT_EQ(Text(gps.SatellitesInView()), "GPS 3 45/123/38;");
    EXPECT_EQ(sizes, (std::vector<size_t>{1, 2, 1}));

    // GP dialect: only GPGSV counts.
    gps.SetDialect(TNmeaDialect::ndGP);
    Feed(gps, Lines({"GLGSV,1,1,01,66,40,,36", "GPGSV,1,1,01,05,45,123,38"}));
    EXPECT_EQ(Text(gps.SatellitesInView()), "GPS 5 45/123/38;");

    // Loss of data empties both lists.
    Feed(gps, Lines({"GPGSA,A,3,05,,,,,,,,,,,,2.5,1.3,2.2"}));
    ASSERT_EQ(gps.UsedSatellites().size(), 1u);
    bool lost = false;
    gps.OnComLoss = [&](TGPS& g) {
        lost = true;
        EXPECT_TRUE(g.UsedSatellites().empty());
        EXPECT_TRUE(g.SatellitesInView().empty());
    };
    gps.SetComTimeOut(30);
    ASSERT_TRUE(testsupport::PumpUntil([&] { return lost; }));
}

// Corrupt or hostile GSV lines with ever-new signal IDs neither pile up
// unfinished groups nor parts, and a group left unfinished for the drop-out
// time cannot be completed later.
TEST(Gnss, GsvGroupsHeldStayBounded) {
    TSatellitesInView view;
    const TSatelliteIdList used;
    auto add = [&](std::vector<std::string> f, uint32_t nowMs) {
        return view.Add(f, f.size(), nowMs, used);
    };
    for (int i = 0; i < 5000; ++i) {
        add({"GPGSV", "2", "1", "02", "01", "40", "083", "46", std::to_string(i)}, 1000);
        add({"GLGSV", "1", "1", "01", "65", "40", "083", "46", std::to_string(i)}, 1000);
    }
    EXPECT_LE(view.GroupsHeld(), 2 * TSatellitesInView::kMaxGroups);
    EXPECT_FALSE(add({"GAGSV", "2", "1", "02", "301", "40", "083", "46", "7"}, 1000));
    EXPECT_FALSE(add({"GAGSV", "2", "2", "02", "302", "40", "083", "46", "7"}, 6000));
    EXPECT_FALSE(add({"GAGSV", "2", "1", "02", "301", "40", "083", "46", "7"}, 6000));
    EXPECT_TRUE(add({"GAGSV", "2", "2", "02", "302", "40", "083", "46", "7"}, 6100));
    EXPECT_EQ(Text(view.List()), "Galileo 301 40/83/46;Galileo 302 40/83/46;");
}

TEST(Gnss, GpDialectKeepsItsEventsOnAMultiSystemStream) {
    // The classic receiver sees the GN lines as undecoded, and the satellites
    // event changes no other event.
    TGPS plain;
    TEventLog plainLog(plain);
    Feed(plain, kUblox);
    TGPS watched;
    TEventLog watchedLog(watched);
    int groups = 0;
    watched.OnSatellites = [&](TGPS&, const TSatelliteList& list) {
        ++groups;
        EXPECT_EQ(list.size(), 7u);
    };
    Feed(watched, kUblox);
    EXPECT_EQ(groups, 2);
    EXPECT_EQ(plainLog.events, watchedLog.events);
    EXPECT_EQ(plainLog.events.front(), "Sentence GNRMC");
    EXPECT_EQ(plain.FixQuality(), 0);
    EXPECT_EQ(plain.FixDim(), 0);
    EXPECT_TRUE(plain.UsedSatellites().empty());
    EXPECT_EQ(QualityName(5), "--");
}
