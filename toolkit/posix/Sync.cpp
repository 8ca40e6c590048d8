// Threads, locks, events and counters on pthreads.
//
// Events: each event has its own mutex and signalled state, plus a list of
// the waiters parked on it. A waiter registers itself on the one or two
// events it waits for and sleeps on its own condition variable; Set marks
// the event and pokes every parked waiter, which then re-checks the events
// under their locks. Consuming an auto-reset event happens under its lock,
// so exactly one waiter takes each signal, and a poke cannot be lost because
// the state is checked and the waiter registered under the same locks.
#include "toolkit/Sync.h"
#include "toolkit/ThreadExceptions.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tk {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<ThreadId> gNextThreadId{1};
thread_local ThreadId tThreadId = 0;

struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool poked = false;
    void Poke() {
        std::lock_guard lk(m);
        poked = true;
        cv.notify_one();
    }
};

}  // namespace

// ---------------------------------------------------------------- locks

struct TCriticalSection::Impl {
    std::recursive_mutex m;
};

TCriticalSection::TCriticalSection() : impl_(std::make_unique<Impl>()) {}
TCriticalSection::~TCriticalSection() = default;
void TCriticalSection::Enter() {
    impl_->m.lock();
}
void TCriticalSection::Leave() {
    impl_->m.unlock();
}
bool TCriticalSection::TryEnter() {
    return impl_->m.try_lock();
}

// ---------------------------------------------------------------- events

namespace {

struct EventCore {
    std::mutex m;
    bool manual;
    bool state;
    std::vector<Waiter*> waiters;

    EventCore(bool manualReset, bool initial) : manual(manualReset), state(initial) {}

    // Under m: takes the signal if there is one.
    bool TryConsume() {
        if (!state) {
            return false;
        }
        if (!manual) {
            state = false;
        }
        return true;
    }
    void Remove(Waiter* w) {
        waiters.erase(std::remove(waiters.begin(), waiters.end(), w), waiters.end());
    }
};

}  // namespace

struct TEvent::Impl : EventCore {
    using EventCore::EventCore;
};

TEvent::TEvent(bool manualReset, bool initialState)
    : impl_(std::make_unique<Impl>(manualReset, initialState)) {}
TEvent::~TEvent() = default;

bool TEvent::Set() {
    std::lock_guard lk(impl_->m);
    impl_->state = true;
    for (Waiter* w : impl_->waiters) {
        w->Poke();
    }
    return true;
}

bool TEvent::Reset() {
    std::lock_guard lk(impl_->m);
    impl_->state = false;
    return true;
}

void* TEvent::NativeHandle() const {
    return impl_.get();
}

namespace {

// Waits on one or two events (b may be null). Returns the index of the event
// taken, or -1 on time-out.
int WaitEvents(EventCore* a, EventCore* b, uint32_t timeoutMs) {
    const bool forever = timeoutMs == kInfinite;
    const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    Waiter self;
    for (;;) {
        {
            // Two events are always locked in address order.
            std::unique_lock<std::mutex> l1, l2;
            if (b == nullptr) {
                l1 = std::unique_lock(a->m);
            } else if (std::less<>()(a, b)) {
                l1 = std::unique_lock(a->m);
                l2 = std::unique_lock(b->m);
            } else {
                l1 = std::unique_lock(b->m);
                l2 = std::unique_lock(a->m);
            }
            a->Remove(&self);
            if (b) {
                b->Remove(&self);
            }
            if (a->TryConsume()) {
                return 0;
            }
            if (b && b->TryConsume()) {
                return 1;
            }
            if (!forever && Clock::now() >= deadline) {
                return -1;
            }
            {
                std::lock_guard lw(self.m);
                self.poked = false;
            }
            a->waiters.push_back(&self);
            if (b) {
                b->waiters.push_back(&self);
            }
        }
        std::unique_lock lw(self.m);
        if (forever) {
            self.cv.wait(lw, [&] { return self.poked; });
        } else {
            self.cv.wait_until(lw, deadline, [&] { return self.poked; });
        }
        // Loop: unregister, look at the events again, and either take one,
        // give up at the deadline, or park once more.
    }
}

}  // namespace

uint32_t TEvent::Wait(uint32_t timeoutMs) {
    return WaitEvents(impl_.get(), nullptr, timeoutMs) == 0 ? kWaitObject0 : kWaitTimeout;
}

