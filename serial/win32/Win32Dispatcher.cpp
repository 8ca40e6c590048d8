// The Win32 device layer: communications calls on one overlapped handle.
#define WIN32_LEAN_AND_MEAN
#define NOGDI
#define NOUSER
#include "serial/win32/Win32Dispatcher.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "serial/diag/ErrorCodes.h"
#include "toolkit/OsInfo.h"

namespace {

// Event masks of the reader's device waits.
constexpr DWORD kMaskNT = 0x1F9;      // RXCHAR CTS DSR RLSD BREAK ERR RING
constexpr DWORD kMaskOther = 0x21F9;  // the same plus the older family's second ring bit
constexpr DWORD kSecondRingBit = 0x2000;

// How long an output flush waits for the writer's acknowledgement.
constexpr uint32_t kFlushAckMs = 5000;

// The pause after a device wait that the device refused.
constexpr int kRefusedWaitPauseMs = 50;
// A pending device wait is waited for in slices; once the threads are to
// stop, a wait that cancels have not ended after this many slices is given
// up (a handle closed under it may never complete it).
constexpr DWORD kWaitSliceMs = 100;
constexpr int kStopWaitSlices = 5;

// How long a write that a flush abandoned may take to report its cancellation.
constexpr DWORD kCancelWaitMs = 5000;

HANDLE AsHandle(int32_t value) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(value));
}

// The negated last error; a failure that left no error number still fails.
int32_t NegatedLastError() {
    const DWORD err = GetLastError();
    return err == 0 || err > 0x7FFFFFFF ? -static_cast<int32_t>(ERROR_GEN_FAILURE)
                                        : -static_cast<int32_t>(err);
}

HANDLE NewOverlappedEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

// An overlapped record with the mask word that an event wait fills in when
// it completes (the system writes it later, so it lives with the record).
struct TRirWin32Dispatcher::TOverlapped {
    OVERLAPPED ov{};
    DWORD mask = 0;
};

// The reader thread's wait record: its own overlapped record and event. It
// is known to the dispatcher while it lives, so that a cancel from another
// thread can end a wait that a cleared event mask does not end. A wait given
// up while still pending leaves its overlapped record and event to the
// system, which may still complete it, for the life of the process.
struct TRirWin32Dispatcher::TWaitRecord final : TDeviceWaitRecord {
    explicit TWaitRecord(TRirWin32Dispatcher& d) : owner(d) {}
    ~TWaitRecord() override {
        {
            std::lock_guard<std::mutex> g(owner.waitMutex_);
            if (owner.activeWait_ == this) {
                owner.activeWait_ = nullptr;
            }
        }
        if (!io->ov.hEvent) {
            return;
        }
        if (HasOverlappedIoCompleted(&io->ov)) {
            CloseHandle(io->ov.hEvent);
            return;
        }
        static std::mutex m;
        static std::vector<std::unique_ptr<TOverlapped>> leftToSystem;
        std::lock_guard<std::mutex> g(m);
        leftToSystem.push_back(std::move(io));
    }
    TRirWin32Dispatcher& owner;
    std::unique_ptr<TOverlapped> io = std::make_unique<TOverlapped>();
    DWORD error = 0;  // the last error of a wait that did not complete at once
};

TRirWin32Dispatcher::TRirWin32Dispatcher(TRirComPort* owner)
    : TRirBaseDispatcher(owner),
      readRec_(std::make_unique<TOverlapped>()),
      writeRec_(std::make_unique<TOverlapped>()) {}

TRirWin32Dispatcher::~TRirWin32Dispatcher() {
    Shutdown();
    CloseOverlappedEvents();
}

void* TRirWin32Dispatcher::NativeHandle() const {
    const int32_t h = DeviceHandle_.load();
    return h < 0 ? nullptr : AsHandle(h);
}

bool TRirWin32Dispatcher::CreateOverlappedEvents() {
    CloseOverlappedEvents();  // a close that failed may have left them
    readEvent_ = NewOverlappedEvent();
    writeEvent_ = NewOverlappedEvent();
    if (readEvent_ && writeEvent_) {
        return true;
    }
    CloseOverlappedEvents();
    return false;
}

