// Window timers as the system's own: WM_TIMER reaches the window procedure
// through the notification window's wrapper.
#include <windows.h>

#include "toolkit/Timer.h"

namespace tk {

namespace {

// A window of the calling thread.
HWND OwnWindow(TWindowHandle window) {
    const HWND hwnd = reinterpret_cast<HWND>(window);
    if (!IsWindowAlive(window) || GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId()) {
        return nullptr;
    }
    return hwnd;
}

}  // namespace

bool StartWindowTimer(TWindowHandle window, uintptr_t id, uint32_t intervalMs) {
    const HWND hwnd = OwnWindow(window);
    if (!hwnd || intervalMs == 0) {
        return false;
    }
    return SetTimer(hwnd, id, intervalMs, nullptr) != 0;
}

bool StopWindowTimer(TWindowHandle window, uintptr_t id) {
    const HWND hwnd = OwnWindow(window);
    return hwnd && KillTimer(hwnd, id) != 0;
}

}  // namespace tk
