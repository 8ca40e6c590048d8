// Whether a serial port can be opened on this machine, and the seam where
// the port selection dialog plugs in.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// "\\.\COMn" for port n.
std::string PortDeviceName(uint32_t n);
// The same written into buffer (at least 16 bytes), which is returned.
char* PortDeviceName(char* buffer, uint32_t n);

// Probe through a short-lived dispatcher (true) or with the system's own
// file-open call (false). True from program start.
extern std::atomic<bool> ProbeThroughDispatcher;
// A port that another program holds (access denied) counts as present.
// True from program start.
extern std::atomic<bool> CountBusyPorts;

// Whether port n can be opened: it opens and closes the device at once and
// never raises. Port 0 is never probed.
bool ProbePort(uint32_t n);

// The port selection dialog: lists the ports that probe true from 1 to 50
// and lets the user pick one. Returns true with the chosen number when the
// user confirmed, false when the dialog was left any other way.
using TPortSelectDialog = std::function<bool(uint16_t& selected)>;
// Installs the dialog (an empty function removes it) and returns the
// previous one. With none installed, a prompt ends as a cancelled dialog.
TPortSelectDialog SetPortSelectDialog(TPortSelectDialog dialog);
// Shows the installed dialog modally; false when there is none or it was cancelled.
bool ShowPortSelectDialog(uint16_t& selected);
