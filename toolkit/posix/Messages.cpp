// Per-thread message queues and notification windows, kept by the toolkit.
//
// Each thread that uses the queues gets one queue object, made on first use
// and shut down when the thread ends (a thread_local holder). Windows live
// in one process-wide table and point at their owner's queue. A sent message
// is a record queued for the owner; the sender waits on its own queue's
// condition variable, so it can serve sends addressed to itself meanwhile.
// A record's state is guarded by the sender's queue lock: the owner claims
// it (pending -> taken) and the sender cancels it at its time-out (pending ->
// cancelled) under that one lock, so a cancelled send is never delivered.
//
// Window timers live in their owner's queue: TakeMessage hands out the
// earliest due one as kMsgTimer once no posted message (or quit request)
// waits, and WaitForMessage wakes when one falls due. For an outside loop
// the wake descriptor is an epoll set of the wake pipe and a timerfd armed
// for the earliest due timer, so it turns readable for either.
//
// Locks are never nested: the window table, a queue and another queue are
// each taken alone.
#include "toolkit/Messages.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "toolkit/Timer.h"
#include "toolkit/posix/MessageQueuePosix.h"

namespace tk {

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadQueue;

enum class SendState { Pending, Taken, Done, Failed, Cancelled };

struct SendRecord {
    TWindowHandle window = 0;
    uint32_t msg = 0;
    TWParam wParam = 0;
    TLParam lParam = 0;
    std::shared_ptr<ThreadQueue> sender;
    SendState state = SendState::Pending;  // guarded by sender->m
    TLResult result = 0;                   // guarded by sender->m
};
using SendPtr = std::shared_ptr<SendRecord>;

struct TimerRec {
    TWindowHandle window = 0;
    uintptr_t id = 0;
    std::chrono::milliseconds interval{0};
    Clock::time_point due;
};

struct ThreadQueue {
    explicit ThreadQueue(ThreadId id) : owner(id) {}
    ~ThreadQueue() { CloseWake(); }

    const ThreadId owner;
    std::mutex m;
    std::condition_variable cv;
    std::deque<TMessage> posted;
    std::deque<SendPtr> sends;
    bool alive = true;
    bool quitPending = false;
    int quitCode = 0;
    int wakeRead = -1;
    int wakeWrite = -1;
    bool wakeSignalled = false;
    std::vector<TimerRec> timers;
    int timerFd = -1;  // armed for the earliest due timer while a descriptor is out
    int pollFd = -1;   // the epoll set handed out as the wake descriptor

