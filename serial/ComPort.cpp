#include "serial/ComPort.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "serial/PortProbe.h"
#include "serial/Timing.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/diag/Exceptions.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/ExceptionDisplay.h"

namespace {

constexpr uint32_t kOptionEventWord = 4;
constexpr THWFlowOptionSet kHWFlowMask = 0x0F;
constexpr THWFlowOptionSet kRS485Conflicts = hwfUseRTS | hwfRequireCTS;

bool Active(TTraceLogState s) {
    return s == tlOn || s == tlPause;
}

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

bool InsideTriggerOf(const TRirCustomComPort* port) {
    return std::any_of(tDeliveries.begin(), tDeliveries.end(),
                       [port](const TDeliveryFrame* f) { return f->port == port && !f->freed; });
}

bool InsideDeliveryBy(const TRirBaseDispatcher* d) {
    return std::any_of(tDeliveries.begin(), tDeliveries.end(),
                       [d](const TDeliveryFrame* f) { return f->dispatcher == d; });
}

// The dispatchers and windows of components freed inside their own trigger
// events (this thread's): each goes once its threads have stopped, which
// they do when the event has returned.
struct TOrphan {
    std::unique_ptr<TRirBaseDispatcher> dispatcher;
    tk::TWindowHandle window = 0;
};
thread_local std::vector<TOrphan> tOrphans;

// Finishes the orphan of dispatcher d on its close message; false when d
// is no orphan. Hold RegistryLock.
bool FinishOrphan(TRirBaseDispatcher* d, tk::TLParam lParam) {
    const auto it = std::find_if(tOrphans.begin(), tOrphans.end(),
                                 [d](const TOrphan& o) { return o.dispatcher.get() == d; });
    if (it == tOrphans.end()) {
        return false;
    }
    if (d->ThreadsRunning() && InsideDeliveryBy(d)) {
        tk::PostToWindow(it->window, MsgPortClose, 0, lParam);
        return true;
    }
    TOrphan orphan = std::move(*it);
    tOrphans.erase(it);
    orphan.dispatcher->ReleaseBuffers();
    orphan.dispatcher->RemoveWindowHandler(orphan.window);
    tk::DestroyNotifyWindow(orphan.window);
    orphan.dispatcher.reset();
    return true;
}

}  // namespace

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
        if (d != nullptr && m == MsgPortClose && FinishOrphan(d, lParam)) {
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

TRirCustomComPort::TRirCustomComPort(tk::TComponent* owner) : TRirBaseComponent(owner) {}

TRirCustomComPort::~TRirCustomComPort() {
    try {
        if (openState_ == osOpen) {
            DoClose();
        }
    } catch (...) {
        // A dump that cannot be written must not stop the component going.
        tk::ShowCurrentException();
    }
    if (dispatcher_ && InsideTriggerOf(this)) {
        // Freed inside its own trigger event: the dispatch thread waits for
        // that event, so the dispatcher and the window outlive the component
        // until it has returned, and the rest of the delivery skips it.
        for (TDeliveryFrame* f : tDeliveries) {
            f->freed = f->freed || f->port == this;
        }
        if (!dispatcher_->ClosePending()) {
            dispatcher_->ClosePort();
        }
        dispatcher_->ForgetOwner();
        const tk::TLParam lParam =
            static_cast<tk::TLParam>(static_cast<uint32_t>(dispatcher_->Handle()) << 16);
        tOrphans.push_back({std::move(dispatcher_), notifyWindow_});
        tk::PostToWindow(notifyWindow_, MsgPortClose, 0, lParam);
        notifyWindow_ = 0;
    }
    if (dispatcher_) {
        // A deferred close that had not completed: finish it here.
        FinishClose();
    }
    listeners_.clear();
    TRirBaseDispatcher::ReleaseSavedTriggers(savedTriggers_);
}

int32_t TRirCustomComPort::Check(int32_t code) const {
    return CheckResult(code, Loading());
}

// ------------------------------------------------------------------ setters

void TRirCustomComPort::SetDeviceLayer(TDeviceLayer v) {
    if (v == deviceLayer_ || openState_ != osClosed || v != dlWin32) {
        return;
    }
    deviceLayer_ = v;
    AfterDeviceLayerChange();
}

void TRirCustomComPort::SetComNumber(uint16_t v) {
    if (v == comNumber_) {
        return;
    }
    if (openState_ == osClosing) {
        // A close left to the end of a trigger event is still pending while
        // Open reads true: the port opens on the new number once it is done.
        comNumber_ = v;
        reopenRequested_ = true;
        return;
    }
    if (openState_ != osOpen) {
        comNumber_ = v;
        return;
    }
    dispatcher_->SaveTriggers(savedTriggers_);
    const TTraceLogState tracing = tracing_;
    const TTraceLogState logging = logging_;
    SetOpen(false);
    comNumber_ = v;
    if (openState_ == osClosing) {
        reopenRequested_ = true;  // the close completes after the trigger event
    }
    SetTracing(tracing);
    SetLogging(logging);
    SetOpen(true);
    if (dispatcher_ && openState_ == osOpen) {
        dispatcher_->RestoreTriggers(savedTriggers_);
    }
}

#define PALMO_LINE_SETTER(Name, Type, field)                                        \
    void TRirCustomComPort::Set##Name(Type v) {                                     \
        if (v == field) {                                                           \
            return;                                                                 \
        }                                                                           \
        field = v;                                                                  \
        if (openState_ == osOpen) {                                                 \
            Check(dispatcher_->ChangeLine(static_cast<uint32_t>(baud_), parity_,    \
                                          static_cast<uint8_t>(dataBits_ & 0xFF),   \
                                          static_cast<uint8_t>(stopBits_ & 0xFF))); \
        }                                                                           \
    }