void TRirWin32Dispatcher::CloseOverlappedEvents() {
    if (readEvent_) {
        CloseHandle(readEvent_);
        readEvent_ = nullptr;
    }
    if (writeEvent_) {
        CloseHandle(writeEvent_);
        writeEvent_ = nullptr;
    }
}

// ---------------------------------------------------------------- open and close

int32_t TRirWin32Dispatcher::DeviceOpen(const std::string& name, uint32_t, uint32_t) {
    HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const intptr_t value = reinterpret_cast<intptr_t>(h);
    if (value < 0 || value > INT32_MAX) {
        // Kernel handles fit in 32 bits; anything else is not a device handle.
        CloseHandle(h);
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    DeviceHandle_ = static_cast<int32_t>(value);
    if (!CreateOverlappedEvents()) {
        CloseHandle(h);
        DeviceHandle_ = -1;
        return ecOutOfMemory;
    }
    return static_cast<int32_t>(value);
}

int32_t TRirWin32Dispatcher::DeviceClose() {
    {
        // DeviceRead runs under InputLock on the dispatch thread: its event
        // must not be closed under a read in progress.
        tk::TLockGuard in(InputLock);
        CloseOverlappedEvents();
    }
    if (ThreadsRunning_.load()) {
        WakeWorkers(true);
    }
    // The handle is forgotten before it is closed: the system may hand its
    // value out again at once, and no thread may use it by then.
    const int32_t value = DeviceHandle_.exchange(-1);
    if (value < 0) {
        return -1;
    }
    if (!CloseHandle(AsHandle(value))) {
        DeviceHandle_ = value;
        return -1;
    }
    return 0;
}

TRirTAPI32Dispatcher::TRirTAPI32Dispatcher(TRirComPort* owner, int32_t handle)
    : TRirWin32Dispatcher(owner), lineHandle_(handle) {}

int32_t TRirTAPI32Dispatcher::DeviceOpen(const std::string&, uint32_t, uint32_t) {
    if (!CreateOverlappedEvents()) {
        DeviceClose();
        return -1;
    }
    if (lineHandle_ > 0) {  // a negative value is no handle either
        // The dispatcher owns the handle from here on and closes it with the port.
        return std::exchange(lineHandle_, 0);
    }
    // No handle: the events must not outlive the failed open.
    CloseOverlappedEvents();
    SetLastError(2007);
    return ecCommNotOpen;
}

// ---------------------------------------------------------------- device operations

int32_t TRirWin32Dispatcher::DeviceEscape(int32_t function) {
    EscapeCommFunction(NativeHandle(), static_cast<DWORD>(function));
    return 0;
}

int32_t TRirWin32Dispatcher::DeviceFlush(int32_t side) {
    HANDLE h = NativeHandle();
    BOOL purged = FALSE;
    if (side != flushOutput || !WriterRunning()) {
        purged = PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR);
    } else {
        // The ring is emptied before the writer is asked to let go: between
        // its answer and a later emptying it could take a new stretch of the
        // old bytes and send them after the flush. Then the writer abandons a
        // pending write and acknowledges, or the wait runs out.
        EmptyOutputRing();
        FlushEvent->Set();
        AckEvent->Wait(kFlushAckMs);
        tk::TLockGuard out(OutputLock);
        purged = PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    return purged == 1 ? 0 : NegatedLastError();
}

uint32_t TRirWin32Dispatcher::DeviceStatus(TComStat& status) {
    DWORD errors = 0;
    COMSTAT cs{};
    const BOOL ok = ClearCommError(NativeHandle(), &errors, &cs);
    if (ok) {
        status.Flags = (cs.fCtsHold ? 0x01u : 0u) | (cs.fDsrHold ? 0x02u : 0u) |
                       (cs.fRlsdHold ? 0x04u : 0u) | (cs.fXoffHold ? 0x08u : 0u) |
                       (cs.fXoffSent ? 0x10u : 0u) | (cs.fEof ? 0x20u : 0u) |
                       (cs.fTxim ? 0x40u : 0u);
        status.InQue = cs.cbInQue;
    } else {
        status.Flags = 0;
        status.InQue = 0;
    }
    status.OutQue = OutputRingUsed();
    return ok ? errors : 0;
}

void TRirWin32Dispatcher::DeviceReadFailed(int32_t) {}

int32_t TRirWin32Dispatcher::DeviceGetState(TLineState& state) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (GetCommState(NativeHandle(), &dcb) != 1) {
        return -1;
    }
    state.BaudRate = dcb.BaudRate;
    state.Flags = (dcb.fBinary ? lsfBinary : 0u) | (dcb.fParity ? lsfParity : 0u) |
                  (dcb.fOutxCtsFlow ? lsfOutxCtsFlow : 0u) |
                  (dcb.fOutxDsrFlow ? lsfOutxDsrFlow : 0u) | ((dcb.fDtrControl & 3u) << 4) |
                  (dcb.fDsrSensitivity ? lsfDsrSensitivity : 0u) |
                  (dcb.fTXContinueOnXoff ? lsfTXContinueOnXoff : 0u) | (dcb.fOutX ? lsfOutX : 0u) |
                  (dcb.fInX ? lsfInX : 0u) | (dcb.fErrorChar ? lsfErrorChar : 0u) |
                  (dcb.fNull ? lsfNull : 0u) | ((dcb.fRtsControl & 3u) << 12) |
                  (dcb.fAbortOnError ? lsfAbortOnError : 0u);
    state.XonLim = dcb.XonLim;
    state.XoffLim = dcb.XoffLim;
    state.ByteSize = dcb.ByteSize;
    state.Parity = dcb.Parity;
    state.StopBits = dcb.StopBits;
    state.XonChar = dcb.XonChar;
    state.XoffChar = dcb.XoffChar;
    state.ErrorChar = dcb.ErrorChar;
    state.EofChar = dcb.EofChar;
    state.EvtChar = dcb.EvtChar;
    return 0;
}

