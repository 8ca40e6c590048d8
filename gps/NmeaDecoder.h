// The NMEA decoder: assembles lines from received bytes, tests their
// checksums, splits and decodes them into the fix state and the satellite
// lists, and tells its listeners what each line did. It owns no port, timer
// or sound: the receiver component, gpscat's file reader and the fuzzers
// all feed it the same way.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gps/NMEA.h"
#include "gps/NavUtils.h"
#include "gps/Satellites.h"
#include "serial/CharSource.h"

namespace gps {

// The decoder reads from any character source, the port component included.
using TNmeaCharSource = ::TCharSource;

// One sentence split at its commas: entry 0 the identifier, 1 to 20 the fields.
constexpr size_t kDataArraySize = 21;
using TDataArray = std::array<std::string, kDataArraySize>;

// Fills the array from the payload of a line (all entries emptied first;
// fields beyond entry 20 are dropped). Keeps the entries' capacity.
void SplitSentence(std::string_view line, TDataArray& fields);

// Whether the number conversion succeeds on a text.
bool IsNumber(std::string_view text);

// Names of a GPGGA fix quality, a GPGSA fix dimension and a selection mode.
const std::string& QualityName(int32_t quality);
// The quality name in a dialect: ndGNSS also names 4 "RTK Fixed" and 5 "RTK Float".
const std::string& QualityName(int32_t quality, TNmeaDialect dialect);
const std::string& FixDimName(int32_t dim);
const std::string& FixModeName(char mode);

// What a line's identifier asks the decoders for.
enum class TSentenceKind { Other, RMC, GGA, GSA, GSV };

// What one processed line did; the decoder's state is the state after it.
struct TLineReport {
    std::string_view Line;  // as assembled: from its "$" up to, not including, the CR
    bool Accepted = false;  // passed the checksum: NmeaSentence and Fields are this line
    bool Result = false;    // accepted, and its decoder (if any) succeeded
    TSentenceKind Kind = TSentenceKind::Other;  // of an accepted line
    bool FixLost = false;            // FixValid was true before the line and is false now
    bool ValidFix = false;           // an RMC that decoded whole with FixValid: one fix
    bool ProgressChanged = false;    // FixDim differs from what was last reported
    bool QualityChanged = false;     // FixQuality differs from what was last reported
    bool SatellitesChanged = false;  // the satellites in view or their used flags changed
};

class TNmeaDecoder;

// Told what the decoder did. Listeners run on the decoder's thread, in the
// order they were added; a listener may destroy the decoder, which ends the
// calls.
class TNmeaListener {
  public:
    virtual ~TNmeaListener() = default;
    // The bytes as they came, before line assembly.
    virtual void BytesReceived(const TNmeaDecoder& decoder, std::string_view bytes) {
        (void)decoder;
        (void)bytes;
    }
    // One line processed, once per line.
    virtual void LineProcessed(const TNmeaDecoder& decoder, const TLineReport& report) {
        (void)decoder;
        (void)report;
    }
    // The data stopped; the satellite lists are now empty.
    virtual void Silence(const TNmeaDecoder& decoder) { (void)decoder; }
};

class TNmeaDecoder {
  public:
    // Longest line kept in LineBuffer. Characters beyond it are dropped and
    // the line fails with "Line too long" when it ends, so memory stays
    // bounded on a stream without "$" or carriage return.
    static constexpr size_t kMaxLineLength = 1024;

    // Error texts of a line.
    static const std::string kChecksumFailed;  // "Checksum failed"
    static const std::string kLineTooLong;     // "Line too long"
    static const std::string kRmcInvalid;      // "GPRMC is invalid"
    static const std::string kGgaInvalid;      // "GPGGA is invalid"
    static const std::string kGsaInvalid;      // "GPGSA is invalid"

    TNmeaDecoder();
    ~TNmeaDecoder();
    TNmeaDecoder(const TNmeaDecoder&) = delete;
    TNmeaDecoder& operator=(const TNmeaDecoder&) = delete;

    // Listeners are not owned; one must be removed before it goes.
    void AddListener(TNmeaListener* listener);
    void RemoveListener(TNmeaListener* listener);

    // Takes exactly count characters from source: "$" starts a new line,
    // line feeds are dropped, a carriage return while the source is open
    // processes the line and empties LineBuffer (a CR with nothing before
    // it, such as the second of CR CR LF, is ignored).
    // Returns false when a listener destroyed the decoder.
    bool Feed(TNmeaCharSource& source, size_t count);
    // Bytes of a file or stream, as an open port gives them (no arrival times).
    void FeedBytes(std::string_view bytes);

    // Processes one completed line: checksum test, split, decode, listeners.
    // True when the line passed and its decoder (if any) succeeded.
    bool ProcessSentence(std::string_view line);

    // The data stopped: empties the satellite lists and tells the listeners.
    void Silence();

    // The monotonic clock in milliseconds that satellites in view drop out by.
    void SetSatelliteClock(std::function<uint32_t()> clock) { satelliteClock_ = std::move(clock); }

    // When the "$" of the line being processed came off the port, and the
    // same of the line that set UTCTime (not known: Known() false).
    const TArrivalTime& LineArrival() const { return lineArrival_; }
    const TArrivalTime& FixArrival() const { return fixArrival_; }
    // UTCTime of the last valid GPRMC that decoded whole (a line that
    // failed leaves it) with the fraction of its second, 0 before any; and
    // the arrival of that line.
    double ClockTime() const { return clockTime_; }
    const TArrivalTime& ClockArrival() const { return clockArrival_; }

