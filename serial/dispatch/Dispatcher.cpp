// The dispatcher's registry, life cycle and the input and output rings.
#include "serial/dispatch/Dispatcher.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/DeviceWait.h"
#include "serial/dispatch/DispatcherThreads.h"
#include "toolkit/MainThreadCalls.h"
#include "toolkit/OsInfo.h"

namespace {

// The negated last system error, or fallback when the device layer left none
// (a failure must never read as success).
int32_t NegatedLastError(int32_t fallback) {
    const uint32_t err = tk::LastSystemError();
    if (err == 0 || err > 0x7FFFFFFFu) {
        return fallback;
    }
    return -static_cast<int32_t>(err);
}

}  // namespace

// ---------------------------------------------------------------- registry

std::vector<TRirBaseDispatcher*>& DispatcherRegistry() {
    static std::vector<TRirBaseDispatcher*> registry;
    return registry;
}

tk::TCriticalSection& RegistryLock() {
    static tk::TCriticalSection lock;
    return lock;
}

TRirBaseDispatcher* FindDispatcher(int32_t handle) {
    auto& reg = DispatcherRegistry();
    if (handle < 0 || static_cast<size_t>(handle) >= reg.size()) {
        return nullptr;
    }
    return reg[static_cast<size_t>(handle)];
}

// ---------------------------------------------------------------- life cycle

TRirBaseDispatcher::TRirBaseDispatcher(TRirComPort* owner) : owner_(owner) {
    // Event handlers that run on the main thread are served by it: a
    // dispatcher made there prepares it (nothing happens on other threads).
    tk::PrepareMainThreadCalls();
    // Touch the registry's statics first so that they outlive every dispatcher.
    tk::TLockGuard guard(RegistryLock());
    auto& reg = DispatcherRegistry();
    handle_ = -1;
    auto empty = std::find(reg.begin(), reg.end(), nullptr);
    if (empty != reg.end()) {
        *empty = this;
        handle_ = static_cast<int32_t>(empty - reg.begin());
    } else if (reg.size() < static_cast<size_t>(kMaxDispatcherHandles)) {
        // Handles travel in 16 bits: beyond them the dispatcher stays
        // unregistered and OpenPort refuses it.
        reg.push_back(this);
        handle_ = static_cast<int32_t>(reg.size() - 1);
    }
}

TRirBaseDispatcher::~TRirBaseDispatcher() {
    // A device layer has run Shutdown() in its own destructor; the virtual
    // device operations are gone by now.
    tk::TLockGuard guard(RegistryLock());
    auto& reg = DispatcherRegistry();
    if (handle_ >= 0 && static_cast<size_t>(handle_) < reg.size() &&
        reg[static_cast<size_t>(handle_)] == this) {
        reg[static_cast<size_t>(handle_)] = nullptr;
    }
    while (!reg.empty() && reg.back() == nullptr) {
        reg.pop_back();
    }
}

void TRirBaseDispatcher::Shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    if (ClosePending_.load()) {
        ReleaseBuffers();
    } else {
        ClosePort();
    }
    // Serve this thread's messages while worker threads finish: one of them
    // may be waiting for a notice to be handled here.
    PumpUntil([this] { return LiveThreadCount.load() == 0; }, tk::kInfinite);
    JoinFinishedThreads();
}

