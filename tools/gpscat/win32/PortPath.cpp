// The device name that a COM number is opened by on Windows.
#include "serial/PortProbe.h"
#include "tools/gpscat/GpsCat.h"

namespace gpscat {

std::string PortPath(uint16_t port) {
    return PortDeviceName(port);
}

}  // namespace gpscat
