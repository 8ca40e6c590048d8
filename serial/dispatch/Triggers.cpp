// Handler and trigger lists of the dispatcher, the notices that go to the
// handlers, and the scans of the dispatch thread that send them.
#include <algorithm>
#include <cctype>

#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/ExceptionDisplay.h"

void TRirBaseDispatcher::AddWindowHandler(tk::TWindowHandle window) {
    tk::TLockGuard g(GeneralLock);
    auto rec = std::make_unique<TWindowHandlerRec>();
    rec->Window = window;
    WindowHandlers.push_back(std::move(rec));
    HandlerServiceNeeded = true;
    if (Log.Logging()) {
        Log.AddDispatchEntry(dlkTriggerHandlerAlloc, dlsWindow, static_cast<uint32_t>(window),
                             nullptr, 0);
    }
}

void TRirBaseDispatcher::RemoveWindowHandler(tk::TWindowHandle window) {
    tk::TLockGuard g(GeneralLock);
    for (auto it = WindowHandlers.begin(); it != WindowHandlers.end(); ++it) {
        if ((*it)->Window != window) {
            continue;
        }
        if (Log.Logging()) {
            Log.AddDispatchEntry(dlkTriggerHandlerDispose, dlsWindow, static_cast<uint32_t>(window),
                                 nullptr, 0);
        }
        if (NoticeBusy_.load()) {
            // A notice walks the list now: mark it, the notice's end sweeps it.
            (*it)->Deleted = true;
            DeletePending = true;
        } else {
            WindowHandlers.erase(it);
        }
        break;
    }
    RecomputeHandlerNeed(0);
}

void TRirBaseDispatcher::RecomputeHandlerNeed(uint8_t mode) {
    tk::TLockGuard g(GeneralLock);
    const bool others =
        WindowHandlers.size() > 1 || !ProcHandlers.empty() || !EventHandlers.empty();
    switch (mode) {
        case 0:
            HandlerServiceNeeded = others || PortHandlerInstalled;
            break;
        case 1:
            PortHandlerInstalled = true;
            HandlerServiceNeeded = true;
            break;
        case 2:
            PortHandlerInstalled = false;
            HandlerServiceNeeded = others;
            break;
        default:
            break;
    }
}

void TRirBaseDispatcher::SetAvailThreshold(uint32_t count) {
    tk::TLockGuard g(GeneralLock);
    AvailThreshold_ = count;
    if (Log.Logging()) {
        Log.AddDispatchEntry(dlkTriggerDataChange, dlsTriggerAvail, count, nullptr, 0);
    }
}

uint32_t TRirBaseDispatcher::AvailThreshold() {
    tk::TLockGuard g(GeneralLock);
    return AvailThreshold_;
}

namespace {

// How long a window handler has to take a notice.
constexpr uint32_t kNoticeSendTimeoutMs = 3000;

}  // namespace

