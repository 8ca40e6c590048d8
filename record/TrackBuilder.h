// Makes track points out of a receiver's sentences: one point per valid RMC
// fix, completed by the GGA of the same epoch (the GGA whose time field is
// the RMC's, whether it came before the RMC or after it) and by the last GSA.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "record/GpxTrack.h"

namespace record {

// A sentence's fields as the decoder splits them: entry 0 the identifier,
// then the fields in order (missing ones empty).
using TFields = std::span<const std::string>;

// A time field hhmmss[.s...] as milliseconds of the day; -1 when it is not one.
int64_t TimeOfDayMs(std::string_view field);

// What the track takes from an RMC with a valid fix.
struct TRmcFix {
    double Time = 0.0;         // UTC day count with the fraction of the second
    int64_t TimeOfDayMs = -1;  // of the time field, to find the epoch's GGA
    double LatDeg = 0.0;
    double LonDeg = 0.0;
    std::optional<double> SpeedKnots;
    std::optional<double> CourseDeg;
};
// False when the time, date or position fields are not readable.
bool ParseRmc(TFields fields, TRmcFix& fix);

// What the track takes from a GGA; a value the receiver left empty is not known.
struct TGgaData {
    int64_t TimeOfDayMs = -1;
    int32_t Quality = 0;
    std::optional<int32_t> Satellites;
    std::optional<double> Hdop;
    std::optional<double> AltitudeM;  // above mean sea level, in metres
    std::optional<double> GeoidM;
    std::optional<double> AgeOfDgps;
    std::optional<int32_t> DgpsStation;
};
bool ParseGga(TFields fields, TGgaData& gga);

// What the track takes from a GSA.
struct TGsaData {
    int32_t FixDim = 0;  // 1 none, 2 2D, 3 3D
    std::optional<double> Pdop;
    std::optional<double> Hdop;
    std::optional<double> Vdop;
};
bool ParseGsa(TFields fields, TGsaData& gsa);

class TTrackBuilder {
  public:
    // A finished point, and the end of a stretch of valid fix.
    std::function<void(const TTrackPoint&)> OnPoint;
    std::function<void()> OnBreak;

    // A valid fix. Its point is finished at once when the epoch's GGA came
    // before it; otherwise it waits for that GGA, or for the next epoch.
    void Fix(const TRmcFix& fix);
    void Gga(const TGgaData& gga);
    void Gsa(const TGsaData& gsa) { gsa_ = gsa; }
    // The fix was lost: the waiting point is finished, then the stretch ends.
    void FixLost();
    // Finishes a waiting point (the data stopped, or recording stops).
    void Flush();
    bool Waiting() const { return waiting_.has_value(); }

  private:
    void Emit(const TGgaData* gga);

    std::optional<TRmcFix> waiting_;
    TGgaData gga_;  // the last GGA
    std::optional<TGsaData> gsa_;
};

}  // namespace record
