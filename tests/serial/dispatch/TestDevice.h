// A device layer on memory for driving the dispatcher in tests: input bytes
// are queued by the test, writes land in the output ring and the writer
// thread moves them into Sent(), line states and escapes are recorded.
//
// By default only the writer thread runs, so that a test can drive input and
// scans by hand; with realThreads set before the open, the reader and
// dispatch threads run too, and queued input raises a device event.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "serial/dispatch/DeviceWait.h"
#include "serial/dispatch/Dispatcher.h"
#include "serial/dispatch/DispatcherThreads.h"
#include "toolkit/OsInfo.h"

class TTestDispatcher : public TRirBaseDispatcher {
  public:
    TTestDispatcher() : TRirBaseDispatcher(nullptr) {}
    ~TTestDispatcher() override { Shutdown(); }

    // ---- what the test sets up ----
    // Queues bytes the device received; with event set, the reader's device
    // wait reports them (a received-character event).
    void QueueInput(const std::string& bytes, bool event = true) {
        {
            std::lock_guard<std::mutex> g(m_);
            pending_ += bytes;
        }
        if (event) {
            RaiseEvent(0x0001);
        }
    }
    // Ends the reader's device wait with these event bits.
    void RaiseEvent(uint32_t mask) {
        {
            std::lock_guard<std::mutex> g(m_);
            eventMask_ |= mask;
        }
        deviceEvent_.Set();
    }
    // Lets writes that blockWrites holds back go on.
    void UnblockWrites() { unblock_.Set(); }
    // Empties the output ring as a flush does, without asking the writer.
    void EmptyOutputAsAFlushDoes() { EmptyOutputRing(); }
    void QueueLineErrors(uint32_t bits) {
        std::lock_guard<std::mutex> g(m_);
        errors_ |= bits;
    }
    void SetModemLines(uint8_t lines) {
        std::lock_guard<std::mutex> g(m_);
        modem_ = lines;
    }
    void SetDeviceState(const TLineState& s) {
        std::lock_guard<std::mutex> g(m_);
        state_ = s;
    }
    // Results the next operations give.
    int32_t openResult = 7;
    uint32_t openError = 0;
    bool queuesOk = true;
    uint32_t queuesError = 0;
    int32_t setStateResult = 0;
    int32_t escapeResult = 0;
    int32_t readFailure = 0;                // non-zero: DeviceRead returns it
    int32_t writeResult = -1;               // -1: accept every byte; otherwise return this
    uint32_t writerChunk = 0;               // 0: the writer sends everything at once; else per ms
    bool realThreads = false;               // all three worker threads (set before the open)
    std::atomic<bool> blockWrites{false};   // a write waits for UnblockWrites or a flush
    std::atomic<bool> failWait{false};      // the reader's wait fails
    std::atomic<int> ignoreCancels{0};      // cancels of the reader's wait that do nothing
    std::atomic<bool> throwInWait{false};   // the reader's wait throws
    std::atomic<bool> throwInRead{false};   // DeviceRead (dispatch thread) throws
    std::atomic<bool> throwInWrite{false};  // the writer's write throws

    // ---- what the test observes ----
    struct TRead {
        uint32_t at;
        uint32_t max;
    };
    std::vector<TRead> Reads() {
        std::lock_guard<std::mutex> g(m_);
        return reads_;
    }
    std::vector<int32_t> Escapes() {
        std::lock_guard<std::mutex> g(m_);
        return escapes_;
    }
    std::vector<TLineState> Applied() {
        std::lock_guard<std::mutex> g(m_);
        return applied_;
    }
    // Output bytes still queued when each line state was applied.
    std::vector<uint32_t> QueuedAtApply() {
        std::lock_guard<std::mutex> g(m_);
        return queuedAtApply_;
    }
    std::string Sent() {
        std::lock_guard<std::mutex> g(m_);
        return sent_;
    }
    // The length of each stretch the writer wrote.
    std::vector<uint32_t> Stretches() {
        std::lock_guard<std::mutex> g(m_);
        return stretches_;
    }
    int waitsBegun() {
        std::lock_guard<std::mutex> g(m_);
        return waitsBegun_;
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> g(m_);
        return calls_;
    }
    int statusCalls() {
        std::lock_guard<std::mutex> g(m_);
        return statusCalls_;
    }
    int failedReads() {
        std::lock_guard<std::mutex> g(m_);
        return failedReads_;
    }