int32_t TRirWin32Dispatcher::DeviceSetState(const TLineState& state) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    dcb.BaudRate = state.BaudRate;
    const uint32_t f = state.Flags;
    dcb.fBinary = (f & lsfBinary) != 0;
    dcb.fParity = (f & lsfParity) != 0;
    dcb.fOutxCtsFlow = (f & lsfOutxCtsFlow) != 0;
    dcb.fOutxDsrFlow = (f & lsfOutxDsrFlow) != 0;
    dcb.fDtrControl = (f & lsfDtrControlMask) >> 4;
    dcb.fDsrSensitivity = (f & lsfDsrSensitivity) != 0;
    dcb.fTXContinueOnXoff = (f & lsfTXContinueOnXoff) != 0;
    dcb.fOutX = (f & lsfOutX) != 0;
    dcb.fInX = (f & lsfInX) != 0;
    dcb.fErrorChar = (f & lsfErrorChar) != 0;
    dcb.fNull = (f & lsfNull) != 0;
    dcb.fRtsControl = (f & lsfRtsControlMask) >> 12;
    dcb.fAbortOnError = (f & lsfAbortOnError) != 0;
    dcb.XonLim = state.XonLim;
    dcb.XoffLim = state.XoffLim;
    dcb.ByteSize = state.ByteSize;
    dcb.Parity = state.Parity;
    dcb.StopBits = state.StopBits;
    dcb.XonChar = state.XonChar;
    dcb.XoffChar = state.XoffChar;
    dcb.ErrorChar = state.ErrorChar;
    dcb.EofChar = state.EofChar;
    dcb.EvtChar = state.EvtChar;
    if (SetCommState(NativeHandle(), &dcb)) {
        return 0;
    }
    return NegatedLastError();
}

