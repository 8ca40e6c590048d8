#include "gps/GPS.h"

#include <exception>

#include "PalmoVersion.h"
#include "serial/ComPort.h"
#include "toolkit/Calendar.h"
#include "toolkit/Clock.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/Sound.h"
#include "toolkit/SystemClock.h"
#include "toolkit/Timer.h"

namespace gps {

namespace {

constexpr double kRadPerDeg = 0.017453292519943295;
constexpr double kMphPerKnot = 1.150779;
constexpr double kKmhPerKnot = 1.852;
constexpr double kFeetPerMetre = 3.2808;
constexpr int32_t kReceiverBaud = 4800;

}  // namespace

void FixLossBeep() {
    tk::TSound& sound = tk::CurrentSound();
    sound.Beep(750, 500);
    sound.Pause(25);
    sound.Beep(1000, 700);
    sound.Pause(25);
    sound.Beep(750, 500);
}

TGPS::TGPS(tk::TComponent* owner) : tk::TComponent(owner), version_(palmo::kVersion) {
    decoder_.AddListener(this);
    decoder_.SetSatelliteClock([this] { return SatelliteClockMs(); });
    // Both are freed with the receiver by the component model.
    comPort_ = new TRirComPort(this);
    comPort_->SetBaud(kReceiverBaud);
    comPort_->SetOnTriggerAvail(
        [this](TRirCustomComPort& cp, uint16_t count) { PortTriggerAvail(cp, count); });
    lossTimer_ = new tk::TTimer(this);
    lossTimer_->SetInterval(static_cast<uint32_t>(comTimeOut_));
    lossTimer_->OnTimer = [this](tk::TComponent&) { LossTimerFired(); };
    lossTimer_->SetEnabled(true);
}

TGPS::~TGPS() {
    lossTimer_->SetEnabled(false);
    lossTimer_->OnTimer = nullptr;
    try {
        comPort_->SetOpen(false);
    } catch (...) {
        // A trace or log dump that cannot be written must not stop the receiver going.
        tk::ShowCurrentException();
    }
    comPort_->SetOnTriggerAvail(nullptr);
}

uint16_t TGPS::ComNumber() const {
    return comPort_->ComNumber();
}

void TGPS::SetComNumber(uint16_t v) {
    if (v == comPort_->ComNumber()) {
        return;
    }
    if (comPort_->Open()) {
        comPort_->SetOpen(false);
        comPort_->SetComNumber(v);
        comPort_->SetOpen(true);
    } else {
        comPort_->SetComNumber(v);
    }
}

int32_t TGPS::ComBaud() const {
    return comPort_->Baud();
}

void TGPS::SetComBaud(int32_t v) {
    if (v != comPort_->Baud()) {
        comPort_->SetBaud(v);
    }
}

bool TGPS::ComOpen() const {
    return comPort_->Open();
}

void TGPS::SetComOpen(bool v) {
    if (v != comPort_->Open()) {
        comPort_->SetOpen(v);
    }
}

void TGPS::SetComTimeOut(int32_t v) {
    if (v == comTimeOut_) {
        return;
    }
    comTimeOut_ = v;
    // A negative time-out counts as none: the timer never fires.
    lossTimer_->SetInterval(v > 0 ? static_cast<uint32_t>(v) : 0);
}

void TGPS::SendStr(const std::string& s) {
    if (comPort_->Open()) {
        comPort_->SendString(s);
    }
}

void TGPS::RestartLossTimer() {
    lossTimer_->Restart();
}

void TGPS::PlayFixLossBeep() {
    FixLossBeep();
}

void TGPS::PlayErrorBeep() {
    tk::CurrentSound().SystemBeep();
}

uint32_t TGPS::SatelliteClockMs() const {
    return tk::MonotonicMs();
}

void TGPS::LossTimerFired() {
    lossTimer_->SetEnabled(false);
    silent_ = true;
    // A silent receiver sees no satellites; OnComLoss follows.
    decoder_.Silence();
}

void TGPS::Silence(const TNmeaDecoder&) {
    if (OnComLoss) {
        OnComLoss(*this);
    }
}

bool TGPS::SetSysClock() {
    return SetClock(false);
}

bool TGPS::SetLocalClock() {
    return SetClock(true);
}

bool TGPS::GPSNow(double& utc) const {
    // The time of the last GPRMC is only as good as it is fresh: a silent
    // receiver gives none, and a live one is moved on by the time since the
    // line came off the port. A fix that no whole GPRMC dated (0, or -1 for
    // a date that did not decode) gives none either, nor a line whose
    // arrival is not known.
    const TArrivalTime& arrival = decoder_.ClockArrival();
    if (!decoder_.FixValid() || silent_ || !(decoder_.ClockTime() > 0.0) || !arrival.Known()) {
        return false;
    }
    const uint64_t elapsedUs = tk::MonotonicUs() - arrival.MonoUs;
    utc = decoder_.ClockTime() +
          (static_cast<double>(elapsedUs) / 1000.0 + clockOffsetMs_) / tk::kMsPerDay;
    return true;
}

bool TGPS::SetClock(bool local) {
    double now = 0.0;
    tk::TClockFields fields;
    if (!GPSNow(now) || !tk::ClockFieldsFromDayCount(now, fields)) {
        return false;
    }
    try {
        tk::TSystemClock& clock = tk::CurrentSystemClock();
        return local ? clock.SetLocalTime(fields) : clock.SetSystemTime(fields);
    } catch (...) {
        return false;
    }
}

void TGPS::PortTriggerAvail(TNmeaCharSource& CP, uint16_t Count) {
    decoder_.Feed(CP, Count);
}

bool TGPS::ProcessSentence(std::string_view line) {
    return decoder_.ProcessSentence(line);
}

void TGPS::LineProcessed(const TNmeaDecoder&, const TLineReport& report) {
    RestartLossTimer();
    silent_ = false;
    // A handler that frees the receiver ends the events of the line.
    const std::weak_ptr<char> alive = alive_;
    const auto freed = [&alive] { return alive.expired(); };
    if (report.FixLost) {
        if (OnFixLoss) {
            OnFixLoss(*this);
            if (freed()) {
                return;
            }
        }
        if (fixLossAlarm_) {
            PlayFixLossBeep();
        }
    }
    if (!report.Result) {
        if (OnError) {
            OnError(*this, decoder_.ErrorText());
            if (freed()) {
                return;
            }
        }
        if (errorBeep_) {
            PlayErrorBeep();
        }
    }
    if (report.Result) {
        if (OnSentence) {
            OnSentence(*this, decoder_.Fields()[0], decoder_.Fields());
            if (freed()) {
                return;
            }
        }
        // The line's own report decides the valid-fix event, whatever the
        // handlers raised before it do to the receiver.
        if (report.ValidFix && decoder_.FixValid() && OnValidFix) {
            const double lat = Lat();
            const double lon = Lon();
            const double sog = SOG();
            OnValidFix(*this, lat, lon, sog, COG());
            if (freed()) {
                return;
            }
        }
        if (report.ProgressChanged && OnFixProgress) {
            OnFixProgress(*this, FixDimName(FixDim()), FixDim());
            if (freed()) {
                return;
            }
        }
        if (report.QualityChanged && OnFixQuality) {
            OnFixQuality(*this, QualityName(FixQuality(), Dialect()), FixQuality());
            if (freed()) {
                return;
            }
        }
    }
    if (report.SatellitesChanged && OnSatellites) {
        OnSatellites(*this, SatellitesInView());
    }
}

namespace {

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

double TGPS::Lat() const {
    return AngleIn(posUnits_, LatDeg());
}

double TGPS::Lon() const {
    return AngleIn(posUnits_, LonDeg());
}

double TGPS::SOG() const {
    switch (units_) {
        case TUnits::Statute:
            return SpeedKnots() * kMphPerKnot;
        case TUnits::Metric:
            return SpeedKnots() * kKmhPerKnot;
        case TUnits::Nautical:
        default:
            return SpeedKnots();
    }
}

double TGPS::Altitude() const {
    if (AltUnits() == 'M' && units_ == TUnits::Metric) {
        return RawAltitude();
    }
    return RawAltitude() * kFeetPerMetre;
}

std::string TGPS::LatAsStr() const {
    if (!FixValid()) {
        return "--";
    }
    return PositionText(strFormat_, 0, LatDeg() * 3600.0);
}

std::string TGPS::LonAsStr() const {
    if (!FixValid()) {
        return "--";
    }
    return PositionText(strFormat_, 1, LonDeg() * 3600.0);
}

}  // namespace gps
