#include "toolkit/Timer.h"

#include "toolkit/Clock.h"

namespace tk {

namespace {

// The one timer of a timer component's window.
constexpr uintptr_t kTimerId = 1;
// Asks a timer's window, left behind by a timer destroyed on another
// thread, to stop and go on its own thread.
constexpr uint32_t kMsgTimerRelease = kMsgUser + 0x7F0;

}  // namespace

TTimer::TTimer(TComponent* owner)
    : TComponent(owner), self_(std::make_shared<std::atomic<TTimer*>>(this)) {
    window_ = CreateNotifyWindow(
        "PalmoTimerWindow",
        [link = self_](TWindowHandle window, uint32_t msg, TWParam wParam, TLParam) {
            if (msg == kMsgTimer && wParam == kTimerId) {
                if (TTimer* timer = link->load()) {
                    timer->Fire();
                }
            } else if (msg == kMsgTimerRelease && link->load() == nullptr) {
                StopWindowTimer(window, kTimerId);
                DestroyNotifyWindow(window);
            }
            return TLResult{0};
        });
    Update();
}

TTimer::~TTimer() {
    self_->store(nullptr);
    if (window_ != 0) {
        StopWindowTimer(window_, kTimerId);
        if (!DestroyNotifyWindow(window_)) {
            // Not the window's thread: that thread lets it go when it next
            // serves its messages (the posted request goes before any firing).
            PostToWindow(window_, kMsgTimerRelease, 0, 0);
        }
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

void TTimer::Restart() {
    if (!enabled_) {
        SetEnabled(true);
        return;
    }
    restartMs_ = MonotonicMs();
    restarted_ = true;
}

void TTimer::Update() {
    restarted_ = false;
    shortened_ = false;
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
    if (!enabled_ || interval_ == 0) {
        return;
    }
    if (restarted_) {
        // Restarted while counting: fire only once the interval has passed
        // since the restart.
        restarted_ = false;
        const uint32_t since = MonotonicMs() - restartMs_;
        if (since < interval_) {
            StartWindowTimer(window_, kTimerId, interval_ - since);
            shortened_ = true;
            return;
        }
    }
    if (shortened_) {
        StartWindowTimer(window_, kTimerId, interval_);
        shortened_ = false;
    }
    if (OnTimer) {
        OnTimer(*this);
    }
}

}  // namespace tk