bool TRirBaseDispatcher::NotifyHandlers(uint32_t msg, uint32_t trigger, uint32_t value) {
    if (!HandlerServiceNeeded.load()) {
        return true;
    }
    {
        tk::TLockGuard g(GeneralLock);
        NoticeBusy_ = true;
    }
    const bool inputNotice = msg == MsgTriggerAvail || msg == MsgTriggerData;
    {
        tk::TLockGuard in(InputLock);
        MostTakenDuringNotice = 0;
        NoticeInProgress = inputNotice;
    }
    // The value has 16 bits of the long parameter; a larger one (free room
    // of a big output ring) saturates rather than spill into the handle.
    const int32_t lParam =
        static_cast<int32_t>((static_cast<uint32_t>(handle_) << 16) + std::min(value, 0xFFFFu));

    bool result = true;
    bool stopped = false;      // a close came during the notice
    bool undelivered = false;  // a live window did not take it in time
    // Runs one handler: each starts reading at the tail; the notice takes
    // the most that any one handler took. False once a close is pending.
    auto runHandler = [&](const std::function<void()>& call) {
        {
            tk::TLockGuard in(InputLock);
            TakenDuringNotice = 0;
        }
        if (call) {
            // A handler's exception is shown and ends only that handler.
            try {
                call();
            } catch (...) {
                tk::ShowCurrentException();
            }
        }
        if (ClosePending_.load()) {
            result = false;
            stopped = true;
            return false;
        }
        tk::TLockGuard in(InputLock);
        MostTakenDuringNotice = std::max(MostTakenDuringNotice, TakenDuringNotice);
        return true;
    };

    // Event handlers, then procedure handlers, then windows; each list's
    // count is taken before its walk, and records removed meanwhile stay
    // (marked) until the notice ends.
    size_t count = 0;
    {
        tk::TLockGuard g(GeneralLock);
        count = EventHandlers.size();
    }
    for (size_t i = 0; i < count && !stopped; ++i) {
        std::function<void()> call;
        {
            tk::TLockGuard g(GeneralLock);
            if (i >= EventHandlers.size()) {
                break;
            }
            const TEventHandlerRec& rec = *EventHandlers[i];
            if (!rec.Deleted && rec.Method) {
                call = [this, method = rec.Method, main = rec.RunOnMainThread, msg, trigger,
                        lParam] {
                    if (main) {
                        DeliverSynchronized(msg, trigger, lParam, method);
                    } else {
                        method(msg, trigger, lParam);
                    }
                };
            }
        }
        runHandler(call);
    }
    {
        tk::TLockGuard g(GeneralLock);
        count = ProcHandlers.size();
    }
    for (size_t i = 0; i < count && !stopped; ++i) {
        std::function<void()> call;
        {
            tk::TLockGuard g(GeneralLock);
            if (i >= ProcHandlers.size()) {
                break;
            }
            const TProcHandlerRec& rec = *ProcHandlers[i];
            if (!rec.Deleted && rec.Proc) {
                call = [proc = rec.Proc, msg, trigger, lParam] { proc(msg, trigger, lParam); };
            }
        }
        runHandler(call);
    }
    bool windows = false;
    {
        tk::TLockGuard g(GeneralLock);
        count = WindowHandlers.size();
        windows = count > 1 || PortHandlerInstalled;
    }
    for (size_t i = 0; windows && i < count && !stopped; ++i) {
        std::function<void()> call;
        {
            tk::TLockGuard g(GeneralLock);
            if (i >= WindowHandlers.size()) {
                break;
            }
            const TWindowHandlerRec& rec = *WindowHandlers[i];
            if (!rec.Deleted) {
                call = [window = rec.Window, msg, trigger, lParam, &undelivered] {
                    if (!tk::SendToWindow(window, msg, trigger, lParam, kNoticeSendTimeoutMs,
                                          nullptr) &&
                        tk::IsWindowAlive(window)) {
                        undelivered = true;
                    }
                };
            }
        }
        runHandler(call);
    }

    if (msg == MsgTriggerAvail) {
        // Bytes of a notice that a busy owner never took are offered again.
        AvailNoticeLost = undelivered && !stopped;
    }
    if (!stopped && inputNotice) {
        uint32_t most = 0;
        {
            tk::TLockGuard in(InputLock);
            most = MostTakenDuringNotice;
        }
        EndInputNotice();
        if (msg == MsgTriggerAvail && most != trigger) {
            result = false;
        }
    }

    {
        tk::TLockGuard g(GeneralLock);
        NoticeBusy_ = false;
        if (DeletePending.load()) {
            auto sweep = [](auto& list) {
                for (size_t i = list.size(); i-- > 0;) {
                    if (list[i]->Deleted) {
                        list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
                    }
                }
            };
            sweep(WindowHandlers);
            sweep(ProcHandlers);
            sweep(EventHandlers);
            DeletePending = false;
            RecomputeHandlerNeed(0);
        }
    }
    if (!stopped) {
        tk::TLockGuard in(InputLock);
        TakenDuringNotice = 0;
    }
    return result;
}

bool TRirBaseDispatcher::MatchStep(std::array<uint32_t, kMatchSlots>& state, char c,
                                   uint32_t length, bool ignoreCase,
                                   const std::array<char, kMaxPatternLength>& pattern) {
    // The pattern has room for 24 bytes and the state 22 slots: neither is
    // ever read beyond its end.
    const uint32_t len = std::min(length, kMaxPatternLength);
    const uint32_t slots = std::min(len, kMatchSlots);
    if (len == 0) {
        return false;
    }
    if (ignoreCase) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    bool examine = true;
    bool started = false;
    for (uint32_t slot = 0; slot < slots; ++slot) {
        if (examine) {
            uint32_t& p = state[slot];
            if (p < len && pattern[p] == c) {
                if (p == len - 1) {
                    state.fill(0);
                    return true;
                }
                ++p;
            } else if (pattern[0] == c) {
                p = 1;
                started = true;
            } else {
                p = 0;
            }
        }
        if (state[slot] == 1) {
            started = true;
        }
        if (slot + 1 < slots) {
            // At most one new partial match starts per byte.
            const uint32_t next = state[slot + 1];
            examine = started ? next != 0 : (next != 0 || pattern[0] == c);
        }
    }
    return false;
}