    // Under m: something arrived for the owner.
    void Signal() {
        cv.notify_all();
        if (wakeWrite >= 0 && !wakeSignalled) {
            const char byte = 1;
            wakeSignalled = write(wakeWrite, &byte, 1) == 1;
        }
    }
    // Under m: the descriptor stops being readable once nothing waits.
    void DrainIfIdle() {
        if (!wakeSignalled || !posted.empty() || !sends.empty() || quitPending) {
            return;
        }
        char buf[16];
        while (read(wakeRead, buf, sizeof buf) > 0) {
        }
        wakeSignalled = false;
    }
    void CloseWake() {
        for (int* fd : {&wakeRead, &wakeWrite, &timerFd, &pollFd}) {
            if (*fd >= 0) {
                close(*fd);
            }
            *fd = -1;
        }
        wakeSignalled = false;
    }
    // Under m: the earliest timer, or nullptr when none runs.
    TimerRec* NextTimer() {
        const auto it =
            std::min_element(timers.begin(), timers.end(),
                             [](const TimerRec& a, const TimerRec& b) { return a.due < b.due; });
        return it == timers.end() ? nullptr : &*it;
    }
    // Under m: the earliest timer when it is due at now, else nullptr.
    TimerRec* DueTimer(Clock::time_point now) {
        TimerRec* t = NextTimer();
        return t && t->due <= now ? t : nullptr;
    }
    // Under m: arms the timerfd for the earliest timer (disarms it when none
    // runs). Arming anew also clears an expiry nobody read.
    void ArmTimerFd() {
        if (timerFd < 0) {
            return;
        }
        itimerspec due{};
        if (const TimerRec* t = NextTimer()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(t->due - Clock::now());
            const long long ns = std::max<long long>(left.count(), 1);
            due.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
            due.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        timerfd_settime(timerFd, 0, &due, nullptr);
    }
    // Under m: drops the timers of a window (all of them when id is 0 and
    // all is set); whether any went.
    bool DropTimers(TWindowHandle window, uintptr_t id, bool all) {
        const auto gone = std::erase_if(
            timers, [&](const TimerRec& t) { return t.window == window && (all || t.id == id); });
        if (gone > 0) {
            ArmTimerFd();
        }
        return gone > 0;
    }
};
using QueuePtr = std::shared_ptr<ThreadQueue>;

struct WindowRec {
    TWindowHandle handle = 0;
    ThreadId owner = 0;
    QueuePtr queue;
    TWindowProc proc;
    std::atomic<bool> alive{true};
};
using WindowPtr = std::shared_ptr<WindowRec>;

struct WindowTable {
    std::mutex m;
    std::unordered_map<TWindowHandle, WindowPtr> windows;
    TWindowHandle next = 1;
};

WindowTable& Table() {
    static WindowTable table;
    return table;
}

WindowPtr FindWindow(TWindowHandle h) {
    WindowTable& t = Table();
    std::lock_guard lk(t.m);
    const auto it = t.windows.find(h);
    return it == t.windows.end() ? nullptr : it->second;
}

void Complete(const SendPtr& r, SendState state, TLResult result) {
    std::lock_guard lk(r->sender->m);
    r->state = state;
    r->result = result;
    r->sender->cv.notify_all();
}

void FailAll(const std::vector<SendPtr>& records) {
    for (const SendPtr& r : records) {
        Complete(r, SendState::Failed, 0);
    }
}

// Ends a thread's queue: its windows go, waiting senders fail.
void ShutDown(const QueuePtr& q) {
    std::vector<SendPtr> pending;
    {
        std::lock_guard lk(q->m);
        q->alive = false;
        pending.assign(q->sends.begin(), q->sends.end());
        q->sends.clear();
        q->posted.clear();
        q->timers.clear();
        q->CloseWake();
    }
    FailAll(pending);
    std::vector<WindowPtr> gone;  // procedures are destroyed outside the table lock
    {
        WindowTable& t = Table();
        std::lock_guard lk(t.m);
        for (auto it = t.windows.begin(); it != t.windows.end();) {
            if (it->second->owner == q->owner) {
                it->second->alive = false;
                gone.push_back(std::move(it->second));
                it = t.windows.erase(it);
            } else {
                ++it;
            }
        }
    }
}

struct QueueHolder {
    QueuePtr queue;
    ~QueueHolder() {
        if (queue) {
            ShutDown(queue);
        }
    }
};

thread_local QueueHolder tQueue;

QueuePtr MyQueue() {
    if (!tQueue.queue) {
        tQueue.queue = std::make_shared<ThreadQueue>(CurrentThreadId());
    }
    return tQueue.queue;
}

TLResult CallProc(const WindowRec& w, uint32_t msg, TWParam wParam, TLParam lParam) {
    if (msg < kMsgUser && msg != kMsgTimer) {
        return 0;
    }
    return w.proc(w.handle, msg, wParam, lParam);
}

// Serves the oldest send waiting for the calling thread. False when none waits.
bool ServeOneSend(ThreadQueue& q) {
    SendPtr r;
    {
        std::lock_guard lk(q.m);
        if (q.sends.empty()) {
            return false;
        }
        r = std::move(q.sends.front());
        q.sends.pop_front();
        q.DrainIfIdle();
    }
    const WindowPtr w = FindWindow(r->window);
    if (!w || !w->alive || w->owner != q.owner) {
        Complete(r, SendState::Failed, 0);
        return true;
    }
    {
        std::lock_guard lk(r->sender->m);
        if (r->state != SendState::Pending) {
            return true;  // the sender gave up: never delivered
        }
        r->state = SendState::Taken;
    }
    TLResult result = 0;
    try {
        result = CallProc(*w, r->msg, r->wParam, r->lParam);
    } catch (...) {
        Complete(r, SendState::Done, 0);
        throw;
    }
    Complete(r, SendState::Done, result);
    return true;
}

std::atomic<ThreadId> gMainThread{0};
std::atomic<bool> gMainMarked{false};

// Static initialisation runs on the thread that starts the program.
const bool gMainCaptured = [] {
    gMainThread = CurrentThreadId();
    return true;
}();

}  // namespace

TWindowHandle CreateNotifyWindow(const char* /*className*/, TWindowProc proc) {
    if (!proc) {
        return 0;
    }
    auto w = std::make_shared<WindowRec>();
    w->owner = CurrentThreadId();
    w->queue = MyQueue();
    w->proc = std::move(proc);
    WindowTable& t = Table();
    std::lock_guard lk(t.m);
    w->handle = t.next++;
    t.windows.emplace(w->handle, w);
    return w->handle;
}

bool DestroyNotifyWindow(TWindowHandle window) {
    WindowPtr w;
    {
        WindowTable& t = Table();
        std::lock_guard lk(t.m);
        const auto it = t.windows.find(window);
        if (it == t.windows.end() || it->second->owner != CurrentThreadId()) {
            return false;
        }
        w = std::move(it->second);
        t.windows.erase(it);
        w->alive = false;
    }
    std::vector<SendPtr> pending;
    {
        std::lock_guard lk(w->queue->m);
        auto& posted = w->queue->posted;
        std::erase_if(posted, [&](const TMessage& m) { return m.window == window; });
        w->queue->DropTimers(window, 0, true);
        auto& sends = w->queue->sends;
        for (auto it = sends.begin(); it != sends.end();) {
            if ((*it)->window == window) {
                pending.push_back(std::move(*it));
                it = sends.erase(it);
            } else {
                ++it;
            }
        }
        w->queue->DrainIfIdle();
    }
    FailAll(pending);
    return true;
}

bool IsWindowAlive(TWindowHandle window) {
    const WindowPtr w = FindWindow(window);
    return w && w->alive;
}

bool PostToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam) {
    const WindowPtr w = FindWindow(window);
    if (!w) {
        return false;
    }
    std::lock_guard lk(w->queue->m);
    if (!w->queue->alive || !w->alive) {
        return false;
    }
    w->queue->posted.push_back(TMessage{window, msg, wParam, lParam});
    w->queue->Signal();
    return true;
}

