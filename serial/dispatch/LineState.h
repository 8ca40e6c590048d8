// The portable line-state and status records that the dispatcher caches and
// hands to its device layer. The members and bit values are those of the
// Win32 device-control block and communications status, so the Win32 layer
// copies them one to one and the POSIX layer maps them onto termios.
#pragma once

#include <cstdint>

// Bits of TLineState::Flags (the DCB's bit fields at their DCB positions).
constexpr uint32_t lsfBinary = 0x0001;            // fBinary
constexpr uint32_t lsfParity = 0x0002;            // fParity: parity checking on
constexpr uint32_t lsfOutxCtsFlow = 0x0004;       // fOutxCtsFlow: CTS stops output
constexpr uint32_t lsfOutxDsrFlow = 0x0008;       // fOutxDsrFlow: DSR stops output
constexpr uint32_t lsfDtrControlMask = 0x0030;    // fDtrControl, two bits
constexpr uint32_t lsfDtrControlEnable = 0x0010;  //   DTR raised
constexpr uint32_t lsfDtrControlHandshake = 0x0020;
constexpr uint32_t lsfDsrSensitivity = 0x0040;    // fDsrSensitivity
constexpr uint32_t lsfTXContinueOnXoff = 0x0080;  // fTXContinueOnXoff
constexpr uint32_t lsfOutX = 0x0100;              // fOutX: XON/XOFF on output
constexpr uint32_t lsfInX = 0x0200;               // fInX: XON/XOFF on input
constexpr uint32_t lsfErrorChar = 0x0400;         // fErrorChar
constexpr uint32_t lsfNull = 0x0800;              // fNull: discard NUL bytes
constexpr uint32_t lsfRtsControlMask = 0x3000;    // fRtsControl, two bits
constexpr uint32_t lsfRtsControlEnable = 0x1000;  //   RTS raised
constexpr uint32_t lsfRtsControlHandshake = 0x2000;
constexpr uint32_t lsfRtsControlToggle = 0x3000;  //   RTS up while sending (RS-485)
constexpr uint32_t lsfAbortOnError = 0x4000;      // fAbortOnError

// TLineState::Parity values.
constexpr uint8_t lsParityNone = 0;
constexpr uint8_t lsParityOdd = 1;
constexpr uint8_t lsParityEven = 2;
constexpr uint8_t lsParityMark = 3;
constexpr uint8_t lsParitySpace = 4;

// TLineState::StopBits codes.
constexpr uint8_t lsOneStopBit = 0;
constexpr uint8_t lsOne5StopBits = 1;
constexpr uint8_t lsTwoStopBits = 2;

// The line settings of a serial device.
struct TLineState {
    uint32_t BaudRate = 0;  // baud, or a legacy baud code (ExpandBaudCode)
    uint32_t Flags = 0;     // lsf* bits
    uint16_t XonLim = 0;    // queued input bytes at which input may resume
    uint16_t XoffLim = 0;   // free input-queue bytes at which input is stopped
    uint8_t ByteSize = 8;   // data bits, 5 to 8
    uint8_t Parity = lsParityNone;
    uint8_t StopBits = lsOneStopBit;
    char XonChar = 0x11;
    char XoffChar = 0x13;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;

    bool operator==(const TLineState&) const = default;
};

// Line-error bits as the device reports them (the low five are accumulated).
constexpr uint32_t leRxOverflow = 0x01;
constexpr uint32_t leOverrun = 0x02;
constexpr uint32_t leParity = 0x04;
constexpr uint32_t leFraming = 0x08;
constexpr uint32_t leBreak = 0x10;
constexpr uint32_t leAccumulated = 0x1F;
// The device has gone away (Win32's CE_IOE): not a line error of the data, so
// it is not accumulated; the dispatcher reports it once (DeviceLost).
constexpr uint32_t leDeviceLost = 0x0400;

// Line error codes of TakeLineError.
constexpr int32_t lecNone = 0;
constexpr int32_t lecRxOverflow = 1;
constexpr int32_t lecOverrun = 2;
constexpr int32_t lecParity = 3;
constexpr int32_t lecFraming = 4;
constexpr int32_t lecBreak = 9;

// The device's status record.
struct TComStat {
    uint32_t Flags = 0;   // device flags
    uint32_t InQue = 0;   // bytes waiting in the device's input queue
    uint32_t OutQue = 0;  // bytes waiting for output, the dispatcher's own ring included
};

// Modem status byte: the lines in the high nibble, their change bits below.
constexpr uint8_t msCTS = 0x10;
constexpr uint8_t msDSR = 0x20;
constexpr uint8_t msRing = 0x40;
constexpr uint8_t msDCD = 0x80;
constexpr uint8_t msCTSChanged = 0x01;
constexpr uint8_t msDSRChanged = 0x02;
constexpr uint8_t msRingSeen = 0x04;
constexpr uint8_t msDCDChanged = 0x08;

// DeviceEscape function codes.
constexpr int32_t escSetRTS = 3;
constexpr int32_t escClearRTS = 4;
constexpr int32_t escSetDTR = 5;
constexpr int32_t escClearDTR = 6;
constexpr int32_t escGetBaseAddress = 10;

// DeviceFlush sides.
constexpr int32_t flushOutput = 0;
constexpr int32_t flushInput = 1;

// OpenPort option bits.
constexpr uint32_t opDtrOn = 0x01;
constexpr uint32_t opRtsOn = 0x02;
constexpr uint32_t opDtrHandshake = 0x10;
constexpr uint32_t opRtsHandshake = 0x20;

// Hardware flow options (the port component's HWFlowOptions set).
constexpr uint32_t hwfUseDTR = 0x01;
constexpr uint32_t hwfUseRTS = 0x02;
constexpr uint32_t hwfRequireDSR = 0x04;
constexpr uint32_t hwfRequireCTS = 0x08;

// Software flow options.
constexpr uint32_t swfTransmitSide = 0x01;  // stop sending on XOFF
constexpr uint32_t swfReceiveSide = 0x02;   // send XOFF and XON

// ChangeLine's "keep the current value" arguments.
constexpr uint32_t clKeepBaud = 0;
constexpr uint8_t clKeepParity = 5;
constexpr uint8_t clKeepDataBits = 9;
constexpr uint8_t clKeepStopBits = 3;

// The baud for a legacy baud code (0xFEFF is 115200, 0xFF10 .. 0xFF27 index
// a table); a code without a mapping, or any other value, comes back unchanged.
uint32_t ExpandBaudCode(uint32_t code);

// Milliseconds that WaitOutputDrained lets the last character leave the
// transmitter: 18 tenths of a microsecond per bit per 10000000 / baud,
// doubled when short, rounded up. 0 for a baud of 0.
uint32_t CharacterDrainMs(uint32_t baud, const TLineState& state);
