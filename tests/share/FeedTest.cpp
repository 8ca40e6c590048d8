// The decoder's reports turned into TPV, SKY and the NMEA stream: real
// sentences through a real decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "gps/NMEA.h"
#include "share/Feed.h"
#include "share/Server.h"
#include "share/ShareClient.h"

namespace {

std::string Line(const std::string& payload) {
    return "$" + payload + "*" + gps::NmeaChecksum(payload) + "\r\n";
}

// A decoder with the feed attached that keeps what the feed published.
struct TFed {
    TFed() {
        decoder.AddListener(&feed);
        feed.OnTpv = [this](const share::TTpv& t) { tpvs.push_back(t); };
        feed.OnSky = [this](const share::TSky& s) { skies.push_back(s); };
    }
    ~TFed() { decoder.RemoveListener(&feed); }
    void Feed(const std::string& payload) { decoder.FeedBytes(Line(payload)); }

    gps::TNmeaDecoder decoder;
    share::TShareFeed feed;
    std::vector<share::TTpv> tpvs;
    std::vector<share::TSky> skies;
};

// 2024-06-15 as a day count.
constexpr double kDay = 45458.0;

}  // namespace

TEST(ShareFeed, ReceiverThatSendsItsRmcFirst) {
    TFed f;
    f.Feed("GPRMC,101500.20,A,5955.1234,N,01043.5678,W,5.0,270.5,150624,2.5,E,A");
    ASSERT_EQ(f.tpvs.size(), 1u);
    share::TTpv t = f.tpvs[0];
    // No GGA or GSA yet: a fix of unknown altitude is 2D.
    EXPECT_EQ(t.Mode, 2);
    ASSERT_TRUE(t.Time.has_value());
    EXPECT_NEAR(*t.Time, kDay + (10 * 3600 + 15 * 60 + 0.2) / 86400.0, 1e-9);
    EXPECT_NEAR(*t.Lat, 59 + 55.1234 / 60, 1e-9);
    EXPECT_NEAR(*t.Lon, -(10 + 43.5678 / 60), 1e-9);
    EXPECT_NEAR(*t.Speed, 5.0 * 1852 / 3600, 1e-9);
    EXPECT_DOUBLE_EQ(*t.Track, 270.5);
    EXPECT_DOUBLE_EQ(*t.MagVar, 2.5);
    EXPECT_FALSE(t.AltMSL.has_value());

    f.Feed("GPGGA,101500.20,5955.1234,N,01043.5678,W,2,08,0.9,120.5,M,39.8,M,1.0,0136");
    f.Feed("GPGSA,A,3,03,07,11,,,,,,,,,,2.1,1.2,1.7");
    EXPECT_EQ(f.tpvs.size(), 1u);  // the RMC leads the epoch
    // The next epoch's RMC: the GGA a second before gives the altitude.
    f.Feed("GPRMC,101501.20,A,5955.1240,N,01043.5678,W,,,150624,,,A");
    ASSERT_EQ(f.tpvs.size(), 2u);
    t = f.tpvs[1];
    EXPECT_EQ(t.Mode, 3);
    EXPECT_DOUBLE_EQ(*t.AltMSL, 120.5);
    EXPECT_DOUBLE_EQ(*t.GeoidSep, 39.8);
    EXPECT_EQ(t.Status, 2);
    // Speed, course and variation the receiver left empty are not known.
    EXPECT_FALSE(t.Speed || t.Track || t.MagVar);

    // Seconds later, the old GGA is no part of this epoch.
    f.Feed("GPRMC,101504.20,A,5955.1240,N,01043.5678,W,,,150624,,,A");
    EXPECT_FALSE(f.tpvs.back().AltMSL.has_value());
    EXPECT_FALSE(f.tpvs.back().Status.has_value());
}

TEST(ShareFeed, ReceiverThatSendsItsGgaFirst) {
    TFed f;
    f.Feed("GPGGA,235959,4807.038,N,01131.000,E,5,08,0.9,545.4,F,,,,");
    ASSERT_EQ(f.tpvs.size(), 1u);  // no RMC yet: the GGA's own
    f.tpvs.clear();
    f.Feed("GPRMC,235959,A,4807.038,N,01131.000,E,022.4,084.4,311224,,,D");
    ASSERT_EQ(f.tpvs.size(), 1u);
    const share::TTpv t = f.tpvs[0];
    EXPECT_EQ(t.Mode, 3);
    EXPECT_NEAR(*t.AltMSL, 545.4 * 0.3048, 1e-9);  // feet
    EXPECT_FALSE(t.GeoidSep.has_value());
    EXPECT_EQ(t.Status, 4);  // RTK float
    EXPECT_EQ(share::IsoTimeMs(*t.Time), "2024-12-31T23:59:59.000Z");
}

