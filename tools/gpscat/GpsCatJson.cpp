#include "tools/gpscat/GpsCatJson.h"

#include <cmath>
#include <memory>

#include "toolkit/SystemClock.h"

namespace gpscat {

namespace {

// A time of the receiver, or null: 0 (no time yet) and -1 (a date or time
// that did not decode) are no time.
void Time(TJsonLine& j, std::string_view key, double dayCount) {
    const std::string text = dayCount > 0.0 ? IsoTime(dayCount) : std::string();
    if (text.empty()) {
        j.Null(key);
    } else {
        j.String(key, text);
    }
}

void Char(TJsonLine& j, std::string_view key, char c) {
    j.Latin1(key, c == '\0' ? std::string_view() : std::string_view(&c, 1));
}

void Optional(TJsonLine& j, std::string_view key, const std::optional<int32_t>& v) {
    if (v) {
        j.Int(key, *v);
    } else {
        j.Null(key);
    }
}

// The satellites as a JSON array of objects.
void AppendSatellites(std::string& out, const gps::TSatelliteList& satellites) {
    out += '[';
    for (size_t i = 0; i < satellites.size(); ++i) {
        const gps::TSatellite& s = satellites[i];
        if (i > 0) {
            out += ',';
        }
        TJsonLine j(out);
        j.String("System", gps::GnssSystemName(s.System));
        j.Int("PRN", s.PRN);
        Optional(j, "Elevation", s.Elevation);
        Optional(j, "Azimuth", s.Azimuth);
        Optional(j, "SNR", s.SNR);
        j.Bool("Used", s.Used);
        j.Close();
    }
    out += ']';
}

}  // namespace

std::string IsoTime(double dayCount) {
    tk::TClockFields f;
    // To the nearest second first, so that 23:59:59.6 is the next day.
    if (!std::isfinite(dayCount) || std::fabs(dayCount) > 1e7 ||
        !tk::ClockFieldsFromDayCount(std::round(dayCount * 86400.0) / 86400.0, f)) {
        return {};
    }
    // Digits written by hand: this runs for every fix.
    char text[] = "0000-00-00T00:00:00Z";
    const auto put = [&text](size_t at, unsigned value, size_t digits) {
        for (size_t i = digits; i-- > 0; value /= 10) {
            text[at + i] = static_cast<char>('0' + value % 10);
        }
    };
    put(0, f.year, 4);
    put(5, f.month, 2);
    put(8, f.day, 2);
    put(11, f.hour, 2);
    put(14, f.minute, 2);
    put(17, f.second, 2);
    return text;
}

bool TEventWriter::RaiseFixLoss() {
    AppendEvent(out_, "OnFixLoss");
    return true;
}

bool TEventWriter::RaiseError(const std::string& message) {
    TJsonLine j(out_);
    j.String("event", "OnError").Latin1("ErrMsg", message);
    j.End();
    return true;
}

bool TEventWriter::RaiseSentence(const std::string& id, const gps::TDataArray&) {
    TJsonLine j(out_);
    j.String("event", "OnSentence").Latin1("SenID", id).Latin1("Sentence", decoder_.NmeaSentence());
    j.End();
    return true;
}

bool TEventWriter::RaiseValidFix() {
    TJsonLine j(out_);
    j.String("event", "OnValidFix");
    j.Double("Lat", units_.Lat(decoder_));
    j.Double("Lon", units_.Lon(decoder_));
    j.Double("SOG", units_.SOG(decoder_));
    j.Double("COG", decoder_.COG());
    Time(j, "UTCTime", decoder_.UTCTime());
    j.Latin1("LatAsStr", units_.LatAsStr(decoder_));
    j.Latin1("LonAsStr", units_.LonAsStr(decoder_));
    j.End();
    return true;
}

bool TEventWriter::RaiseFixProgress(const std::string& name, int32_t dim) {
    TJsonLine j(out_);
    j.String("event", "OnFixProgress").Latin1("Progress", name).Int("FixD", dim);
    j.End();
    return true;
}

bool TEventWriter::RaiseFixQuality(const std::string& name, int32_t quality) {
    TJsonLine j(out_);
    j.String("event", "OnFixQuality").Latin1("Quality", name).Int("FixQ", quality);
    j.End();
    return true;
}

void TEventWriter::RaiseSatellites(const gps::TSatelliteList& list) {
    if (!satellites_) {
        return;
    }
    TJsonLine j(out_);
    j.String("event", "OnSatellites");
    AppendSatellites(j.Raw("Satellites"), list);
    j.End();
}

void AttachEventWriters(gps::TGPS& gps, std::string& out, bool satellites) {
    auto w = std::make_shared<TEventWriter>(out, gps.Decoder(), gps.FixUnits(), satellites);
    gps.OnSentence = [w](gps::TGPS&, const std::string& id, const gps::TDataArray& a) {
        w->RaiseSentence(id, a);
    };
    gps.OnValidFix = [w](gps::TGPS&, double, double, double, double) { w->RaiseValidFix(); };
    gps.OnFixLoss = [w](gps::TGPS&) { w->RaiseFixLoss(); };
    gps.OnError = [w](gps::TGPS&, const std::string& message) { w->RaiseError(message); };
    gps.OnFixProgress = [w](gps::TGPS&, const std::string& name, int32_t dim) {
        w->RaiseFixProgress(name, dim);
    };
    gps.OnFixQuality = [w](gps::TGPS&, const std::string& name, int32_t q) {
        w->RaiseFixQuality(name, q);
    };
    if (satellites) {
        gps.OnSatellites = [w](gps::TGPS&, const gps::TSatelliteList& list) {
            w->RaiseSatellites(list);
        };
    }
}

void AppendState(std::string& out, const gps::TNmeaDecoder& d, const gps::TFixUnits& units) {
    double hdop = 0;
    double vdop = 0;
    double pdop = 0;
    d.GDOP(hdop, vdop, pdop);
    TJsonLine j(out);
    j.String("event", "State");
    j.Bool("FixValid", d.FixValid());
    Time(j, "UTCTime", d.UTCTime());
    j.Double("LatDeg", d.LatDeg());
    j.Double("LonDeg", d.LonDeg());
    j.Double("SpeedKnots", d.SpeedKnots());
    j.Double("COG", d.COG());
    j.Bool("HasMagVar", d.HasMagVar());
    j.Double("MagVar", d.MagVar());
    j.Int("FixQuality", d.FixQuality());
    j.Int("FixSatCount", d.FixSatCount());
    j.Double("RawAltitude", d.RawAltitude());
    Char(j, "AltUnits", d.AltUnits());
    j.Bool("HasGeoidDelta", d.HasGeoidDelta());
    j.Double("GeoidDelta", d.GeoidDelta());
    Char(j, "DeltaUnits", d.DeltaUnits());
    j.Bool("IsDGPS", d.IsDGPS());
    j.Double("AgeDGPS", d.AgeDGPS());
    j.Latin1("StnDGPS", d.StnDGPS());
    j.Latin1("FixMode", d.FixMode());
    j.Int("FixDim", d.FixDim());
    std::string& sats = j.Raw("SatSet");
    sats += '[';
    for (int n = 0, count = 0; n < 32; ++n) {
        if (d.FixSatSet() & (uint32_t{1} << n)) {
            sats += count++ > 0 ? "," : "";
            sats += std::to_string(n);
        }
    }
    sats += ']';
    j.Double("PDOP", pdop);
    j.Double("HDOP", hdop);
    j.Double("VDOP", vdop);
    j.Latin1("NmeaSentence", d.NmeaSentence());
    j.Double("Altitude", units.Altitude(d));
    j.Latin1("LatAsStr", units.LatAsStr(d));
    j.Latin1("LonAsStr", units.LonAsStr(d));
    if (d.Dialect() == gps::TNmeaDialect::ndGNSS) {
        std::string& used = j.Raw("UsedSatellites");
        used += '[';
        for (size_t i = 0; i < d.UsedSatellites().size(); ++i) {
            const gps::TSatelliteId& id = d.UsedSatellites()[i];
            used += i > 0 ? "," : "";
            TJsonLine u(used);
            u.String("System", gps::GnssSystemName(id.System)).Int("PRN", id.PRN);
            u.Close();
        }
        used += ']';
        AppendSatellites(j.Raw("SatellitesInView"), d.SatellitesInView());
    }
    j.End();
}

void AppendEvent(std::string& out, std::string_view name) {
    TJsonLine j(out);
    j.String("event", name);
    j.End();
}

void AppendDeviceEvent(std::string& out, std::string_view name, uint16_t port,
                       const std::string& path) {
    TJsonLine j(out);
    j.String("event", name).String("Port", "COM" + std::to_string(port)).Latin1("Path", path);
    j.End();
}

}  // namespace gpscat