int32_t TRirBaseDispatcher::OpenPort(const std::string& deviceName, uint32_t baud, uint8_t parity,
                                     uint8_t dataBits, uint8_t stopBits, uint32_t inSize,
                                     uint32_t outSize, uint32_t options) {
    if (handle_ < 0) {
        return ecNoHandles;
    }
    if (DeviceHandle_.load() >= 0 || ThreadsRunning_.load()) {
        return ecAlreadyOpen;
    }

    RingSeen = false;
    DeviceLost_ = false;
    DeviceLostPending_ = false;
    {
        tk::TLockGuard in(InputLock);
        InBuf.reset();
    }
    {
        tk::TLockGuard out(OutputLock);
        OutBuf.reset();
    }
    NoticeBusy_ = false;
    DeletePending = false;

    WakeEvent = std::make_unique<tk::TEvent>(false, false);
    DoneEvent = std::make_unique<tk::TEvent>(false, false);
    AckEvent = std::make_unique<tk::TEvent>(false, false);
    OutputReadyEvent = std::make_unique<tk::TEvent>(false, false);
    WriteDoneEvent = std::make_unique<tk::TEvent>(true, false);
    FlushEvent = std::make_unique<tk::TEvent>(false, false);

    int32_t result = 0;
    const int32_t device = DeviceOpen(deviceName, inSize, outSize);
    DeviceHandle_ = device;
    if (device < 0) {
        result = device == ecOutOfMemory ? ecOutOfMemory
                                         : NegatedLastError(device < -1 ? device : ecCommNotOpen);
    }
    if (result == 0) {
        result = ResizeQueues(inSize, outSize);
    }
    if (result == 0) {
        {
            tk::TLockGuard in(InputLock);
            InBuf = std::make_unique<char[]>(kInputRingSize);
            InFull = false;
            TakenDuringNotice = 0;
        }
        {
            tk::TLockGuard out(OutputLock);
            OutBuf = std::make_unique<char[]>(outSize);
            OutHead = 0;
            OutTail = 0;
            OutFull = false;
            OutputSentPending = false;
        }
        InputSize_ = inSize;
        OutputSize_ = outSize;
        LineErrors_ = 0;
        ClosePending_ = false;
        Rs485Mode = false;
        BaseAddress_ = 0;

        {
            tk::TLockGuard g(GeneralLock);
            DeviceGetState(LineState);
        }
        if (options & opDtrHandshake) {
            DtrAuto_ = true;
        } else {
            DtrAuto_ = false;
            DriveDTR((options & opDtrOn) ? 1 : 0);
        }
        if (options & opRtsHandshake) {
            RtsAuto_ = true;
        } else {
            RtsAuto_ = false;
            DriveRTS((options & opRtsOn) ? 1 : 0);
        }

        ScanPos = 0;
        ScanCount = 0;
        ClearTriggers();
        {
            tk::TLockGuard in(InputLock);
            InHead = 0;
            InTail = 0;
            InArrived = 0;
            ArrivalMarks.clear();
            LastTakeFirst = 0;
            LastTakeEnd = 0;
            ArrivalKnownFrom = RefreshStatus().InQue;
            NoticeInProgress = false;
        }
        NoticePos = 0;
        NoticeCount = 0;
        AvailNoticeLost = false;
        ResetStatusHits();
        {
            tk::TLockGuard g(GeneralLock);
            ModemStatus_ = 0;
            RefreshModemStatus(0xF0);
            LastBaud_ = 115200;
        }

        result = ChangeLine(baud, parity, dataBits, stopBits);
    }
    if (result != 0) {
        ClosePort();
        return result;
    }

    RefreshErrors();
    {
        tk::TLockGuard g(GeneralLock);
        Trace.FreeTrace();
        Log.FreeDispatchLog();
        Log.SetTimeBase(MillisecondClock());
    }
    StartThreads();
    return 0;
}

void TRirBaseDispatcher::ClosePort() {
    if (DeviceHandle_.load() >= 0) {
        ClearOutput();
        ClearInput();
        DeviceClose();
    }
    {
        // Notices begin and end under GeneralLock: a notice that is running
        // now sees the close pending when its current handler returns, and
        // the dispatch thread then releases the buffers itself.
        tk::TLockGuard g(GeneralLock);
        if (NoticeBusy_.load()) {
            ClosePending_ = true;
            return;
        }
    }
    ReleaseBuffers();
}

void TRirBaseDispatcher::ReleaseBuffers() {
    if (Releasing.exchange(true)) {
        // Another thread is releasing (the dispatch thread finishing a close
        // left to it, or a stop that the dispatch thread's end runs into).
        // A worker leaves it to that thread; any other thread waits for it.
        if (!OnWorkerThread()) {
            PumpUntil([this] { return !Releasing.load() && LiveThreadCount.load() == 0; },
                      tk::kInfinite);
        }
        return;
    }
    ReleasePending = false;
    if (ThreadsRunning_.load()) {
        // Not under GeneralLock: the workers need it on their way out.
        StopThreads();
    }
    // Each ring goes under its own lock (not inside GeneralLock: a reader on
    // another thread may hold InputLock and wait for GeneralLock).
    {
        tk::TLockGuard in(InputLock);
        InBuf.reset();
    }
    {
        tk::TLockGuard out(OutputLock);
        OutBuf.reset();
    }
    Releasing = false;
}

