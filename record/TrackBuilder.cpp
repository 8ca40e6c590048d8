#include "record/TrackBuilder.h"

#include <cmath>

#include "gps/NMEA.h"

namespace record {

namespace {

std::string_view Field(TFields fields, size_t i) {
    return i < fields.size() ? std::string_view(fields[i]) : std::string_view();
}

std::optional<double> Number(TFields fields, size_t i) {
    double v = 0.0;
    if (gps::ParseNumber(Field(fields, i), v) && std::isfinite(v)) {
        return v;
    }
    return std::nullopt;
}

std::optional<int32_t> Integer(TFields fields, size_t i) {
    int32_t v = 0;
    if (gps::ParseInteger(Field(fields, i), v)) {
        return v;
    }
    return std::nullopt;
}

// An angle field with its hemisphere as signed degrees.
bool Angle(TFields fields, size_t i, char negative, char positive, double& deg) {
    const std::string_view hemisphere = Field(fields, i + 1);
    if (!gps::NmeaDegMin(Field(fields, i), deg) || hemisphere.size() != 1 ||
        (hemisphere[0] != negative && hemisphere[0] != positive)) {
        return false;
    }
    if (hemisphere[0] == negative) {
        deg = -deg;
    }
    return true;
}

// A distance field with its unit field, in metres (M, or F for feet).
std::optional<double> Metres(TFields fields, size_t i) {
    const std::optional<double> v = Number(fields, i);
    const std::string_view unit = Field(fields, i + 1);
    if (!v || unit.empty() || unit == "M") {
        return v;  // an empty unit is taken as the usual metres
    }
    if (unit == "F") {
        return *v * 0.3048;
    }
    return std::nullopt;
}

bool IsDifferential(int32_t quality) {
    return quality == 2 || quality == 4 || quality == 5;
}

constexpr double kMetresPerSecondPerKnot = 1852.0 / 3600.0;

}  // namespace

int64_t TimeOfDayMs(std::string_view field) {
    if (field.size() < 6) {
        return -1;
    }
    int64_t hms[3] = {};
    for (int i = 0; i < 3; ++i) {
        const char a = field[2 * i];
        const char b = field[2 * i + 1];
        if (a < '0' || a > '9' || b < '0' || b > '9') {
            return -1;
        }
        hms[i] = (a - '0') * 10 + (b - '0');
    }
    if (hms[0] > 23 || hms[1] > 59 || hms[2] > 60) {
        return -1;
    }
    int64_t ms = ((hms[0] * 60 + hms[1]) * 60 + hms[2]) * 1000;
    if (field.size() > 6) {
        if (field[6] != '.') {
            return -1;
        }
        int64_t scale = 100;
        for (size_t i = 7; i < field.size(); ++i) {
            if (field[i] < '0' || field[i] > '9') {
                return -1;
            }
            ms += (field[i] - '0') * scale;  // digits past the millisecond are dropped
            scale /= 10;
        }
    }
    return ms;
}

bool ParseRmc(TFields fields, TRmcFix& fix) {
    const int64_t tod = TimeOfDayMs(Field(fields, 1));
    const double day = gps::NmeaDateTime(Field(fields, 9), Field(fields, 1));
    TRmcFix f;
    if (tod < 0 || day < 0.0 || !Angle(fields, 3, 'S', 'N', f.LatDeg) ||
        !Angle(fields, 5, 'W', 'E', f.LonDeg)) {
        return false;
    }
    f.TimeOfDayMs = tod;
    f.Time = day + static_cast<double>(tod % 1000) / 86400000.0;
    f.SpeedKnots = Number(fields, 7);
    f.CourseDeg = Number(fields, 8);
    fix = f;
    return true;
}

bool ParseGga(TFields fields, TGgaData& gga) {
    TGgaData g;
    const std::optional<int32_t> quality = Integer(fields, 6);
    if (!quality) {
        return false;
    }
    g.TimeOfDayMs = TimeOfDayMs(Field(fields, 1));
    g.Quality = *quality;
    g.Satellites = Integer(fields, 7);
    g.Hdop = Number(fields, 8);
    g.AltitudeM = Metres(fields, 9);
    g.GeoidM = Metres(fields, 11);
    g.AgeOfDgps = Number(fields, 13);
    g.DgpsStation = Integer(fields, 14);
    gga = g;
    return true;
}

bool ParseGsa(TFields fields, TGsaData& gsa) {
    const std::optional<int32_t> dim = Integer(fields, 2);
    if (!dim) {
        return false;
    }
    gsa.FixDim = *dim;
    gsa.Pdop = Number(fields, 15);
    gsa.Hdop = Number(fields, 16);
    gsa.Vdop = Number(fields, 17);
    return true;
}

void TTrackBuilder::Fix(const TRmcFix& fix) {
    Flush();
    waiting_ = fix;
    if (gga_.TimeOfDayMs >= 0 && gga_.TimeOfDayMs == fix.TimeOfDayMs) {
        Emit(&gga_);
    }
}

void TTrackBuilder::Gga(const TGgaData& gga) {
    gga_ = gga;
    if (waiting_) {
        const bool sameEpoch = gga.TimeOfDayMs >= 0 && gga.TimeOfDayMs == waiting_->TimeOfDayMs;
        Emit(sameEpoch ? &gga_ : nullptr);
    }
}

void TTrackBuilder::FixLost() {
    Flush();
    if (OnBreak) {
        OnBreak();
    }
}

void TTrackBuilder::Flush() {
    if (waiting_) {
        Emit(nullptr);
    }
}

void TTrackBuilder::Emit(const TGgaData* gga) {
    const TRmcFix fix = *waiting_;
    waiting_.reset();
    TTrackPoint p;
    p.Time = fix.Time;
    p.LatDeg = fix.LatDeg;
    p.LonDeg = fix.LonDeg;
    if (fix.SpeedKnots) {
        p.SpeedMps = *fix.SpeedKnots * kMetresPerSecondPerKnot;
    }
    p.CourseDeg = fix.CourseDeg;
    if (gga) {
        p.Elevation = gga->AltitudeM;
        p.GeoidHeight = gga->GeoidM;
        p.Satellites = gga->Satellites;
        p.Hdop = gga->Hdop;
        if (IsDifferential(gga->Quality)) {
            p.Fix = TFixType::DGPS;
            p.AgeOfDgps = gga->AgeOfDgps;
            p.DgpsStation = gga->DgpsStation;
        }
    }
    if (gsa_ && gsa_->FixDim >= 2) {
        if (p.Fix == TFixType::Unknown) {
            p.Fix = gsa_->FixDim == 3 ? TFixType::ThreeD : TFixType::TwoD;
        }
        if (gsa_->Hdop) {
            p.Hdop = gsa_->Hdop;
        }
        p.Vdop = gsa_->Vdop;
        p.Pdop = gsa_->Pdop;
    }
    if (OnPoint) {
        OnPoint(p);
    }
}

}  // namespace record
