// Handler and trigger lists of the dispatcher. The lists, their bookkeeping
// and the saved copies are complete; delivering notices (NotifyHandlers and
// the scans that call it) is not built yet.
#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/Dispatcher.h"

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

bool TRirBaseDispatcher::NotifyHandlers(uint32_t, uint32_t, uint32_t) {
    // No delivery yet: the notice counts as consumed and the ring is untouched.
    return true;
}

bool TRirBaseDispatcher::ScanInput() {
    // No data-available or data-match scan yet: nothing is ever sent.
    return false;
}

bool TRirBaseDispatcher::ScanStatusTriggers() {
    // No status scan yet: nothing fires.
    return false;
}

bool TRirBaseDispatcher::ScanTimers() {
    // No timer scan yet: nothing fires.
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
