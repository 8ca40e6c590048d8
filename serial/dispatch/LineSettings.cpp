// Line settings, modem lines, line errors and flow control of the dispatcher.
#include <algorithm>

#include "serial/diag/ErrorCodes.h"
#include "serial/dispatch/Dispatcher.h"
#include "toolkit/OsInfo.h"

namespace {

// Bauds of the legacy codes 0xFF10 .. 0xFF27; 0 where a code has no mapping.
constexpr uint32_t kLegacyBauds[] = {110,   300, 600, 1200,   2400, 4800, 9600, 14400,
                                     19200, 0,   0,   38400,  0,    0,    0,    56000,
                                     0,     0,   0,   128000, 0,    0,    0,    256000};

}  // namespace

uint32_t ExpandBaudCode(uint32_t code) {
    if (code == 0xFEFF) {
        return 115200;
    }
    if (code >= 0xFF10 && code <= 0xFF27) {
        const uint32_t baud = kLegacyBauds[code - 0xFF10];
        return baud != 0 ? baud : code;
    }
    return code;
}

uint32_t CharacterDrainMs(uint32_t baud, const TLineState& state) {
    const uint32_t rate = ExpandBaudCode(baud);
    if (rate == 0) {
        return 0;
    }
    uint64_t bits = state.ByteSize + 2u;
    if (state.Parity != lsParityNone) {
        ++bits;
    }
    if (state.StopBits != lsOneStopBit) {
        ++bits;
    }
    // Tenths of a microsecond.
    uint64_t t = (10000000u / rate) * bits * 18u;
    if (t < 10000) {
        t *= 2;
    }
    return static_cast<uint32_t>((t + 9999) / 10000);
}

int32_t TRirBaseDispatcher::ChangeLine(uint32_t baud, uint8_t parity, uint8_t dataBits,
                                       uint8_t stopBits) {
    uint32_t newBaud = 0;
    uint8_t newParity = 0;
    uint8_t newSize = 0;
    uint8_t newStop = 0;
    {
        tk::TLockGuard g(GeneralLock);
        DeviceGetState(LineState);
        if (stopBits != clKeepStopBits) {
            stopBits = std::clamp<uint8_t>(stopBits, 1, 2);
        }
        newBaud = baud != clKeepBaud ? baud : LineState.BaudRate;
        newParity = parity != clKeepParity ? parity : LineState.Parity;
        newStop = LineState.StopBits;
        newSize = dataBits != clKeepDataBits ? dataBits : LineState.ByteSize;
        if (dataBits == 5) {
            newStop = lsOne5StopBits;
        }
        if (stopBits != clKeepStopBits) {
            newStop = stopBits == 1 ? lsOneStopBit : lsTwoStopBits;
            if (newSize == 5) {
                newStop = lsOne5StopBits;
            }
        }
        if (newBaud == LineState.BaudRate && newParity == LineState.Parity &&
            newSize == LineState.ByteSize && newStop == LineState.StopBits) {
            return 0;
        }
    }

    WaitOutputDrained();

    tk::TLockGuard g(GeneralLock);
    DeviceGetState(LineState);
    LineState.BaudRate = newBaud;
    LineState.Parity = newParity;
    LineState.ByteSize = newSize;
    LineState.StopBits = newStop;
    // Raw binary data: no NUL stripping, no DSR gating of input, output goes
    // on while XOFF is pending; parity is checked whenever there is parity.
    LineState.Flags |= lsfBinary | lsfTXContinueOnXoff;
    LineState.Flags &= ~(lsfParity | lsfDsrSensitivity | lsfNull);
    if (newParity != lsParityNone) {
        LineState.Flags |= lsfParity;
    }
    return ApplyLineState(LineState);
}

void TRirBaseDispatcher::QueryLine(uint32_t& baud, uint16_t& parity, uint8_t& dataBits,
                                   uint8_t& stopBits) {
    tk::TLockGuard g(GeneralLock);
    DeviceGetState(LineState);
    baud = ExpandBaudCode(LineState.BaudRate);
    parity = LineState.Parity;
    dataBits = LineState.ByteSize;
    stopBits = LineState.StopBits == lsOneStopBit ? 1 : 2;
}

int32_t TRirBaseDispatcher::ApplyLineState(TLineState& state) {
    tk::TLockGuard g(GeneralLock);
    if (!DtrAuto_.load()) {
        state.Flags &= ~lsfDtrControlMask;
        if (DtrState_.load()) {
            state.Flags |= lsfDtrControlEnable;
        }
    }
    if (!RtsAuto_.load()) {
        state.Flags &= ~lsfRtsControlMask;
        if (RtsState_.load()) {
            state.Flags |= lsfRtsControlEnable;
        }
    }
    const int32_t result = DeviceSetState(state);
    LastBaud_ = state.BaudRate;
    DriveDTR(DtrState_.load() ? 1 : 0);
    if (!Rs485Mode.load()) {
        DriveRTS(RtsState_.load() ? 1 : 0);
    }
    return result;
}