int32_t TRirWin32Dispatcher::DeviceRead(char* dest, uint32_t max) {
    tk::TLockGuard in(InputLock);  // already held on the dispatch thread's way here
    if (!readEvent_) {
        return 0;
    }
    TOverlapped& rec = *readRec_;
    rec.ov = OVERLAPPED{};
    rec.ov.hEvent = readEvent_;
    DWORD count = 0;
    if (!ReadFile(NativeHandle(), dest, max, &count, &rec.ov)) {
        count = 0;
        if (GetLastError() == ERROR_IO_PENDING) {
            if (GetOverlappedResult(NativeHandle(), &rec.ov, &count, TRUE)) {
                ResetEvent(readEvent_);
            } else {
                count = 0;
            }
        }
    }
    return static_cast<int32_t>(count > max ? max : count);
}

int32_t TRirWin32Dispatcher::DeviceWrite(const char* src, uint32_t count) {
    CopyIntoOutputRing(src, count);
    if (OutputReadyEvent) {
        OutputReadyEvent->Set();
    }
    return static_cast<int32_t>(count);
}

bool TRirWin32Dispatcher::DeviceWaitEvent(uint32_t& mask, TDeviceWaitRecord* wait) {
    auto* rec = static_cast<TWaitRecord*>(wait);
    rec->error = 0;
    if (KillThreads.load()) {
        mask = 0;  // stopping: no new wait, the reader sees the kill flag
        return true;
    }
    HANDLE h = NativeHandle();
    if (WaitCommEvent(h, &rec->io->mask, &rec->io->ov)) {
        mask = rec->io->mask;
        NoteWaitArrival(mask);
        return true;
    }
    rec->error = GetLastError();
    if (rec->error == ERROR_IO_PENDING && KillThreads.load()) {
        // The stop cleared the event mask just before this wait began, so
        // the mask change cannot end it: cancel it instead.
        CancelIoEx(h, &rec->io->ov);
    }
    SetLastError(rec->error);
    return false;
}

void TRirWin32Dispatcher::NoteWaitArrival(uint32_t mask) {
    if (mask & EV_RXCHAR) {
        const TArrivalTime now = TArrivalTime::Now();
        std::lock_guard<std::mutex> g(waitMutex_);
        waitArrival_ = now;
    }
}

TArrivalTime TRirWin32Dispatcher::ReadArrivalTime() {
    // The wait saw the first of these bytes come, unless a read since then
    // (a quiet cycle's) took them already: then the moment is now.
    const TArrivalTime now = TArrivalTime::Now();
    TArrivalTime seen;
    {
        std::lock_guard<std::mutex> g(waitMutex_);
        seen = waitArrival_;
        waitArrival_ = TArrivalTime{};
    }
    const TArrivalTime result = seen.Known() && seen.MonoUs > lastReadUs_ ? seen : now;
    lastReadUs_ = now.MonoUs;
    return result;
}

bool TRirWin32Dispatcher::DeviceSetQueues(uint32_t inSize, uint32_t outSize) {
    return SetupComm(NativeHandle(), inSize, outSize) != 0;
}

int32_t TRirWin32Dispatcher::DeviceIdle() {
    ::Sleep(0);
    return 0;
}

uint8_t TRirWin32Dispatcher::DeviceModemLines() {
    DWORD lines = 0;
    if (!GetCommModemStatus(NativeHandle(), &lines)) {
        return 0;
    }
    return static_cast<uint8_t>(lines & 0xF0);
}

// ---------------------------------------------------------------- threads

bool TRirWin32Dispatcher::WriterRunning() {
    tk::TLockGuard g(GeneralLock);
    return WriterThread != nullptr;
}

std::unique_ptr<TDeviceWaitRecord> TRirWin32Dispatcher::DeviceBeginWaits() {
    auto rec = std::make_unique<TWaitRecord>(*this);
    rec->io->ov.hEvent = NewOverlappedEvent();
    if (!rec->io->ov.hEvent) {
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> g(waitMutex_);
        activeWait_ = rec.get();
    }
    HANDLE h = NativeHandle();
    const DWORD mask = tk::IsWindowsNT() ? kMaskNT : kMaskOther;
    waitMask_ = mask;
    SetCommMask(h, mask);
    // Reads return at once with what the driver holds, possibly nothing.
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(h, &t);
    return rec;
}

