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

void TGPS::LineProcessed(const TNmeaDecoder& decoder, const TLineReport& report) {
    RestartLossTimer();
    silent_ = false;
    RaiseLineEvents(decoder, report, *this);
}

bool TGPS::Alive(const std::weak_ptr<char>& alive) {
    return !alive.expired();
}

bool TGPS::RaiseFixLoss() {
    const std::weak_ptr<char> alive = alive_;
    if (OnFixLoss) {
        OnFixLoss(*this);
        if (!Alive(alive)) {
            return false;
        }
    }
    if (fixLossAlarm_) {
        PlayFixLossBeep();
    }
    return true;
}

bool TGPS::RaiseError(const std::string& message) {
    const std::weak_ptr<char> alive = alive_;
    if (OnError) {
        OnError(*this, message);
        if (!Alive(alive)) {
            return false;
        }
    }
    if (errorBeep_) {
        PlayErrorBeep();
    }
    return true;
}

bool TGPS::RaiseSentence(const std::string& id, const TDataArray& fields) {
    const std::weak_ptr<char> alive = alive_;
    if (OnSentence) {
        OnSentence(*this, id, fields);
    }
    return Alive(alive);
}

bool TGPS::RaiseValidFix() {
    const std::weak_ptr<char> alive = alive_;
    // A handler before this one may have changed the units: read them now.
    if (FixValid() && OnValidFix) {
        const double lat = Lat();
        const double lon = Lon();
        const double sog = SOG();
        OnValidFix(*this, lat, lon, sog, COG());
    }
    return Alive(alive);
}

bool TGPS::RaiseFixProgress(const std::string& name, int32_t dim) {
    const std::weak_ptr<char> alive = alive_;
    if (OnFixProgress) {
        OnFixProgress(*this, name, dim);
    }
    return Alive(alive);
}

bool TGPS::RaiseFixQuality(const std::string& name, int32_t quality) {
    const std::weak_ptr<char> alive = alive_;
    if (OnFixQuality) {
        OnFixQuality(*this, name, quality);
    }
    return Alive(alive);
}

void TGPS::RaiseSatellites(const TSatelliteList& list) {
    if (OnSatellites) {
        OnSatellites(*this, list);
    }
}

double TGPS::Lat() const {
    return fixUnits_.Lat(decoder_);
}

double TGPS::Lon() const {
    return fixUnits_.Lon(decoder_);
}

double TGPS::SOG() const {
    return fixUnits_.SOG(decoder_);
}

double TGPS::Altitude() const {
    return fixUnits_.Altitude(decoder_);
}

std::string TGPS::LatAsStr() const {
    return fixUnits_.LatAsStr(decoder_);
}

std::string TGPS::LonAsStr() const {
    return fixUnits_.LonAsStr(decoder_);
}

}  // namespace gps