uint32_t WaitForEither(TEvent& first, TEvent& second, uint32_t timeoutMs) {
    if (&first == &second) {
        return first.Wait(timeoutMs);
    }
    const int got = WaitEvents(first.impl_.get(), second.impl_.get(), timeoutMs);
    return got < 0 ? kWaitTimeout : kWaitObject0 + static_cast<uint32_t>(got);
}

// ---------------------------------------------------------------- counters

int32_t AtomicIncrement(volatile int32_t* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

int32_t AtomicDecrement(volatile int32_t* value) {
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

void Sleep(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

ThreadId CurrentThreadId() {
    if (tThreadId == 0) {
        tThreadId = gNextThreadId.fetch_add(1);
    }
    return tThreadId;
}

// ---------------------------------------------------------------- threads

namespace {

// Nice offsets for the seven steps. An unprivileged process may only raise
// its nice value; anything refused is ignored.
int NiceFor(TThreadPriority p) {
    switch (p) {
        case TThreadPriority::Idle:
            return 19;
        case TThreadPriority::Lowest:
            return 10;
        case TThreadPriority::Lower:
            return 5;
        case TThreadPriority::Normal:
            return 0;
        case TThreadPriority::Higher:
            return -5;
        case TThreadPriority::Highest:
            return -10;
        case TThreadPriority::TimeCritical:
            return -15;
    }
    return 0;
}

#ifdef __linux__
// The nice value the process was started with: the steps count from it, as
// Windows thread priorities count from the process's class, so a program
// started under `nice` keeps its workers niced.
const int gBaseNice = getpriority(PRIO_PROCESS, 0);
#endif

void ApplyNice(long kernelTid, TThreadPriority p) {
#ifdef __linux__
    // On Linux the nice value is per thread, addressed by its kernel id.
    const int nice = std::clamp(gBaseNice + NiceFor(p), -20, 19);
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(kernelTid), nice);
#else
    (void)kernelTid;
    (void)p;
#endif
}

long KernelThreadId() {
#ifdef __linux__
    return static_cast<long>(syscall(SYS_gettid));
#else
    return 0;
#endif
}

}  // namespace

namespace {

// The state is shared with the running body, so a thread object destroyed
// by its own body leaves the body a valid place to record its end.
struct ThreadState {
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    long kernelTid = 0;  // 0 until the body has started
    TThreadPriority priority = TThreadPriority::Normal;
    bool priorityPending = false;
    ThreadId id = 0;
};

}  // namespace

struct TThread::Impl {
    std::shared_ptr<ThreadState> s = std::make_shared<ThreadState>();
    std::thread thread;
};

TThread::TThread(std::function<void()> body) : impl_(std::make_unique<Impl>()) {
    impl_->s->id = gNextThreadId.fetch_add(1);
    impl_->thread = std::thread([s = impl_->s, body = std::move(body)] {
        tThreadId = s->id;
        {
            std::lock_guard lk(s->m);
            s->kernelTid = KernelThreadId();
            if (s->priorityPending) {
                ApplyNice(s->kernelTid, s->priority);
            }
        }
        try {
            body();
        } catch (...) {
            detail::ReportEscapedException();
        }
        std::lock_guard lk(s->m);
        s->finished = true;
        s->cv.notify_all();
    });
}

TThread::~TThread() {
    if (!impl_->thread.joinable()) {
        return;
    }
    if (impl_->thread.get_id() == std::this_thread::get_id()) {
        // Destroyed by its own body: let the thread end on its own.
        impl_->thread.detach();
        return;
    }
    impl_->thread.join();
}

void TThread::SetPriority(TThreadPriority p) {
    ThreadState& s = *impl_->s;
    std::lock_guard lk(s.m);
    s.priority = p;
    if (s.finished) {
        return;
    }
    if (s.kernelTid != 0) {
        ApplyNice(s.kernelTid, p);
    } else {
        s.priorityPending = true;
    }
}

TThreadPriority TThread::Priority() const {
    std::lock_guard lk(impl_->s->m);
    return impl_->s->priority;
}

bool TThread::WaitFor(uint32_t timeoutMs) {
    ThreadState& s = *impl_->s;
    std::unique_lock lk(s.m);
    if (timeoutMs == kInfinite) {
        s.cv.wait(lk, [&] { return s.finished; });
        return true;
    }
    return s.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] { return s.finished; });
}

bool TThread::Finished() const {
    std::lock_guard lk(impl_->s->m);
    return impl_->s->finished;
}

ThreadId TThread::Id() const {
    return impl_->s->id;
}

}  // namespace tk