PALMO_LINE_SETTER(Baud, int32_t, baud_)
PALMO_LINE_SETTER(Parity, TParity, parity_)
PALMO_LINE_SETTER(DataBits, uint16_t, dataBits_)
PALMO_LINE_SETTER(StopBits, uint16_t, stopBits_)
#undef PALMO_LINE_SETTER

void TRirCustomComPort::SetInSize(uint16_t v) {
    if (v == inSize_) {
        return;
    }
    inSize_ = v;
    if (openState_ == osOpen) {
        dispatcher_->DeviceSetQueues(inSize_, outSize_);
    }
}

void TRirCustomComPort::SetOutSize(uint16_t v) {
    if (v == outSize_) {
        return;
    }
    outSize_ = v;
    if (openState_ == osOpen) {
        dispatcher_->DeviceSetQueues(inSize_, outSize_);
    }
}

void TRirCustomComPort::SetOpen(bool v) {
    if (v == open_) {
        return;
    }
    if (Designing() || Loading()) {
        // The last value stored wins: Open set back to false before the
        // end of streaming in opens nothing.
        open_ = v;
        openAfterLoad_ = v;
        return;
    }
    if (!v) {
        DoClose();
    } else if (openState_ != osClosed) {
        reopenRequested_ = true;
    } else {
        DoOpen();
    }
}

void TRirCustomComPort::SetDTR(bool v) {
    if (v == dtr_ && !reapplyFlag_) {
        return;
    }
    if (openState_ != osOpen) {
        dtr_ = v;
    } else if (Check(dispatcher_->DriveDTR(v ? 1 : 0)) == 0) {
        dtr_ = v;
    }
}

void TRirCustomComPort::SetRTS(bool v) {
    if (v == rts_ && !reapplyFlag_) {
        return;
    }
    if (openState_ != osOpen) {
        rts_ = v;
    } else if (Check(dispatcher_->DriveRTS(v ? 1 : 0)) == 0) {
        rts_ = v;
    }
}

void TRirCustomComPort::SetHWFlowOptions(THWFlowOptionSet v) {
    if (v == hwFlow_ && !reapplyFlag_) {
        return;
    }
    const uint32_t flags = v & kHWFlowMask;
    if (flags != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) {
            bufferFull_ = static_cast<uint16_t>(inSize_ * 9u / 10u);
        }
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
            bufferResume_ = static_cast<uint16_t>(inSize_ / 10u);
        }
    }
    if (openState_ == osOpen) {
        Check(dispatcher_->ApplyHardwareFlow(bufferFull_, bufferResume_, flags));
    }
    hwFlow_ = v;
    if ((v & kRS485Conflicts) != 0) {
        SetRS485Mode(false);
    }
}