TEST(ShareFeed, NoFixAndNoRmc) {
    TFed f;
    f.Feed("GPRMC,120000,V,,,,,,,150624,,,N");
    ASSERT_EQ(f.tpvs.size(), 1u);
    EXPECT_EQ(f.tpvs[0].Mode, 1);
    EXPECT_EQ(share::IsoTimeMs(*f.tpvs[0].Time), "2024-06-15T12:00:00.000Z");
    EXPECT_FALSE(f.tpvs[0].Lat.has_value());

    // A receiver without RMC: the GGA makes the TPV, after the data stopped.
    f.decoder.Silence();
    f.tpvs.clear();
    f.Feed("GPGGA,120001.5,4807.038,S,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    ASSERT_EQ(f.tpvs.size(), 1u);
    share::TTpv t = f.tpvs[0];
    EXPECT_EQ(t.Mode, 3);
    EXPECT_NEAR(*t.Lat, -(48 + 7.038 / 60), 1e-9);
    EXPECT_NEAR(*t.Lon, 11 + 31.0 / 60, 1e-9);
    EXPECT_DOUBLE_EQ(*t.AltMSL, 545.4);
    EXPECT_FALSE(t.Status.has_value());
    EXPECT_EQ(share::IsoTimeMs(*t.Time), "2024-06-15T12:00:01.500Z");  // the RMC's date
    f.Feed("GPGGA,120002.5,,,,,0,00,99.9,,,,,,");
    ASSERT_EQ(f.tpvs.size(), 2u);
    EXPECT_EQ(f.tpvs[1].Mode, 1);
    EXPECT_FALSE(f.tpvs[1].Lat.has_value());
}

TEST(ShareFeed, SkyInGpsdNumbersAfterEachGsvGroupAndWhenTheDataStops) {
    TFed f;
    f.decoder.SetDialect(gps::TNmeaDialect::ndGNSS);
    f.Feed("GNGSA,A,3,05,12,,,,,,,,,,,1.8,0.9,1.5,1");
    f.Feed("GNGSA,A,3,70,,,,,,,,,,,,1.8,0.9,1.5,2");
    f.Feed("GPGSV,1,1,03,05,40,100,38,12,10,200,,40,30,150,44");
    ASSERT_FALSE(f.skies.empty());
    f.Feed("GLGSV,1,1,01,70,55,010,30");
    f.Feed("GAGSV,1,1,01,07,20,300,33,7");
    const share::TSky& sky = f.skies.back();
    EXPECT_DOUBLE_EQ(*sky.Hdop, 0.9);
    EXPECT_DOUBLE_EQ(*sky.Pdop, 1.8);
    std::vector<share::TSkySatellite> expected = {
        {5, 0, 5, 40, 100, 38, true},      {12, 0, 12, 10, 200, std::nullopt, true},
        {127, 1, 127, 30, 150, 44, false}, {70, 6, 6, 55, 10, 30, true},
        {307, 2, 7, 20, 300, 33, false},
    };
    EXPECT_EQ(sky.Satellites, expected);

    const size_t before = f.skies.size();
    f.decoder.Silence();
    ASSERT_EQ(f.skies.size(), before + 1);
    EXPECT_TRUE(f.skies.back().Satellites.empty());
    EXPECT_FALSE(f.skies.back().Hdop.has_value());
}

TEST(ShareFeed, ServesTheDeviceAndEveryAcceptedSentenceAsItCame) {
    share::TServerOptions o;
    o.Port = 0;
    share::TServer server(o);
    ASSERT_TRUE(server.Start().Ok);
    gps::TNmeaDecoder decoder;
    share::TShareFeed feed;
    share::TDeviceInfo d;
    d.Path = "/dev/ttyFEED";
    feed.SetDevice(d);
    feed.AddServer(&server);
    decoder.AddListener(&feed);

    sharetest::TClient c(server.Port());
    c.Line();  // VERSION
    c.Send("?DEVICE;?WATCH={\"raw\":1};");
    nlohmann::json device = c.Object();
    EXPECT_EQ(device["path"], "/dev/ttyFEED");
    EXPECT_EQ(device.count("flags"), 0u);  // no data yet
    c.Object();                            // DEVICES
    c.Object();                            // WATCH: in force from here

    const std::string good = Line("GPGSA,A,3,03,07,11,,,,,,,,,,2.1,1.2,1.7");
    const std::string bad = "$GPGSA,A,3,03,07,11,,,,,,,,,,2.1,1.2,1.7*00\r\n";
    const std::string other = Line("PGRMZ,246,f,3");
    decoder.FeedBytes("noise" + good + bad + other);
    EXPECT_EQ(c.Line(), good);
    EXPECT_EQ(c.Line(), other);
    c.Send("?DEVICE;");
    EXPECT_EQ(c.Object()["flags"], 1);
    decoder.RemoveListener(&feed);
}