    // ---- access to the dispatcher's inside ----
    void SetInputPositions(uint32_t head, uint32_t tail, bool full) {
        tk::TLockGuard in(InputLock);
        InHead = head;
        InTail = tail;
        InFull = full;
    }
    uint32_t Head() {
        tk::TLockGuard in(InputLock);
        return InHead;
    }
    uint32_t Tail() {
        tk::TLockGuard in(InputLock);
        return InTail;
    }
    bool Full() {
        tk::TLockGuard in(InputLock);
        return InFull;
    }
    bool OutputFull() {
        tk::TLockGuard out(OutputLock);
        return OutFull;
    }
    void BeginNotice() {
        tk::TLockGuard in(InputLock);
        NoticeInProgress = true;
        TakenDuringNotice = 0;
        MostTakenDuringNotice = 0;
    }
    // A handler has returned: the most taken rises to what it took.
    void HandlerDone() {
        tk::TLockGuard in(InputLock);
        MostTakenDuringNotice = std::max(MostTakenDuringNotice, TakenDuringNotice);
        TakenDuringNotice = 0;
    }
    uint32_t Taken() {
        tk::TLockGuard in(InputLock);
        return TakenDuringNotice;
    }
    uint32_t EndNotice() { return EndInputNotice(); }
    void SetNoticeBusy(bool busy) { NoticeBusy_ = busy; }
    void SetRingSeen() { RingSeen = true; }
    TTraceRecorder& TraceRecorder() { return Trace; }
    int32_t Live() { return LiveThreadCount.load(); }
    bool HasThread(int which) {
        tk::TLockGuard g(GeneralLock);
        const std::unique_ptr<TRirDispatcherThread>* refs[] = {&ReaderThread, &DispatchThread,
                                                               &WriterThread};
        return *refs[which] != nullptr;
    }
    tk::TThreadPriority ThreadPriority(int which) {
        tk::TLockGuard g(GeneralLock);
        const std::unique_ptr<TRirDispatcherThread>* refs[] = {&ReaderThread, &DispatchThread,
                                                               &WriterThread};
        return *refs[which] ? (*refs[which])->Priority() : tk::TThreadPriority::Idle;
    }
    void SetOutputPositions(uint32_t head, uint32_t tail, bool full) {
        tk::TLockGuard out(OutputLock);
        OutHead = head;
        OutTail = tail;
        OutFull = full;
    }
    std::pair<uint32_t, uint32_t> OutputPositions() {
        tk::TLockGuard out(OutputLock);
        return {OutHead, OutTail};
    }
    // Fills the output ring's memory directly (with its positions set apart).
    void FillOutputRing(const std::string& bytes) {
        tk::TLockGuard out(OutputLock);
        std::memcpy(OutBuf.get(), bytes.data(), std::min<size_t>(bytes.size(), OutputSize_));
    }
    // Runs the writer's sending on the calling thread (with the threads stopped).
    void RunSendPending() {
        KillThreads = false;
        SendPending();
    }
    void RunDispatchCycle() { DispatchCycle(); }
    void RunIdleScan() { IdleScan(); }
    void AddProcHandler(TTriggerHandlerProc proc) {
        tk::TLockGuard g(GeneralLock);
        auto rec = std::make_unique<TProcHandlerRec>();
        rec->Proc = std::move(proc);
        ProcHandlers.push_back(std::move(rec));
        HandlerServiceNeeded = true;
    }
    void AddEventHandler(TTriggerHandlerProc method, bool onMainThread) {
        tk::TLockGuard g(GeneralLock);
        auto rec = std::make_unique<TEventHandlerRec>();
        rec->Method = std::move(method);
        rec->RunOnMainThread = onMainThread;
        EventHandlers.push_back(std::move(rec));
        HandlerServiceNeeded = true;
    }
    size_t WindowHandlerCount() {
        tk::TLockGuard g(GeneralLock);
        return WindowHandlers.size();
    }
    void SetCurrentEventMask(uint32_t mask) { CurrentEventMask = mask; }
    void SetModemStatusByte(uint8_t status) {
        tk::TLockGuard g(GeneralLock);
        ModemStatus_ = status;
    }
    void SetLineErrorBits(uint32_t bits) { LineErrors_ = bits; }
    void SetOutputSentPending(bool on) { OutputSentPending = on; }
    bool OutputSentPendingNow() const { return OutputSentPending.load(); }
    bool StatusHit() {
        tk::TLockGuard g(GeneralLock);
        return StatusHitThisCycle;
    }
    std::vector<TStatusTriggerRec> StatusTriggerRecs() {
        tk::TLockGuard g(GeneralLock);
        return StatusTriggers;
    }
    std::vector<TTimerTriggerRec> TimerTriggerRecs() {
        tk::TLockGuard g(GeneralLock);
        return TimerTriggers;
    }
    std::vector<TDataTriggerRec> DataTriggerRecs() {
        tk::TLockGuard g(GeneralLock);
        return DataTriggers;
    }