bool TRirBaseDispatcher::ScanInput() {
    uint64_t arrived = 0;
    uint32_t head = 0;
    {
        tk::TLockGuard in(InputLock);
        if (!InBuf) {
            return false;
        }
        arrived = InArrived;
        head = InHead;
    }
    // Bytes more than a ring behind the head are overwritten: not scanned.
    if (arrived - ScanCount > kInputRingSize) {
        ScanCount = arrived - kInputRingSize;
    }
    if (NoticeCount > arrived) {
        NoticeCount = arrived;
    }
    uint32_t pos = static_cast<uint32_t>(
        (head + kInputRingSize - static_cast<uint32_t>(arrived - ScanCount)) % kInputRingSize);

    bool anyData = false;
    {
        tk::TLockGuard g(GeneralLock);
        anyData = std::any_of(DataTriggers.begin(), DataTriggers.end(),
                              [](const TDataTriggerRec& t) { return t.Length != 0; });
    }
    while (anyData && ScanCount < arrived) {
        char c = 0;
        {
            tk::TLockGuard in(InputLock);
            if (!InBuf) {
                return false;
            }
            c = InBuf[pos];
        }
        bool matched = false;
        uint32_t longest = 0;
        uint32_t threshold = 0;
        size_t triggers = 0;
        {
            tk::TLockGuard g(GeneralLock);
            for (TDataTriggerRec& t : DataTriggers) {
                if (t.Length == 0) {
                    continue;
                }
                const bool m =
                    t.Matched != 0 || MatchStep(t.MatchState, c, t.Length, t.IgnoreCase, t.Pattern);
                t.Matched = m ? 0xFFFFFFFFu : 0;
                if (m) {
                    matched = true;
                    longest = std::max(longest, t.Length);
                }
            }
            threshold = AvailThreshold_;
            triggers = DataTriggers.size();
        }
        if (!matched) {
            ++ScanCount;
            pos = (pos + 1) % kInputRingSize;
            continue;
        }

        bool result = false;
        if (threshold != 0 && NoticeCount != ScanCount) {
            // The bytes in front of the pattern go out first, as data available.
            uint32_t n = 0;
            {
                tk::TLockGuard in(InputLock);
                const uint32_t used = InputUsed();
                const uint32_t distance = (pos + kInputRingSize - InTail) % kInputRingSize;
                n = distance < used ? distance + 1 : 0;  // 0: already taken
                if (NoticeInProgress) {
                    n -= std::min(n, TakenDuringNotice);
                }
            }
            const int64_t before = static_cast<int64_t>(n) - static_cast<int64_t>(longest);
            if (before >= static_cast<int64_t>(threshold)) {
                const uint32_t avail = static_cast<uint32_t>(before);
                AddDispatchEntry(dlkTrigger, dlsAvail, avail, nullptr, 0);
                result = NotifyHandlers(MsgTriggerAvail, avail, 0);
                NoticeCount = ScanCount;
                NoticePos = pos;
            }
        }
        for (size_t i = triggers; i-- > 0;) {
            uint32_t handle = 0;
            uint32_t length = 0;
            {
                tk::TLockGuard g(GeneralLock);
                if (i >= DataTriggers.size()) {
                    break;
                }
                TDataTriggerRec& t = DataTriggers[i];
                if (t.Matched == 0) {
                    continue;
                }
                t.Matched = 0;
                handle = t.Handle;
                length = t.Length;
                if (Log.Logging()) {
                    Log.AddDispatchEntry(dlkTrigger, dlsData, handle, nullptr, 0);
                }
            }
            result = NotifyHandlers(MsgTriggerData, handle, length);
        }
        ++ScanCount;
        ScanPos = (pos + 1) % kInputRingSize;
        return result;
    }
    ScanCount = arrived;
    ScanPos = head;

    const uint32_t n = InputCount();
    const uint32_t threshold = AvailThreshold();
    if (threshold != 0 && (NoticeCount != arrived || AvailNoticeLost) && n >= threshold) {
        AddDispatchEntry(dlkTrigger, dlsAvail, n, nullptr, 0);
        const bool result = NotifyHandlers(MsgTriggerAvail, n, 0);
        NoticeCount = arrived;
        NoticePos = head;
        return result;
    }
    return false;
}