bool SendToWindow(TWindowHandle window, uint32_t msg, TWParam wParam, TLParam lParam,
                  uint32_t timeoutMs, TLResult* result) {
    const WindowPtr w = FindWindow(window);
    if (!w || !w->alive) {
        return false;
    }
    if (w->owner == CurrentThreadId()) {
        const TLResult r = CallProc(*w, msg, wParam, lParam);
        if (result) {
            *result = r;
        }
        return true;
    }
    const QueuePtr me = MyQueue();
    auto rec = std::make_shared<SendRecord>();
    rec->window = window;
    rec->msg = msg;
    rec->wParam = wParam;
    rec->lParam = lParam;
    rec->sender = me;
    {
        std::lock_guard lk(w->queue->m);
        if (!w->queue->alive) {
            return false;
        }
        w->queue->sends.push_back(rec);
        w->queue->Signal();
    }
    const bool forever = timeoutMs == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    std::unique_lock lk(me->m);
    for (;;) {
        if (rec->state == SendState::Done) {
            if (result) {
                *result = rec->result;
            }
            return true;
        }
        if (rec->state == SendState::Failed) {
            return false;
        }
        if (!me->sends.empty()) {
            // Serve sends addressed to this thread while it waits.
            lk.unlock();
            ServeOneSend(*me);
            lk.lock();
            continue;
        }
        if (rec->state == SendState::Pending && !forever && Clock::now() >= deadline) {
            rec->state = SendState::Cancelled;
            return false;
        }
        if (rec->state == SendState::Taken || forever) {
            // Once taken the procedure runs to its end; wait for it.
            me->cv.wait(lk);
        } else {
            me->cv.wait_until(lk, deadline);
        }
    }
}

