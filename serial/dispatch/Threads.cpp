// The worker threads: start and stop, the thread bodies, the dispatch cycle,
// the writer's sending of the output ring, and thread priorities.
//
// Stopping never holds GeneralLock while it waits, so a worker that needs the
// lock (a notice, a log entry, its own end) always gets it. The dispatcher
// owns the thread objects; a thread only moves its own object from its
// reference to FinishedThreads as it ends, and threads that are not workers
// join them, so no thread object is ever destroyed by its own thread. A stop
// waits until every worker has left its body's last use of the dispatcher,
// and the dispatcher's destructor waits the same way, so no worker outlives
// the dispatcher it works for.
#include <algorithm>
#include <stdexcept>

#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/DeviceWait.h"
#include "serial/dispatch/Dispatcher.h"
#include "serial/dispatch/DispatcherThreads.h"
#include "toolkit/ExceptionDisplay.h"
#include "toolkit/MainThreadCalls.h"
#include "toolkit/Messages.h"

namespace {

tk::TThreadPriority Priority(int level) {
    return static_cast<tk::TThreadPriority>(std::clamp(level, 0, 6));
}

// The dispatcher the calling thread works for, if it is a worker.
thread_local const TRirBaseDispatcher* tWorkerOf = nullptr;

// Event bits of the reader's mask that the dispatch cycle looks at.
constexpr uint32_t kModemEvents = 0x2138;  // CTS, DSR, carrier detect, ring, second ring
constexpr uint32_t kErrorEvents = 0x00C0;  // break, line error

// How long the dispatch thread waits for a device event before a quiet cycle.
constexpr uint32_t kDispatchIdleMs = 50;
// How long the start waits for each thread's handshake.
constexpr uint32_t kStartAckMs = 3000;
// Ticks of each of the two bounded waits for the dispatch thread at a stop.
constexpr int32_t kStopWaitTicks = 36;
// How often a stop repeats the wake-up of a reader that has not gone.
constexpr uint32_t kWakeRepeatMs = 100;
// Slice of a synchronized delivery's wait for the main thread; between
// slices the dispatch thread looks whether the port is going away.
constexpr uint32_t kSyncSliceMs = 250;

}  // namespace

// ---------------------------------------------------------------- thread objects

void TRirDispatcherThread::Start() {
    thread_ = std::make_unique<tk::TThread>([this] { Run(); });
}

void TRirDispatcherThread::Run() {
    tWorkerOf = &Dispatcher;
    try {
        Execute();
    } catch (...) {
        tk::ShowCurrentException();
    }
    // The bookkeeping runs whatever the body did; after it this object and
    // the dispatcher may be gone, so nothing follows.
    Dispatcher.ThreadFinished(this);
}

void TRirDispatcherThread::SetPriority(tk::TThreadPriority p) {
    if (thread_) {
        thread_->SetPriority(p);
    }
}

tk::TThreadPriority TRirDispatcherThread::Priority() const {
    return thread_ ? thread_->Priority() : tk::TThreadPriority::Normal;
}

tk::ThreadId TRirDispatcherThread::Id() const {
    return thread_ ? thread_->Id() : 0;
}

// ---------------------------------------------------------------- start and stop

bool TRirBaseDispatcher::OnWorkerThread() const {
    return tWorkerOf == this;
}

std::unique_ptr<TDeviceWaitRecord> TRirBaseDispatcher::DeviceBeginWaits() {
    return std::make_unique<TDeviceWaitRecord>();
}

void TRirBaseDispatcher::StartThreads() {
    {
        tk::TLockGuard g(GeneralLock);
        if (ThreadsRunning_.load()) {
            throw std::runtime_error("Dispatcher already started");
        }
        ThreadsRunning_ = true;
        KillThreads = false;
    }
    MakeThreadEvents();
    // Threads of an earlier run have all left the dispatcher; join them.
    JoinFinishedThreads();

    const uint8_t boost = PriorityBoost;
    // All three are counted before any exists: the count cannot fall to 0
    // (and clear ThreadsRunning) while the start goes on, and a destructor
    // that waits for 0 never misses a thread that is still starting.
    LiveThreadCount += 3;
    auto start = [&](std::unique_ptr<TRirDispatcherThread> thread,
                     std::unique_ptr<TRirDispatcherThread>& ref, int level) {
        {
            tk::TLockGuard g(GeneralLock);
            ref = std::move(thread);
            try {
                ref->Start();
            } catch (...) {
                // No thread: undo its share of the bookkeeping.
                ref.reset();
                tk::ShowCurrentException();
                ThreadFinished(nullptr);
                return;
            }
            if (boost != 0) {
                ref->SetPriority(Priority(level + boost));
            }
        }
        AckEvent->Wait(kStartAckMs);  // a slow start is not an error
    };
    start(std::make_unique<TComThread>(*this), ReaderThread, 3);
    start(std::make_unique<TDispThread>(*this), DispatchThread, 3);
    start(std::make_unique<TOutThread>(*this), WriterThread, Rs485Mode.load() ? 4 : 3);
}