bool TRirBaseDispatcher::HasBuffers() {
    tk::TLockGuard in(InputLock);
    tk::TLockGuard out(OutputLock);
    return InBuf != nullptr && OutBuf != nullptr;
}

// ---------------------------------------------------------------- input ring

int32_t TRirBaseDispatcher::PeekAt(char& c, uint32_t n) {
    tk::TLockGuard in(InputLock);
    if (n == 0) {
        return ecBadArgument;
    }
    if (!InBuf || n > InputUsed()) {
        return ecBufferIsEmpty;
    }
    c = InBuf[(InTail + n - 1) % kInputRingSize];
    return 0;
}

int32_t TRirBaseDispatcher::ReadChar(char& c) {
    tk::TLockGuard in(InputLock);
    if (!InBuf) {
        return ecBufferIsEmpty;
    }
    const uint32_t used = InputUsed();
    const uint64_t tailPos = InArrived - used;
    if (NoticeInProgress) {
        // Handlers of one notice all read from the tail; it moves when the notice ends.
        if (TakenDuringNotice >= used) {
            return ecBufferIsEmpty;
        }
        c = InBuf[(InTail + TakenDuringNotice) % kInputRingSize];
        LastTakeFirst = tailPos + TakenDuringNotice;
        ++TakenDuringNotice;
    } else {
        if (used == 0) {
            return ecBufferIsEmpty;
        }
        c = InBuf[InTail];
        InTail = (InTail + 1) % kInputRingSize;
        InFull = false;
        LastTakeFirst = tailPos;
    }
    LastTakeEnd = LastTakeFirst + 1;
    if (Trace.Tracing()) {
        tk::TLockGuard g(GeneralLock);
        if (Trace.Tracing()) {
            Trace.AddTraceEntry(trReceive, static_cast<uint8_t>(c));
        }
    }
    return 0;
}

uint32_t TRirBaseDispatcher::ReadBlock(char* dest, uint32_t max) {
    return TakeInput(dest, max, nullptr);
}

uint32_t TRirBaseDispatcher::ReadUntil(char* dest, uint32_t max, char stop) {
    return TakeInput(dest, max, &stop);
}

uint32_t TRirBaseDispatcher::TakeInput(char* dest, uint32_t max, const char* stop) {
    tk::TLockGuard in(InputLock);
    if (!InBuf) {
        return 0;
    }
    const uint32_t used = InputUsed();
    const uint32_t offset = NoticeInProgress ? TakenDuringNotice : 0;
    const uint32_t avail = used > offset ? used - offset : 0;
    uint32_t n = std::min(max, avail);
    const uint32_t from = (InTail + offset) % kInputRingSize;
    const uint32_t first = std::min(n, kInputRingSize - from);
    // One copy from each of the ring's two pieces, cut after the stop byte.
    const char* head = InBuf.get() + from;
    if (const void* hit = stop ? std::memchr(head, *stop, first) : nullptr) {
        n = static_cast<uint32_t>(static_cast<const char*>(hit) - head) + 1;
        std::memcpy(dest, head, n);
    } else {
        std::memcpy(dest, head, first);
        if (const void* wrapped = stop ? std::memchr(InBuf.get(), *stop, n - first) : nullptr) {
            n = first + static_cast<uint32_t>(static_cast<const char*>(wrapped) - InBuf.get()) + 1;
        }
        std::memcpy(dest + first, InBuf.get(), n - first);
    }
    if (n > 0) {
        LastTakeFirst = InArrived - used + offset;
        LastTakeEnd = LastTakeFirst + n;
    }
    if (NoticeInProgress) {
        TakenDuringNotice += n;
    } else if (n > 0) {
        InTail = (InTail + n) % kInputRingSize;
        InFull = false;
    }
    if (n > 0 && Trace.Tracing()) {
        tk::TLockGuard g(GeneralLock);
        for (uint32_t i = 0; i < n && Trace.Tracing(); ++i) {
            Trace.AddTraceEntry(trReceive, static_cast<uint8_t>(dest[i]));
        }
    }
    return n;
}

