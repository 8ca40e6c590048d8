// The port component's opening and closing: Open and the port number, the
// dispatcher made for an open port and the settings handed to it, streaming
// in, the close left to the end of a trigger event, and destruction with the
// orphans a component freed inside its own trigger event leaves behind.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "serial/ComPortInternal.h"
#include "serial/PortProbe.h"
#include "serial/Timing.h"
#include "serial/diag/ErrorCodes.h"
#include "serial/diag/Exceptions.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/ExceptionDisplay.h"

namespace {

// The dispatchers and windows of components freed inside their own trigger
// events (this thread's): each goes once its threads have stopped, which
// they do when the event has returned.
struct TOrphan {
    std::unique_ptr<TRirBaseDispatcher> dispatcher;
    tk::TWindowHandle window = 0;
};
thread_local std::vector<TOrphan> tOrphans;

// The long parameter of the close message a port posts to its own window:
// dispatcher d's handle in the high 16 bits.
tk::TLParam CloseNoticeParam(const TRirBaseDispatcher& d) {
    return static_cast<tk::TLParam>(static_cast<uint32_t>(d.Handle()) << 16);
}

}  // namespace

bool comport::FinishOrphan(TRirBaseDispatcher* d, tk::TLParam lParam) {
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
    DropNotifyWindow(orphan.dispatcher.get(), orphan.window);
    orphan.dispatcher.reset();
    return true;
}

TRirCustomComPort::~TRirCustomComPort() {
    try {
        if (openState_ == osOpen) {
            DoClose();
        }
    } catch (...) {
        // A dump that cannot be written must not stop the component going.
        tk::ShowCurrentException();
    }
    if (dispatcher_ && comport::InsideTriggerOf(this)) {
        // Freed inside its own trigger event: the dispatch thread waits for
        // that event, so the dispatcher and the window outlive the component
        // until it has returned, and the rest of the delivery skips it.
        comport::MarkFreedInEvent(this);
        if (!dispatcher_->ClosePending()) {
            dispatcher_->ClosePort();
        }
        dispatcher_->ForgetOwner();
        const tk::TLParam lParam = CloseNoticeParam(*dispatcher_);
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

// ------------------------------------------------------------ Open and the port

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

// ------------------------------------------------------------ opening

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
            hwFlow_ = static_cast<THWFlowOptionSet>(hw & comport::kHWFlowMask);
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
        comport::DropNotifyWindow(dispatcher_.get(), notifyWindow_);
        dispatcher_.reset();
        throw;
    }
}

// ------------------------------------------------------------ closing

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
    if (dispatcher_->ClosePending() && comport::InsideTriggerOf(this) && notifyWindow_ != 0) {
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
    tk::PostToWindow(notifyWindow_, MsgPortClose, 0, CloseNoticeParam(*dispatcher_));
}

void TRirCustomComPort::FinishDeferredClose(int32_t lParam) {
    if (!dispatcher_ || openState_ != osClosing) {
        return;  // a stale message: that close has completed
    }
    if (dispatcher_->ThreadsRunning()) {
        if (comport::InsideTriggerOf(this)) {
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
