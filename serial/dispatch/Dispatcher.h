// The dispatcher: the device-independent engine behind one open serial port.
//
// It owns the device handle, the 8192-byte input ring and the output ring,
// the cached line settings, the trigger and handler lists, the worker threads'
// shared state and the locks and events that tie them together. It reaches
// the device only through its virtual device operations, which a device layer
// (the Win32 or POSIX dispatcher) supplies.
//
// Results are 0 (or a count) for success and a negative code of
// serial/diag/ErrorCodes.h for failure; the dispatcher never throws, except
// when its threads are started twice.
//
// Threads (Threads.cpp): a reader waits for device events, a dispatch thread
// moves input into the ring and sends the notices, a writer sends the output
// ring. They reach the device only through the device operations and the
// thread hooks below. No thread ever waits for a worker while it holds
// GeneralLock, so a worker may always take it.
//
// Locks: GeneralLock (line state, modem lines, handler and trigger lists,
// trace and log), OutputLock (output ring and the status record), InputLock
// (input ring and the notice counters). InputLock may be held while taking
// either of the others, never the other way round.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/Arrival.h"
#include "serial/Timing.h"
#include "serial/diag/DispatchLog.h"
#include "serial/diag/Trace.h"
#include "serial/dispatch/LineState.h"
#include "serial/dispatch/SavedTriggers.h"
#include "toolkit/Messages.h"
#include "toolkit/Sync.h"

class TRirComPort;
class TRirBaseDispatcher;
class TRirDispatcherThread;

// A device layer's record for the reader thread's device waits (its
// overlapped record and event on Win32; poll state on POSIX). Defined in
// serial/dispatch/DeviceWait.h.
struct TDeviceWaitRecord;

// Window messages from the dispatcher to its handlers. The long parameter
// carries the dispatcher handle in its high 16 bits and a value in the low 16.
constexpr uint32_t MsgTriggerAvail = 0x7E01;
constexpr uint32_t MsgTriggerData = 0x7E02;
constexpr uint32_t MsgTriggerTimer = 0x7E03;
constexpr uint32_t MsgTriggerStatus = 0x7E04;
constexpr uint32_t MsgPortOpened = 0x7E08;
constexpr uint32_t MsgPortClosed = 0x7E09;
constexpr uint32_t MsgPortClose = 0x7E0A;
// Posted (not sent) to the window handlers once when the device has gone
// away; the long parameter carries the dispatcher handle.
constexpr uint32_t MsgDeviceLost = 0x7E0B;

// Size of the input ring, whatever the input size of the device queue.
constexpr uint32_t kInputRingSize = 8192;
// Registry handles travel in 16 bits of a message parameter.
constexpr int32_t kMaxDispatcherHandles = 65536;

// The process-wide list of live dispatchers; a dispatcher's handle is its
// index here. Read and change it only while holding RegistryLock().
std::vector<TRirBaseDispatcher*>& DispatcherRegistry();
tk::TCriticalSection& RegistryLock();
// The dispatcher registered under handle, or nullptr. Hold RegistryLock().
TRirBaseDispatcher* FindDispatcher(int32_t handle);

// A handler's callback: (message, trigger, long parameter).
using TTriggerHandlerProc = std::function<void(uint32_t, uint32_t, int32_t)>;

struct TWindowHandlerRec {
    tk::TWindowHandle Window = 0;
    bool Deleted = false;
};
struct TProcHandlerRec {
    TTriggerHandlerProc Proc;
    bool Deleted = false;
};
struct TEventHandlerRec {
    TTriggerHandlerProc Method;
    bool Deleted = false;
    bool RunOnMainThread = false;
};

struct TTimerTriggerRec {
    uint32_t Handle = 0;
    EventTimer Timer;
    int32_t Reserved1 = 0;
    int32_t Reserved2 = 0;
    int32_t Armed = 0;
};
constexpr uint32_t kMatchSlots = 22;
constexpr uint32_t kMaxPatternLength = 24;
struct TDataTriggerRec {
    uint32_t Handle = 0;
    uint32_t Length = 0;  // 0: inactive
    std::array<uint32_t, kMatchSlots> MatchState{};
    uint32_t Matched = 0;  // 0 or all ones
    bool IgnoreCase = false;
    std::array<char, kMaxPatternLength> Pattern{};
};
struct TStatusTriggerRec {
    uint32_t Handle = 0;
    uint32_t Kind = 0;  // 1 modem status .. 5 output sent
    uint16_t Value = 0;
    uint8_t Armed = 0;
    uint8_t HitThisCycle = 0;
};

