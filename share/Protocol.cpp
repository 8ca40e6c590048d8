#include "share/Protocol.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "toolkit/Calendar.h"
#include "toolkit/SystemClock.h"

namespace share {

namespace {

using Json = nlohmann::ordered_json;

bool In(int32_t n, int32_t low, int32_t high) {
    return n >= low && n <= high;
}

// A value rounded to a step of 10^-digits, so that the shortest decimal
// form is no longer than the receiver's own resolution warrants.
double Rounded(double v, int digits) {
    const double scale = std::pow(10.0, digits);
    return std::round(v * scale) / scale;
}

// Adds a number rounded to digits places; nothing for a value not known.
void Put(Json& j, const char* key, const std::optional<double>& v, int digits) {
    if (v && std::isfinite(*v)) {
        j[key] = Rounded(*v, digits);
    }
}

void Put(Json& j, const char* key, const std::optional<int32_t>& v) {
    if (v) {
        j[key] = *v;
    }
}

void PutTime(Json& j, const char* key, const std::optional<double>& dayCount) {
    if (dayCount && std::isfinite(*dayCount)) {
        const std::string text = IsoTimeMs(*dayCount);
        if (!text.empty()) {
            j[key] = text;
        }
    }
}

std::string Line(const Json& j) {
    // Byte strings from outside (a device path) may not be UTF-8: such bytes
    // become U+FFFD rather than failing the object.
    std::string s = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    s += "\r\n";
    return s;
}

Json DeviceObject(const TDeviceInfo& d) {
    Json j;
    j["class"] = "DEVICE";
    j["path"] = d.Path;
    j["driver"] = "NMEA0183";
    PutTime(j, "activated", d.Activated);
    if (d.DataSeen) {
        j["flags"] = 1;
    }
    j["native"] = 0;
    // A file has no line settings.
    if (d.Bps > 0) {
        j["bps"] = d.Bps;
        j["parity"] = std::string(1, d.Parity);
        j["stopbits"] = d.StopBits;
    }
    j["cycle"] = 1.0;
    return j;
}

Json TpvObject(const TTpv& t, std::string_view device) {
    Json j;
    j["class"] = "TPV";
    j["device"] = device;
    j["mode"] = t.Mode;
    Put(j, "status", t.Status);
    PutTime(j, "time", t.Time);
    Put(j, "lat", t.Lat, 9);
    Put(j, "lon", t.Lon, 9);
    if (t.AltMSL && std::isfinite(*t.AltMSL) && t.GeoidSep && std::isfinite(*t.GeoidSep)) {
        j["altHAE"] = Rounded(*t.AltMSL + *t.GeoidSep, 3);
    }
    Put(j, "altMSL", t.AltMSL, 3);
    Put(j, "alt", t.AltMSL, 3);
    Put(j, "track", t.Track, 4);
    Put(j, "magvar", t.MagVar, 2);
    Put(j, "speed", t.Speed, 3);
    Put(j, "geoidSep", t.GeoidSep, 3);
    return j;
}

Json SkyObject(const TSky& s, std::string_view device) {
    Json j;
    j["class"] = "SKY";
    j["device"] = device;
    PutTime(j, "time", s.Time);
    Put(j, "hdop", s.Hdop, 2);
    Put(j, "vdop", s.Vdop, 2);
    Put(j, "pdop", s.Pdop, 2);
    int32_t used = 0;
    Json list = Json::array();
    for (const TSkySatellite& sat : s.Satellites) {
        Json o;
        o["PRN"] = sat.PRN;
        o["gnssid"] = sat.GnssId;
        o["svid"] = sat.SvId;
        Put(o, "el", sat.El);
        Put(o, "az", sat.Az);
        Put(o, "ss", sat.Ss);
        o["used"] = sat.Used;
        used += sat.Used ? 1 : 0;
        list.push_back(std::move(o));
    }
    j["nSat"] = static_cast<int32_t>(s.Satellites.size());
    j["uSat"] = used;
    j["satellites"] = std::move(list);
    return j;
}

}  // namespace

std::optional<TSkySatellite> GpsdSatellite(gps::TGnssSystem system, int32_t prn) {
    using gps::TGnssSystem;
    // The gpsd number, its gnssid, and the number within the system.
    auto make = [](int32_t gpsd, int32_t gnssId, int32_t svId) {
        TSkySatellite s;
        s.PRN = gpsd;
        s.GnssId = gnssId;
        s.SvId = svId;
        return std::optional<TSkySatellite>(s);
    };
    switch (system) {
        case TGnssSystem::GPS:
            if (In(prn, 1, 32)) {
                return make(prn, 0, prn);
            }
            break;
        case TGnssSystem::SBAS:
            // NMEA numbers SBAS 33-64 for PRN 120-151.
            if (In(prn, 33, 64)) {
                return make(prn + 87, 1, prn + 87);
            }
            if (In(prn, 120, 158)) {
                return make(prn, 1, prn);
            }
            break;
        case TGnssSystem::GLONASS:
            if (In(prn, 65, 96)) {
                return make(prn, 6, prn - 64);
            }
            if (In(prn, 1, 24)) {  // slot numbers of a GL talker
                return make(prn + 64, 6, prn);
            }
            break;
        case TGnssSystem::Galileo:
            if (In(prn, 301, 336)) {
                return make(prn, 2, prn - 300);
            }
            if (In(prn, 1, 36)) {
                return make(prn + 300, 2, prn);
            }
            break;
        case TGnssSystem::BeiDou:
            if (In(prn, 401, 437)) {
                return make(prn, 3, prn - 400);
            }
            if (In(prn, 1, 63)) {
                return make(prn + 400, 3, prn);
            }
            if (In(prn, 159, 163)) {  // u-blox's numbers for BeiDou 1-5
                return make(prn + 242, 3, prn - 158);
            }
            break;
        case TGnssSystem::QZSS:
            if (In(prn, 193, 202)) {
                return make(prn, 5, prn - 192);
            }
            if (In(prn, 1, 10)) {
                return make(prn + 192, 5, prn);
            }
            break;
        default:
            break;
    }
    return std::nullopt;
}

std::optional<TSkySatellite> GpsdSatellite(const gps::TSatellite& satellite) {
    std::optional<TSkySatellite> s = GpsdSatellite(satellite.System, satellite.PRN);
    if (s) {
        s->El = satellite.Elevation;
        s->Az = satellite.Azimuth;
        s->Ss = satellite.SNR;
        s->Used = satellite.Used;
    }
    return s;
}

std::string IsoTimeMs(double dayCount) {
    tk::TClockFields t;
    if (!tk::ClockFieldsFromDayCount(dayCount, t) || t.year > 9999) {
        return {};
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", unsigned{t.year},
                  unsigned{t.month}, unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute},
                  unsigned{t.second}, unsigned{t.milliseconds});
    return text;
}