void TRirCustomComPort::SetSWFlowOptions(TSWFlowOptions v) {
    if (v == swFlow_ && !reapplyFlag_) {
        return;
    }
    static constexpr uint32_t kModes[] = {0, 2, 1, 3};
    const uint32_t mode = kModes[v & 3];
    if (mode != 0) {
        if (bufferFull_ == 0 || bufferFull_ > inSize_) {
            bufferFull_ = static_cast<uint16_t>(inSize_ * 3u / 4u);
        }
        if (bufferResume_ == 0 || bufferResume_ > bufferFull_) {
            bufferResume_ = static_cast<uint16_t>(inSize_ / 4u);
        }
    }
    if (openState_ == osOpen) {
        Check(mode != 0 ? dispatcher_->ApplySoftwareFlow(bufferFull_, bufferResume_, mode)
                        : dispatcher_->CancelSoftwareFlow());
    }
    swFlow_ = v;
}

void TRirCustomComPort::SetXOnChar(char v) {
    if (v == xonChar_ && !reapplyFlag_) {
        return;
    }
    xonChar_ = v;
    if (openState_ == osOpen) {
        Check(dispatcher_->ApplyFlowChars(xonChar_, xoffChar_));
    }
}

void TRirCustomComPort::SetXOffChar(char v) {
    if (v == xoffChar_ && !reapplyFlag_) {
        return;
    }
    xoffChar_ = v;
    if (openState_ == osOpen) {
        Check(dispatcher_->ApplyFlowChars(xonChar_, xoffChar_));
    }
}

void TRirCustomComPort::ReapplyFlow() {
    // The thresholds are checked again by the flow setters and, when open,
    // handed to the dispatcher.
    const bool saved = reapplyFlag_;
    reapplyFlag_ = true;
    try {
        SetHWFlowOptions(hwFlow_);
        SetSWFlowOptions(swFlow_);
    } catch (...) {
        reapplyFlag_ = saved;
        throw;
    }
    reapplyFlag_ = saved;
}

void TRirCustomComPort::SetBufferFull(uint16_t v) {
    if (v == bufferFull_ && !reapplyFlag_) {
        return;
    }
    bufferFull_ = v <= inSize_ ? v : static_cast<uint16_t>(v * 9u / 10u);
    ReapplyFlow();
}

void TRirCustomComPort::SetBufferResume(uint16_t v) {
    if (v == bufferResume_ && !reapplyFlag_) {
        return;
    }
    bufferResume_ = v <= bufferFull_ ? v : static_cast<uint16_t>(bufferFull_ / 10u);
    ReapplyFlow();
}

void TRirCustomComPort::SetTracing(TTraceLogState v) {
    SetTraceLog(false, v);
}

void TRirCustomComPort::SetLogging(TTraceLogState v) {
    SetTraceLog(true, v);
}

void TRirCustomComPort::SetTraceLog(bool log, TTraceLogState v) {
    TTraceLogState& c = log ? logging_ : tracing_;
    if (v == c && !reapplyFlag_) {
        return;
    }
    if (openState_ != osOpen) {
        c = (v == tlOff || v == tlOn) ? v : tlOff;
        return;
    }
    TRirBaseDispatcher& d = *dispatcher_;
    switch (static_cast<TTraceLogState>(v % 128)) {
        case tlOff:
            if (Active(c)) {
                log ? d.FreeDispatchLog() : d.FreeTrace();
            }
            c = tlOff;
            break;
        case tlOn:
            if (c == tlPause) {
                log ? d.ResumeDispatchLog() : d.ResumeTrace();
            } else if (log) {
                d.InitDispatchLog(logSize_);
            } else {
                Check(d.InitTrace(traceSize_));
            }
            c = tlOn;
            break;
        case tlDump:
        case tlAppend:
            if (Active(c)) {
                const bool append = (v % 128) == tlAppend;
                if (log) {
                    d.ResumeDispatchLog();
                    c = tlOff;
                    Check(d.WriteDispatchLogFile(logName_, append, logHex_, logAllHex_));
                } else {
                    d.ResumeTrace();
                    c = tlOff;
                    Check(d.WriteTraceFile(traceName_, append, traceHex_, traceAllHex_));
                }
            }
            break;
        case tlClear:
            if (Active(c)) {
                if (log) {
                    d.ClearDispatchLog();
                } else {
                    Check(d.ClearTrace());
                }
            }
            break;
        case tlPause:
            if (c == tlOn) {
                log ? d.PauseDispatchLog() : d.PauseTrace();
                c = tlPause;
            }
            break;
        default:
            break;
    }
}