class TRirBaseDispatcher {
  public:
    explicit TRirBaseDispatcher(TRirComPort* owner);
    virtual ~TRirBaseDispatcher();
    TRirBaseDispatcher(const TRirBaseDispatcher&) = delete;
    TRirBaseDispatcher& operator=(const TRirBaseDispatcher&) = delete;

    // ---- The device operations, in slot order ----
    // 0: escape function (escSetRTS .. escGetBaseAddress); negative on failure.
    virtual int32_t DeviceEscape(int32_t function) = 0;
    // 1: discards the output (flushOutput) or input (flushInput) side.
    virtual int32_t DeviceFlush(int32_t side) = 0;
    // 2: fills status (OutQue counting the dispatcher's own output ring) and
    // returns the line-error bits the device reported.
    virtual uint32_t DeviceStatus(TComStat& status) = 0;
    // 3: called after a failed DeviceRead, with -1.
    virtual void DeviceReadFailed(int32_t code) = 0;
    // 4: reads the device's line state; 0 or -1.
    virtual int32_t DeviceGetState(TLineState& state) = 0;
    // 5: returns at once with what the device holds, at most max bytes.
    virtual int32_t DeviceRead(char* dest, uint32_t max) = 0;
    // 6: applies a line state; 0 or an error code.
    virtual int32_t DeviceSetState(const TLineState& state) = 0;
    // 7: copies into the output ring at its head (CopyIntoOutputRing) and wakes
    // the writer; returns the count accepted, 0 or negative on failure.
    virtual int32_t DeviceWrite(const char* src, uint32_t count) = 0;
    // 8: the reader thread's device wait; true when it completed at once.
    virtual bool DeviceWaitEvent(uint32_t& mask, TDeviceWaitRecord* wait) = 0;
    // 9: sets the driver's queue sizes; true on success.
    virtual bool DeviceSetQueues(uint32_t inSize, uint32_t outSize) = 0;
    // 10: stops the threads when they run and frees both rings.
    virtual void ReleaseBuffers();
    // 11: starts the reader, dispatch and writer threads; throws
    // std::runtime_error "Dispatcher already started" when they run.
    virtual void StartThreads();
    // 12: stops the threads and waits for them, serving the calling thread's
    // messages meanwhile. Call it without holding GeneralLock.
    virtual void StopThreads();
    // 13: opens the device; a handle of 0 or more, or negative (-8: no memory,
    // otherwise LastSystemError tells why).
    virtual int32_t DeviceOpen(const std::string& name, uint32_t inSize, uint32_t outSize) = 0;
    // 14: closes the device; 0, or -1 on failure.
    virtual int32_t DeviceClose() = 0;
    // 15: lets the device layer do idle work; 0.
    virtual int32_t DeviceIdle() = 0;
    // 16: thread priority boost.
    virtual void SetPriorityBoost(uint8_t boost);
    // 17: mode 0 recompute, 1 the port's handler installed, 2 removed.
    virtual void RecomputeHandlerNeed(uint8_t mode);
    // The modem lines as the device reports them: msCTS, msDSR, msRing, msDCD.
    virtual uint8_t DeviceModemLines() = 0;
    // Why the last DeviceOpen failed, where its system error alone would
    // mislead: the code to raise (ecAccessDenied, ecBadId) with a text of its
    // own, or 0 when the system error tells it right.
    virtual int32_t DeviceOpenProblem(std::string& text) const {
        text.clear();
        return 0;
    }