bool TakeMessage(TMessage& out) {
    const QueuePtr q = MyQueue();
    while (ServeOneSend(*q)) {
    }
    std::lock_guard lk(q->m);
    bool got = false;
    if (!q->posted.empty()) {
        out = q->posted.front();
        q->posted.pop_front();
        got = true;
    } else if (q->quitPending) {
        q->quitPending = false;
        out = TMessage{0, kMsgQuit, static_cast<TWParam>(q->quitCode), 0};
        got = true;
    } else if (!q->timers.empty()) {
        const auto now = Clock::now();
        if (TimerRec* t = q->DueTimer(now)) {
            // One firing however late it is taken; the countdown starts again now.
            out = TMessage{t->window, kMsgTimer, t->id, 0};
            t->due = now + t->interval;
            got = true;
        }
        q->ArmTimerFd();
    }
    q->DrainIfIdle();
    return got;
}

TLResult DispatchTaken(const TMessage& m) {
    if (m.window == 0) {
        return 0;
    }
    const WindowPtr w = FindWindow(m.window);
    if (!w || !w->alive || w->owner != CurrentThreadId()) {
        return 0;
    }
    return CallProc(*w, m.msg, m.wParam, m.lParam);
}

bool WaitForMessage(uint32_t timeoutMs) {
    const QueuePtr q = MyQueue();
    const bool forever = timeoutMs == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    bool served = false;
    for (;;) {
        while (ServeOneSend(*q)) {
            served = true;
        }
        std::unique_lock lk(q->m);
        const auto now = Clock::now();
        if (!q->posted.empty() || q->quitPending || served || q->DueTimer(now)) {
            return true;
        }
        if (!q->sends.empty()) {
            continue;
        }
        if (!forever && now >= deadline) {
            return false;
        }
        const TimerRec* next = q->NextTimer();
        if (next && (forever || next->due < deadline)) {
            q->cv.wait_until(lk, next->due);
        } else if (forever) {
            q->cv.wait(lk);
        } else {
            q->cv.wait_until(lk, deadline);
        }
    }
}

void PostQuitMessage(int exitCode) {
    const QueuePtr q = MyQueue();
    std::lock_guard lk(q->m);
    q->quitPending = true;
    q->quitCode = exitCode;
    q->Signal();
}

void MarkMainThread() {
    if (!gMainMarked.exchange(true)) {
        gMainThread = CurrentThreadId();
    }
}

ThreadId MainThreadId() {
    (void)gMainCaptured;
    return gMainThread;
}

bool IsMainThread() {
    return CurrentThreadId() == MainThreadId();
}

bool StartWindowTimer(TWindowHandle window, uintptr_t id, uint32_t intervalMs) {
    const WindowPtr w = FindWindow(window);
    if (!w || !w->alive || w->owner != CurrentThreadId() || intervalMs == 0) {
        return false;
    }
    std::lock_guard lk(w->queue->m);
    if (!w->queue->alive) {
        return false;
    }
    auto& timers = w->queue->timers;
    auto it = std::find_if(timers.begin(), timers.end(),
                           [&](const TimerRec& t) { return t.window == window && t.id == id; });
    if (it == timers.end()) {
        it = timers.insert(timers.end(), TimerRec{window, id, {}, {}});
    }
    it->interval = std::chrono::milliseconds(intervalMs);
    it->due = Clock::now() + it->interval;
    w->queue->ArmTimerFd();
    return true;
}

bool StopWindowTimer(TWindowHandle window, uintptr_t id) {
    const WindowPtr w = FindWindow(window);
    if (!w || w->owner != CurrentThreadId()) {
        return false;
    }
    std::lock_guard lk(w->queue->m);
    return w->queue->DropTimers(window, id, false);
}

int MessageWakeDescriptor() {
    const QueuePtr q = MyQueue();
    std::lock_guard lk(q->m);
    if (q->pollFd >= 0) {
        return q->pollFd;
    }
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    for (const int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    q->wakeRead = fds[0];
    q->wakeWrite = fds[1];
    q->timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    q->pollFd = epoll_create1(EPOLL_CLOEXEC);
    bool ok = q->timerFd >= 0 && q->pollFd >= 0;
    for (const int fd : {q->wakeRead, q->timerFd}) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        ok = ok && epoll_ctl(q->pollFd, EPOLL_CTL_ADD, fd, &ev) == 0;
    }
    if (!ok) {
        q->CloseWake();
        return -1;
    }
    q->ArmTimerFd();
    if (!q->posted.empty() || !q->sends.empty() || q->quitPending) {
        q->Signal();
    }
    return q->pollFd;
}

}  // namespace tk