void TRirCustomComPort::SetTraceSize(uint32_t v) {
    v = std::min<uint32_t>(v, 4000000);
    if (v == traceSize_) {
        return;
    }
    traceSize_ = v;
    if (openState_ == osOpen && Active(tracing_)) {
        const TTraceLogState before = tracing_;
        dispatcher_->FreeTrace();
        tracing_ = tlOff;
        SetTracing(before);
    }
}

void TRirCustomComPort::SetLogSize(uint32_t v) {
    v = std::min<uint32_t>(v, 16000000);
    if (v == logSize_) {
        return;
    }
    logSize_ = v;
    if (openState_ == osOpen && Active(logging_)) {
        const TTraceLogState before = logging_;
        dispatcher_->FreeDispatchLog();
        logging_ = tlOff;
        SetLogging(before);
    }
}

void TRirCustomComPort::SetUseEventWord(bool v) {
    if (v == useEventWord_ && !reapplyFlag_) {
        return;
    }
    useEventWord_ = v;
    if (openState_ == osOpen) {
        v ? dispatcher_->SetOptionFlags(kOptionEventWord)
          : dispatcher_->ClearOptionFlags(kOptionEventWord);
    }
}

void TRirCustomComPort::SetCommNotificationLevel(uint16_t v) {
    if (v == commNotificationLevel_ && !reapplyFlag_) {
        return;
    }
    commNotificationLevel_ = v;
}

void TRirCustomComPort::SetRS485Mode(bool v) {
    if (v == rs485_ && !reapplyFlag_) {
        return;
    }
    rs485_ = v;
    if (openState_ == osOpen) {
        dispatcher_->SetRS485(v);
    }
    if (v) {
        SetHWFlowOptions(static_cast<THWFlowOptionSet>(hwFlow_ & ~kRS485Conflicts));
        SetRTS(false);
    }
}

void TRirCustomComPort::SetLengthTrigger(uint16_t v) {
    if (v == lengthTrigger_ && !reapplyFlag_) {
        return;
    }
    lengthTrigger_ = v;
    if (openState_ == osOpen) {
        dispatcher_->SetAvailThreshold(v);
    }
}