uint32_t TRirBaseDispatcher::InputCount() {
    tk::TLockGuard in(InputLock);
    const uint32_t used = InputUsed();
    if (NoticeInProgress) {
        return used > TakenDuringNotice ? used - TakenDuringNotice : 0;
    }
    return used;
}

int32_t TRirBaseDispatcher::ClearInput() {
    tk::TLockGuard in(InputLock);
    const int32_t result = DeviceFlush(flushInput);
    if (NoticeInProgress) {
        // Everything unread counts as taken when the notice ends; until then
        // the handler sees an empty ring.
        MostTakenDuringNotice = InputUsed();
        TakenDuringNotice = MostTakenDuringNotice;
    } else {
        InTail = InHead;
        TakenDuringNotice = 0;
        InFull = false;
    }
    ResetMatchStates();
    return result;
}

uint32_t TRirBaseDispatcher::EndInputNotice() {
    tk::TLockGuard in(InputLock);
    NoticeInProgress = false;
    const uint32_t taken = std::min(MostTakenDuringNotice, InputUsed());
    InTail = (InTail + taken) % kInputRingSize;
    if (taken != 0) {
        InFull = false;
    }
    return taken;
}

TArrivalTime TRirBaseDispatcher::ReadArrivalTime() {
    return TArrivalTime::Now();
}

void TRirBaseDispatcher::AddArrivalMark(const TArrivalTime& time, uint32_t count) {
    // Marks still needed: those of bytes in the ring and of the last take.
    const uint64_t keepFrom = std::min(InArrived - InputUsed(), LastTakeFirst);
    while (ArrivalMarks.size() >= 2 && ArrivalMarks[1].Pos <= keepFrom) {
        ArrivalMarks.pop_front();
    }
    if (InArrived >= ArrivalKnownFrom) {
        ArrivalMarks.push_back({InArrived, time});
        return;
    }
    // The read starts among the bytes held at the open: those get an
    // unknown mark, and whatever follows them the read's moment.
    ArrivalMarks.push_back({InArrived, TArrivalTime{}});
    if (InArrived + count > ArrivalKnownFrom) {
        ArrivalMarks.push_back({ArrivalKnownFrom, time});
    }
}

bool TRirBaseDispatcher::TakenArrival(uint32_t back, TArrivalTime& out) {
    tk::TLockGuard in(InputLock);
    if (back >= LastTakeEnd - LastTakeFirst) {
        return false;
    }
    const uint64_t pos = LastTakeEnd - 1 - back;
    // The last mark at or before the byte.
    auto it = std::upper_bound(ArrivalMarks.begin(), ArrivalMarks.end(), pos,
                               [](uint64_t p, const TArrivalMark& m) { return p < m.Pos; });
    if (it == ArrivalMarks.begin()) {
        return false;
    }
    if (!std::prev(it)->Time.Known()) {
        return false;  // held by the device at the open
    }
    out = std::prev(it)->Time;
    return true;
}

bool TRirBaseDispatcher::PullInput() {
    tk::TLockGuard in(InputLock);
    if (InFull) {
        return true;
    }
    if (!InBuf) {
        return false;
    }
    const uint32_t waiting = RefreshStatus().InQue;
    if (waiting == 0) {
        return false;
    }

    uint32_t free = 0;
    uint32_t first = 0;
    if (InTail == InHead) {
        free = kInputRingSize;
        first = kInputRingSize - InHead;
    } else if (InTail > InHead) {
        free = InTail - InHead;
        first = free;
    } else {
        free = InTail + kInputRingSize - InHead;
        first = kInputRingSize - InHead;
    }
    const uint32_t take = std::min(free, waiting);
    uint32_t second = first < take ? take - first : 0;

    // One device read into the ring at the head; never past `room` bytes.
    auto readAtHead = [this](uint32_t room) -> uint32_t {
        int32_t got = DeviceRead(InBuf.get() + InHead, room);
        if (got < 0) {
            got = 0;
            DeviceReadFailed(-1);
        }
        const uint32_t count = std::min(static_cast<uint32_t>(got), room);
        if (count != 0) {
            AddArrivalMark(ReadArrivalTime(), count);
        }
        if (Log.Logging()) {
            tk::TLockGuard g(GeneralLock);
            Log.AddDispatchEntry(dlkDispatch, dlsReadCom, count, InBuf.get() + InHead, count);
        }
        InHead += count;
        InArrived += count;
        return count;
    };

    if (first != 0) {
        const uint32_t got = readAtHead(first);
        if (got < first) {
            second = 0;
        }
        if (InHead >= kInputRingSize) {
            InHead = 0;
        }
        if (got > 0 && InHead == InTail) {
            InFull = true;
        }
    }
    if (second != 0) {
        const uint32_t got = readAtHead(second);
        if (got > 0 && InHead == InTail) {
            InFull = true;
        }
    }
    return true;
}

