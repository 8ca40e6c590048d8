// The port component's events: the hidden notification window whose
// procedure turns the dispatcher's notices into trigger events on the thread
// that opened the port, the fan-out of one notice to the generic and the
// specific events, and the event setters and raisers.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "serial/ComPortInternal.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/diag/Exceptions.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/ExceptionDisplay.h"

using comport::Fire;

namespace {

// The trigger events being delivered on this thread, innermost last: a
// component on this list is inside one of its own trigger events, and the
// dispatch thread that sent it waits until the event returns.
// A component freed inside its own event marks its frames; the rest of the
// delivery then leaves it alone.
struct TDeliveryFrame {
    TRirCustomComPort* port;
    TRirBaseDispatcher* dispatcher;
    bool freed = false;
};
thread_local std::vector<TDeliveryFrame*> tDeliveries;

}  // namespace

namespace comport {

bool InsideTriggerOf(const TRirCustomComPort* port) {
    return std::any_of(tDeliveries.begin(), tDeliveries.end(),
                       [port](const TDeliveryFrame* f) { return f->port == port && !f->freed; });
}

bool InsideDeliveryBy(const TRirBaseDispatcher* d) {
    return std::any_of(tDeliveries.begin(), tDeliveries.end(),
                       [d](const TDeliveryFrame* f) { return f->dispatcher == d; });
}

void MarkFreedInEvent(const TRirCustomComPort* port) {
    for (TDeliveryFrame* f : tDeliveries) {
        f->freed = f->freed || f->port == port;
    }
}

void DropNotifyWindow(TRirBaseDispatcher* d, tk::TWindowHandle& window) {
    if (window != 0) {
        d->RemoveWindowHandler(window);
        tk::DestroyNotifyWindow(window);
        window = 0;
    }
}

}  // namespace comport

// The notification window's procedure: it finds the component through the
// dispatcher handle in the message and lets it handle the message, holding
// RegistryLock so that no dispatcher comes or goes meanwhile.
struct TComPortWindow {
    static tk::TLResult Proc(tk::TWindowHandle, uint32_t msg, tk::TWParam wParam,
                             tk::TLParam lParam) {
        const uint32_t m = msg & 0xFFFF;
        if (m != MsgTriggerAvail && m != MsgTriggerData && m != MsgTriggerTimer &&
            m != MsgTriggerStatus && m != MsgPortClose && m != MsgDeviceLost) {
            return 0;
        }
        tk::TLockGuard registry(RegistryLock());
        const uint32_t handle = (static_cast<uint32_t>(lParam) >> 16) & 0xFFFF;
        TRirBaseDispatcher* d = FindDispatcher(static_cast<int32_t>(handle));
        if (d != nullptr && m == MsgPortClose && comport::FinishOrphan(d, lParam)) {
            return 0;
        }
        if (d == nullptr || d->Owner() == nullptr) {
            return 0;
        }
        TRirComPort* cp = d->Owner();
        const auto wLow = static_cast<uint16_t>(wParam & 0xFFFF);
        const auto data = m == MsgTriggerAvail ? wLow : static_cast<uint16_t>(lParam & 0xFFFF);
        try {
            if (m == MsgPortClose) {
                cp->FinishDeferredClose(static_cast<int32_t>(lParam));
            } else if (m == MsgDeviceLost) {
                // Only for the dispatcher of the open port, not a stale one.
                if (cp->DeviceLost()) {
                    cp->DoDeviceLost();
                }
            } else {
                TDeliveryFrame frame{cp, d};
                tDeliveries.push_back(&frame);
                struct TPop {
                    ~TPop() { tDeliveries.pop_back(); }
                } pop;
                cp->HandleMessage(m, wLow, data);
            }
        } catch (...) {
            // A handler's exception ends here; the main thread shows it.
            if (tk::IsMainThread()) {
                tk::ShowCurrentException();
            }
        }
        return 0;
    }
};

void TRirCustomComPort::SetupNotifyWindow(bool create) {
    if (create) {
        notifyWindow_ = tk::CreateNotifyWindow("rirComWindow", &TComPortWindow::Proc);
        if (notifyWindow_ == 0) {
            // Without its window the port would deliver no event at all.
            RaiseForCode(ecRegisterHandlerFailed);
        }
        dispatcher_->AddWindowHandler(notifyWindow_);
        return;
    }
    comport::DropNotifyWindow(dispatcher_.get(), notifyWindow_);
}

bool TRirCustomComPort::FreedInEvent() {
    return !tDeliveries.empty() && tDeliveries.back()->freed;
}

// ------------------------------------------------------------------ fan-out

