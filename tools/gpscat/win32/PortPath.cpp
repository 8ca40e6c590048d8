// The device name that a COM number is opened by on Windows, and the name
// shared clients are told (COMn, as Windows programs know the port).
#include "serial/PortProbe.h"
#include "tools/gpscat/GpsCat.h"

namespace gpscat {

std::string PortPath(uint16_t port) {
    return PortDeviceName(port);
}

std::string SharedPortName(uint16_t port) {
    return "COM" + std::to_string(port);
}

}  // namespace gpscat