bool TRirBaseDispatcher::PumpUntil(const std::function<bool()>& done, uint32_t timeoutMs) {
    const uint32_t start = MillisecondClock();
    for (;;) {
        if (done()) {
            return true;
        }
        PumpOneMessage();
        if (done()) {
            return true;
        }
        if (timeoutMs != tk::kInfinite && MillisecondClock() - start >= timeoutMs) {
            return false;
        }
        tk::WaitForMessage(1);
    }
}

void TRirBaseDispatcher::StopThreads() {
    if (!ThreadsRunning_.load()) {
        return;
    }
    KillThreads = true;
    auto gone = [this](std::unique_ptr<TRirDispatcherThread>& ref) {
        return [this, &ref] {
            tk::TLockGuard g(GeneralLock);
            return ref == nullptr;
        };
    };

    // Writer: a flush request ends a pending write and its wait.
    if (!gone(WriterThread)()) {
        if (FlushEvent) {
            FlushEvent->Set();
        }
        PumpUntil(gone(WriterThread), tk::kInfinite);
    }
    // Reader: the cancelled device wait and DoneEvent let it see the kill
    // flag. A cancel that came before the wait began, or that the device
    // did not act on, is repeated until the reader has gone.
    while (!gone(ReaderThread)()) {
        WakeWorkers(true);
        PumpUntil(gone(ReaderThread), kWakeRepeatMs);
    }
    // Dispatch thread: it may be delivering a notice to this thread, which is
    // served while waiting. Two bounded waits, then one without limit: the
    // thread is never abandoned while it can still touch the dispatcher.
    if (!gone(DispatchThread)()) {
        const auto dispatchGone = gone(DispatchThread);
        const uint32_t slice = kStopWaitTicks * kEventTimerTickMs;
        if (WakeEvent) {
            WakeEvent->Set();  // no need to wait out its quiet 50 ms
        }
        if (!PumpUntil(dispatchGone, slice)) {
            if (WakeEvent) {
                WakeEvent->Set();
            }
            if (!PumpUntil(dispatchGone, slice)) {
                PumpUntil(dispatchGone, tk::kInfinite);
            }
        }
    }
    if (OnWorkerThread()) {
        // The dispatch thread releasing a close left to it: it is the last
        // worker, and the one that joins is whoever waits for the dispatcher.
        CloseThreadEvents();
        return;
    }
    // Every worker has cleared its reference; wait until each has also left
    // its last step, then join them.
    PumpUntil([this] { return LiveThreadCount.load() == 0; }, tk::kInfinite);
    JoinFinishedThreads();
    CloseThreadEvents();
}

void TRirBaseDispatcher::MakeThreadEvents() {
    // OpenPort makes the events; a start after a stop without a new open
    // makes those that the stop closed.
    tk::TLockGuard out(OutputLock);
    auto make = [](std::unique_ptr<tk::TEvent>& e, bool manual) {
        if (!e) {
            e = std::make_unique<tk::TEvent>(manual, false);
        }
    };
    make(WakeEvent, false);
    make(DoneEvent, false);
    make(AckEvent, false);
    make(OutputReadyEvent, false);
    make(WriteDoneEvent, true);
    make(FlushEvent, false);
}

void TRirBaseDispatcher::WakeWorkers(bool kill) {
    if (kill) {
        KillThreads = true;
    }
    DeviceCancelWait();
    if (DoneEvent) {
        DoneEvent->Set();
    }
    if (AckEvent) {
        AckEvent->Reset();
    }
}

void TRirBaseDispatcher::CloseThreadEvents() {
    // DeviceWrite sets OutputReadyEvent under OutputLock.
    tk::TLockGuard out(OutputLock);
    WakeEvent.reset();
    DoneEvent.reset();
    AckEvent.reset();
    OutputReadyEvent.reset();
    WriteDoneEvent.reset();
    FlushEvent.reset();
}

void TRirBaseDispatcher::JoinFinishedThreads() {
    std::vector<std::unique_ptr<TRirDispatcherThread>> finished;
    {
        tk::TLockGuard g(GeneralLock);
        finished.swap(FinishedThreads);
    }
    finished.clear();  // joins each, outside the lock
}