void TRirCustomComPort::SetPriorityBoost(uint8_t v) {
    if (v == priorityBoost_ && !reapplyFlag_) {
        return;
    }
    priorityBoost_ = v;
    if (openState_ == osOpen) {
        dispatcher_->SetPriorityBoost(v);
    }
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

// ---------------------------------------------------------------- listeners

void TRirCustomComPort::AddPortListener(const TPortListener& listener) {
    listeners_.push_back(listener);
}

size_t TRirCustomComPort::RemovePortListener(tk::TWindowHandle window) {
    return std::erase_if(listeners_,
                         [window](const TPortListener& l) { return l.Window == window; });
}

void TRirCustomComPort::NotifyPortOpen() {
    // A copy: a listener may change the list.
    const std::vector<TPortListener> listeners = listeners_;
    for (size_t i = listeners.size(); i-- > 0;) {
        const TPortListener& l = listeners[i];
        if (l.Window != 0) {
            tk::SendToWindow(l.Window, MsgPortOpened, 0, 0, tk::kInfinite, nullptr);
        } else if (l.UseExtended) {
            if (l.Extended) {
                l.Extended(*this, 0);
            }
        } else if (l.Plain) {
            l.Plain(*this, true);
        }
    }
    if (onPortOpen_) {
        onPortOpen_(*this);
    }
}

void TRirCustomComPort::NotifyPortClose() {
    const std::vector<TPortListener> listeners = listeners_;
    for (size_t i = listeners.size(); i-- > 0;) {
        const TPortListener& l = listeners[i];
        if (l.Window != 0) {
            tk::SendToWindow(l.Window, MsgPortClosed, 0, 0, tk::kInfinite, nullptr);
        } else if (l.UseExtended) {
            if (l.Extended) {
                l.Extended(*this, 2);
            }
        } else if (l.Plain) {
            l.Plain(*this, false);
        }
    }
    if (onPortClose_) {
        onPortClose_(*this);
    }
}

void TRirCustomComPort::NotifyPortClosing() {
    const std::vector<TPortListener> listeners = listeners_;
    for (size_t i = listeners.size(); i-- > 0;) {
        const TPortListener& l = listeners[i];
        if (!l.UseExtended) {
            continue;
        }
        if (l.Window != 0) {
            tk::SendToWindow(l.Window, MsgPortClose, 0, 0, tk::kInfinite, nullptr);
        } else if (l.Extended) {
            l.Extended(*this, 1);
        }
    }
}

// ------------------------------------------------------- opening and closing

std::unique_ptr<TRirBaseDispatcher> TRirCustomComPort::MakeDispatcher() {
    if (factory_) {
        return factory_();
    }
    if (deviceLayer_ != dlWin32) {
        RaiseForCode(ecNullApi);
    }
    // The dispatcher names its owner; the notification window finds the
    // component through it.
    return MakePlatformDispatcher(dynamic_cast<TRirComPort*>(this), tapiMode_ == tmOn,
                                  tapiDeviceId_);
}

int32_t TRirCustomComPort::OpenDevice() {
    const std::string name = tapiMode_ == tmOn ? std::string() : PortDeviceName(comNumber_);
    uint32_t options = 0;
    options |= dtr_ ? opDtrOn : 0;
    options |= rts_ ? opRtsOn : 0;
    options |= (hwFlow_ & hwfUseDTR) ? opDtrHandshake : 0;
    options |= (hwFlow_ & hwfUseRTS) ? opRtsHandshake : 0;
    return dispatcher_->OpenPort(
        name, static_cast<uint32_t>(baud_), parity_, static_cast<uint8_t>(dataBits_ & 0xFF),
        static_cast<uint8_t>(stopBits_ & 0xFF), inSize_, outSize_, options);
}

void TRirCustomComPort::EnsurePortNumber() {
    if (comNumber_ != 0) {
        return;
    }
    if (!promptForPort_) {
        RaiseForCode(ecNoPortSelected);
    }
    uint16_t chosen = 0;
    // A dialog confirmed without a port chosen counts as cancelled.
    if (!ShowPortSelectDialog(chosen) || chosen == 0) {
        RaiseForCode(ecNoPortSelected);
    }
    SetComNumber(chosen);
}

void TRirCustomComPort::DoOpen() {
    if (tapiMode_ != tmOn) {
        EnsurePortNumber();
    }
    dispatcher_ = MakeDispatcher();
    if (!dispatcher_) {
        RaiseForCode(ecNullApi);
    }
    dispatcher_->SetDeviceName("COM" + std::to_string(comNumber_));
    try {
        if (tapiMode_ == tmOn) {
            if (tapiDeviceId_ == 0) {
                Check(ecNotOpenedByTapi);
            }
            uint32_t baud = 0;
            uint16_t parity = 0;
            uint8_t dataBits = 0, stopBits = 0;
            dispatcher_->QueryLine(baud, parity, dataBits, stopBits);
            baud_ = static_cast<int32_t>(baud);
            parity_ = parity <= pSpace ? static_cast<TParity>(parity) : pNone;
            dataBits_ = dataBits;
            stopBits_ = stopBits;
            uint32_t hw = 0, sw = 0;
            dispatcher_->QueryFlow(hw, sw, xonChar_, xoffChar_);
            hwFlow_ = static_cast<THWFlowOptionSet>(hw & kHWFlowMask);
            swFlow_ = static_cast<TSWFlowOptions>(sw & 3);
        }
        int32_t r = OpenDevice();
        std::string problem;
        const int32_t problemCode = r < 0 ? dispatcher_->DeviceOpenProblem(problem) : 0;
        if (problemCode == ecBadId) {
            throw EBadId(problemCode, problem);
        }
        if (problemCode != 0) {
            throw EOpenComm(problemCode, problem);
        }
        if (r == ecAccessDenied) {
            r = ecAlreadyOpen;
        } else if (r == ecFileNotFound || r == ecPathNotFound) {
            r = ecBadId;
        }
        if (r != 0) {
            Check(r);
            // Not negative, or not raised while streaming in: still not open.
            dispatcher_.reset();
            return;
        }
        openState_ = osOpen;
        UpdateHandlerNeed();
        reapplyFlag_ = true;
        SetTracing(tracing_);
        SetLogging(logging_);
        SetHWFlowOptions(hwFlow_);
        SetSWFlowOptions(swFlow_);
        SetXOnChar(xonChar_);
        SetXOffChar(xoffChar_);
        SetLengthTrigger(lengthTrigger_);
        SetDTR(dtr_);
        SetRTS(rts_);
        SetUseEventWord(useEventWord_);
        SetRS485Mode(rs485_);
        SetPriorityBoost(priorityBoost_);
        reapplyFlag_ = false;
        open_ = true;
        SetupNotifyWindow(true);
        if (restoreTriggersOnOpen_) {
            restoreTriggersOnOpen_ = false;
            dispatcher_->RestoreTriggers(savedTriggers_);
        }
        NotifyPortOpen();
    } catch (...) {
        reapplyFlag_ = false;
        open_ = false;
        openState_ = osClosed;
        if (notifyWindow_ != 0) {
            dispatcher_->RemoveWindowHandler(notifyWindow_);
            tk::DestroyNotifyWindow(notifyWindow_);
            notifyWindow_ = 0;
        }
        dispatcher_.reset();
        throw;
    }
}

void TRirCustomComPort::DoClose() {
    if (openState_ != osOpen) {
        return;
    }
    // A dump that cannot be written does not keep the port open: the close
    // goes on and the first failure is raised once it is done.
    std::exception_ptr dumpFailure;
    try {
        SetTracing(tlDump);
    } catch (...) {
        dumpFailure = std::current_exception();
    }
    try {
        SetLogging(tlDump);
    } catch (...) {
        if (!dumpFailure) {
            dumpFailure = std::current_exception();
        }
    }
    openState_ = osClosing;
    NotifyPortClosing();
    TRirBaseDispatcher::ReleaseSavedTriggers(savedTriggers_);
    dispatcher_->SaveTriggers(savedTriggers_);
    restoreTriggersOnOpen_ = true;
    dispatcher_->ClosePort();
    if (dispatcher_->ClosePending() && InsideTriggerOf(this) && notifyWindow_ != 0) {
        // Called from inside one of this port's trigger events: the dispatch
        // thread waits for that event and must live on until it returns.
        PostDeferredClose();
        PumpOneMessage();
    } else {
        // A notice that the dispatch thread had begun but this thread was
        // not running (sent and not yet served, or just returned) is no
        // reason to wait: the release serves it and stops the threads now.
        if (dispatcher_->ClosePending()) {
            dispatcher_->ReleaseBuffers();
        }
        FinishClose();
    }
    NotifyPortClose();
    if (dumpFailure) {
        std::rethrow_exception(dumpFailure);
    }
}

void TRirCustomComPort::FinishClose() {
    if (dispatcher_) {
        SetupNotifyWindow(false);
    }
    dispatcher_.reset();
    openState_ = osClosed;
    open_ = false;
}

void TRirCustomComPort::PostDeferredClose() {
    tk::PostToWindow(notifyWindow_, MsgPortClose, 0,
                     static_cast<tk::TLParam>(static_cast<uint32_t>(dispatcher_->Handle()) << 16));
}

void TRirCustomComPort::FinishDeferredClose(int32_t lParam) {
    if (!dispatcher_ || openState_ != osClosing) {
        return;  // a stale message: that close has completed
    }
    if (dispatcher_->ThreadsRunning()) {
        if (InsideTriggerOf(this)) {
            // Served by a pump inside the event itself: the dispatch thread
            // still waits for it, so only a later turn can finish.
            tk::PostToWindow(notifyWindow_, MsgPortClose, 0, lParam);
            return;
        }
        // The event has returned: the release stops the threads (waking a
        // device wait that does not end by itself) and waits for them.
        dispatcher_->ReleaseBuffers();
    }
    DoTrigger(MsgPortClose, 0, static_cast<uint16_t>(lParam & 0xFFFF));
    FinishClose();
    if (reopenRequested_) {
        reopenRequested_ = false;
        DoOpen();
    }
}

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
    if (notifyWindow_ != 0) {
        dispatcher_->RemoveWindowHandler(notifyWindow_);
        tk::DestroyNotifyWindow(notifyWindow_);
        notifyWindow_ = 0;
    }
}

