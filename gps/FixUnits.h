// The fix in the units a reader asked for: the receiver component's
// readings and events, and gpscat's, convert through the same rules.
#pragma once

#include <string>

#include "gps/NavUtils.h"

namespace gps {

class TNmeaDecoder;

struct TFixUnits {
    TUnits Units = TUnits::Nautical;            // of speed; metric altitude or feet
    TFloatUnits PosUnits = TFloatUnits::Deg;    // of latitude and longitude as numbers
    TStrFormat StrFormat = TStrFormat::DDMMSS;  // of latitude and longitude as text

    // Latitude and longitude in PosUnits, signed.
    double Lat(const TNmeaDecoder& d) const;
    double Lon(const TNmeaDecoder& d) const;
    // Speed over ground in Units (NaN when not known).
    double SOG(const TNmeaDecoder& d) const;
    // The altitude as received when it is in metres and Units is Metric,
    // in feet otherwise.
    double Altitude(const TNmeaDecoder& d) const;
    // The position as text in StrFormat; "--" without a valid fix.
    std::string LatAsStr(const TNmeaDecoder& d) const;
    std::string LonAsStr(const TNmeaDecoder& d) const;
};

}  // namespace gps
