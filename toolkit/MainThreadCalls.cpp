#include "toolkit/MainThreadCalls.h"

#include <atomic>
#include <exception>

#include "toolkit/Messages.h"

namespace tk {

namespace {

constexpr uint32_t kMsgRunCall = kMsgUser + 0x301;

// A call in transit: the main thread runs it and keeps what it threw.
struct TCall {
    const std::function<void()>* fn = nullptr;
    std::exception_ptr error;
};

std::atomic<TWindowHandle> gCallWindow{0};

TLResult ServeCall(TWindowHandle, uint32_t msg, TWParam wParam, TLParam) {
    if (msg == kMsgRunCall) {
        auto* call = reinterpret_cast<TCall*>(wParam);
        try {
            (*call->fn)();
        } catch (...) {
            call->error = std::current_exception();
        }
    }
    return 0;
}

}  // namespace

bool PrepareMainThreadCalls() {
    if (!IsMainThread()) {
        return false;
    }
    if (gCallWindow.load() != 0 && IsWindowAlive(gCallWindow.load())) {
        return true;
    }
    const TWindowHandle w = CreateNotifyWindow("PalmoMainThreadCalls", ServeCall);
    gCallWindow = w;
    return w != 0;
}

bool RunOnMainThread(const std::function<void()>& fn, uint32_t timeoutMs) {
    if (IsMainThread()) {
        fn();
        return true;
    }
    const TWindowHandle w = gCallWindow.load();
    if (w == 0) {
        return false;
    }
    TCall call;
    call.fn = &fn;
    // A send that timed out is never delivered later, so call stays valid.
    if (!SendToWindow(w, kMsgRunCall, reinterpret_cast<TWParam>(&call), 0, timeoutMs, nullptr)) {
        return false;
    }
    if (call.error) {
        std::rethrow_exception(call.error);
    }
    return true;
}

}  // namespace tk
