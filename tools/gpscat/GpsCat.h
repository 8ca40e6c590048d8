// gpscat: feeds NMEA bytes into a receiver as an open port would and writes
// one JSON object per event, one per line, in the order raised. Files and
// standard input go through the decoder alone; a serial port through the
// receiver component that owns it.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "toolkit/Messages.h"
#include "tools/gpscat/GpsCatJson.h"
#include "tools/gpscat/GpsCatOptions.h"

namespace gpscat {

// The message that a stop request posts to the port loop's window.
constexpr uint32_t kMsgStop = tk::kMsgUser + 0x101;

// Writes the lines to out, flushes and empties them. False when the output
// did not take them, with the system's error number in error.
bool WriteLines(std::ostream& out, std::string& lines, int& error);

// Reports output that could not be written ("gpscat: cannot write output:"
// and the reason; nothing for a reader that went away, a closed pipe) and
// returns the status for it, kExitFile.
int OutputFailure(std::ostream& err, int error);

// The path or device name that COM number port is opened by.
std::string PortPath(uint16_t port);

// Reads the files (standard input for "-" or none) through a decoder and
// prints its events; no port, timer or message loop is involved.
int RunFiles(const TOptions& options, std::istream& stdinStream, std::ostream& out,
             std::ostream& err);

// Reads the port through a receiver until a stop request (kMsgStop to the
// loop's window, or a quit message) and prints its events, OnComLoss
// included; then closes the port, which writes a trace or log asked for.
// With setClock it sets the clock from the first dated valid fix and ends.
// Runs a message loop on the calling thread.
int RunPort(const TOptions& options, std::ostream& out, std::ostream& err);

// The whole program: options, input, events, summary. Reads stdinStream for
// "-" (or when no file is named); writes JSON lines to out and messages to err.
int Run(const std::vector<std::string>& args, std::istream& stdinStream, std::ostream& out,
        std::ostream& err);

}  // namespace gpscat