    // ---- The worker threads' device hooks ----
    // Reader thread: prepares the reader's wait record, sets the device event
    // mask (0x1F9 on the NT family, else 0x21F9) and the read time-outs (reads
    // return at once with what the driver holds). nullptr when it cannot. The
    // base gives a plain record, for a layer that keeps no wait state.
    virtual std::unique_ptr<TDeviceWaitRecord> DeviceBeginWaits();
    // After DeviceWaitEvent returned false: finishes that wait and stores the
    // events in mask. Returns false when the wait failed so that the reader
    // thread must end.
    virtual bool DeviceFinishWait(uint32_t& mask, TDeviceWaitRecord* wait) = 0;
    // Ends a pending device wait at once, from any thread.
    virtual void DeviceCancelWait() = 0;
    // Writer thread: writes one contiguous stretch of the output ring. Returns
    // the bytes to account as sent (a write that fails outright returns count:
    // the stretch is dropped), or kWriteFlushed when FlushEvent abandoned a
    // pending write (the writer then sets AckEvent and leaves SendPending).
    static constexpr int32_t kWriteFlushed = -1;
    virtual int32_t DeviceWriteStretch(const char* data, uint32_t count) = 0;

    // ---- Open and close ----
    // Opens the device, sets up the rings, applies the line settings and
    // starts the threads. options: opDtrOn, opRtsOn, opDtrHandshake,
    // opRtsHandshake. On failure the partial open is undone.
    int32_t OpenPort(const std::string& deviceName, uint32_t baud, uint8_t parity, uint8_t dataBits,
                     uint8_t stopBits, uint32_t inSize, uint32_t outSize, uint32_t options);
    // Flushes and closes the device, then releases the rings and threads; during
    // a notice the release is left to the dispatch thread (close pending).
    void ClosePort();
    // Finishes the dispatcher's life while the device layer still exists: the
    // destructor of every device layer calls it first. Idempotent.
    void Shutdown();

    // ---- Input ring ----
    int32_t ReadChar(char& c);
    // Copies up to max unread bytes into dest and takes them as ReadChar does;
    // returns the count (0 when the ring is empty).
    uint32_t ReadBlock(char* dest, uint32_t max);
    // As ReadBlock, but stops after the first byte equal to stop.
    uint32_t ReadUntil(char* dest, uint32_t max, char stop);
    // The n-th unread byte (n from 1) without taking it.
    int32_t PeekAt(char& c, uint32_t n);
    uint32_t InputCount();
    int32_t ClearInput();
    // Moves what the device holds into the ring; true when the ring was full
    // or the device had bytes.
    bool PullInput();
    // When a byte of the last take (ReadChar or ReadBlock) came off the
    // device: back 0 is the last byte taken, 1 the one before it, up to the
    // first byte of that take. False when nothing was taken or the byte is
    // not in that take.
    bool TakenArrival(uint32_t back, TArrivalTime& out);

    // ---- Output ring ----
    int32_t WriteBlock(const char* data, uint32_t count);
    int32_t WriteBlock(const std::string& data) {
        return WriteBlock(data.data(), static_cast<uint32_t>(data.size()));
    }
    uint32_t OutputCount();
    uint32_t OutputRoom();
    int32_t ClearOutput();
    int32_t ResizeQueues(uint32_t inSize, uint32_t outSize);
    // ORs the device's accumulated line errors into LineErrors().
    void RefreshErrors();

