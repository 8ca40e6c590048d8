// The GPS receiver component: owns a serial port, a loss-of-data timer and
// an NMEA decoder, feeds the decoder what the port receives, raises the
// receiver events for what each line did and sets the PC clock from the
// fix. Everything runs on the thread that created it (the main thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "gps/FixUnits.h"
#include "gps/LineEvents.h"
#include "gps/NmeaDecoder.h"
#include "toolkit/Component.h"

class TRirComPort;

namespace tk {
class TTimer;
}

namespace gps {

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

class TGPS : public tk::TComponent, private TNmeaListener, private TLineEventSink {
  public:
    // Longest line kept in LineBuffer (the decoder's limit).
    static constexpr size_t kMaxLineLength = TNmeaDecoder::kMaxLineLength;

    // Error texts of a line.
    static inline const std::string& kChecksumFailed = TNmeaDecoder::kChecksumFailed;
    static inline const std::string& kLineTooLong = TNmeaDecoder::kLineTooLong;
    static inline const std::string& kRmcInvalid = TNmeaDecoder::kRmcInvalid;
    static inline const std::string& kGgaInvalid = TNmeaDecoder::kGgaInvalid;
    static inline const std::string& kGsaInvalid = TNmeaDecoder::kGsaInvalid;

    // Default loss time-out in milliseconds.
    static constexpr int32_t kDefaultComTimeOut = 3000;

    // Creates ComPort (Baud 4800, its OnTriggerAvail feeding PortTriggerAvail)
    // and LossTimer (ComTimeOut 3000, enabled: without lines OnComLoss comes
    // 3000 ms after construction), both owned by the receiver.
    explicit TGPS(tk::TComponent* owner = nullptr);
    // Closes the port; the owned components go with the receiver.
    ~TGPS() override;

    // The owned components, and the decoder that listeners attach to.
    TNmeaDecoder& Decoder() { return decoder_; }
    const TNmeaDecoder& Decoder() const { return decoder_; }
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
    // The GPS time now: ClockTime (UTCTime of the last valid GPRMC that
    // decoded whole), plus the time elapsed since its "$" came off the port, plus
    // ClockOffsetMs. False when there is no valid fix or no GPRMC time, no
    // arrival time (a line that did not come through a port), or while the
    // receiver is silent (after OnComLoss until the next line).
    bool GPSNow(double& utc) const;

    // When the "$" of the line being processed came off the port, and the
    // same of the line that set UTCTime (not known: Known() false).
    const TArrivalTime& LineArrival() const { return decoder_.LineArrival(); }
    const TArrivalTime& FixArrival() const { return decoder_.FixArrival(); }
    // The receiver's own output delay in milliseconds, from the start of the
    // GPS second to the "$" of its first sentence, which GPSNow adds.
    int32_t ClockOffsetMs() const { return clockOffsetMs_; }
    void SetClockOffsetMs(int32_t v) { clockOffsetMs_ = v; }

    // The UTC time the clock functions start from: UTCTime of the last valid
    // GPRMC that decoded whole (a line that failed leaves it) with the
    // fraction of its second, 0 before any.
    double ClockTime() const { return decoder_.ClockTime(); }

    // Whether the receiver is silent: OnComLoss came and no line since.
    bool Silent() const { return silent_; }

    // Takes exactly Count characters from CP: "$" starts a new line, line
    // feeds are dropped, a carriage return while CP is open processes the
    // line and empties LineBuffer (a CR with nothing before it, such as the
    // second of CR CR LF, is ignored).
    void PortTriggerAvail(TNmeaCharSource& CP, uint16_t Count);

    // Processes one completed line: checksum test, split, decode, events.
    // True when the line passed and its decoder (if any) succeeded.
    bool ProcessSentence(std::string_view line);

    // Line assembly and the last accepted line.
    const std::string& LineBuffer() const { return decoder_.LineBuffer(); }
    const std::string& NmeaSentence() const { return decoder_.NmeaSentence(); }
    const TDataArray& Fields() const { return decoder_.Fields(); }
    const std::string& ErrorText() const { return decoder_.ErrorText(); }