    // Line assembly and the last accepted line.
    const std::string& LineBuffer() const { return lineBuffer_; }
    const std::string& NmeaSentence() const { return nmeaSentence_; }
    const TDataArray& Fields() const { return fields_; }
    const std::string& ErrorText() const { return errorText_; }

    // Fix state as received.
    bool FixValid() const { return fixValid_; }
    double UTCTime() const { return utcTime_; }
    double LatDeg() const { return latDeg_; }
    double LonDeg() const { return lonDeg_; }
    // Speed and course as received; NaN when the receiver left them empty.
    double SpeedKnots() const { return speedKnots_; }
    double COG() const { return cog_; }
    bool HasMagVar() const { return hasMagVar_; }
    double MagVar() const { return magVar_; }
    int32_t FixQuality() const { return fixQuality_; }
    int32_t FixSatCount() const { return fixSatCount_; }
    double RawAltitude() const { return rawAltitude_; }
    char AltUnits() const { return altUnits_; }
    bool HasGeoidDelta() const { return hasGeoidDelta_; }
    double GeoidDelta() const { return geoidDelta_; }
    char DeltaUnits() const { return deltaUnits_; }
    bool IsDGPS() const { return isDGPS_; }
    double AgeDGPS() const { return ageDGPS_; }
    const std::string& StnDGPS() const { return stnDGPS_; }
    const std::string& FixMode() const { return fixMode_; }
    int32_t FixDim() const { return fixDim_; }
    uint32_t FixSatSet() const { return satSet_; }
    void GDOP(double& hdop, double& vdop, double& pdop) const;

    // Which talkers are decoded: ndGP the GP talker only, as a classic GPS
    // receiver (and GSV only as GPGSV); ndGNSS RMC, GGA, GSA and GSV of every
    // two-letter talker, with the RMC mode indicator "N" meaning no fix, the
    // RTK quality names, and consecutive GSA lines read as one group.
    TNmeaDialect Dialect() const { return dialect_; }
    void SetDialect(TNmeaDialect v) { dialect_ = v; }
    // The satellites used in the fix (the union of the last GSA group; in
    // ndGP the last GPGSA) and the satellites in view (from complete GSV
    // groups), both sorted. Silence empties both.
    const TSatelliteIdList& UsedSatellites() const { return usedSatellites_; }
    const TSatelliteList& SatellitesInView() const { return satellitesInView_.List(); }

  private:
    TSentenceKind KindOf(const std::string& id) const;
    // Adds received characters to LineBuffer: a "$" starts a new line, line
    // feeds are dropped, and beyond kMaxLineLength the line is marked overflowed.
    // Returns the offset of the "$" that started a new line, or kNoDollar.
    size_t AppendChars(const char* p, size_t n);
    static constexpr size_t kNoDollar = static_cast<size_t>(-1);
    // Processes the line; false when a listener destroyed the decoder.
    bool ProcessLine(std::string_view line, bool overflowed, bool& result);
    bool DecodeRMC();
    bool DecodeGGA();
    bool DecodeGSA(size_t fieldCount);
    bool DecodeGSV(size_t fieldCount);
    void NameSentenceInError();
    uint32_t SatelliteClockMs() const;
    // Calls f on each listener while the decoder lives; false when it went.
    template <typename F>
    bool Notify(F&& f);

    std::vector<TNmeaListener*> listeners_;
    // Expires with the decoder, so a listener that destroys it ends the calls.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    std::function<uint32_t()> satelliteClock_;

    TArrivalTime lineArrival_;
    TArrivalTime fixArrival_;      // of the GPRMC that set UTCTime
    double clockTime_ = 0.0;       // UTCTime of the last GPRMC that decoded whole
    TArrivalTime clockArrival_;    // and the arrival of its line
    int32_t reportedQuality_ = 0;  // FixQuality as the reports last said it
    int32_t reportedDim_ = 0;      // FixDim as the reports last said it

    std::string lineBuffer_;
    bool lineOverflowed_ = false;
    std::string nmeaSentence_;
    TDataArray fields_;
    std::string errorText_;

    bool fixValid_ = false;
    double utcTime_ = 0.0;
    double latDeg_ = 0.0;
    double lonDeg_ = 0.0;
    double speedKnots_ = 0.0;
    double cog_ = 0.0;
    bool hasMagVar_ = false;
    double magVar_ = 0.0;
    int32_t fixQuality_ = 0;
    int32_t fixSatCount_ = 0;
    double rawAltitude_ = 0.0;
    char altUnits_ = '\0';
    bool hasGeoidDelta_ = false;
    double geoidDelta_ = 0.0;
    char deltaUnits_ = '\0';
    bool isDGPS_ = false;
    double ageDGPS_ = 0.0;
    std::string stnDGPS_;
    std::string fixMode_;
    int32_t fixDim_ = 0;
    uint32_t satSet_ = 0;
    double pdop_ = 0.0;
    double hdop_ = 0.0;
    double vdop_ = 0.0;

    TNmeaDialect dialect_ = TNmeaDialect::ndGP;
    TSatelliteIdList usedSatellites_;
    TSatellitesInView satellitesInView_;
    bool gsaGroupOpen_ = false;  // the last accepted line was a GSA (ndGNSS groups)
};

}  // namespace gps