bool TRirBaseDispatcher::ScanStatusTriggers() {
    size_t count = 0;
    {
        tk::TLockGuard g(GeneralLock);
        count = StatusTriggers.size();
    }
    for (size_t i = 0; i < count; ++i) {
        TStatusTriggerRec t;
        uint8_t modem = 0;
        {
            tk::TLockGuard g(GeneralLock);
            if (i >= StatusTriggers.size()) {
                break;
            }
            t = StatusTriggers[i];
            modem = ModemStatus_;
        }
        if (!t.Armed || t.HitThisCycle) {
            continue;
        }
        bool fires = false;
        uint32_t report = 0;
        uint16_t newValue = t.Value;
        switch (t.Kind) {
            case 1:  // modem status: lines (low byte) differ where the mask (high byte) says
                fires = (((t.Value & 0xFFu) ^ modem) & (t.Value >> 8)) != 0;
                break;
            case 2: {  // line error
                const uint32_t errors = LineErrors_.load();
                fires = (t.Value & errors) != 0;
                if (fires) {
                    newValue = static_cast<uint16_t>(errors & 0xFFFFu);
                }
                break;
            }
            case 3:  // output buffer free
                report = OutputRoom();
                fires = report >= t.Value;
                break;
            case 4:  // output buffer used
                report = OutputCount();
                fires = report <= t.Value;
                break;
            case 5:  // output sent
                fires = OutputSentPending.exchange(false);
                break;
            default:
                break;
        }
        if (!fires) {
            continue;
        }
        {
            tk::TLockGuard g(GeneralLock);
            if (i < StatusTriggers.size() && StatusTriggers[i].Handle == t.Handle) {
                TStatusTriggerRec& rec = StatusTriggers[i];
                rec.Armed = 0;
                rec.HitThisCycle = 1;
                rec.Value = newValue;
            }
            StatusHitThisCycle = true;
            if (Log.Logging()) {
                Log.AddDispatchEntry(dlkTrigger, dlsStatus, t.Handle, nullptr, 0);
            }
        }
        return NotifyHandlers(MsgTriggerStatus, t.Handle, report);
    }
    return false;
}

bool TRirBaseDispatcher::ScanTimers() {
    size_t count = 0;
    {
        tk::TLockGuard g(GeneralLock);
        count = TimerTriggers.size();
    }
    for (size_t i = 0; i < count; ++i) {
        uint32_t handle = 0;
        {
            tk::TLockGuard g(GeneralLock);
            if (i >= TimerTriggers.size()) {
                break;
            }
            TTimerTriggerRec& t = TimerTriggers[i];
            if (t.Armed == 0 || !EventTimerExpired(t.Timer)) {
                continue;
            }
            t.Armed = 0;
            handle = t.Handle;
            if (Log.Logging()) {
                Log.AddDispatchEntry(dlkTrigger, dlsTimer, handle, nullptr, 0);
            }
        }
        return NotifyHandlers(MsgTriggerTimer, handle, 0);
    }
    return false;
}
void TRirBaseDispatcher::ClearTriggers() {
    tk::TLockGuard g(GeneralLock);
    AvailThreshold_ = 0;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
}

void TRirBaseDispatcher::ResetStatusHits() {
    tk::TLockGuard g(GeneralLock);
    for (auto& t : StatusTriggers) {
        t.HitThisCycle = 0;
    }
    StatusHitThisCycle = false;
}

void TRirBaseDispatcher::ResetMatchStates() {
    tk::TLockGuard g(GeneralLock);
    for (auto& t : DataTriggers) {
        t.MatchState.fill(0);
    }
}

void TRirBaseDispatcher::ReleaseSavedTriggers(TSavedTriggers& save) {
    save.Timers.reset();
    save.Data.reset();
    save.Status.reset();
}

void TRirBaseDispatcher::SaveTriggers(TSavedTriggers& save) {
    tk::TLockGuard g(GeneralLock);
    ReleaseSavedTriggers(save);
    save.AvailThreshold = AvailThreshold_;
    save.Timers = std::make_unique<std::vector<TTimerTriggerRec>>(TimerTriggers);
    save.Data = std::make_unique<std::vector<TDataTriggerRec>>(DataTriggers);
    save.Status = std::make_unique<std::vector<TStatusTriggerRec>>(StatusTriggers);
}

void TRirBaseDispatcher::RestoreTriggers(const TSavedTriggers& save) {
    tk::TLockGuard g(GeneralLock);
    AvailThreshold_ = save.AvailThreshold;
    TimerTriggers.clear();
    DataTriggers.clear();
    StatusTriggers.clear();
    if (save.Timers) {
        TimerTriggers = *save.Timers;
    }
    if (save.Data) {
        DataTriggers = *save.Data;
    }
    if (save.Status) {
        StatusTriggers = *save.Status;
    }
}