std::string VersionLine(std::string_view release, std::string_view rev) {
    Json j;
    j["class"] = "VERSION";
    j["release"] = release;
    j["rev"] = rev;
    j["proto_major"] = kProtoMajor;
    j["proto_minor"] = kProtoMinor;
    return Line(j);
}

std::string DevicesLine(const TDeviceInfo& device) {
    Json j;
    j["class"] = "DEVICES";
    j["devices"] = Json::array({DeviceObject(device)});
    return Line(j);
}

std::string DeviceLine(const TDeviceInfo& device) {
    return Line(DeviceObject(device));
}

std::string WatchLine(const TWatch& w) {
    Json j;
    j["class"] = "WATCH";
    j["enable"] = w.Enable;
    j["json"] = w.Json;
    j["nmea"] = w.Nmea;
    j["raw"] = w.Raw;
    j["scaled"] = w.Scaled;
    j["timing"] = w.Timing;
    j["split24"] = w.Split24;
    j["pps"] = w.Pps;
    if (!w.Device.empty()) {
        j["device"] = w.Device;
    }
    return Line(j);
}

std::string TpvLine(const TTpv& tpv, std::string_view device) {
    return Line(TpvObject(tpv, device));
}

std::string SkyLine(const TSky& sky, std::string_view device) {
    return Line(SkyObject(sky, device));
}

std::string PollLine(double now, const TDeviceInfo& device, const std::optional<TTpv>& tpv,
                     const std::optional<TSky>& sky) {
    Json j;
    j["class"] = "POLL";
    PutTime(j, "time", now);
    j["active"] = device.DataSeen ? 1 : 0;
    j["tpv"] = Json::array();
    if (tpv) {
        j["tpv"].push_back(TpvObject(*tpv, device.Path));
    }
    j["sky"] = Json::array();
    if (sky) {
        j["sky"].push_back(SkyObject(*sky, device.Path));
    }
    return Line(j);
}

std::string ErrorLine(std::string_view message) {
    Json j;
    j["class"] = "ERROR";
    j["message"] = message;
    return Line(j);
}

}  // namespace share