void TRirBaseDispatcher::WaitOutputDrained() {
    for (int i = 0; i < 5000 && OutputCount() > 0; ++i) {
        tk::Sleep(2);
    }
    TLineState state;
    uint32_t baud = 0;
    {
        tk::TLockGuard g(GeneralLock);
        DeviceGetState(LineState);
        state = LineState;
        baud = LastBaud_;
    }
    const uint32_t ms = CharacterDrainMs(baud, state);
    if (ms > 0) {
        tk::Sleep(ms);
    }
}

int32_t TRirBaseDispatcher::DriveDTR(uint8_t state) {
    if (DtrAuto_.load()) {
        return 1;
    }
    const bool raise = state == 1;
    const int32_t r = DeviceEscape(raise ? escSetDTR : escClearDTR);
    DtrState_ = raise;
    return r < 0 ? ecBadArgument : r;
}

int32_t TRirBaseDispatcher::DriveRTS(uint8_t state) {
    if (RtsAuto_.load()) {
        return 1;
    }
    const bool raise = state == 1;
    const int32_t r = DeviceEscape(raise ? escSetRTS : escClearRTS);
    RtsState_ = raise;
    return r < 0 ? ecBadArgument : r;
}

uint8_t TRirBaseDispatcher::RefreshModemStatus(uint8_t keepMask) {
    tk::TLockGuard g(GeneralLock);
    ModemStatus_ = static_cast<uint8_t>(DeviceModemLines() | (ModemStatus_ & 0x0F));
    if (RingSeen.exchange(false)) {
        ModemStatus_ |= msRingSeen;
    }
    const uint8_t result = ModemStatus_;
    ModemStatus_ &= keepMask;
    return result;
}

uint8_t TRirBaseDispatcher::ReadModemStatus() {
    return RefreshModemStatus(0xF0);
}

void TRirBaseDispatcher::RefreshModemDelta() {
    tk::TLockGuard g(GeneralLock);
    const uint8_t old = ModemStatus_;
    RefreshModemStatus(0xFF);
    ModemStatus_ |= static_cast<uint8_t>(((ModemStatus_ ^ old) & 0xF0) >> 4);
}

uint8_t TRirBaseDispatcher::ModemStatus() {
    tk::TLockGuard g(GeneralLock);
    return ModemStatus_;
}

int32_t TRirBaseDispatcher::TakeLineError() {
    tk::TLockGuard g(GeneralLock);
    const uint32_t errors = LineErrors_.load();
    int32_t code = lecNone;
    if (errors & leRxOverflow) {
        code = lecRxOverflow;
    } else if (errors & leOverrun) {
        code = lecOverrun;
    } else if (errors & leParity) {
        code = lecParity;
    } else if (errors & leFraming) {
        code = lecFraming;
    } else if (errors & leBreak) {
        code = lecBreak;
    }
    if (code != lecNone) {
        // The break bit stays for TakeLineBreak.
        LineErrors_.fetch_and(~(leRxOverflow | leOverrun | leParity | leFraming));
    }
    return code;
}

bool TRirBaseDispatcher::TakeLineBreak() {
    tk::TLockGuard g(GeneralLock);
    return (LineErrors_.fetch_and(~leBreak) & leBreak) != 0;
}

namespace {

// Flow thresholds: full between resume and the input size, and both limits
// within the 16 bits the line state carries them in.
bool FlowThresholdsValid(uint32_t full, uint32_t resume, uint32_t inputSize) {
    return full >= resume && full <= inputSize && resume <= 0xFFFF && inputSize - full <= 0xFFFF;
}

}  // namespace