    // ---- Line settings, modem lines, flow control ----
    int32_t ChangeLine(uint32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
    void QueryLine(uint32_t& baud, uint16_t& parity, uint8_t& dataBits, uint8_t& stopBits);
    int32_t ApplyLineState(TLineState& state);
    void WaitOutputDrained();
    int32_t DriveDTR(uint8_t state);
    int32_t DriveRTS(uint8_t state);
    uint8_t RefreshModemStatus(uint8_t keepMask);
    uint8_t ReadModemStatus();
    void RefreshModemDelta();
    int32_t TakeLineError();
    bool TakeLineBreak();
    int32_t ApplyHardwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int32_t ApplySoftwareFlow(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int32_t CancelSoftwareFlow();
    int32_t ApplyFlowChars(char xon, char xoff);
    int32_t QueryFlow(uint32_t& hwOptions, uint32_t& swOptions, char& xon, char& xoff);
    void SetOptionFlags(uint32_t bits);
    void ClearOptionFlags(uint32_t bits);
    void SetRS485(bool on);

    // ---- Handlers and triggers ----
    void AddWindowHandler(tk::TWindowHandle window);
    void RemoveWindowHandler(tk::TWindowHandle window);
    void SetAvailThreshold(uint32_t count);
    bool NotifyHandlers(uint32_t msg, uint32_t trigger, uint32_t value);
    bool ScanInput();
    bool ScanStatusTriggers();
    bool ScanTimers();
    void ClearTriggers();
    void ResetStatusHits();
    void ResetMatchStates();
    void SaveTriggers(TSavedTriggers& save);
    void RestoreTriggers(const TSavedTriggers& save);
    static void ReleaseSavedTriggers(TSavedTriggers& save);
    static uint32_t StatusTriggerKind(uint8_t handle) { return handle & 7u; }
    // One step of a data trigger's matcher: whether a complete match of the
    // pattern (length bytes) ends at c. state holds the partial matches.
    static bool MatchStep(std::array<uint32_t, kMatchSlots>& state, char c, uint32_t length,
                          bool ignoreCase, const std::array<char, kMaxPatternLength>& pattern);

    // ---- Trace and dispatch log (each under GeneralLock) ----
    int32_t InitTrace(uint32_t capacity);
    int32_t ClearTrace();
    void ResumeTrace();
    void PauseTrace();
    void FreeTrace();
    int32_t WriteTraceFile(const std::string& fileName, bool append, bool inHex, bool allHex);
    bool Tracing() const { return Trace.Tracing(); }
    int32_t InitDispatchLog(uint32_t size);
    void ClearDispatchLog();
    void ResumeDispatchLog();
    void PauseDispatchLog();
    void FreeDispatchLog();
    int32_t WriteDispatchLogFile(const std::string& fileName, bool append, bool inHex, bool allHex);
    bool Logging() const { return Log.Logging(); }
    // Records a log entry when logging is on.
    void AddDispatchEntry(uint8_t kind, uint8_t subtype, uint32_t value, const void* data,
                          uint32_t length);
    void SetDeviceName(const std::string& name);

    // ---- State ----
    TRirComPort* Owner() const { return owner_; }
    // The owner is gone; the dispatcher finishes its close on its own.
    void ForgetOwner() { owner_ = nullptr; }
    int32_t Handle() const { return handle_; }
    int32_t DeviceHandle() const { return DeviceHandle_.load(); }
    bool IsOpen() const { return DeviceHandle_.load() >= 0; }
    uint32_t InputSize() const { return InputSize_; }
    uint32_t OutputSize() const { return OutputSize_; }
    uint32_t LineErrors() const { return LineErrors_.load(); }
    // Whether the device reported that it has gone away (leDeviceLost) since
    // the port opened.
    bool DeviceLost() const { return DeviceLost_.load(); }
    uint8_t ModemStatus();
    uint32_t OptionFlags();
    uint32_t LastBaud();
    bool RS485() const { return Rs485Mode.load(); }
    uint16_t BaseAddress() const { return BaseAddress_.load(); }
    bool DtrState() const { return DtrState_.load(); }
    bool RtsState() const { return RtsState_.load(); }
    bool DtrAuto() const { return DtrAuto_.load(); }
    bool RtsAuto() const { return RtsAuto_.load(); }
    bool NoticeBusy() const { return NoticeBusy_.load(); }
    bool ClosePending() const { return ClosePending_.load(); }
    bool ThreadsRunning() const { return ThreadsRunning_.load(); }
    bool HasBuffers();
    uint32_t AvailThreshold();
    uint32_t TimeBase() const { return Log.TimeBase(); }

    tk::TCriticalSection GeneralLock;
    tk::TCriticalSection OutputLock;
    tk::TCriticalSection InputLock;

  protected:
    // Copies count bytes into the output ring at its head, wrapping at its end,
    // under OutputLock (the body of a device layer's DeviceWrite). The caller
    // has checked the room; the full flag is WriteBlock's.
    void CopyIntoOutputRing(const char* src, uint32_t count);
    // Bytes waiting in the output ring, for a device layer's DeviceStatus.
    uint32_t OutputRingUsed();
    // Empties the output ring for a flush (under OutputLock) and counts the
    // flush, so that the writer does not account a stretch it took before
    // against the emptied ring, wherever that stretch began.
    void EmptyOutputRing();
    // Used bytes of the input ring. Hold InputLock.
    uint32_t InputUsed() const {
        if (InTail == InHead) {
            return InFull ? kInputRingSize : 0;
        }
        return InTail < InHead ? InHead - InTail : InHead + kInputRingSize - InTail;
    }
    // Ends the input side of a data notice: the tail moves by the most any
    // handler took. Returns that count.
    uint32_t EndInputNotice();
    // The moment to give the bytes that a device read has just brought in,
    // called on the dispatch thread under InputLock right after the read:
    // the clocks now. A device layer whose own wait saw the bytes come first
    // may give that moment instead.
    virtual TArrivalTime ReadArrivalTime();
    // Adds the mark of a read of count bytes starting at InArrived. Hold InputLock.
    void AddArrivalMark(const TArrivalTime& time, uint32_t count);
    // Fills the status record from the device and ORs in the line errors;
    // returns the record.
    TComStat RefreshStatus();

    // ---- The worker threads' work (dispatch and writer threads) ----
    // One pass after a device event or a 50 ms pause: status scans, input
    // moved into the ring, trigger scans and notices; sets DoneEvent.
    void DispatchCycle();
    // Status and timer scans of a quiet moment.
    void IdleScan();
    // Logs and posts (MsgDeviceLost) a loss that RefreshStatus found. Hold no lock.
    void ReportDeviceLost();
    // Sends the output ring, one contiguous stretch at a time.
    void SendPending();
    // Runs an event handler on the main thread while the dispatch thread waits.
    void DeliverSynchronized(uint32_t msg, uint32_t trigger, int32_t lParam,
                             const TTriggerHandlerProc& method);
    // The last step of every thread body: the thread's reference goes, the
    // dispatch thread releases the buffers of a close left to it, and the
    // last thread clears ThreadsRunning.
    void ThreadFinished(TRirDispatcherThread* thread);
    // Whether the calling thread is one of this dispatcher's workers.
    bool OnWorkerThread() const;
    // Makes those of the six thread events that do not exist.
    void MakeThreadEvents();
    // Wakes the workers so that they see the kill flag (set first when kill
    // is true): the reader's device wait is cancelled, the reader's wait for
    // the dispatch cycle ends, and AckEvent is cleared for their answers.
    void WakeWorkers(bool kill);

    // Device.
    std::atomic<int32_t> DeviceHandle_{-1};
    uint32_t InputSize_ = 0;
    uint32_t OutputSize_ = 0;

    // Status.
    std::atomic<uint32_t> LineErrors_{0};
    std::atomic<bool> DeviceLost_{false};
    std::atomic<bool> DeviceLostPending_{false};  // not yet logged and posted
    TComStat Status;                              // OutputLock
    uint8_t ModemStatus_ = 0;                     // GeneralLock

    // Line (GeneralLock, except the flags that a write path reads lock-free).
    TLineState LineState;
    uint32_t LastBaud_ = 0;
    uint32_t OptionWord = 0;
    std::atomic<bool> DtrState_{false};
    std::atomic<bool> DtrAuto_{false};
    std::atomic<bool> RtsState_{false};
    std::atomic<bool> RtsAuto_{false};
    std::atomic<bool> Rs485Mode{false};
    std::atomic<uint16_t> BaseAddress_{0};

    // Handlers and triggers (GeneralLock).
    bool PortHandlerInstalled = false;
    std::atomic<bool> HandlerServiceNeeded{false};
    std::vector<std::unique_ptr<TWindowHandlerRec>> WindowHandlers;
    std::vector<std::unique_ptr<TProcHandlerRec>> ProcHandlers;
    std::vector<std::unique_ptr<TEventHandlerRec>> EventHandlers;
    std::vector<TTimerTriggerRec> TimerTriggers;
    std::vector<TDataTriggerRec> DataTriggers;
    std::vector<TStatusTriggerRec> StatusTriggers;
    uint32_t ScanPos = 0;    // dispatch thread
    uint32_t NoticePos = 0;  // dispatch thread
    // The same two counted in bytes since the open, next to InArrived: a ring
    // that filled up brings its head back to the same position, and these
    // still tell that bytes arrived.
    uint64_t ScanCount = 0;    // dispatch thread
    uint64_t NoticeCount = 0;  // dispatch thread
    // The last data-available notice timed out at a window: the bytes still
    // unread are offered again even though none came since.
    bool AvailNoticeLost = false;  // dispatch thread
    uint32_t AvailThreshold_ = 0;
    bool StatusHitThisCycle = false;

    // Notice (InputLock).
    bool NoticeInProgress = false;
    uint32_t TakenDuringNotice = 0;
    uint32_t MostTakenDuringNotice = 0;

    // Input ring (InputLock).
    std::unique_ptr<char[]> InBuf;
    uint32_t InHead = 0;
    uint32_t InTail = 0;
    bool InFull = false;
    uint64_t InArrived = 0;  // bytes moved into the ring since the open

    // Arrival marks (InputLock): beside the ring, one mark per device read
    // that brought bytes, at the stream position (counted like InArrived) of
    // its first byte; a byte came with the last mark at or before it. Marks
    // of bytes that left the ring go as new ones come, so there are never
    // more than the ring has bytes, plus the last take's.
    struct TArrivalMark {
        uint64_t Pos = 0;
        TArrivalTime Time;
    };
    std::deque<TArrivalMark> ArrivalMarks;
    uint64_t LastTakeFirst = 0;  // stream positions of the last take's bytes,
    uint64_t LastTakeEnd = 0;    // first and one past the last
    // Bytes the device already held when it was opened came at some moment
    // before: their arrival is not known. The stream position where known
    // arrivals begin.
    uint64_t ArrivalKnownFrom = 0;

    // Output ring (OutputLock).
    std::unique_ptr<char[]> OutBuf;
    uint32_t OutHead = 0;
    uint32_t OutTail = 0;
    bool OutFull = false;
    std::atomic<bool> OutputSentPending{false};
    uint32_t OutFlushes = 0;  // flushes since the open

    // Threads. The references (GeneralLock) are cleared by ThreadFinished;
    // the objects of ended threads wait in FinishedThreads until a thread
    // that is not a worker joins them.
    std::atomic<bool> KillThreads{false};
    std::unique_ptr<TRirDispatcherThread> ReaderThread;
    std::unique_ptr<TRirDispatcherThread> DispatchThread;
    std::unique_ptr<TRirDispatcherThread> WriterThread;
    std::vector<std::unique_ptr<TRirDispatcherThread>> FinishedThreads;
    uint8_t PriorityBoost = 0;
    std::unique_ptr<tk::TEvent> WakeEvent;
    std::unique_ptr<tk::TEvent> DoneEvent;
    std::unique_ptr<tk::TEvent> AckEvent;
    std::unique_ptr<tk::TEvent> OutputReadyEvent;
    std::unique_ptr<tk::TEvent> FlushEvent;
    std::unique_ptr<tk::TEvent> WriteDoneEvent;
    std::atomic<uint32_t> CurrentEventMask{0};
    std::atomic<bool> RingSeen{false};
    std::atomic<bool> ThreadsRunning_{false};
    std::atomic<bool> ReleasePending{false};
    std::atomic<bool> Releasing{false};  // a ReleaseBuffers is under way
    std::atomic<int32_t> LiveThreadCount{0};

    // Flags.
    std::atomic<bool> NoticeBusy_{false};
    std::atomic<bool> DeletePending{false};
    std::atomic<bool> ClosePending_{false};

    // Diagnostics (GeneralLock).
    TTraceRecorder Trace;
    TDispatchLog Log;

  private:
    friend class TRirDispatcherThread;
    friend class TComThread;
    friend class TDispThread;
    friend class TOutThread;

    void WriterPriority(int base);
    // ReadBlock and ReadUntil: takes up to max unread bytes, cut after the
    // first byte equal to *stop when stop is set.
    uint32_t TakeInput(char* dest, uint32_t max, const char* stop);
    // Thread bodies.
    void ReaderBody();
    void DispatchBody();
    void WriterBody();
    // Serves the calling thread's messages until done() holds or timeoutMs
    // passed (kInfinite: no limit); whether done() held.
    bool PumpUntil(const std::function<bool()>& done, uint32_t timeoutMs);
    // Joins the objects of ended threads (never from a worker).
    void JoinFinishedThreads();
    // Closes the six events.
    void CloseThreadEvents();

    TRirComPort* owner_;
    int32_t handle_ = -1;
    bool shutDown_ = false;
};