    // ---- the device operations ----
    int32_t DeviceEscape(int32_t function) override {
        std::lock_guard<std::mutex> g(m_);
        escapes_.push_back(function);
        return escapeResult;
    }
    int32_t DeviceFlush(int32_t side) override {
        Record(side == flushOutput ? "FlushOutput" : "FlushInput");
        if (side == flushOutput) {
            bool writer = false;
            {
                tk::TLockGuard g(GeneralLock);
                writer = WriterThread != nullptr;
            }
            if (writer && !KillThreads.load()) {
                // The writer abandons a pending write and acknowledges.
                FlushEvent->Set();
                AckEvent->Wait(5000);
            }
            EmptyOutputRing();
        } else {
            std::lock_guard<std::mutex> g(m_);
            pending_.clear();
        }
        return 0;
    }
    uint32_t DeviceStatus(TComStat& status) override {
        status.OutQue = OutputRingUsed();  // before m_: OutputLock may be held by the caller
        std::lock_guard<std::mutex> g(m_);
        ++statusCalls_;
        status.InQue = static_cast<uint32_t>(pending_.size());
        return std::exchange(errors_, 0);
    }
    void DeviceReadFailed(int32_t code) override {
        std::lock_guard<std::mutex> g(m_);
        failedReads_ += code == -1 ? 1 : 1000;
    }
    int32_t DeviceGetState(TLineState& state) override {
        std::lock_guard<std::mutex> g(m_);
        state = state_;
        return 0;
    }
    int32_t DeviceRead(char* dest, uint32_t max) override {
        if (throwInRead.load()) {
            throw std::runtime_error("device read failed");
        }
        std::lock_guard<std::mutex> g(m_);
        reads_.push_back({static_cast<uint32_t>(dest - InBuf.get()), max});
        if (readFailure != 0) {
            return readFailure;
        }
        const uint32_t n = std::min<uint32_t>(max, static_cast<uint32_t>(pending_.size()));
        std::memcpy(dest, pending_.data(), n);
        pending_.erase(0, n);
        return static_cast<int32_t>(n);
    }
    int32_t DeviceSetState(const TLineState& state) override {
        const uint32_t queued = OutputRingUsed();
        std::lock_guard<std::mutex> g(m_);
        applied_.push_back(state);
        queuedAtApply_.push_back(queued);
        if (setStateResult == 0) {
            state_ = state;
        }
        return setStateResult;
    }
    int32_t DeviceWrite(const char* src, uint32_t count) override {
        if (writeResult != -1) {
            return writeResult;
        }
        CopyIntoOutputRing(src, count);
        if (OutputReadyEvent) {
            OutputReadyEvent->Set();
        }
        return static_cast<int32_t>(count);
    }
    // The wait never completes at once; DeviceFinishWait waits for an event.
    bool DeviceWaitEvent(uint32_t&, TDeviceWaitRecord*) override {
        if (throwInWait.load()) {
            throw std::runtime_error("device wait failed");
        }
        std::lock_guard<std::mutex> g(m_);
        ++waitsBegun_;
        return false;
    }
    bool DeviceFinishWait(uint32_t& mask, TDeviceWaitRecord*) override {
        if (failWait.load()) {
            return false;
        }
        deviceEvent_.Wait(tk::kInfinite);
        std::lock_guard<std::mutex> g(m_);
        mask = std::exchange(eventMask_, 0);
        if (std::exchange(cancelled_, false)) {
            mask = 0;
        }
        return true;
    }
    void DeviceCancelWait() override {
        if (ignoreCancels.load() > 0) {
            --ignoreCancels;
            return;
        }
        {
            std::lock_guard<std::mutex> g(m_);
            cancelled_ = true;
        }
        deviceEvent_.Set();
    }
    int32_t DeviceWriteStretch(const char* data, uint32_t count) override {
        if (throwInWrite.load()) {
            throw std::runtime_error("device write failed");
        }
        {
            std::lock_guard<std::mutex> g(m_);
            stretches_.push_back(count);
        }
        if (blockWrites.load() && tk::WaitForEither(unblock_, *FlushEvent, tk::kInfinite) != 0) {
            return kWriteFlushed;
        }
        uint32_t n = count;
        if (writerChunk != 0) {
            n = std::min(n, writerChunk);
            tk::Sleep(1);
        }
        std::lock_guard<std::mutex> g(m_);
        sent_.append(data, n);
        return static_cast<int32_t>(n);
    }
    bool DeviceSetQueues(uint32_t, uint32_t) override {
        Record("SetQueues");
        if (!queuesOk) {
            tk::SetLastSystemError(queuesError);
        }
        return queuesOk;
    }
    void StartThreads() override {
        Record("StartThreads");
        if (realThreads) {
            TRirBaseDispatcher::StartThreads();
            return;
        }
        // The writer alone, started as the base starts each thread.
        if (ThreadsRunning_) {
            throw std::runtime_error("Dispatcher already started");
        }
        ThreadsRunning_ = true;
        KillThreads = false;
        MakeThreadEvents();
        ++LiveThreadCount;
        {
            tk::TLockGuard g(GeneralLock);
            WriterThread = std::make_unique<TOutThread>(*this);
            WriterThread->Start();
        }
        AckEvent->Wait(3000);
    }
    void StopThreads() override {
        Record("StopThreads");
        TRirBaseDispatcher::StopThreads();
    }
    int32_t DeviceOpen(const std::string& name, uint32_t, uint32_t) override {
        Record("Open " + name);
        tk::SetLastSystemError(openError);
        return openResult;
    }
    int32_t DeviceClose() override {
        Record("Close");
        if (ThreadsRunning_.load()) {
            // As a device layer does: the workers see the kill flag.
            WakeWorkers(true);
        }
        DeviceHandle_ = -1;
        return 0;
    }
    int32_t DeviceIdle() override { return 0; }
    uint8_t DeviceModemLines() override {
        std::lock_guard<std::mutex> g(m_);
        return modem_;
    }

  private:
    void Record(const std::string& call) {
        std::lock_guard<std::mutex> g(m_);
        calls_.push_back(call);
    }

    std::mutex m_;
    std::string pending_;
    uint32_t errors_ = 0;
    uint8_t modem_ = 0;
    TLineState state_{.BaudRate = 9600};
    std::vector<TRead> reads_;
    std::vector<int32_t> escapes_;
    std::vector<TLineState> applied_;
    std::vector<uint32_t> queuedAtApply_;
    std::vector<std::string> calls_;
    std::string sent_;
    std::vector<uint32_t> stretches_;
    uint32_t eventMask_ = 0;
    bool cancelled_ = false;
    int waitsBegun_ = 0;
    tk::TEvent deviceEvent_{false, false};
    tk::TEvent unblock_{false, false};
    int statusCalls_ = 0;
    int failedReads_ = 0;
};
