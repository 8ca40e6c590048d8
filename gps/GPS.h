// The GPS receiver component: owns a serial port and a loss-of-data timer,
// assembles NMEA lines from a character source, checks and decodes them into
// the fix state, raises the receiver events and sets the PC clock from the
// fix. Everything runs on the thread that created it (the main thread).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "gps/NMEA.h"
#include "gps/NavUtils.h"
#include "gps/Satellites.h"
#include "serial/CharSource.h"
#include "toolkit/Component.h"

class TRirComPort;

namespace tk {
class TTimer;
}

namespace gps {

// The receiver reads from any character source, the port component included.
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

// The fix-loss alarm: 750 Hz for 500 ms, a pause of 25 ms, 1000 Hz for
// 700 ms, a pause of 25 ms, 750 Hz for 500 ms, each played to its end,
// through the toolkit's sound player.
void FixLossBeep();

class TGPS;

using TNotifyEvent = std::function<void(TGPS& Sender)>;
using TRecEvent = std::function<void(TGPS& Sender, const std::string& SenID, const TDataArray& A)>;
using TFixEvent = std::function<void(TGPS& Sender, double Lat, double Lon, double SOG, double COG)>;
using TProgEvent = std::function<void(TGPS& Sender, const std::string& Progress, int32_t FixD)>;
using TQalEvent = std::function<void(TGPS& Sender, const std::string& Quality, int32_t FixQ)>;
using TErrEvent = std::function<void(TGPS& Sender, const std::string& ErrMsg)>;
using TSatEvent = std::function<void(TGPS& Sender, const TSatelliteList& Satellites)>;

class TGPS : public tk::TComponent {
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

    // Default loss time-out in milliseconds.
    static constexpr int32_t kDefaultComTimeOut = 3000;

    // Creates ComPort (Baud 4800, its OnTriggerAvail feeding PortTriggerAvail)
    // and LossTimer (ComTimeOut 3000, enabled: without lines OnComLoss comes
    // 3000 ms after construction), both owned by the receiver.
    explicit TGPS(tk::TComponent* owner = nullptr);
    // Closes the port; the owned components go with the receiver.
    ~TGPS() override;

    // The owned components.
    TRirComPort& ComPort() { return *comPort_; }
    const TRirComPort& ComPort() const { return *comPort_; }
    tk::TTimer& LossTimer() { return *lossTimer_; }
    const tk::TTimer& LossTimer() const { return *lossTimer_; }

    // The port's number, baud rate and open state. Setting ComNumber while
    // the port is open closes it, sets the number and opens it again (a
    // failed reopening leaves it closed with the new number). Failures of
    // the port (ERirException) pass through unchanged.
    uint16_t ComNumber() const;
    void SetComNumber(uint16_t v);
    int32_t ComBaud() const;
    void SetComBaud(int32_t v);
    bool ComOpen() const;
    void SetComOpen(bool v);
    // Loss time-out in milliseconds: LossTimer's interval. A different value
    // restarts a running countdown and leaves a stopped one stopped; 0 (or a
    // negative value) never fires.
    int32_t ComTimeOut() const { return comTimeOut_; }
    void SetComTimeOut(int32_t v);

    // Sends the text's bytes unchanged while the port is open; nothing
    // (and no opening) while it is closed.
    void SendStr(const std::string& s);

    // Set the PC clock (UTC, or the same fields as local time) to GPSNow.
    // False without touching the clock when there is no such time, or when
    // the system refuses; never throws.
    bool SetSysClock();
    bool SetLocalClock();
    // The GPS time now: UTCTime of the last valid GPRMC, plus the time
    // elapsed since its "$" came off the port (FixArrival), plus
    // ClockOffsetMs. False when there is no valid fix or no GPRMC time, no
    // arrival time (a line that did not come through a port), or while the
    // receiver is silent (after OnComLoss until the next line).
    bool GPSNow(double& utc) const;

    // When the "$" of the line being processed came off the port, and the
    // same of the line that set UTCTime (not known: Known() false).
    const TArrivalTime& LineArrival() const { return lineArrival_; }
    const TArrivalTime& FixArrival() const { return fixArrival_; }
    // The receiver's own output delay in milliseconds, from the start of the
    // GPS second to the "$" of its first sentence, which GPSNow adds.
    int32_t ClockOffsetMs() const { return clockOffsetMs_; }
    void SetClockOffsetMs(int32_t v) { clockOffsetMs_ = v; }

    // Whether the receiver is silent: OnComLoss came and no line since.
    bool Silent() const { return silent_; }

    // Takes exactly Count characters from CP: "$" starts a new line, line
    // feeds are dropped, a carriage return while CP is open processes the
    // line (which stays in LineBuffer until the next "$").
    void PortTriggerAvail(TNmeaCharSource& CP, uint16_t Count);

    // Processes one completed line: checksum test, split, decode, events.
    // True when the line passed and its decoder (if any) succeeded.
    bool ProcessSentence(std::string_view line);

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
    double SpeedKnots() const { return speedKnots_; }
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
    // The satellites used in the fix: bit n for satellite number n.
    uint32_t FixSatSet() const { return satSet_; }
    // Horizontal, vertical and position dilution of precision, in that order.
    void GDOP(double& hdop, double& vdop, double& pdop) const;