void TRirCustomComPort::Loaded() {
    TRirBaseComponent::Loaded();
    if (Designing()) {
        return;
    }
    if (openAfterLoad_) {
        open_ = true;
    }
    if (open_) {
        openAfterLoad_ = false;
        try {
            // Open reads true already; the open itself runs now.
            DoOpen();
        } catch (...) {
            open_ = false;
            tk::ShowCurrentException();
        }
    }
}

void TRirCustomComPort::Assign(const tk::TComponent& source) {
    const auto* src = dynamic_cast<const TRirCustomComPort*>(&source);
    if (src == nullptr || src == this) {
        return;
    }
    listeners_ = src->listeners_;
    if (src->openState_ == osOpen && src->dispatcher_) {
        TRirBaseDispatcher::ReleaseSavedTriggers(savedTriggers_);
        src->dispatcher_->SaveTriggers(savedTriggers_);
        restoreTriggersOnOpen_ = true;
    }
    reapplyFlag_ = src->reapplyFlag_;
    deviceLayer_ = src->deviceLayer_;
    comNumber_ = src->comNumber_;
    baud_ = src->baud_;
    parity_ = src->parity_;
    dataBits_ = src->dataBits_;
    stopBits_ = src->stopBits_;
    inSize_ = src->inSize_;
    outSize_ = src->outSize_;
    open_ = false;
    autoOpen_ = src->autoOpen_;
    promptForPort_ = src->promptForPort_;
    rs485_ = src->rs485_;
    priorityBoost_ = src->priorityBoost_;
    dtr_ = src->dtr_;
    rts_ = src->rts_;
    bufferFull_ = src->bufferFull_;
    bufferResume_ = src->bufferResume_;
    hwFlow_ = src->hwFlow_;
    swFlow_ = src->swFlow_;
    xonChar_ = src->xonChar_;
    xoffChar_ = src->xoffChar_;
    tracing_ = src->tracing_;
    traceSize_ = src->traceSize_;
    traceName_ = src->traceName_;
    traceHex_ = src->traceHex_;
    traceAllHex_ = src->traceAllHex_;
    logging_ = src->logging_;
    logSize_ = src->logSize_;
    logName_ = src->logName_;
    logHex_ = src->logHex_;
    logAllHex_ = src->logAllHex_;
    lengthTrigger_ = src->lengthTrigger_;
    SetOnTrigger(src->onTrigger_);
    SetOnTriggerAvail(src->onTriggerAvail_);
    SetOnTriggerData(src->onTriggerData_);
    SetOnTriggerStatus(src->onTriggerStatus_);
    SetOnTriggerTimer(src->onTriggerTimer_);
    onPortOpen_ = src->onPortOpen_;
    onPortClose_ = src->onPortClose_;
    tapiMode_ = src->tapiMode_;
}