bool TRirWin32Dispatcher::DeviceFinishWait(uint32_t& mask, TDeviceWaitRecord* wait) {
    auto* rec = static_cast<TWaitRecord*>(wait);
    HANDLE h = NativeHandle();
    if (rec->error == ERROR_IO_PENDING) {
        OVERLAPPED& ov = rec->io->ov;
        int slicesStopping = 0;
        for (;;) {
            const DWORD w = WaitForSingleObject(ov.hEvent, kWaitSliceMs);
            if (w == WAIT_OBJECT_0) {
                break;
            }
            if (w != WAIT_TIMEOUT) {
                return false;
            }
            if (KillThreads.load()) {
                if (++slicesStopping > kStopWaitSlices) {
                    return false;
                }
                if (HANDLE now = NativeHandle()) {
                    CancelIoEx(now, &ov);
                }
            }
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(h, &ov, &unused, FALSE)) {
            return false;
        }
        mask = rec->io->mask;
        NoteWaitArrival(mask);
        if (mask & (kSecondRingBit | EV_RING)) {
            RingSeen = true;
        }
        ResetEvent(ov.hEvent);
    } else if (rec->error == ERROR_INVALID_PARAMETER && (waitMask_.load() & kSecondRingBit)) {
        waitMask_ = kMaskNT;
        SetCommMask(h, kMaskNT);
    } else {
        // The device refused the wait outright (a device that went away does
        // so at once, every time): ignored, but paced like an idle dispatch
        // cycle so that the reader does not spin. A stop ends the pause.
        for (int i = 0; i < kRefusedWaitPauseMs / 5 && !KillThreads.load(); ++i) {
            ::Sleep(5);
        }
    }
    return true;
}

void TRirWin32Dispatcher::DeviceCancelWait() {
    HANDLE h = NativeHandle();
    SetCommMask(h, 0);
    if (KillThreads.load()) {
        // A wait that began after the mask was cleared is not ended by it
        // on every system; a stop cancels it outright.
        std::lock_guard<std::mutex> g(waitMutex_);
        if (activeWait_) {
            CancelIoEx(h, &activeWait_->io->ov);
        }
    }
}

int32_t TRirWin32Dispatcher::DeviceWriteStretch(const char* data, uint32_t count) {
    HANDLE h = NativeHandle();
    HANDLE done = WriteDoneEvent ? static_cast<HANDLE>(WriteDoneEvent->NativeHandle()) : nullptr;
    if (!h || !done) {
        return static_cast<int32_t>(count);  // nowhere to write: the stretch is dropped
    }
    TOverlapped& rec = *writeRec_;
    rec.ov = OVERLAPPED{};
    rec.ov.hEvent = done;
    DWORD written = 0;
    if (WriteFile(h, data, count, &written, &rec.ov)) {
        ResetEvent(done);
        return static_cast<int32_t>(written > count ? count : written);
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return static_cast<int32_t>(count);
    }
    if (tk::WaitForEither(*WriteDoneEvent, *FlushEvent, tk::kInfinite) == tk::kWaitObject0) {
        if (!GetOverlappedResult(h, &rec.ov, &written, FALSE)) {
            written = count;  // the write failed after all: drop the stretch
        }
        ResetEvent(done);
        return static_cast<int32_t>(written > count ? count : written);
    }
    // A flush abandons the write. It still reads from the ring and uses the
    // record, so it is cancelled and its end awaited before either is reused.
    CancelIoEx(h, &rec.ov);
    if (WaitForSingleObject(done, kCancelWaitMs) == WAIT_OBJECT_0) {
        GetOverlappedResult(h, &rec.ov, &written, FALSE);
    }
    ResetEvent(done);
    return kWriteFlushed;
}