    // Fix state as received.
    bool FixValid() const { return decoder_.FixValid(); }
    double UTCTime() const { return decoder_.UTCTime(); }
    double LatDeg() const { return decoder_.LatDeg(); }
    double LonDeg() const { return decoder_.LonDeg(); }
    double SpeedKnots() const { return decoder_.SpeedKnots(); }
    bool HasMagVar() const { return decoder_.HasMagVar(); }
    double MagVar() const { return decoder_.MagVar(); }
    int32_t FixQuality() const { return decoder_.FixQuality(); }
    int32_t FixSatCount() const { return decoder_.FixSatCount(); }
    double RawAltitude() const { return decoder_.RawAltitude(); }
    char AltUnits() const { return decoder_.AltUnits(); }
    bool HasGeoidDelta() const { return decoder_.HasGeoidDelta(); }
    double GeoidDelta() const { return decoder_.GeoidDelta(); }
    char DeltaUnits() const { return decoder_.DeltaUnits(); }
    bool IsDGPS() const { return decoder_.IsDGPS(); }
    double AgeDGPS() const { return decoder_.AgeDGPS(); }
    const std::string& StnDGPS() const { return decoder_.StnDGPS(); }
    const std::string& FixMode() const { return decoder_.FixMode(); }
    int32_t FixDim() const { return decoder_.FixDim(); }
    // The satellites used in the fix: bit n for satellite number n.
    uint32_t FixSatSet() const { return decoder_.FixSatSet(); }
    // Horizontal, vertical and position dilution of precision, in that order.
    void GDOP(double& hdop, double& vdop, double& pdop) const { decoder_.GDOP(hdop, vdop, pdop); }

    // The fix in the units asked for.
    double Lat() const;
    double Lon() const;
    // Speed in Units and course in degrees as received; NaN when not known.
    double SOG() const;
    double COG() const { return decoder_.COG(); }
    double Altitude() const;
    std::string LatAsStr() const;
    std::string LonAsStr() const;

    TUnits Units() const { return fixUnits_.Units; }
    void SetUnits(TUnits v) { fixUnits_.Units = v; }
    TStrFormat StrFormat() const { return fixUnits_.StrFormat; }
    void SetStrFormat(TStrFormat v) { fixUnits_.StrFormat = v; }
    TFloatUnits PosUnits() const { return fixUnits_.PosUnits; }
    void SetPosUnits(TFloatUnits v) { fixUnits_.PosUnits = v; }
    // The three together, as gpscat's writers take them.
    const TFixUnits& FixUnits() const { return fixUnits_; }
    bool FixLossAlarm() const { return fixLossAlarm_; }
    void SetFixLossAlarm(bool v) { fixLossAlarm_ = v; }
    bool ErrorBeep() const { return errorBeep_; }
    void SetErrorBeep(bool v) { errorBeep_ = v; }
    // Which talkers are decoded: ndGP the GP talker only, as a classic GPS
    // receiver (and GSV only as GPGSV); ndGNSS RMC, GGA, GSA and GSV of every
    // two-letter talker, with the RMC mode indicator "N" meaning no fix, the
    // RTK quality names, and consecutive GSA lines read as one group.
    TNmeaDialect Dialect() const { return decoder_.Dialect(); }
    void SetDialect(TNmeaDialect v) { decoder_.SetDialect(v); }
    // The satellites used in the fix (the union of the last GSA group; in
    // ndGP the last GPGSA) and the satellites in view (from complete GSV
    // groups), both sorted. OnComLoss empties both.
    const TSatelliteIdList& UsedSatellites() const { return decoder_.UsedSatellites(); }
    const TSatelliteList& SatellitesInView() const { return decoder_.SatellitesInView(); }
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
    // The decoder's reports turned into the receiver's events.
    void LineProcessed(const TNmeaDecoder& decoder, const TLineReport& report) override;
    void Silence(const TNmeaDecoder& decoder) override;
    // The line's events, raised as the receiver's.
    static bool Alive(const std::weak_ptr<char>& alive);
    bool RaiseFixLoss() override;
    bool RaiseError(const std::string& message) override;
    bool RaiseSentence(const std::string& id, const TDataArray& fields) override;
    bool RaiseValidFix() override;
    bool RaiseFixProgress(const std::string& name, int32_t dim) override;
    bool RaiseFixQuality(const std::string& name, int32_t quality) override;
    void RaiseSatellites(const TSatelliteList& list) override;

    TRirComPort* comPort_ = nullptr;   // owned through the component model
    tk::TTimer* lossTimer_ = nullptr;  // owned through the component model
    int32_t comTimeOut_ = kDefaultComTimeOut;
    bool silent_ = false;
    int32_t clockOffsetMs_ = 0;

    TFixUnits fixUnits_;
    bool fixLossAlarm_ = false;
    bool errorBeep_ = false;
    std::string version_;  // the program's version, set at construction
    // Expires with the receiver, so that an event handler that frees it
    // ends the events of the line.
    std::shared_ptr<char> alive_ = std::make_shared<char>();
    TNmeaDecoder decoder_;
};

}  // namespace gps
