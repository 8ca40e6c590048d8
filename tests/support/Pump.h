// Waiting in tests: serving the test thread's messages, or polling.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "toolkit/Clock.h"
#include "toolkit/Messages.h"
#include "toolkit/Sync.h"

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
