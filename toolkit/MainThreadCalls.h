// Calls that another thread runs on the main thread and waits for, served by
// the main thread whenever it takes or waits for messages (a hidden
// notification window of the main thread receives them as sent messages).
#pragma once

#include <cstdint>
#include <functional>

namespace tk {

// Makes the calling thread, which must be the main thread, ready to serve
// calls; idempotent. False on another thread or when no window can be made.
bool PrepareMainThreadCalls();

// Runs fn on the main thread and waits until it returned: directly on the
// main thread, otherwise as a sent message. False (and fn never runs) when
// the main thread is not prepared or did not take the call within timeoutMs.
// An exception that fn throws is thrown again here, on the calling thread.
bool RunOnMainThread(const std::function<void()>& fn, uint32_t timeoutMs);

}  // namespace tk
