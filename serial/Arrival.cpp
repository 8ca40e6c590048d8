#include "serial/Arrival.h"

#include "toolkit/Clock.h"
#include "toolkit/SystemClock.h"

TArrivalTime TArrivalTime::Now() {
    TArrivalTime t;
    t.MonoUs = tk::MonotonicUs();
    t.Utc = tk::UtcNowDayCount();
    return t;
}
