// Per-thread message queues and notification windows.
//
// A notification window belongs to the thread that created it; its procedure
// runs only on that thread. Posted messages wait in the owner's queue; a sent
// message is served by the owner while it takes or waits for messages (also
// inside a pumping wait), and the sender blocks until then or its time-out.
// On Windows these are real message-only windows and the thread's own queue;
// on POSIX the toolkit keeps the queues itself, with a descriptor that a GUI
// loop can watch.
#pragma once

#include <cstdint>
#include <functional>

#include "toolkit/Sync.h"

namespace tk {

using TWindowHandle = uintptr_t;  // 0 is no window
using TWParam = uintptr_t;
using TLParam = intptr_t;
using TLResult = intptr_t;

using TWindowProc = std::function<TLResult(TWindowHandle, uint32_t msg, TWParam, TLParam)>;

// Toolkit-level message numbers (the same values as Win32's).
constexpr uint32_t kMsgQuit = 0x0012;
constexpr uint32_t kMsgTimer = 0x0113;
constexpr uint32_t kMsgUser = 0x0400;

struct TMessage {
    TWindowHandle window = 0;
    uint32_t msg = 0;
    TWParam wParam = 0;
    TLParam lParam = 0;
};

// Creates a window owned by the calling thread; className names its class
// (registered on first use on Windows). Returns 0 on failure.
TWindowHandle CreateNotifyWindow(const char* className, TWindowProc proc);
// Destroys a window of the calling thread; messages still queued for it are dropped.
bool DestroyNotifyWindow(TWindowHandle window);
bool IsWindowAlive(TWindowHandle window);

// Queues a message for the window's owner thread. False when the window is gone.
bool PostToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam);

// Sends a message and waits until the owner thread has run the procedure.
// Called on the owner thread, runs the procedure directly. Returns false when
// the window is gone or the time-out elapsed first; a message that timed out
// is never delivered afterwards.
bool SendToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam,
                  uint32_t timeoutMs, TLResult* result);

// Takes one posted message of the calling thread without waiting, serving
// pending sent messages first. False when none is waiting.
bool TakeMessage(TMessage& out);
// Runs the window procedure of a taken message (a message for no window or a
// destroyed window is dropped).
TLResult DispatchTaken(const TMessage& m);
// Waits until a posted or sent message is waiting for the calling thread, or
// the time-out elapses (sent messages that arrive meanwhile are served). True
// when a message is waiting.
bool WaitForMessage(uint32_t timeoutMs);

// Asks the calling thread's loop to end with the exit code: queues kMsgQuit
// after the messages already posted.
void PostQuitMessage(int exitCode);
// The exit code of a quit message travels in its wParam.

// The thread that started the program (the first to call MarkMainThread, or
// the first to use the toolkit's queues).
void MarkMainThread();
ThreadId MainThreadId();
bool IsMainThread();

}  // namespace tk
