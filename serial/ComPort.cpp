// The port component, in parts:
// - ComPort.cpp: construction, the dispatcher on demand, reading and writing;
// - ComPortProperties.cpp: the settings' setters and copying;
// - ComPortTrace.cpp: the byte trace and dispatch log;
// - ComPortOpen.cpp: opening, closing, the deferred close, destruction;
// - ComPortListeners.cpp: the open and close listeners;
// - ComPortEvents.cpp: the notification window and the trigger events.
// ComPortInternal.h holds what the parts share.
#include "serial/ComPort.h"

#include <algorithm>
#include <cstdint>

#include "serial/diag/ErrorCodes.h"
#include "serial/diag/Exceptions.h"
#include "serial/dispatch/Dispatcher.h"

TRirCustomComPort::TRirCustomComPort(tk::TComponent* owner) : TRirBaseComponent(owner) {}

int32_t TRirCustomComPort::Check(int32_t code) const {
    return CheckResult(code, Loading());
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

bool TRirCustomComPort::DeviceLost() const {
    return dispatcher_ && openState_ == osOpen && dispatcher_->DeviceLost();
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