    // The fix in the units asked for.
    double Lat() const;
    double Lon() const;
    double SOG() const;
    double COG() const { return cog_; }  // degrees as received
    double Altitude() const;
    std::string LatAsStr() const;
    std::string LonAsStr() const;

    TUnits Units() const { return units_; }
    void SetUnits(TUnits v) { units_ = v; }
    TStrFormat StrFormat() const { return strFormat_; }
    void SetStrFormat(TStrFormat v) { strFormat_ = v; }
    TFloatUnits PosUnits() const { return posUnits_; }
    void SetPosUnits(TFloatUnits v) { posUnits_ = v; }
    bool FixLossAlarm() const { return fixLossAlarm_; }
    void SetFixLossAlarm(bool v) { fixLossAlarm_ = v; }
    bool ErrorBeep() const { return errorBeep_; }
    void SetErrorBeep(bool v) { errorBeep_ = v; }
    // Which talkers are decoded: ndGP the GP talker only, as a classic GPS
    // receiver (and GSV only as GPGSV); ndGNSS RMC, GGA, GSA and GSV of every
    // two-letter talker, with the RMC mode indicator "N" meaning no fix, the
    // RTK quality names, and consecutive GSA lines read as one group.
    TNmeaDialect Dialect() const { return dialect_; }
    void SetDialect(TNmeaDialect v) { dialect_ = v; }
    // The satellites used in the fix (the union of the last GSA group; in
    // ndGP the last GPGSA) and the satellites in view (from complete GSV
    // groups), both sorted. OnComLoss empties both.
    const TSatelliteIdList& UsedSatellites() const { return usedSatellites_; }
    const TSatelliteList& SatellitesInView() const { return satellitesInView_.List(); }
    const std::string& Version() const { return version_; }
    // Writes are accepted and ignored.
    void SetVersion(const std::string&) {}

    TRecEvent OnSentence;
    TFixEvent OnValidFix;
    TNotifyEvent OnFixLoss;
    TProgEvent OnFixProgress;
    TQalEvent OnFixQuality;
    TErrEvent OnError;
    // No line for ComTimeOut milliseconds: raised once per silence.
    TNotifyEvent OnComLoss;
    // A GSV group completed: the satellites in view, after the line's other events.
    TSatEvent OnSatellites;

  protected:
    // Called first for every processed line: restarts LossTimer.
    virtual void RestartLossTimer();
    // The alarm tones after a fix loss (FixLossAlarm: FixLossBeep) and the
    // system beep after a failed line (ErrorBeep), through the toolkit's
    // sound player.
    virtual void PlayFixLossBeep();
    virtual void PlayErrorBeep();
    // The monotonic clock in milliseconds that satellites in view drop out by.
    virtual uint32_t SatelliteClockMs() const;

  private:
    void LossTimerFired();
    bool SetClock(bool local);

    // What a line's identifier asks the decoders for, in the current dialect.
    enum class TSentenceKind { Other, RMC, GGA, GSA, GSV };
    TSentenceKind KindOf(const std::string& id) const;

    // Adds received characters to LineBuffer: a "$" starts a new line, line
    // feeds are dropped, and beyond kMaxLineLength the line is marked overflowed.
    // Returns the offset of the "$" that started a new line, or kNoDollar.
    size_t AppendChars(const char* p, size_t n);
    static constexpr size_t kNoDollar = static_cast<size_t>(-1);
    bool ProcessLine(std::string_view line, bool overflowed);
    bool DecodeRMC();
    bool DecodeGGA();
    bool DecodeGSA();
    // Feeds a GSV line to the satellites in view; true when a group completed.
    bool DecodeGSV(size_t fieldCount);
    void NameSentenceInError();
    void RaiseEvents(bool result, bool isRmc, bool wasValid, int32_t oldQuality, int32_t oldDim);

    TRirComPort* comPort_ = nullptr;   // owned through the component model
    tk::TTimer* lossTimer_ = nullptr;  // owned through the component model
    int32_t comTimeOut_ = kDefaultComTimeOut;
    bool silent_ = false;
    TArrivalTime lineArrival_;
    TArrivalTime fixArrival_;  // of the GPRMC that set UTCTime
    int32_t clockOffsetMs_ = 0;

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

    TUnits units_ = TUnits::Nautical;
    TStrFormat strFormat_ = TStrFormat::DDMMSS;
    TFloatUnits posUnits_ = TFloatUnits::Deg;
    bool fixLossAlarm_ = false;
    bool errorBeep_ = false;
    std::string version_;  // the program's version, set at construction
    TNmeaDialect dialect_ = TNmeaDialect::ndGP;
    TSatelliteIdList usedSatellites_;
    TSatellitesInView satellitesInView_;
    bool gsaGroupOpen_ = false;  // the last accepted line was a GSA (ndGNSS groups)
};

}  // namespace gps
