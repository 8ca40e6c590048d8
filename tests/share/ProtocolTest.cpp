// The gpsd objects as lines and gpsd's satellite numbering.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include <nlohmann/json.hpp>

#include "share/Protocol.h"

using nlohmann::ordered_json;

namespace {

// A line's object, after checking the line's shape: one compact line ending
// in CR LF, "class" its first key, no null anywhere.
ordered_json Object(const std::string& line) {
    EXPECT_GE(line.size(), 2u);
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    const std::string body = line.substr(0, line.size() - 2);
    EXPECT_EQ(body.find_first_of("\r\n"), std::string::npos) << body;
    EXPECT_EQ(body.find("null"), std::string::npos) << body;
    ordered_json j = ordered_json::parse(body);
    EXPECT_EQ(j.dump(), body);  // compact
    EXPECT_EQ(j.begin().key(), "class");
    return j;
}

// 2024-02-29 12:34:56.789 UTC as a day count.
constexpr double kLeapDayNoon = 45351.0 + (12 * 3600 + 34 * 60 + 56.789) / 86400.0;

}  // namespace

TEST(ShareProtocol, VersionDevicesAndWatchObjects) {
    EXPECT_EQ(share::VersionLine("1.0.0", "1.0.0"),
              "{\"class\":\"VERSION\",\"release\":\"1.0.0\",\"rev\":\"1.0.0\","
              "\"proto_major\":3,\"proto_minor\":14}\r\n");

    share::TDeviceInfo d;
    d.Path = "/dev/ttyUSB0";
    d.Bps = 9600;
    // Before data: no flags, no activation time.
    ordered_json j = Object(share::DeviceLine(d));
    EXPECT_EQ(j, ordered_json::parse(R"({"class":"DEVICE","path":"/dev/ttyUSB0",
        "driver":"NMEA0183","native":0,"bps":9600,"parity":"N","stopbits":1,"cycle":1.0})"));
    d.DataSeen = true;
    d.Activated = kLeapDayNoon;
    j = Object(share::DevicesLine(d));
    EXPECT_EQ(j["class"], "DEVICES");
    ASSERT_EQ(j["devices"].size(), 1u);
    EXPECT_EQ(j["devices"][0]["flags"], 1);
    EXPECT_EQ(j["devices"][0]["activated"], "2024-02-29T12:34:56.789Z");

    share::TWatch w;
    w.Enable = w.Json = true;
    EXPECT_EQ(share::WatchLine(w),
              "{\"class\":\"WATCH\",\"enable\":true,\"json\":true,\"nmea\":false,\"raw\":0,"
              "\"scaled\":false,\"timing\":false,\"split24\":false,\"pps\":false}\r\n");
}

TEST(ShareProtocol, TpvCarriesWhatIsKnownAndNothingElse) {
    share::TTpv t;
    t.Mode = 3;
    t.Time = kLeapDayNoon;
    t.Lat = 48.1173;
    t.Lon = -11.516666667;
    t.AltMSL = 545.4;
    t.GeoidSep = 46.9;
    t.Speed = 11.523;
    t.Track = 84.4;
    t.MagVar = -3.1;
    t.Status = 2;
    ordered_json j = Object(share::TpvLine(t, "COM3"));
    EXPECT_EQ(j["device"], "COM3");
    EXPECT_EQ(j["mode"], 3);
    EXPECT_EQ(j["status"], 2);
    EXPECT_EQ(j["time"], "2024-02-29T12:34:56.789Z");
    EXPECT_DOUBLE_EQ(j["lat"].get<double>(), 48.1173);
    EXPECT_DOUBLE_EQ(j["lon"].get<double>(), -11.516666667);
    EXPECT_DOUBLE_EQ(j["altMSL"].get<double>(), 545.4);
    EXPECT_DOUBLE_EQ(j["alt"].get<double>(), 545.4);
    EXPECT_DOUBLE_EQ(j["altHAE"].get<double>(), 592.3);
    EXPECT_DOUBLE_EQ(j["geoidSep"].get<double>(), 46.9);
    EXPECT_DOUBLE_EQ(j["speed"].get<double>(), 11.523);
    EXPECT_DOUBLE_EQ(j["track"].get<double>(), 84.4);
    EXPECT_DOUBLE_EQ(j["magvar"].get<double>(), -3.1);
    EXPECT_EQ(j.find("eph"), j.end());
    EXPECT_EQ(j.find("epv"), j.end());

    // No fix yet, a course the receiver left empty and no geoid separation:
    // those keys are absent, never null.
    share::TTpv none;
    none.Mode = 1;
    none.Track = std::numeric_limits<double>::quiet_NaN();
    none.AltMSL = 12.0;
    j = Object(share::TpvLine(none, "COM3"));
    EXPECT_EQ(j, ordered_json::parse(
                     R"({"class":"TPV","device":"COM3","mode":1,"altMSL":12.0,"alt":12.0})"));
}

TEST(ShareProtocol, SkyCountsSatellitesAndLeavesOutEmptyFields) {
    share::TSky s;
    s.Hdop = 0.9;
    s.Pdop = 1.7;
    share::TSkySatellite a{5, 0, 5, 45, 120, 41, true};
    share::TSkySatellite b{70, 6, 6, std::nullopt, std::nullopt, std::nullopt, false};
    s.Satellites = {a, b};
    const ordered_json j = Object(share::SkyLine(s, "/dev/pts/3"));
    EXPECT_EQ(j, ordered_json::parse(R"({"class":"SKY","device":"/dev/pts/3","hdop":0.9,
        "pdop":1.7,"nSat":2,"uSat":1,"satellites":[
        {"PRN":5,"gnssid":0,"svid":5,"el":45,"az":120,"ss":41,"used":true},
        {"PRN":70,"gnssid":6,"svid":6,"used":false}]})"));
}

