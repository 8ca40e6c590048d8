#include "serial/Timing.h"

#include "toolkit/Clock.h"
#include "toolkit/Messages.h"

uint32_t MillisecondClock() {
    return tk::MonotonicMs();
}

void StartEventTimerAt(EventTimer& timer, int32_t ticks, uint32_t nowMs) {
    const int32_t now = static_cast<int32_t>(nowMs / kEventTimerTickMs);
    if (ticks > kMaxEventTimerTicks) {
        ticks = kMaxEventTimerTicks;
    }
    timer.start = now;
    timer.expiry = now + ticks;
}

bool EventTimerExpiredAt(const EventTimer& timer, uint32_t nowMs) {
    const int64_t now = nowMs / kEventTimerTickMs;
    const int64_t start = timer.start;
    // Ticks since the start, counted modulo the counter's range: a timer armed
    // shortly before the clock wraps still runs out on time after the wrap.
    const int64_t elapsed = now >= start ? now - start : now + kEventTimerTickRange - start;
    return elapsed > static_cast<int64_t>(timer.expiry) - start;
}

void StartEventTimer(EventTimer& timer, int32_t ticks) {
    StartEventTimerAt(timer, ticks, MillisecondClock());
}

bool EventTimerExpired(const EventTimer& timer) {
    return EventTimerExpiredAt(timer, MillisecondClock());
}

void PumpOneMessage() {
    tk::TMessage m;
    if (!tk::TakeMessage(m)) {
        return;
    }
    if (m.msg == tk::kMsgQuit) {
        tk::PostQuitMessage(static_cast<int>(m.wParam));
        return;
    }
    tk::DispatchTaken(m);
}