// ---------------------------------------------------------------- output ring

TComStat TRirBaseDispatcher::RefreshStatus() {
    TComStat st;
    const uint32_t errors = DeviceStatus(st);
    {
        tk::TLockGuard out(OutputLock);
        Status = st;
    }
    LineErrors_.fetch_or(errors & leAccumulated);
    if ((errors & leDeviceLost) != 0 && !DeviceLost_.exchange(true)) {
        // Callers may hold OutputLock or InputLock: the report waits for the
        // dispatch cycle, which holds none.
        DeviceLostPending_ = true;
    }
    return st;
}

void TRirBaseDispatcher::ReportDeviceLost() {
    if (!DeviceLostPending_.exchange(false)) {
        return;
    }
    // Logged as a line-status error, and posted: the dispatch thread must not
    // wait for the main thread for it.
    tk::TLockGuard g(GeneralLock);
    if (Log.Logging()) {
        Log.AddDispatchEntry(dlkError, dlsLineStatus, leDeviceLost, nullptr, 0);
    }
    const auto lParam = static_cast<tk::TLParam>(static_cast<uint32_t>(handle_) << 16);
    for (const auto& h : WindowHandlers) {
        if (!h->Deleted) {
            tk::PostToWindow(h->Window, MsgDeviceLost, 0, lParam);
        }
    }
}

void TRirBaseDispatcher::RefreshErrors() {
    RefreshStatus();
}

void TRirBaseDispatcher::CopyIntoOutputRing(const char* src, uint32_t count) {
    tk::TLockGuard out(OutputLock);
    if (!OutBuf || OutputSize_ == 0) {
        return;
    }
    count = std::min(count, OutputSize_);
    const uint32_t room = OutputSize_ - OutHead;
    if (room < count) {
        std::memcpy(OutBuf.get() + OutHead, src, room);
        std::memcpy(OutBuf.get(), src + room, count - room);
        OutHead = count - room;
    } else {
        std::memcpy(OutBuf.get() + OutHead, src, count);
        OutHead = room == count ? 0 : OutHead + count;
    }
}

uint32_t TRirBaseDispatcher::OutputRingUsed() {
    tk::TLockGuard out(OutputLock);
    if (OutFull) {
        return OutputSize_;
    }
    if (OutTail < OutHead) {
        return OutHead - OutTail;
    }
    if (OutTail > OutHead) {
        return OutputSize_ - OutTail + OutHead;
    }
    return 0;
}

int32_t TRirBaseDispatcher::WriteBlock(const char* data, uint32_t count) {
    if (count == 0) {
        return 0;
    }
    int32_t result = 0;
    uint32_t written = count;
    {
        tk::TLockGuard out(OutputLock);
        if (!OutBuf) {
            return ecCommNotOpen;
        }
        // Errors are accumulated, never overwritten: a write must not lose a
        // line error that nobody has taken yet.
        const TComStat st = RefreshStatus();
        const uint32_t room = st.OutQue >= OutputSize_ ? 0 : OutputSize_ - st.OutQue;
        if (count > room) {
            return ecOutputBufferTooSmall;
        }
        if (!tk::IsWindowsNT() && Rs485Mode.load()) {
            if (BaseAddress_.load() == 0) {
                return ecBaseAddressNotSet;
            }
            DriveRTS(1);
        }
        const int32_t r = DeviceWrite(data, count);
        if (r <= 0 || static_cast<uint32_t>(r) < count) {
            // Never more than the block itself counts as written.
            const uint32_t magnitude =
                r < 0 ? 0u - static_cast<uint32_t>(r) : static_cast<uint32_t>(r);
            written = std::min(magnitude, count);
            result = ecPutBlockFail;
            RefreshErrors();
        } else if (count == room) {
            OutFull = true;
        }
        OutputSentPending = true;
    }
    if (Log.Logging() || Trace.Tracing()) {
        tk::TLockGuard g(GeneralLock);
        if (Log.Logging()) {
            Log.AddDispatchEntry(dlkDispatch, dlsWriteCom, written, data, written);
        }
        for (uint32_t i = 0; i < written && Trace.Tracing(); ++i) {
            Trace.AddTraceEntry(trTransmit, static_cast<uint8_t>(data[i]));
        }
    }
    return result;
}

