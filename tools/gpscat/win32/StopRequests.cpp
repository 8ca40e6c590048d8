// The console control handler runs on a thread of its own, where posting to
// the main loop's window is allowed. For the console's closing, log-off and
// shut-down Windows ends the process once the handler returns, so the
// handler waits (a few seconds at most) until the loop has closed the port.
#include "tools/gpscat/StopRequests.h"

#include <windows.h>

#include <atomic>

namespace gpscat {

namespace {

std::atomic<tk::TWindowHandle> stopWindow{0};
std::atomic<uint32_t> stopMsg{0};
// Made once and never closed: a handler may still wait on it as the program ends.
HANDLE finished = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            tk::PostToWindow(stopWindow.load(), stopMsg.load(), 0, 0);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            tk::PostToWindow(stopWindow.load(), stopMsg.load(), 0, 0);
            if (finished != nullptr) {
                WaitForSingleObject(finished, 4000);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

struct TStopRequests::TState {};

TStopRequests::TStopRequests(tk::TWindowHandle window, uint32_t msg)
    : state_(std::make_unique<TState>()) {
    stopWindow = window;
    stopMsg = msg;
    if (finished == nullptr) {
        finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } else {
        ResetEvent(finished);
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

TStopRequests::~TStopRequests() {
    stopWindow = 0;
    if (finished != nullptr) {
        SetEvent(finished);
    }
    SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

}  // namespace gpscat
