#include "gps/FixUnits.h"

#include "gps/NmeaDecoder.h"

namespace gps {

namespace {

constexpr double kRadPerDeg = 0.017453292519943295;
constexpr double kMphPerKnot = 1.150779;
constexpr double kKmhPerKnot = 1.852;
constexpr double kFeetPerMetre = 3.2808;

double AngleIn(TFloatUnits units, double degrees) {
    switch (units) {
        case TFloatUnits::Min:
            return degrees * 60.0;
        case TFloatUnits::Sec:
            return degrees * 3600.0;
        case TFloatUnits::Rad:
            return degrees * kRadPerDeg;
        case TFloatUnits::Deg:
        default:
            return degrees;
    }
}

}  // namespace

double TFixUnits::Lat(const TNmeaDecoder& d) const {
    return AngleIn(PosUnits, d.LatDeg());
}

double TFixUnits::Lon(const TNmeaDecoder& d) const {
    return AngleIn(PosUnits, d.LonDeg());
}

double TFixUnits::SOG(const TNmeaDecoder& d) const {
    switch (Units) {
        case TUnits::Statute:
            return d.SpeedKnots() * kMphPerKnot;
        case TUnits::Metric:
            return d.SpeedKnots() * kKmhPerKnot;
        case TUnits::Nautical:
        default:
            return d.SpeedKnots();
    }
}

double TFixUnits::Altitude(const TNmeaDecoder& d) const {
    if (d.AltUnits() == 'M' && Units == TUnits::Metric) {
        return d.RawAltitude();
    }
    return d.RawAltitude() * kFeetPerMetre;
}

std::string TFixUnits::LatAsStr(const TNmeaDecoder& d) const {
    return d.FixValid() ? PositionText(StrFormat, 0, d.LatDeg() * 3600.0) : "--";
}

std::string TFixUnits::LonAsStr(const TNmeaDecoder& d) const {
    return d.FixValid() ? PositionText(StrFormat, 1, d.LonDeg() * 3600.0) : "--";
}

}  // namespace gps
