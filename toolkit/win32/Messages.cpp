// Notification windows as real message-only windows, with the thread's own
// Win32 message queue.
//
// A cross-thread send travels as a ticket: the sender files the message in a
// ticket table and sends a private registered message carrying the ticket's
// number. The window procedure wrapper claims the ticket (pending -> taken)
// before it runs the procedure; a sender whose time-out elapsed cancels it
// (pending -> cancelled). Both are one atomic exchange, so a send that
// SendMessageTimeoutA abandoned, and that the system still delivers later,
// finds its ticket cancelled and never reaches the procedure.
//
// Exceptions from a procedure do not cross the system's frames: the wrapper
// keeps them and the toolkit call that led to the procedure rethrows them.
#include "toolkit/Messages.h"

#include <windows.h>

#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

namespace tk {

namespace {

enum TicketState : int { kPending, kTaken, kDone, kFailed, kCancelled };

struct Ticket {
    uint32_t msg = 0;
    TWParam wParam = 0;
    TLParam lParam = 0;
    std::atomic<int> state{kPending};
    TLResult result = 0;  // written before state becomes done
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Ticket() = default;
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    ~Ticket() {
        if (done) {
            CloseHandle(done);
        }
    }
    void Finish(int final, TLResult r) {
        result = r;
        state.store(final);
        SetEvent(done);
    }
};
using TicketPtr = std::shared_ptr<Ticket>;

struct WindowRec {
    HWND hwnd = nullptr;
    DWORD owner = 0;
    TWindowProc proc;
};
using WindowPtr = std::shared_ptr<WindowRec>;

struct State {
    std::mutex m;
    std::unordered_map<HWND, WindowPtr> windows;
    std::unordered_map<uintptr_t, TicketPtr> tickets;
    uintptr_t nextTicket = 1;
    std::set<std::string> classes;
};

State& S() {
    static State s;
    return s;
}

UINT TicketMessage() {
    static const UINT msg = RegisterWindowMessageA("PalmoToolkitSendTicket");
    return msg;
}

// Kept exceptions, by thread. Only a trivial flag is thread-local: under
// Wine a thread-local with a destructor in a thread that used the message
// functions kept the process from exiting.
std::mutex gPendingMutex;
std::unordered_map<DWORD, std::exception_ptr> gPending;
thread_local bool tHasPending = false;

void KeepException(std::exception_ptr e) {
    std::lock_guard lk(gPendingMutex);
    gPending.try_emplace(GetCurrentThreadId(), std::move(e));
    tHasPending = true;
}

void RethrowPending() {
    if (!tHasPending) {
        return;
    }
    tHasPending = false;
    std::exception_ptr e;
    {
        std::lock_guard lk(gPendingMutex);
        const auto it = gPending.find(GetCurrentThreadId());
        if (it == gPending.end()) {
            return;
        }
        e = std::move(it->second);
        gPending.erase(it);
    }
    std::rethrow_exception(e);
}

WindowPtr FindWindowRec(HWND h) {
    std::lock_guard lk(S().m);
    const auto it = S().windows.find(h);
    return it == S().windows.end() ? nullptr : it->second;
}

// The record of a window that still exists and is still the one recorded.
WindowPtr LiveWindowRec(HWND h) {
    WindowPtr w = FindWindowRec(h);
    if (!w || !IsWindow(h) || GetWindowThreadProcessId(h, nullptr) != w->owner) {
        return nullptr;
    }
    return w;
}

TicketPtr FindTicket(uintptr_t number) {
    std::lock_guard lk(S().m);
    const auto it = S().tickets.find(number);
    return it == S().tickets.end() ? nullptr : it->second;
}

bool Delivered(uint32_t msg) {
    return msg >= kMsgUser || msg == kMsgTimer;
}

// Runs a procedure, keeping an escaping exception for later.
TLResult CallGuarded(const WindowRec& w, uint32_t msg, TWParam wParam, TLParam lParam) {
    try {
        return w.proc(reinterpret_cast<TWindowHandle>(w.hwnd), msg, wParam, lParam);
    } catch (...) {
        KeepException(std::current_exception());
        return 0;
    }
}

LRESULT CALLBACK WrapperProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == TicketMessage() && msg != 0) {
        const TicketPtr t = FindTicket(wParam);
        if (!t) {
            return 0;
        }
        int expected = kPending;
        if (!t->state.compare_exchange_strong(expected, kTaken)) {
            return 0;  // cancelled by its sender: never delivered
        }
        const WindowPtr w = FindWindowRec(hwnd);
        if (!w) {
            t->Finish(kFailed, 0);
            return 0;
        }
        t->Finish(kDone, CallGuarded(*w, t->msg, t->wParam, t->lParam));
        return 0;
    }
    // The system destroys the windows of a thread that ends; a record it
    // leaves behind is never matched again (IsWindow and the owner are
    // checked) and is replaced when the handle value comes back.
    if (msg == WM_NCDESTROY) {
        WindowPtr gone;  // the procedure is destroyed outside the lock
        {
            std::lock_guard lk(S().m);
            const auto it = S().windows.find(hwnd);
            if (it != S().windows.end()) {
                gone = std::move(it->second);
                S().windows.erase(it);
            }
        }
        return DefWindowProcA(hwnd, msg, wParam, lParam);
    }
    if (Delivered(msg)) {
        if (const WindowPtr w = FindWindowRec(hwnd)) {
            return CallGuarded(*w, msg, wParam, lParam);
        }
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

std::atomic<ThreadId> gMainThread{0};
std::atomic<bool> gMainMarked{false};

// Static initialisation runs on the thread that starts the program.
const bool gMainCaptured = [] {
    gMainThread = GetCurrentThreadId();
    return true;
}();

// Serves messages sent to the calling thread until the event is set.
void WaitServingSends(HANDLE event) {
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjectsEx(1, &event, INFINITE, QS_SENDMESSAGE, 0);
        if (r != WAIT_OBJECT_0 + 1) {
            return;  // the event, or a failure that waiting again would repeat
        }
        MSG m;
        PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

}  // namespace

TWindowHandle CreateNotifyWindow(const char* className, TWindowProc proc) {
    if (!proc || !className || !*className) {
        return 0;
    }
    const HINSTANCE instance = GetModuleHandleA(nullptr);
    {
        std::lock_guard lk(S().m);
        if (!S().classes.count(className)) {
            WNDCLASSA wc{};
            wc.lpfnWndProc = WrapperProc;
            wc.hInstance = instance;
            wc.lpszClassName = className;
            if (!RegisterClassA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
                return 0;
            }
            S().classes.insert(className);
        }
    }
    (void)TicketMessage();
    const HWND hwnd =
        CreateWindowExA(0, className, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
    if (!hwnd) {
        return 0;
    }
    auto w = std::make_shared<WindowRec>();
    w->hwnd = hwnd;
    w->owner = GetCurrentThreadId();
    w->proc = std::move(proc);
    {
        std::lock_guard lk(S().m);
        S().windows.insert_or_assign(hwnd, std::move(w));
    }
    return reinterpret_cast<TWindowHandle>(hwnd);
}

bool DestroyNotifyWindow(TWindowHandle window) {
    const HWND hwnd = reinterpret_cast<HWND>(window);
    const WindowPtr w = LiveWindowRec(hwnd);
    if (!w || w->owner != GetCurrentThreadId()) {
        return false;
    }
    const bool ok = DestroyWindow(hwnd) != 0;
    RethrowPending();
    return ok;
}

bool IsWindowAlive(TWindowHandle window) {
    const HWND hwnd = reinterpret_cast<HWND>(window);
    return LiveWindowRec(hwnd) != nullptr;
}

bool PostToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam) {
    return PostMessageA(reinterpret_cast<HWND>(window), msg, wParam, lParam) != 0;
}

bool SendToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam,
                  uint32_t timeoutMs, TLResult* result) {
    const HWND hwnd = reinterpret_cast<HWND>(window);
    const WindowPtr w = LiveWindowRec(hwnd);
    if (!w) {
        return false;
    }
    if (w->owner == GetCurrentThreadId()) {
        const TLResult r = Delivered(msg) ? CallGuarded(*w, msg, wParam, lParam) : 0;
        RethrowPending();
        if (result) {
            *result = r;
        }
        return true;
    }
    auto t = std::make_shared<Ticket>();
    if (!t->done) {
        return false;
    }
    t->msg = msg;
    t->wParam = wParam;
    t->lParam = lParam;
    uintptr_t number;
    {
        std::lock_guard lk(S().m);
        number = S().nextTicket++;
        S().tickets.emplace(number, t);
    }
    if (timeoutMs == kInfinite) {
        SendMessageA(hwnd, TicketMessage(), number, 0);
    } else {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutA(hwnd, TicketMessage(), number, 0, SMTO_NORMAL, timeoutMs, &ignored);
    }
    // Whatever the system reported, the ticket says what happened.
    int expected = kPending;
    if (!t->state.compare_exchange_strong(expected, kCancelled) && expected == kTaken) {
        WaitServingSends(t->done);  // running now: its end is waited for
    }
    {
        std::lock_guard lk(S().m);
        S().tickets.erase(number);
    }
    RethrowPending();
    if (t->state.load() != kDone) {
        return false;
    }
    if (result) {
        *result = t->result;
    }
    return true;
}

bool TakeMessage(TMessage& out) {
    MSG m;
    const bool got = PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE) != 0;
    RethrowPending();
    if (!got) {
        return false;
    }
    out.window = reinterpret_cast<TWindowHandle>(m.hwnd);
    out.msg = m.message;
    out.wParam = m.wParam;
    out.lParam = m.lParam;
    return true;
}

