// Threads, locks, events and counters, with Win32 semantics on every platform.
// On Windows these wrap the real kernel objects (the device layer hands
// events to overlapped I/O); on POSIX they are built on pthreads.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>

namespace tk {

// Wait results, as WaitForSingleObject/WaitForMultipleObjects report them.
constexpr uint32_t kWaitObject0 = 0;      // first (or only) object signalled
constexpr uint32_t kWaitTimeout = 0x102;  // time-out elapsed
constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr uint32_t kInfinite = 0xFFFFFFFF;

// Re-entrant lock (a critical section). Not copyable.
class TCriticalSection {
  public:
    TCriticalSection();
    ~TCriticalSection();
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;
    void Enter();
    void Leave();
    bool TryEnter();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Scoped holder of a TCriticalSection.
class TLockGuard {
  public:
    explicit TLockGuard(TCriticalSection& cs) : cs_(cs) { cs_.Enter(); }
    ~TLockGuard() { cs_.Leave(); }
    TLockGuard(const TLockGuard&) = delete;
    TLockGuard& operator=(const TLockGuard&) = delete;

  private:
    TCriticalSection& cs_;
};

// Auto-reset or manual-reset event.
class TEvent {
  public:
    TEvent(bool manualReset, bool initialState);
    ~TEvent();
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;
    bool Set();
    bool Reset();
    // kWaitObject0, kWaitTimeout or kWaitFailed.
    uint32_t Wait(uint32_t timeoutMs);
    // The platform handle (a HANDLE on Windows), for overlapped I/O.
    void* NativeHandle() const;

  private:
    friend uint32_t WaitForEither(TEvent&, TEvent&, uint32_t);
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Waits until either event is signalled: kWaitObject0 for the first,
// kWaitObject0 + 1 for the second (the first wins when both are), or kWaitTimeout.
// An auto-reset event is reset by the wait that it satisfies, and only that one.
// Passing the same event twice is a plain wait on it.
uint32_t WaitForEither(TEvent& first, TEvent& second, uint32_t timeoutMs);

// Interlocked counters (InterlockedIncrement/Decrement on Windows): return the new value.
int32_t AtomicIncrement(volatile int32_t* value);
int32_t AtomicDecrement(volatile int32_t* value);

void Sleep(uint32_t ms);

// Thread priorities on the seven-step scale.
enum class TThreadPriority : int {
    Idle = 0,
    Lowest = 1,
    Lower = 2,
    Normal = 3,
    Higher = 4,
    Highest = 5,
    TimeCritical = 6
};

// The calling thread's id: the Win32 thread id on Windows; on POSIX a number
// the toolkit hands out, never reused while the process runs. Never 0.
using ThreadId = uint64_t;
ThreadId CurrentThreadId();

// Receives an exception that escaped a TThread body, on that thread, just
// before it ends. Without a handler the exception's text goes to stderr.
// The thread counts as finished either way.
using TThreadExceptionHandler = std::function<void(std::exception_ptr)>;
void SetThreadExceptionHandler(TThreadExceptionHandler handler);

// A joinable thread running a function. Destroying a thread that still runs
// waits for it (join), so a thread object never outlives its body silently;
// destroyed by its own body, it lets the thread end on its own instead.
class TThread {
  public:
    explicit TThread(std::function<void()> body);
    ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Applies what the platform allows; POSIX quietly ignores what an
    // unprivileged process may not do. Priority() reports the last request.
    void SetPriority(TThreadPriority p);
    TThreadPriority Priority() const;
    // Waits for the body to end; true when it ended within the time-out.
    bool WaitFor(uint32_t timeoutMs);
    bool Finished() const;
    // The id that CurrentThreadId() reports inside the body.
    ThreadId Id() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tk
