// Where a Windows port name leads on a POSIX system.
//
// "\\.\COMn" (or plain "COMn") is the n-th path, counted from 1, of the
// colon-separated list in the environment variable PALMOGPS_PORTS when that
// variable is set (even when it is empty); otherwise the n-th of the
// machine's serial devices in the order /dev/ttyACM*, /dev/ttyUSB*,
// /dev/rfcomm*, /dev/ttyS*, each group in numeric order. A name that starts
// with "/" is taken as a path as it stands.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace posixdev {

// The environment variable that lists the ports.
inline constexpr const char* kPortsVariable = "PALMOGPS_PORTS";

// The port number of "\\.\COMn" or "COMn" (letters in any case), or 0 when
// the name has another form or n is not a number from 1 up.
uint32_t ComPortNumber(const std::string& name);

// The serial devices found in devDir ("/dev" on a real system), in the
// default order above.
std::vector<std::string> DefaultSerialDevices(const std::string& devDir);

// The entries of a PALMOGPS_PORTS value, empty ones included (they keep
// their position and lead nowhere).
std::vector<std::string> SplitPortList(const std::string& list);

struct TResolvedPort {
    std::string path;    // empty when the name leads nowhere
    uint32_t error = 0;  // then the Win32 error to report: 2
};

// Resolves a device name. portsList is the value of PALMOGPS_PORTS, or
// nullptr when it is not set; devDir is where the default devices are
// looked for.
TResolvedPort ResolvePortName(const std::string& name, const char* portsList,
                              const std::string& devDir);

// The same with the process's own environment and "/dev".
TResolvedPort ResolvePortName(const std::string& name);

// The name of the group that owns a device node (its number when the group
// has no name), or "dialout" when the node cannot be looked at.
std::string DeviceGroupName(const std::string& path);

}  // namespace posixdev
