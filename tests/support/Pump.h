// Serving the test thread's messages while a test waits for something.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "toolkit/Messages.h"

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

}  // namespace testsupport