void TRirCustomComPort::HandleMessage(uint32_t msg, uint16_t wLow, uint16_t data) {
    // After each event the component may be gone (freed by its handler).
    DoTrigger(static_cast<uint16_t>(msg), wLow, data);
    if (FreedInEvent()) {
        return;
    }
    switch (msg) {
        case MsgTriggerAvail:
            DoTriggerAvail(wLow);
            break;
        case MsgTriggerData:
            DoTriggerData(wLow);
            break;
        case MsgTriggerTimer:
            DoTriggerTimer(wLow);
            break;
        case MsgTriggerStatus: {
            DoTriggerStatus(wLow);
            if (FreedInEvent()) {
                return;
            }
            // The kind is in the handle itself: no dispatcher is needed to
            // tell it (and none is opened for it).
            switch (TRirBaseDispatcher::StatusTriggerKind(static_cast<uint8_t>(wLow))) {
                case 1:
                    DoTriggerModemStatus();
                    break;
                case 2: {
                    const bool lineBreak = ReadLineBreak();
                    const uint16_t error = ReadLineError();
                    DoTriggerLineError(error, lineBreak);
                    break;
                }
                case 3:
                    DoTriggerOutbuffFree();
                    break;
                case 4:
                    DoTriggerOutbuffUsed();
                    break;
                case 5:
                    DoTriggerOutSent();
                    break;
                default:
                    break;
            }
            break;
        }
        default:
            break;
    }
}

// ------------------------------------------------------------ event setters

void TRirCustomComPort::UpdateHandlerNeed() {
    if (openState_ != osOpen || !dispatcher_) {
        return;
    }
    const bool any = onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ ||
                     onTriggerTimer_ || onTriggerLineError_ || onTriggerModemStatus_ ||
                     onTriggerOutbuffFree_ || onTriggerOutbuffUsed_ || onTriggerOutSent_;
    dispatcher_->RecomputeHandlerNeed(any ? 1 : 2);
}

#define PALMO_EVENT_SETTER(Name, Type, field)   \
    void TRirCustomComPort::Set##Name(Type e) { \
        field = std::move(e);                   \
        UpdateHandlerNeed();                    \
    }
PALMO_EVENT_SETTER(OnTrigger, TTriggerEvent, onTrigger_)
PALMO_EVENT_SETTER(OnTriggerAvail, TTriggerAvailEvent, onTriggerAvail_)
PALMO_EVENT_SETTER(OnTriggerData, TTriggerDataEvent, onTriggerData_)
PALMO_EVENT_SETTER(OnTriggerStatus, TTriggerStatusEvent, onTriggerStatus_)
PALMO_EVENT_SETTER(OnTriggerTimer, TTriggerTimerEvent, onTriggerTimer_)
PALMO_EVENT_SETTER(OnTriggerLineError, TTriggerLineErrorEvent, onTriggerLineError_)
PALMO_EVENT_SETTER(OnTriggerModemStatus, tk::TNotifyEvent, onTriggerModemStatus_)
PALMO_EVENT_SETTER(OnTriggerOutbuffFree, tk::TNotifyEvent, onTriggerOutbuffFree_)
PALMO_EVENT_SETTER(OnTriggerOutbuffUsed, tk::TNotifyEvent, onTriggerOutbuffUsed_)
PALMO_EVENT_SETTER(OnTriggerOutSent, tk::TNotifyEvent, onTriggerOutSent_)
#undef PALMO_EVENT_SETTER

// ------------------------------------------------------------ event raisers

void TRirCustomComPort::DoTrigger(uint16_t msg, uint16_t triggerHandle, uint16_t data) {
    Fire(onTrigger_, *this, msg, triggerHandle, data);
}
void TRirCustomComPort::DoTriggerAvail(uint16_t count) {
    Fire(onTriggerAvail_, *this, count);
}
void TRirCustomComPort::DoTriggerData(uint16_t triggerHandle) {
    Fire(onTriggerData_, *this, triggerHandle);
}
void TRirCustomComPort::DoTriggerStatus(uint16_t triggerHandle) {
    Fire(onTriggerStatus_, *this, triggerHandle);
}
void TRirCustomComPort::DoTriggerTimer(uint16_t triggerHandle) {
    Fire(onTriggerTimer_, *this, triggerHandle);
}
void TRirCustomComPort::DoTriggerLineError(uint16_t error, bool lineBreak) {
    Fire(onTriggerLineError_, *this, error, lineBreak);
}
void TRirCustomComPort::DoTriggerModemStatus() {
    Fire(onTriggerModemStatus_, *this);
}
void TRirCustomComPort::DoTriggerOutbuffFree() {
    Fire(onTriggerOutbuffFree_, *this);
}
void TRirCustomComPort::DoTriggerOutbuffUsed() {
    Fire(onTriggerOutbuffUsed_, *this);
}
void TRirCustomComPort::DoTriggerOutSent() {
    Fire(onTriggerOutSent_, *this);
}
void TRirCustomComPort::DoDeviceLost() {
    Fire(onDeviceLost_, *this);
}
void TRirCustomComPort::DoWaitChar(char c) {
    Fire(waitCharHandler_, *this, c);
}
