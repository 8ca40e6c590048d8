// The serial library's millisecond clock, its coarse 55 ms tick timer and a
// one-message pump for threads that wait on worker threads.
#pragma once

#include <cstdint>

// Milliseconds from the monotonic clock; wraps around at 2^32.
uint32_t MillisecondClock();

// One tick of an EventTimer, in milliseconds of MillisecondClock.
constexpr uint32_t kEventTimerTickMs = 55;
// The longest timer, in ticks: half the tick counter's range, so that the
// time since the start stays unambiguous across the clock's wrap-around.
constexpr int32_t kMaxEventTimerTicks = 39045157;
// Distinct values of the tick counter (MillisecondClock / 55) before it wraps
// to 0 together with the millisecond clock.
constexpr uint32_t kEventTimerTickRange = 0xFFFFFFFFu / kEventTimerTickMs + 1;

// A tick timer: the tick it was started at and the tick after which it has run out.
struct EventTimer {
    int32_t start = 0;
    int32_t expiry = 0;
};

// Arms the timer for ticks ticks of 55 ms; more than kMaxEventTimerTicks counts
// as kMaxEventTimerTicks.
void StartEventTimer(EventTimer& timer, int32_t ticks);
// Whether the timer has run out: once the tick counter has moved more than
// the armed number of ticks past the start (a 0-tick timer runs out at the
// next tick).
bool EventTimerExpired(const EventTimer& timer);

// The same two with the clock reading given, for callers that already hold one.
void StartEventTimerAt(EventTimer& timer, int32_t ticks, uint32_t nowMs);
bool EventTimerExpiredAt(const EventTimer& timer, uint32_t nowMs);

// Handles at most one message of the calling thread's queue and returns at
// once. A quit request it takes is made again with the same exit code, so the
// loop that owns the thread still sees it.
void PumpOneMessage();
