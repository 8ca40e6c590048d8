// The port component's settings: the setters of the line, queue, modem-line,
// flow-control and notice properties, each pushing its value into the open
// dispatcher, and the copy of all settings from another port.
#include <cstdint>

#include "serial/ComPortInternal.h"
#include "serial/dispatch/Dispatcher.h"

namespace {

constexpr uint32_t kOptionEventWord = 4;
constexpr THWFlowOptionSet kRS485Conflicts = hwfUseRTS | hwfRequireCTS;

// Flow thresholds that are unset or out of range become (parts - 1) / parts
// and 1 / parts of the input size.
void DefaultThresholds(uint16_t inSize, uint32_t parts, uint16_t& full, uint16_t& resume) {
    if (full == 0 || full > inSize) {
        full = static_cast<uint16_t>(inSize * (parts - 1) / parts);
    }
    if (resume == 0 || resume > full) {
        resume = static_cast<uint16_t>(inSize / parts);
    }
}

}  // namespace

void TRirCustomComPort::SetDeviceLayer(TDeviceLayer v) {
    if (v == deviceLayer_ || openState_ != osClosed || v != dlWin32) {
        return;
    }
    deviceLayer_ = v;
    AfterDeviceLayerChange();
}

// ------------------------------------------------------------ line and queues

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

// ------------------------------------------------------------ modem lines

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

// ------------------------------------------------------------ flow control

void TRirCustomComPort::SetHWFlowOptions(THWFlowOptionSet v) {
    if (v == hwFlow_ && !reapplyFlag_) {
        return;
    }
    const uint32_t flags = v & comport::kHWFlowMask;
    if (flags != 0) {
        DefaultThresholds(inSize_, 10, bufferFull_, bufferResume_);
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
        DefaultThresholds(inSize_, 4, bufferFull_, bufferResume_);
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

// ------------------------------------------------------------ notices

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

// ------------------------------------------------------------ copying

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
