// The name shared clients are told for the receiver's port.
#pragma once

#include <cstdint>
#include <string>

namespace share {

// COM port n as gpsd clients see it in DEVICES: the device path it leads to
// on POSIX (/dev/ttyUSB0), "COMn" on Windows.
std::string SharedPortName(uint16_t comNumber);

}  // namespace share
