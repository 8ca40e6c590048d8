// Waiting in tests: serving the test thread's messages, or polling.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "toolkit/Clock.h"
#include "toolkit/Messages.h"
#include "toolkit/Sync.h"
#include "toolkit/Timer.h"

namespace testsupport {

// Serves the calling thread's messages until done() holds; false once
// timeoutMs have passed without it.
inline bool PumpUntil(const std::function<bool()>& done, uint32_t timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        tk::TMessage m;
        while (tk::TakeMessage(m)) {
            tk::DispatchTaken(m);
        }
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        tk::WaitForMessage(5);
    }
}

// Serves the calling thread's messages until a timer of its own, started
// now with an interval of ms, has fired. The queue hands out the earliest
// due timer first, so every timer of this thread that is due before it has
// had its turn by then, however late the thread got to them: a way to show
// that a timer did not fire (or stopped) that a slow machine cannot fool.
// False when the timer could not start or did not fire within timeoutMs.
inline bool PumpPastTimers(uint32_t ms, uint32_t timeoutMs = 60000) {
    bool fired = false;
    const tk::TWindowHandle window = tk::CreateNotifyWindow(
        "PalmoTestFence",
        [&](tk::TWindowHandle, uint32_t msg, tk::TWParam, tk::TLParam) -> tk::TLResult {
            fired = fired || msg == tk::kMsgTimer;
            return 0;
        });
    const bool ok = window != 0 && tk::StartWindowTimer(window, 1, ms) &&
                    PumpUntil([&] { return fired; }, timeoutMs);
    if (window != 0) {
        tk::StopWindowTimer(window, 1);
        tk::DestroyNotifyWindow(window);
    }
    return ok;
}

// Polls a condition every millisecond, without serving messages, until it
// holds; false once ms have passed without it.
template <typename F>
bool Eventually(F cond, uint32_t ms = 5000) {
    const uint32_t start = tk::MonotonicMs();
    while (!cond()) {
        if (tk::MonotonicMs() - start > ms) {
            return false;
        }
        tk::Sleep(1);
    }
    return true;
}

}  // namespace testsupport