TLResult DispatchTaken(const TMessage& m) {
    if (m.window == 0) {
        return 0;
    }
    MSG msg{};
    msg.hwnd = reinterpret_cast<HWND>(m.window);
    msg.message = m.msg;
    msg.wParam = m.wParam;
    msg.lParam = m.lParam;
    msg.time = GetMessageTime();
    TranslateMessage(&msg);
    const TLResult r = DispatchMessageA(&msg);
    RethrowPending();
    return r;
}

bool WaitForMessage(uint32_t timeoutMs) {
    MSG m;
    // A peek serves waiting sent messages and tells whether a posted one waits.
    if (PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE)) {
        RethrowPending();
        return true;
    }
    RethrowPending();
    const DWORD r =
        MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (r != WAIT_OBJECT_0) {
        return false;
    }
    PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);
    RethrowPending();
    return true;
}

void PostQuitMessage(int exitCode) {
    ::PostQuitMessage(exitCode);
}

void MarkMainThread() {
    if (!gMainMarked.exchange(true)) {
        gMainThread = GetCurrentThreadId();
    }
}

ThreadId MainThreadId() {
    (void)gMainCaptured;
    return gMainThread;
}

bool IsMainThread() {
    return GetCurrentThreadId() == MainThreadId();
}

}  // namespace tk