TEST(ShareProtocol, PollHoldsTheLastReportsOnceThereAreAny) {
    share::TDeviceInfo d;
    d.Path = "COM1";
    ordered_json j = Object(share::PollLine(kLeapDayNoon, d, std::nullopt, std::nullopt));
    EXPECT_EQ(j, ordered_json::parse(R"({"class":"POLL","time":"2024-02-29T12:34:56.789Z",
        "active":0,"tpv":[],"sky":[]})"));
    d.DataSeen = true;
    share::TTpv t;
    t.Mode = 2;
    j = Object(share::PollLine(kLeapDayNoon, d, t, share::TSky{}));
    EXPECT_EQ(j["active"], 1);
    EXPECT_EQ(j["tpv"][0]["mode"], 2);
    EXPECT_EQ(j["tpv"][0]["device"], "COM1");
    EXPECT_EQ(j["sky"][0]["nSat"], 0);
}

TEST(ShareProtocol, ErrorQuotesWithoutBreakingTheLine) {
    const ordered_json j = Object(share::ErrorLine("Unrecognized request '\xff\x01'"));
    EXPECT_EQ(j["class"], "ERROR");
    EXPECT_NE(j["message"].get<std::string>().find("Unrecognized request"), std::string::npos);
}

TEST(ShareProtocol, IsoTimeRoundsToMilliseconds) {
    EXPECT_EQ(share::IsoTimeMs(45351.0), "2024-02-29T00:00:00.000Z");
    // 23:59:59.9996 rounds up into the next day.
    EXPECT_EQ(share::IsoTimeMs(45351.0 + 86399.9996 / 86400.0), "2024-03-01T00:00:00.000Z");
    EXPECT_EQ(share::IsoTimeMs(25569.0 + 0.5 / 86400.0), "1970-01-01T00:00:00.500Z");
    EXPECT_EQ(share::IsoTimeMs(-700000.0), "");
    EXPECT_EQ(share::IsoTimeMs(std::numeric_limits<double>::infinity()), "");
}

TEST(ShareProtocol, GpsdNumbersSatellitesBySystem) {
    using gps::TGnssSystem;
    struct TCase {
        TGnssSystem system;
        int prn;
        int gpsd, gnssId, svId;  // gpsd 0: no place in gpsd's numbering
    };
    const TCase cases[] = {
        {TGnssSystem::GPS, 1, 1, 0, 1},         {TGnssSystem::GPS, 32, 32, 0, 32},
        {TGnssSystem::GPS, 33, 0, 0, 0},        {TGnssSystem::SBAS, 33, 120, 1, 120},
        {TGnssSystem::SBAS, 64, 151, 1, 151},   {TGnssSystem::SBAS, 123, 123, 1, 123},
        {TGnssSystem::SBAS, 158, 158, 1, 158},  {TGnssSystem::SBAS, 100, 0, 0, 0},
        {TGnssSystem::GLONASS, 65, 65, 6, 1},   {TGnssSystem::GLONASS, 96, 96, 6, 32},
        {TGnssSystem::GLONASS, 1, 65, 6, 1},    {TGnssSystem::GLONASS, 24, 88, 6, 24},
        {TGnssSystem::GLONASS, 30, 0, 0, 0},    {TGnssSystem::Galileo, 1, 301, 2, 1},
        {TGnssSystem::Galileo, 36, 336, 2, 36}, {TGnssSystem::Galileo, 305, 305, 2, 5},
        {TGnssSystem::Galileo, 37, 0, 0, 0},    {TGnssSystem::BeiDou, 1, 401, 3, 1},
        {TGnssSystem::BeiDou, 37, 437, 3, 37},  {TGnssSystem::BeiDou, 159, 401, 3, 1},
        {TGnssSystem::BeiDou, 163, 405, 3, 5},  {TGnssSystem::BeiDou, 420, 420, 3, 20},
        {TGnssSystem::QZSS, 1, 193, 5, 1},      {TGnssSystem::QZSS, 202, 202, 5, 10},
        {TGnssSystem::QZSS, 11, 0, 0, 0},       {TGnssSystem::NavIC, 5, 0, 0, 0},
        {TGnssSystem::Unknown, 5, 0, 0, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(gps::GnssSystemName(c.system) + " " + std::to_string(c.prn));
        const auto s = share::GpsdSatellite(c.system, c.prn);
        if (c.gpsd == 0) {
            EXPECT_FALSE(s.has_value());
            continue;
        }
        ASSERT_TRUE(s.has_value());
        EXPECT_EQ(s->PRN, c.gpsd);
        EXPECT_EQ(s->GnssId, c.gnssId);
        EXPECT_EQ(s->SvId, c.svId);
    }
    gps::TSatellite sat{TGnssSystem::Galileo, 12, 30, 200, std::nullopt, true};
    const auto s = share::GpsdSatellite(sat);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(*s, (share::TSkySatellite{312, 2, 12, 30, 200, std::nullopt, true}));
}
