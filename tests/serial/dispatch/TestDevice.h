// A device layer on memory for driving the dispatcher in tests: input bytes
// are queued by the test, writes land in the output ring and a real writer
// thread moves them into Sent(), line states and escapes are recorded.
#pragma once

#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "serial/dispatch/Dispatcher.h"
#include "toolkit/OsInfo.h"

class TTestDispatcher : public TRirBaseDispatcher {
  public:
    TTestDispatcher() : TRirBaseDispatcher(nullptr) {}
    ~TTestDispatcher() override { Shutdown(); }

    // ---- what the test sets up ----
    void QueueInput(const std::string& bytes) {
        std::lock_guard<std::mutex> g(m_);
        pending_ += bytes;
    }
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
    int32_t readFailure = 0;   // non-zero: DeviceRead returns it
    int32_t writeResult = -1;  // -1: accept every byte; otherwise return this
    uint32_t writerChunk = 0;  // 0: the writer sends everything at once; else per ms

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
    int32_t Live() { return __atomic_load_n(&LiveThreadCount, __ATOMIC_SEQ_CST); }

    // ---- the device operations ----
    int32_t DeviceEscape(int32_t function) override {
        std::lock_guard<std::mutex> g(m_);
        escapes_.push_back(function);
        return escapeResult;
    }
    int32_t DeviceFlush(int32_t side) override {
        Record(side == flushOutput ? "FlushOutput" : "FlushInput");
        if (side == flushOutput) {
            tk::TLockGuard out(OutputLock);
            OutHead = 0;
            OutTail = 0;
            OutFull = false;
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
    bool DeviceWaitEvent(uint32_t&, TDeviceWaitRecord*) override { return false; }
    bool DeviceSetQueues(uint32_t, uint32_t) override {
        Record("SetQueues");
        if (!queuesOk) {
            tk::SetLastSystemError(queuesError);
        }
        return queuesOk;
    }
    void StartThreads() override {
        Record("StartThreads");
        if (ThreadsRunning_) {
            throw std::runtime_error("Dispatcher already started");
        }
        ThreadsRunning_ = true;
        KillThreads = false;
        WriterThread = std::make_unique<tk::TThread>([this] { WriterBody(); });
        AckEvent->Wait(3000);
    }
    void StopThreads() override {
        Record("StopThreads");
        KillThreads = true;
        if (WriterThread) {
            OutputReadyEvent->Set();
            WriterThread->WaitFor(tk::kInfinite);
            WriterThread.reset();
        }
        ThreadsRunning_ = false;
    }
    int32_t DeviceOpen(const std::string& name, uint32_t, uint32_t) override {
        Record("Open " + name);
        tk::SetLastSystemError(openError);
        return openResult;
    }
    int32_t DeviceClose() override {
        Record("Close");
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

    // Sends the output ring's bytes to Sent(), all at once or writerChunk a ms.
    void WriterBody() {
        tk::AtomicIncrement(&LiveThreadCount);
        AckEvent->Set();
        while (!KillThreads) {
            OutputReadyEvent->Wait(writerChunk ? 1 : 20);
            std::string stretch;
            {
                tk::TLockGuard out(OutputLock);
                uint32_t n = OutputRingUsed();
                if (writerChunk) {
                    n = std::min(n, writerChunk);
                }
                for (uint32_t i = 0; i < n; ++i) {
                    stretch += OutBuf[OutTail];
                    OutTail = (OutTail + 1) % OutputSize_;
                }
                if (n > 0) {
                    OutFull = false;
                }
            }
            std::lock_guard<std::mutex> g(m_);
            sent_ += stretch;
        }
        tk::AtomicDecrement(&LiveThreadCount);
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
    int statusCalls_ = 0;
    int failedReads_ = 0;
};