// ------------------------------------------------------------------ dispatcher

TRirBaseDispatcher* TRirCustomComPort::CurrentDispatcher() {
    if (!dispatcher_ && !Designing() && !Loading() && openState_ != osOpen && autoOpen_) {
        SetOpen(true);
    }
    return dispatcher_.get();
}

TRirBaseDispatcher& TRirCustomComPort::RequireDispatcher() {
    TRirBaseDispatcher* d = CurrentDispatcher();
    if (d == nullptr) {
        // Also while streaming in: a call without a dispatcher reports it.
        RaiseForCode(ecCommNotOpen);
    }
    return *d;
}

// --------------------------------------------------------- reading and writing

char TRirCustomComPort::ReceiveChar() {
    if (openState_ == osClosing) {
        return 0;
    }
    char c = 0;
    const int32_t r = RequireDispatcher().ReadChar(c);
    if (r == 0) {
        return c;
    }
    Check(r);
    return 0;
}

size_t TRirCustomComPort::ReceiveBlock(char* dest, size_t max, char stop) {
    if (max == 0) {
        return 0;
    }
    if (openState_ != osClosing) {
        const uint32_t n = RequireDispatcher().ReadUntil(
            dest, static_cast<uint32_t>(std::min<size_t>(max, UINT32_MAX)), stop);
        if (n > 0) {
            return n;
        }
        Check(ecBufferIsEmpty);
    }
    dest[0] = 0;
    return 1;
}