int32_t TRirBaseDispatcher::ApplyHardwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                              uint32_t options) {
    if (!FlowThresholdsValid(bufferFull, bufferResume, InputSize_)) {
        return ecBadArgument;
    }
    tk::TLockGuard g(GeneralLock);
    DeviceGetState(LineState);
    LineState.Flags &= ~(lsfOutxCtsFlow | lsfOutxDsrFlow | lsfDtrControlMask | lsfRtsControlMask);
    DtrAuto_ = false;
    RtsAuto_ = false;
    if (options & hwfUseDTR) {
        LineState.Flags |= lsfDtrControlHandshake;
        DtrAuto_ = true;
    } else if (DtrState_.load()) {
        LineState.Flags |= lsfDtrControlEnable;
    }
    if (options & hwfUseRTS) {
        LineState.Flags |= lsfRtsControlHandshake;
        RtsAuto_ = true;
    } else if (RtsState_.load()) {
        LineState.Flags |= lsfRtsControlEnable;
    }
    if (Rs485Mode.load() && tk::IsWindowsNT()) {
        LineState.Flags = (LineState.Flags & ~lsfRtsControlMask) | lsfRtsControlToggle;
        RtsAuto_ = true;
    }
    LineState.XoffLim = static_cast<uint16_t>(InputSize_ - bufferFull);
    LineState.XonLim = static_cast<uint16_t>(bufferResume);
    if (options & hwfRequireDSR) {
        LineState.Flags |= lsfOutxDsrFlow;
    }
    if (options & hwfRequireCTS) {
        LineState.Flags |= lsfOutxCtsFlow;
    }
    return ApplyLineState(LineState);
}

int32_t TRirBaseDispatcher::ApplySoftwareFlow(uint32_t bufferFull, uint32_t bufferResume,
                                              uint32_t options) {
    if (!FlowThresholdsValid(bufferFull, bufferResume, InputSize_)) {
        return ecBadArgument;
    }
    tk::TLockGuard g(GeneralLock);
    DeviceGetState(LineState);
    if (options & swfReceiveSide) {
        LineState.Flags |= lsfInX;
        LineState.XoffLim = static_cast<uint16_t>(InputSize_ - bufferFull);
        LineState.XonLim = static_cast<uint16_t>(bufferResume);
        LineState.XonChar = 0x11;
        LineState.XoffChar = 0x13;
    }
    if (options & swfTransmitSide) {
        LineState.Flags |= lsfOutX;
        LineState.XonChar = 0x11;
        LineState.XoffChar = 0x13;
    }
    return ApplyLineState(LineState);
}

int32_t TRirBaseDispatcher::CancelSoftwareFlow() {
    tk::TLockGuard g(GeneralLock);
    DeviceGetState(LineState);
    LineState.Flags &= ~(lsfInX | lsfOutX);
    return ApplyLineState(LineState);
}

int32_t TRirBaseDispatcher::ApplyFlowChars(char xon, char xoff) {
    tk::TLockGuard g(GeneralLock);
    DeviceGetState(LineState);
    LineState.XonChar = xon;
    LineState.XoffChar = xoff;
    return ApplyLineState(LineState);
}

int32_t TRirBaseDispatcher::QueryFlow(uint32_t& hwOptions, uint32_t& swOptions, char& xon,
                                      char& xoff) {
    tk::TLockGuard g(GeneralLock);
    const int32_t result = DeviceGetState(LineState);
    hwOptions = 0;
    if ((LineState.Flags & lsfDtrControlMask) == lsfDtrControlHandshake) {
        hwOptions |= hwfUseDTR;
    }
    if ((LineState.Flags & lsfRtsControlMask) == lsfRtsControlHandshake) {
        hwOptions |= hwfUseRTS;
    }
    if (LineState.Flags & lsfOutxDsrFlow) {
        hwOptions |= hwfRequireDSR;
    }
    if (LineState.Flags & lsfOutxCtsFlow) {
        hwOptions |= hwfRequireCTS;
    }
    swOptions = 0;
    if (LineState.Flags & lsfInX) {
        swOptions |= swfReceiveSide;
    }
    if (LineState.Flags & lsfOutX) {
        swOptions |= swfTransmitSide;
    }
    xon = LineState.XonChar;
    xoff = LineState.XoffChar;
    return result;
}

void TRirBaseDispatcher::SetOptionFlags(uint32_t bits) {
    tk::TLockGuard g(GeneralLock);
    OptionWord |= bits;
}

void TRirBaseDispatcher::ClearOptionFlags(uint32_t bits) {
    tk::TLockGuard g(GeneralLock);
    OptionWord &= ~bits;
}

uint32_t TRirBaseDispatcher::OptionFlags() {
    tk::TLockGuard g(GeneralLock);
    return OptionWord;
}

uint32_t TRirBaseDispatcher::LastBaud() {
    tk::TLockGuard g(GeneralLock);
    return LastBaud_;
}

void TRirBaseDispatcher::SetRS485(bool on) {
    tk::TLockGuard g(GeneralLock);
    Rs485Mode = on;
    if (on) {
        WriterPriority(4);
        if (!tk::IsWindowsNT()) {
            // The UART base address is the low 16 bits of a positive answer.
            const int32_t r = DeviceEscape(escGetBaseAddress);
            BaseAddress_ = static_cast<uint16_t>(r > 0 ? r & 0xFFFF : 0);
        }
    } else {
        WriterPriority(3);
    }
}
