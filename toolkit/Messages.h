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
// (registered on first use on Windows). Returns 0 on failure. The procedure
// receives kMsgTimer and every message from kMsgUser up; lower numbers are
// the system's own and do not reach it. When the owner thread ends, its
// windows are destroyed with it.
TWindowHandle CreateNotifyWindow(const char* className, TWindowProc proc);
// Destroys a window of the calling thread (false for another thread's window);
// messages still queued for it are dropped and sends waiting for it fail.
bool DestroyNotifyWindow(TWindowHandle window);
bool IsWindowAlive(TWindowHandle window);

// Queues a message for the window's owner thread. False when the window is gone.
bool PostToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam);

// Sends a message and waits until the owner thread has run the procedure.
// Called on the owner thread, runs the procedure directly. Returns false when
// the window is gone (or its thread ends) or the time-out elapsed before the
// owner took the message; a message that timed out is never delivered
// afterwards. Once the owner has begun to run the procedure the send waits
// for it to return and reports true, so true means delivered and false means
// not delivered, exactly. While it waits, the sender serves messages sent to
// its own windows (two threads sending to each other do not deadlock).
bool SendToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam,
                  uint32_t timeoutMs, TLResult* result);

// Takes one posted message of the calling thread without waiting, serving
// pending sent messages first. False when none is waiting.
bool TakeMessage(TMessage& out);
// Runs the window procedure of a taken message (a message for no window or a
// destroyed window is dropped).
TLResult DispatchTaken(const TMessage& m);
// Waits until a posted or sent message is waiting for the calling thread, or
// the time-out elapses. Sent messages are served inside the wait. True when a
// posted message (or a quit request) is waiting or sent messages were served,
// so a pumping loop can look at its condition again; false on time-out.
bool WaitForMessage(uint32_t timeoutMs);

// Asks the calling thread's loop to end with the exit code: TakeMessage
// returns kMsgQuit (window 0, the exit code in wParam) once no posted message
// is waiting, as Win32 does. A later request replaces the exit code.
void PostQuitMessage(int exitCode);

// The thread that started the program: the first to call MarkMainThread, or
// else the thread that ran the program's static initialisation.
void MarkMainThread();
ThreadId MainThreadId();
bool IsMainThread();

}  // namespace tk
