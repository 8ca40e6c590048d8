#include "toolkit/Timer.h"

namespace tk {

namespace {

// The one timer of a timer component's window.
constexpr uintptr_t kTimerId = 1;

}  // namespace

TTimer::TTimer(TComponent* owner) : TComponent(owner) {
    window_ = CreateNotifyWindow("PalmoTimerWindow",
                                 [this](TWindowHandle, uint32_t msg, TWParam wParam, TLParam) {
                                     if (msg == kMsgTimer && wParam == kTimerId) {
                                         Fire();
                                     }
                                     return TLResult{0};
                                 });
    Update();
}

TTimer::~TTimer() {
    if (window_ != 0) {
        StopWindowTimer(window_, kTimerId);
        DestroyNotifyWindow(window_);
    }
}

void TTimer::SetInterval(uint32_t ms) {
    if (ms == interval_) {
        return;
    }
    interval_ = ms;
    Update();
}

void TTimer::SetEnabled(bool on) {
    if (on == enabled_) {
        return;
    }
    enabled_ = on;
    Update();
}

void TTimer::Update() {
    if (window_ == 0) {
        return;
    }
    StopWindowTimer(window_, kTimerId);
    if (enabled_ && interval_ != 0) {
        StartWindowTimer(window_, kTimerId, interval_);
    }
}

void TTimer::Fire() {
    // A firing taken from the queue just before the timer stopped is dropped.
    if (enabled_ && interval_ != 0 && OnTimer) {
        OnTimer(*this);
    }
}

}  // namespace tk
