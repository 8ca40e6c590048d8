// gpsd's JSON protocol (3.14) as the share server speaks it: what a report
// holds and the objects it is written as. Each object is one compact line
// ending in CR LF, "class" its first key; a value not known is left out,
// never written as null.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gps/Satellites.h"

namespace share {

constexpr int32_t kProtoMajor = 3;
constexpr int32_t kProtoMinor = 14;

// The one device served, as DEVICES and DEVICE show it.
struct TDeviceInfo {
    std::string Path;                 // the port's device path, or "COMn"
    std::optional<double> Activated;  // when the port was opened: UTC day count
    int32_t Bps = 4800;               // 0 for a file: no line settings shown
    char Parity = 'N';
    int32_t StopBits = 1;
    bool DataSeen = false;  // flags 1 once data came
};

// One epoch's fix (TPV).
struct TTpv {
    int32_t Mode = 0;            // 0 not known, 1 no fix, 2 2D, 3 3D
    std::optional<double> Time;  // UTC day count with the fraction of its second
    std::optional<double> Lat;   // signed degrees
    std::optional<double> Lon;
    std::optional<double> AltMSL;    // metres above mean sea level
    std::optional<double> GeoidSep;  // metres, geoid above the ellipsoid
    std::optional<double> Speed;     // metres a second
    std::optional<double> Track;     // degrees from true north
    std::optional<double> MagVar;    // degrees, east positive
    std::optional<int32_t> Status;   // 2 DGPS, 3 RTK fixed, 4 RTK float
    friend bool operator==(const TTpv&, const TTpv&) = default;
};

// A satellite in gpsd's numbering.
struct TSkySatellite {
    int32_t PRN = 0;
    int32_t GnssId = 0;  // 0 GPS, 1 SBAS, 2 Galileo, 3 BeiDou, 5 QZSS, 6 GLONASS
    int32_t SvId = 0;    // the number within its system
    std::optional<int32_t> El;
    std::optional<int32_t> Az;
    std::optional<int32_t> Ss;
    bool Used = false;
    friend bool operator==(const TSkySatellite&, const TSkySatellite&) = default;
};

// The sky view (SKY).
struct TSky {
    std::optional<double> Time;
    std::optional<double> Hdop;
    std::optional<double> Vdop;
    std::optional<double> Pdop;
    std::vector<TSkySatellite> Satellites;
    friend bool operator==(const TSky&, const TSky&) = default;
};

// A client's watch settings (?WATCH).
struct TWatch {
    bool Enable = false;
    bool Json = false;
    bool Nmea = false;
    int32_t Raw = 0;
    bool Scaled = false;
    bool Timing = false;
    bool Split24 = false;
    bool Pps = false;
    std::string Device;  // empty: any device
    // Whether anything is sent to this client unasked.
    bool WantsJson() const { return Enable && Json; }
    bool WantsNmea() const { return Enable && (Nmea || Raw >= 1); }
    friend bool operator==(const TWatch&, const TWatch&) = default;
};

// gpsd's number of a satellite from its system and the number the receiver
// gave it (GLONASS 65-96 or 1-24, Galileo 1-36 or 301-336, ...); nothing for
// a system or number gpsd has no place for.
std::optional<TSkySatellite> GpsdSatellite(gps::TGnssSystem system, int32_t prn);
// The same with the satellite's elevation, azimuth, SNR and used flag.
std::optional<TSkySatellite> GpsdSatellite(const gps::TSatellite& satellite);

// A day count as ISO 8601 UTC with milliseconds ("2024-05-01T12:34:56.789Z");
// empty outside years 1 to 9999.
std::string IsoTimeMs(double dayCount);

// The objects, each a line with its CR LF.
std::string VersionLine(std::string_view release, std::string_view rev);
std::string DevicesLine(const TDeviceInfo& device);
std::string DeviceLine(const TDeviceInfo& device);
std::string WatchLine(const TWatch& watch);
std::string TpvLine(const TTpv& tpv, std::string_view device);
std::string SkyLine(const TSky& sky, std::string_view device);
// The answer to ?POLL: the last TPV and SKY (each left out until there is one).
std::string PollLine(double now, const TDeviceInfo& device, const std::optional<TTpv>& tpv,
                     const std::optional<TSky>& sky);
std::string ErrorLine(std::string_view message);

}  // namespace share