void TRirBaseDispatcher::ThreadFinished(TRirDispatcherThread* thread) {
    bool release = false;
    if (thread) {
        tk::TLockGuard g(GeneralLock);
        for (auto* ref : {&ReaderThread, &WriterThread, &DispatchThread}) {
            if (ref->get() == thread) {
                release = ref == &DispatchThread && ReleasePending.load();
                FinishedThreads.push_back(std::move(*ref));
            }
        }
    }
    if (release) {
        try {
            ReleaseBuffers();
        } catch (...) {
            tk::ShowCurrentException();
        }
        ReleasePending = false;
    }
    // The last thread clears ThreadsRunning before its count goes: whoever
    // sees the count at 0 sees the flag cleared, and touches nothing after.
    int32_t live = LiveThreadCount.load();
    for (;;) {
        if (live == 1) {
            ThreadsRunning_ = false;
        }
        // A start that came in between has set the flag again itself.
        if (LiveThreadCount.compare_exchange_weak(live, live - 1)) {
            return;
        }
    }
}

// ---------------------------------------------------------------- reader thread

void TRirBaseDispatcher::ReaderBody() {
    struct TAckOnExit {
        TRirBaseDispatcher& d;
        ~TAckOnExit() {
            if (d.AckEvent) {
                d.AckEvent->Set();
            }
        }
    } ack{*this};
    std::unique_ptr<TDeviceWaitRecord> wait = DeviceBeginWaits();
    if (!wait) {
        return;
    }
    AckEvent->Set();
    do {
        uint32_t mask = CurrentEventMask.load();
        if (!DeviceWaitEvent(mask, wait.get())) {
            if (!DeviceFinishWait(mask, wait.get())) {
                return;
            }
        }
        CurrentEventMask = mask;
        if (KillThreads.load()) {
            return;
        }
        WakeEvent->Set();
        DoneEvent->Wait(tk::kInfinite);
    } while (!KillThreads.load());
}

// ---------------------------------------------------------------- dispatch thread

void TRirBaseDispatcher::DispatchBody() {
    struct TReleaseOnExit {
        TRirBaseDispatcher& d;
        // Only a close left pending by a notice is released here. A stop by
        // the kill flag comes from a close or release that is still running
        // on another thread and releases the buffers itself; releasing here
        // too would close the thread events under it.
        ~TReleaseOnExit() { d.ReleasePending = d.ClosePending_.load(); }
    } release{*this};
    AckEvent->Set();
    for (;;) {
        WakeEvent->Wait(kDispatchIdleMs);
        if (KillThreads.load()) {
            break;
        }
        DispatchCycle();
        IdleScan();
        if (KillThreads.load() || ClosePending_.load()) {
            break;
        }
    }
    AckEvent->Set();
}

void TRirBaseDispatcher::DispatchCycle() {
    // Status scans until nothing fires; false when a close came meanwhile.
    auto scanStatus = [this] {
        for (;;) {
            const bool fired = ScanStatusTriggers();
            if (ClosePending_.load()) {
                return false;
            }
            if (!fired) {
                return true;
            }
        }
    };
    const uint32_t mask = CurrentEventMask.load();
    if (mask & kModemEvents) {
        RefreshModemDelta();
        if (!NoticeBusy_.load()) {
            if (!scanStatus()) {
                return;
            }
            if (StatusHitThisCycle) {
                ResetStatusHits();
            }
        }
    }
    if (mask & kErrorEvents) {
        RefreshErrors();
        ReportDeviceLost();
        if (!NoticeBusy_.load() && !scanStatus()) {
            return;
        }
    }
    PullInput();
    ReportDeviceLost();
    if (!NoticeBusy_.load()) {
        ReadModemStatus();
        if (!scanStatus()) {
            return;
        }
        for (;;) {
            const bool consumed = ScanInput();
            if (ClosePending_.load()) {
                return;
            }
            if (!consumed) {
                break;
            }
        }
    }
    if (StatusHitThisCycle) {
        ResetStatusHits();
    }
    if (DoneEvent) {
        DoneEvent->Set();
    }
}

void TRirBaseDispatcher::IdleScan() {
    if (ClosePending_.load() || NoticeBusy_.load()) {
        return;
    }
    {
        tk::TLockGuard g(GeneralLock);
        StatusHitThisCycle = false;
    }
    for (;;) {
        bool fired = ScanStatusTriggers();
        if (!fired) {
            fired = ScanTimers();
        }
        if (!fired || ClosePending_.load()) {
            break;
        }
    }
    if (StatusHitThisCycle) {
        ResetStatusHits();
    }
}