uint32_t TRirBaseDispatcher::OutputCount() {
    return RefreshStatus().OutQue;
}

uint32_t TRirBaseDispatcher::OutputRoom() {
    const uint32_t used = OutputCount();
    return used >= OutputSize_ ? 0 : OutputSize_ - used;
}

void TRirBaseDispatcher::EmptyOutputRing() {
    tk::TLockGuard out(OutputLock);
    OutHead = 0;
    OutTail = 0;
    OutFull = false;
    ++OutFlushes;
}

int32_t TRirBaseDispatcher::ClearOutput() {
    return DeviceFlush(flushOutput);
}

int32_t TRirBaseDispatcher::ResizeQueues(uint32_t inSize, uint32_t outSize) {
    if (!DeviceSetQueues(inSize, outSize)) {
        return NegatedLastError(ecMemory);
    }
    return 0;
}

// ---------------------------------------------------------------- trace and log

int32_t TRirBaseDispatcher::InitTrace(uint32_t capacity) {
    tk::TLockGuard g(GeneralLock);
    return Trace.InitTrace(capacity);
}

int32_t TRirBaseDispatcher::ClearTrace() {
    tk::TLockGuard g(GeneralLock);
    return Trace.ClearTrace();
}

void TRirBaseDispatcher::ResumeTrace() {
    tk::TLockGuard g(GeneralLock);
    Trace.ResumeTrace();
}

void TRirBaseDispatcher::PauseTrace() {
    tk::TLockGuard g(GeneralLock);
    Trace.PauseTrace();
}

void TRirBaseDispatcher::FreeTrace() {
    tk::TLockGuard g(GeneralLock);
    Trace.FreeTrace();
}

int32_t TRirBaseDispatcher::WriteTraceFile(const std::string& fileName, bool append, bool inHex,
                                           bool allHex) {
    tk::TLockGuard g(GeneralLock);
    return Trace.WriteTraceFile(fileName, append, inHex, allHex);
}

int32_t TRirBaseDispatcher::InitDispatchLog(uint32_t size) {
    tk::TLockGuard g(GeneralLock);
    return Log.InitDispatchLog(size);
}

void TRirBaseDispatcher::ClearDispatchLog() {
    tk::TLockGuard g(GeneralLock);
    Log.ClearDispatchLog();
}

void TRirBaseDispatcher::ResumeDispatchLog() {
    tk::TLockGuard g(GeneralLock);
    Log.ResumeDispatchLog();
}

void TRirBaseDispatcher::PauseDispatchLog() {
    tk::TLockGuard g(GeneralLock);
    Log.PauseDispatchLog();
}

void TRirBaseDispatcher::FreeDispatchLog() {
    tk::TLockGuard g(GeneralLock);
    Log.FreeDispatchLog();
}

int32_t TRirBaseDispatcher::WriteDispatchLogFile(const std::string& fileName, bool append,
                                                 bool inHex, bool allHex) {
    tk::TLockGuard g(GeneralLock);
    return Log.WriteDispatchLogFile(fileName, append, inHex, allHex);
}

void TRirBaseDispatcher::AddDispatchEntry(uint8_t kind, uint8_t subtype, uint32_t value,
                                          const void* data, uint32_t length) {
    if (!Log.Logging()) {
        return;
    }
    tk::TLockGuard g(GeneralLock);
    Log.AddDispatchEntry(kind, subtype, value, data, length);
}

void TRirBaseDispatcher::SetDeviceName(const std::string& name) {
    tk::TLockGuard g(GeneralLock);
    Log.SetDeviceName(name);
}
