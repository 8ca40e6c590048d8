// The port component's byte trace and dispatch log: the Tracing and Logging
// states with their sizes, handed to the open dispatcher.
#include <algorithm>
#include <cstdint>

#include "serial/ComPort.h"
#include "serial/dispatch/Dispatcher.h"

namespace {

bool Active(TTraceLogState s) {
    return s == tlOn || s == tlPause;
}

}  // namespace

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
    SetTraceLogSize(false, std::min<uint32_t>(v, 4000000));
}

void TRirCustomComPort::SetLogSize(uint32_t v) {
    SetTraceLogSize(true, std::min<uint32_t>(v, 16000000));
}

void TRirCustomComPort::SetTraceLogSize(bool log, uint32_t v) {
    uint32_t& size = log ? logSize_ : traceSize_;
    TTraceLogState& c = log ? logging_ : tracing_;
    if (v == size) {
        return;
    }
    size = v;
    if (openState_ == osOpen && Active(c)) {
        // Freed, then its former state set again: one that was on starts
        // afresh at the new size.
        const TTraceLogState before = c;
        log ? dispatcher_->FreeDispatchLog() : dispatcher_->FreeTrace();
        c = tlOff;
        SetTraceLog(log, before);
    }
}