void TRirBaseDispatcher::DeliverSynchronized(uint32_t msg, uint32_t trigger, int32_t lParam,
                                             const TTriggerHandlerProc& method) {
    TRirDispatcherThread* self = nullptr;
    {
        tk::TLockGuard g(GeneralLock);
        self = DispatchThread.get();
    }
    std::function<void()> call;
    if (self && OnWorkerThread()) {
        self->SyncMessage = msg;
        self->SyncTrigger = trigger;
        self->SyncLParam = lParam;
        self->SyncMethod = method;
        call = [self] { self->SyncMethod(self->SyncMessage, self->SyncTrigger, self->SyncLParam); };
    } else {
        call = [&] { method(msg, trigger, lParam); };
    }
    // The main thread serves the call whenever it takes messages; a port that
    // is going away stops waiting for it.
    while (!tk::RunOnMainThread(call, kSyncSliceMs)) {
        if (KillThreads.load() || ClosePending_.load()) {
            break;
        }
    }
    if (self && OnWorkerThread()) {
        self->SyncMethod = nullptr;
    }
}

// ---------------------------------------------------------------- writer thread

void TRirBaseDispatcher::WriterBody() {
    AckEvent->Set();
    // Output queued while no writer ran goes out first.
    SendPending();
    for (;;) {
        if (tk::WaitForEither(*OutputReadyEvent, *FlushEvent, tk::kInfinite) == tk::kWaitObject0) {
            if (KillThreads.load()) {
                return;
            }
            SendPending();
        } else {
            AckEvent->Set();  // a flush request: nothing is being written now
        }
        if (KillThreads.load() || ClosePending_.load()) {
            return;
        }
    }
}

void TRirBaseDispatcher::SendPending() {
    while (!KillThreads.load()) {
        const char* data = nullptr;
        uint32_t count = 0;
        uint32_t tail = 0;
        uint32_t flushes = 0;
        {
            tk::TLockGuard out(OutputLock);
            if (!OutBuf || OutputSize_ == 0 || (!OutFull && OutHead == OutTail)) {
                return;
            }
            if (OutHead > OutTail) {
                count = OutHead - OutTail;
            } else if (OutHead == 0) {
                count = OutputSize_ - OutTail;
            } else {
                // The data wraps: rotate the ring so that it starts at index 0
                // and send it as one stretch.
                char* ring = OutBuf.get();
                std::rotate(ring, ring + OutTail, ring + OutputSize_);
                OutHead += OutputSize_ - OutTail;
                OutTail = 0;
                count = OutHead;
                if (OutHead >= OutputSize_) {
                    OutHead = 0;  // a full ring: head meets tail at 0
                }
            }
            tail = OutTail;
            flushes = OutFlushes;
            data = OutBuf.get() + OutTail;
        }
        const int32_t written = DeviceWriteStretch(data, count);
        if (written == kWriteFlushed) {
            if (AckEvent) {
                AckEvent->Set();
            }
            return;
        }
        tk::TLockGuard out(OutputLock);
        if (!OutBuf || OutTail != tail || OutFlushes != flushes) {
            return;  // emptied meanwhile (a flush that did not wait for us)
        }
        const uint32_t used = OutFull              ? OutputSize_
                              : OutHead >= OutTail ? OutHead - OutTail
                                                   : OutputSize_ - OutTail + OutHead;
        const uint32_t sent = std::min({static_cast<uint32_t>(std::max(written, 0)), count, used});
        OutTail += sent;
        if (OutTail >= OutputSize_) {
            OutTail = 0;
        }
        if (sent != 0) {
            OutFull = false;
        }
        if (OutTail == OutHead && !OutFull) {
            OutHead = 0;
            OutTail = 0;
        }
        if (written >= 0 && static_cast<uint32_t>(written) < count && sent == 0) {
            return;  // the device took nothing: wait for the next request
        }
    }
}

// ---------------------------------------------------------------- priorities

void TRirBaseDispatcher::WriterPriority(int base) {
    tk::TLockGuard g(GeneralLock);
    if (WriterThread) {
        WriterThread->SetPriority(Priority(base + PriorityBoost));
    }
}

void TRirBaseDispatcher::SetPriorityBoost(uint8_t boost) {
    tk::TLockGuard g(GeneralLock);
    if (boost == PriorityBoost) {
        return;
    }
    PriorityBoost = boost;
    if (ReaderThread) {
        ReaderThread->SetPriority(Priority(3 + boost));
    }
    if (DispatchThread) {
        DispatchThread->SetPriority(Priority(3 + boost));
        WriterPriority(Rs485Mode.load() ? 4 : 3);
    }
}
