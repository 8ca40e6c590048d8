// Threads, locks, events and counters on the Win32 kernel objects.
#include "toolkit/Sync.h"
#include "toolkit/ThreadExceptions.h"

#include <process.h>
#include <windows.h>

#include <cstdio>
#include <mutex>

namespace tk {

namespace {

uint32_t WaitResult(DWORD r, DWORD count) {
    if (r >= WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + count) {
        return kWaitObject0 + (r - WAIT_OBJECT_0);
    }
    if (r == WAIT_TIMEOUT) {
        return kWaitTimeout;
    }
    return kWaitFailed;
}

}  // namespace

// ---------------------------------------------------------------- locks

struct TCriticalSection::Impl {
    CRITICAL_SECTION cs;
    Impl() { InitializeCriticalSection(&cs); }
    ~Impl() { DeleteCriticalSection(&cs); }
};

TCriticalSection::TCriticalSection() : impl_(std::make_unique<Impl>()) {}
TCriticalSection::~TCriticalSection() = default;
void TCriticalSection::Enter() {
    EnterCriticalSection(&impl_->cs);
}
void TCriticalSection::Leave() {
    LeaveCriticalSection(&impl_->cs);
}
bool TCriticalSection::TryEnter() {
    return TryEnterCriticalSection(&impl_->cs) != 0;
}

// ---------------------------------------------------------------- events

struct TEvent::Impl {
    HANDLE h;
    Impl(bool manual, bool initial) : h(CreateEventA(nullptr, manual, initial, nullptr)) {}
    ~Impl() {
        if (h) {
            CloseHandle(h);
        }
    }
};

TEvent::TEvent(bool manualReset, bool initialState)
    : impl_(std::make_unique<Impl>(manualReset, initialState)) {}
TEvent::~TEvent() = default;
bool TEvent::Set() {
    return impl_->h && SetEvent(impl_->h) != 0;
}
bool TEvent::Reset() {
    return impl_->h && ResetEvent(impl_->h) != 0;
}

uint32_t TEvent::Wait(uint32_t timeoutMs) {
    if (!impl_->h) {
        return kWaitFailed;
    }
    return WaitResult(WaitForSingleObject(impl_->h, timeoutMs), 1);
}

void* TEvent::NativeHandle() const {
    return impl_->h;
}

uint32_t WaitForEither(TEvent& first, TEvent& second, uint32_t timeoutMs) {
    if (&first == &second) {
        return first.Wait(timeoutMs);  // the system refuses a handle listed twice
    }
    if (!first.impl_->h || !second.impl_->h) {
        return kWaitFailed;
    }
    // With "wait for any", the lowest signalled index wins and only it is reset.
    const HANDLE handles[2] = {first.impl_->h, second.impl_->h};
    return WaitResult(WaitForMultipleObjects(2, handles, FALSE, timeoutMs), 2);
}

// ---------------------------------------------------------------- counters

int32_t AtomicIncrement(volatile int32_t* value) {
    return InterlockedIncrement(reinterpret_cast<volatile LONG*>(value));
}

int32_t AtomicDecrement(volatile int32_t* value) {
    return InterlockedDecrement(reinterpret_cast<volatile LONG*>(value));
}

void Sleep(uint32_t ms) {
    ::Sleep(ms);
}

ThreadId CurrentThreadId() {
    return GetCurrentThreadId();
}

// ---------------------------------------------------------------- threads

namespace {

int NativePriority(TThreadPriority p) {
    switch (p) {
        case TThreadPriority::Idle:
            return THREAD_PRIORITY_IDLE;
        case TThreadPriority::Lowest:
            return THREAD_PRIORITY_LOWEST;
        case TThreadPriority::Lower:
            return THREAD_PRIORITY_BELOW_NORMAL;
        case TThreadPriority::Normal:
            return THREAD_PRIORITY_NORMAL;
        case TThreadPriority::Higher:
            return THREAD_PRIORITY_ABOVE_NORMAL;
        case TThreadPriority::Highest:
            return THREAD_PRIORITY_HIGHEST;
        case TThreadPriority::TimeCritical:
            return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

// What the new thread runs; handed to it at creation and owned by it.
struct StartBlock {
    std::function<void()> body;
};

unsigned __stdcall ThreadMain(void* arg) {
    const std::unique_ptr<StartBlock> start(static_cast<StartBlock*>(arg));
    try {
        start->body();
    } catch (...) {
        detail::ReportEscapedException();
    }
    return 0;
}

}  // namespace

struct TThread::Impl {
    HANDLE h = nullptr;
    unsigned id = 0;
    std::mutex m;
    TThreadPriority priority = TThreadPriority::Normal;
};

TThread::TThread(std::function<void()> body) : impl_(std::make_unique<Impl>()) {
    auto start = std::make_unique<StartBlock>();
    start->body = std::move(body);
    const uintptr_t h = _beginthreadex(nullptr, 0, ThreadMain, start.get(), 0, &impl_->id);
    if (h != 0) {
        (void)start.release();  // the thread owns it now
        impl_->h = reinterpret_cast<HANDLE>(h);
    }
}

TThread::~TThread() {
    if (!impl_->h) {
        return;
    }
    if (impl_->id != GetCurrentThreadId()) {
        WaitForSingleObject(impl_->h, INFINITE);
    }
    CloseHandle(impl_->h);
}

void TThread::SetPriority(TThreadPriority p) {
    std::lock_guard lk(impl_->m);
    impl_->priority = p;
    if (impl_->h) {
        SetThreadPriority(impl_->h, NativePriority(p));
    }
}

TThreadPriority TThread::Priority() const {
    std::lock_guard lk(impl_->m);
    return impl_->priority;
}

bool TThread::WaitFor(uint32_t timeoutMs) {
    return !impl_->h || WaitForSingleObject(impl_->h, timeoutMs) == WAIT_OBJECT_0;
}

bool TThread::Finished() const {
    return !impl_->h || WaitForSingleObject(impl_->h, 0) == WAIT_OBJECT_0;
}

ThreadId TThread::Id() const {
    return impl_->id;
}

}  // namespace tk
