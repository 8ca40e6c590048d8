// The line-state record (Win32 device-control values) on termios and back.
//
// termios holds the rate, byte size, parity (mark and space through CMSPAR),
// stop bits, RTS/CTS flow (CRTSCTS) and XON/XOFF flow with its characters.
// What it cannot hold (the XON/XOFF limits, the DTR and DSR handshakes, the
// error, end-of-file and event characters, NUL stripping) the device layer
// keeps in a shadow copy of the last record it applied.
#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/dispatch/LineState.h"

namespace posixdev {

// The standard speed constant for a rate, or B0 when the rate has none.
speed_t StandardSpeed(uint32_t baud);
// The rate of a standard speed constant; 0 for B0 or an unknown one.
uint32_t SpeedRate(speed_t speed);

// Puts the device in raw mode for binary data: no echo, no line editing, no
// signals, no translation of input or output, reads that return at once, the
// receiver on, modem-control lines ignored for opening, and bad bytes and
// breaks marked in the input stream (see MarkDecoder.h).
void MakeRaw(termios& t);

// Writes state's byte size, parity, stop bits and flow control into t (in
// raw mode, MakeRaw); the rate is left to the caller. Returns 0, or 87 (the
// Win32 "parameter is incorrect") when the record asks for something a line
// cannot do: a byte size outside 5..8, an unknown parity or stop-bit code,
// 1.5 stop bits with more than 5 data bits or 2 with 5, equal XON and XOFF
// characters while XON/XOFF flow is on.
uint32_t LineStateToTermios(const TLineState& state, termios& t);

// Overwrites in state what t holds (byte size, parity, stop bits, the flow
// bits and characters); the rate and every field termios cannot hold stay.
void TermiosToLineState(const termios& t, TLineState& state);

}  // namespace posixdev
