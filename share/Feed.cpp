#include "share/Feed.h"

#include <algorithm>
#include <cmath>

#include "gps/NMEA.h"
#include "share/Server.h"

namespace share {

namespace {

constexpr double kMetresPerSecondPerKnot = 1852.0 / 3600.0;
constexpr double kMetresPerFoot = 0.3048;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The second of the day of a time field hhmmss[.sss]; -1 when it is not one.
double SecondOfDay(const std::string& time) {
    if (time.size() < 6 || !std::all_of(time.begin(), time.begin() + 6, IsDigit)) {
        return -1;
    }
    const int h = (time[0] - '0') * 10 + (time[1] - '0');
    const int m = (time[2] - '0') * 10 + (time[3] - '0');
    const int s = (time[4] - '0') * 10 + (time[5] - '0');
    if (h > 23 || m > 59 || s > 60) {
        return -1;
    }
    return h * 3600 + m * 60 + s + gps::NmeaTimeFraction(time);
}

// A length field with its unit letter, in metres (metres or feet).
std::optional<double> Metres(const std::string& value, const std::string& unit) {
    double v = 0;
    if (!gps::ParseNumber(value, v) || !std::isfinite(v) || std::fabs(v) > 1e7) {
        return std::nullopt;
    }
    if (unit == "M") {
        return v;
    }
    if (unit == "F") {
        return v * kMetresPerFoot;
    }
    return std::nullopt;
}

std::optional<double> Angle(const std::string& field, double limit, const std::string& side,
                            char negative) {
    double v = 0;
    if (!gps::NmeaDegMin(field, v) || v > limit) {
        return std::nullopt;
    }
    return side.size() == 1 && side[0] == negative ? -v : v;
}

// gpsd's status from the GGA quality: 2 DGPS, 3 RTK fixed, 4 RTK float.
std::optional<int32_t> StatusOf(int32_t quality) {
    switch (quality) {
        case 2:
            return 2;
        case 4:
            return 3;
        case 5:
            return 4;
        default:
            return std::nullopt;
    }
}

}  // namespace

void TShareFeed::AddServer(TServer* server) {
    if (std::find(servers_.begin(), servers_.end(), server) == servers_.end()) {
        servers_.push_back(server);
        server->SetDevice(device_);
    }
}

void TShareFeed::RemoveServer(TServer* server) {
    servers_.erase(std::remove(servers_.begin(), servers_.end(), server), servers_.end());
}

void TShareFeed::SetDevice(const TDeviceInfo& device) {
    device_ = device;
    for (TServer* s : servers_) {
        s->SetDevice(device_);
    }
}

void TShareFeed::BytesReceived(const gps::TNmeaDecoder&, std::string_view bytes) {
    if (!device_.DataSeen && !bytes.empty()) {
        device_.DataSeen = true;
        SetDevice(device_);
    }
}

void TShareFeed::LineProcessed(const gps::TNmeaDecoder& decoder, const gps::TLineReport& report) {
    if (report.Accepted) {
        for (TServer* s : servers_) {
            s->PublishNmea(report.Line);
        }
        if (report.Result && report.Kind == gps::TSentenceKind::RMC) {
            rmcSeen_ = true;
            PublishTpv(RmcTpv(decoder));
        } else if (report.Result && report.Kind == gps::TSentenceKind::GGA) {
            TakeGga(decoder);
            if (!rmcSeen_) {
                PublishTpv(GgaTpv(decoder));
            }
        }
    }
    if (report.SatellitesChanged) {
        PublishSky(decoder);
    }
}

void TShareFeed::Silence(const gps::TNmeaDecoder& decoder) {
    rmcSeen_ = false;
    gga_.reset();
    PublishSky(decoder);
}

void TShareFeed::TakeGga(const gps::TNmeaDecoder& decoder) {
    const gps::TDataArray& f = decoder.Fields();
    TGga g;
    g.secondOfDay = SecondOfDay(f[1]);
    g.quality = decoder.FixQuality();
    if (g.quality > 0) {
        g.lat = Angle(f[2], 90.0, f[3], 'S');
        g.lon = Angle(f[4], 180.0, f[5], 'W');
        g.altMSL = Metres(f[9], f[10]);
        g.geoidSep = Metres(f[11], f[12]);
    }
    gga_ = g;
}

void TShareFeed::AddGga(TTpv& tpv, double secondOfDay) const {
    if (!gga_ || gga_->quality == 0) {
        return;
    }
    if (secondOfDay >= 0 && gga_->secondOfDay >= 0) {
        double behind = secondOfDay - gga_->secondOfDay;
        if (behind < -43200) {
            behind += 86400;  // across midnight
        }
        // This epoch's GGA, or the one before at one fix a second or faster
        // (a receiver that sends its RMC first); an older one is not used.
        if (behind < 0 || behind > 1.0) {
            return;
        }
    }
    tpv.AltMSL = gga_->altMSL;
    tpv.GeoidSep = tpv.AltMSL ? gga_->geoidSep : std::nullopt;
    tpv.Status = StatusOf(gga_->quality);
}

TTpv TShareFeed::RmcTpv(const gps::TNmeaDecoder& decoder) {
    const gps::TDataArray& f = decoder.Fields();
    TTpv t;
    const double day = gps::NmeaDateTime(f[9], f[1]);
    if (day > 0) {
        t.Time = day + gps::NmeaTimeFraction(f[1]) / 86400.0;
    }
    const double date = gps::NmeaDateTime(f[9], "000000");
    if (date > 0) {
        rmcDay_ = date;
    }
    if (!decoder.FixValid()) {
        t.Mode = 1;
        return t;
    }
    t.Lat = decoder.LatDeg();
    t.Lon = decoder.LonDeg();
    if (std::isfinite(decoder.SpeedKnots())) {
        t.Speed = decoder.SpeedKnots() * kMetresPerSecondPerKnot;
    }
    if (std::isfinite(decoder.COG())) {
        t.Track = decoder.COG();
    }
    if (!f[10].empty() && decoder.HasMagVar()) {
        t.MagVar = decoder.MagVar();
    }
    AddGga(t, SecondOfDay(f[1]));
    // The dimension of the last GSA; without one, an altitude makes it 3D.
    const int32_t dim = decoder.FixDim();
    t.Mode = dim >= 2 ? dim : (t.AltMSL ? 3 : 2);
    return t;
}

TTpv TShareFeed::GgaTpv(const gps::TNmeaDecoder& decoder) const {
    TTpv t;
    const TGga& g = *gga_;
    // A GGA has no date: the date of an earlier RMC, when there was one.
    if (g.secondOfDay >= 0 && rmcDay_ > 0) {
        t.Time = rmcDay_ + g.secondOfDay / 86400.0;
    }
    if (g.quality == 0 || !g.lat || !g.lon) {
        t.Mode = 1;
        return t;
    }
    t.Lat = g.lat;
    t.Lon = g.lon;
    AddGga(t, g.secondOfDay);
    const int32_t dim = decoder.FixDim();
    t.Mode = dim >= 2 ? dim : (t.AltMSL ? 3 : 2);
    return t;
}

void TShareFeed::PublishTpv(const TTpv& tpv) {
    for (TServer* s : servers_) {
        s->PublishTpv(tpv);
    }
    if (OnTpv) {
        OnTpv(tpv);
    }
}

void TShareFeed::PublishSky(const gps::TNmeaDecoder& decoder) {
    TSky sky;
    const gps::TSatelliteList& inView = decoder.SatellitesInView();
    if (!inView.empty()) {
        double h = 0;
        double v = 0;
        double p = 0;
        decoder.GDOP(h, v, p);
        // 0 is no dilution a receiver reports: not known.
        const auto known = [](double d) { return d > 0 ? std::optional<double>(d) : std::nullopt; };
        sky.Hdop = known(h);
        sky.Vdop = known(v);
        sky.Pdop = known(p);
    }
    for (const gps::TSatellite& s : inView) {
        if (const std::optional<TSkySatellite> g = GpsdSatellite(s)) {
            sky.Satellites.push_back(*g);
        }
    }
    for (TServer* s : servers_) {
        s->PublishSky(sky);
    }
    if (OnSky) {
        OnSky(sky);
    }
}

}  // namespace share
