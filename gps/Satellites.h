// Satellite systems and the satellites a receiver reports: the ones used in
// the fix (GSA) and the ones in view (GSV).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gps {

// Which sentences the receiver decodes: ndGP only the GP talker (the
// classic GPS receiver), ndGNSS every two-letter talker.
enum class TNmeaDialect { ndGP, ndGNSS };

// Satellite systems, in the order lists are sorted by.
enum class TGnssSystem { GPS, SBAS, GLONASS, Galileo, BeiDou, QZSS, NavIC, Unknown };

// "GPS", "SBAS", "GLONASS", "Galileo", "BeiDou", "QZSS", "NavIC", "Unknown".
const std::string& GnssSystemName(TGnssSystem s);

// One satellite: its system and number as the receiver numbers it
// (GLONASS 65-96, SBAS 33-64 and so on).
struct TSatelliteId {
    TGnssSystem System = TGnssSystem::Unknown;
    int32_t PRN = 0;
    friend bool operator==(const TSatelliteId&, const TSatelliteId&) = default;
    friend auto operator<=>(const TSatelliteId&, const TSatelliteId&) = default;
};

// A satellite in view. Elevation (degrees, 0-90), azimuth (degrees, 0-359)
// and SNR (dB-Hz) are empty when the receiver left them out; an empty SNR
// means the satellite is not tracked.
struct TSatellite {
    TGnssSystem System = TGnssSystem::Unknown;
    int32_t PRN = 0;
    std::optional<int32_t> Elevation;
    std::optional<int32_t> Azimuth;
    std::optional<int32_t> SNR;
    bool Used = false;  // used in the fix, from the current GSA union
    friend bool operator==(const TSatellite&, const TSatellite&) = default;
};

// Sorted by system, then number.
using TSatelliteList = std::vector<TSatellite>;
// Sorted by system, then number.
using TSatelliteIdList = std::vector<TSatelliteId>;

}  // namespace gps