bool TRirCustomComPort::CharArrival(uint32_t back, TArrivalTime& out) {
    if (openState_ != osOpen || !dispatcher_) {
        return false;
    }
    return dispatcher_->TakenArrival(back, out);
}

void TRirCustomComPort::SendString(const std::string& s) {
    if (openState_ == osClosing) {
        return;
    }
    Check(RequireDispatcher().WriteBlock(s));
}

uint16_t TRirCustomComPort::ReadLineError() {
    if (openState_ != osOpen) {
        return 0;
    }
    TRirBaseDispatcher* d = CurrentDispatcher();
    return d ? static_cast<uint16_t>(Check(static_cast<uint16_t>(d->TakeLineError()))) : 0;
}

bool TRirCustomComPort::ReadLineBreak() {
    if (openState_ != osOpen) {
        return false;
    }
    TRirBaseDispatcher* d = CurrentDispatcher();
    return d ? d->TakeLineBreak() : false;
}

void TRirCustomComPort::ServicePort() {
    if (openState_ != osClosing) {
        Check(RequireDispatcher().DeviceIdle());
    }
}

// ---------------------------------------------------------------- trigger events

void TRirCustomComPort::UpdateHandlerNeed() {
    if (openState_ != osOpen || !dispatcher_) {
        return;
    }
    const bool any = onTrigger_ || onTriggerAvail_ || onTriggerData_ || onTriggerStatus_ ||
                     onTriggerTimer_ || onTriggerLineError_ || onTriggerModemStatus_ ||
                     onTriggerOutbuffFree_ || onTriggerOutbuffUsed_ || onTriggerOutSent_;
    dispatcher_->RecomputeHandlerNeed(any ? 1 : 2);
}

bool TRirCustomComPort::FreedInEvent() {
    return !tDeliveries.empty() && tDeliveries.back()->freed;
}

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

void TRirCustomComPort::DoTrigger(uint16_t msg, uint16_t triggerHandle, uint16_t data) {
    if (onTrigger_) {
        onTrigger_(*this, msg, triggerHandle, data);
    }
}
void TRirCustomComPort::DoTriggerAvail(uint16_t count) {
    if (onTriggerAvail_) {
        onTriggerAvail_(*this, count);
    }
}
void TRirCustomComPort::DoTriggerData(uint16_t triggerHandle) {
    if (onTriggerData_) {
        onTriggerData_(*this, triggerHandle);
    }
}
void TRirCustomComPort::DoTriggerStatus(uint16_t triggerHandle) {
    if (onTriggerStatus_) {
        onTriggerStatus_(*this, triggerHandle);
    }
}
void TRirCustomComPort::DoTriggerTimer(uint16_t triggerHandle) {
    if (onTriggerTimer_) {
        onTriggerTimer_(*this, triggerHandle);
    }
}
void TRirCustomComPort::DoTriggerLineError(uint16_t error, bool lineBreak) {
    if (onTriggerLineError_) {
        onTriggerLineError_(*this, error, lineBreak);
    }
}
void TRirCustomComPort::DoTriggerModemStatus() {
    if (onTriggerModemStatus_) {
        onTriggerModemStatus_(*this);
    }
}
void TRirCustomComPort::DoTriggerOutbuffFree() {
    if (onTriggerOutbuffFree_) {
        onTriggerOutbuffFree_(*this);
    }
}
void TRirCustomComPort::DoTriggerOutbuffUsed() {
    if (onTriggerOutbuffUsed_) {
        onTriggerOutbuffUsed_(*this);
    }
}
void TRirCustomComPort::DoTriggerOutSent() {
    if (onTriggerOutSent_) {
        onTriggerOutSent_(*this);
    }
}
void TRirCustomComPort::DoDeviceLost() {
    if (onDeviceLost_) {
        onDeviceLost_(*this);
    }
}
void TRirCustomComPort::DoWaitChar(char c) {
    if (waitCharHandler_) {
        waitCharHandler_(*this, c);
    }
}

bool TRirCustomComPort::DeviceLost() const {
    return dispatcher_ && openState_ == osOpen && dispatcher_->DeviceLost();
}
