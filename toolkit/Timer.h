// A main-thread timer component, and the window timers it is built on.
//
// A timer fires on the thread that created it, while that thread serves its
// messages (TakeMessage / DispatchTaken, WaitForMessage, or a GUI loop that
// watches MessageWakeDescriptor on POSIX): each firing is a kMsgTimer message
// for a notification window of that thread, taken like a posted message once
// no posted message waits. Firings do not pile up: a thread that is busy for
// several intervals gets one kMsgTimer when it next serves its messages.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "toolkit/Component.h"
#include "toolkit/Messages.h"

namespace tk {

// Starts (or restarts, with a new interval) timer id of a window of the
// calling thread: kMsgTimer with wParam = id reaches the window's procedure
// every intervalMs while the thread serves its messages. False for a window
// of another thread, a window that is gone, or an interval of 0.
bool StartWindowTimer(TWindowHandle window, uintptr_t id, uint32_t intervalMs);
// Stops timer id of a window of the calling thread; a firing already taken
// from the queue may still be dispatched. False when no such timer runs.
bool StopWindowTimer(TWindowHandle window, uintptr_t id);

// A timer component: OnTimer every Interval milliseconds while Enabled.
// Created and used on one thread (the one it fires on); one destroyed on
// another thread never fires again, and its window goes when the creating
// thread next serves its messages.
class TTimer : public TComponent {
  public:
    explicit TTimer(TComponent* owner);
    ~TTimer() override;

    // Milliseconds between firings (default 1000). 0 never fires. Changing it
    // on an enabled timer starts the countdown again from zero.
    uint32_t Interval() const { return interval_; }
    void SetInterval(uint32_t ms);
    // Whether the timer counts (default true). Enabling starts the countdown
    // from zero; disabling stops it.
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool on);
    // Starts the countdown again from zero, enabling a disabled timer. On an
    // enabled one it only notes the moment: a firing that comes before the
    // interval has passed since then waits out the rest instead. Cheap
    // enough for every received line.
    void Restart();

    TNotifyEvent OnTimer;

  private:
    void Update();
    void Fire();

    // The window procedure reaches the timer through this link, which the
    // destructor cuts: a window left behind (a timer destroyed on another
    // thread, which cannot destroy it) calls nothing until its own thread
    // has let it go.
    std::shared_ptr<std::atomic<TTimer*>> self_;
    TWindowHandle window_ = 0;
    uint32_t interval_ = 1000;
    bool enabled_ = true;
    bool restarted_ = false;  // Restart() since the countdown was armed
    bool shortened_ = false;  // armed for the rest of a countdown, not the interval
    uint32_t restartMs_ = 0;  // monotonic moment of the last Restart()
};

}  // namespace tk
