// The path that a COM number leads to on POSIX.
#include "serial/PortProbe.h"
#include "serial/posix/PortNames.h"
#include "tools/gpscat/GpsCat.h"

namespace gpscat {

std::string PortPath(uint16_t port) {
    return posixdev::ResolvePortName(PortDeviceName(port)).path;
}

}  // namespace gpscat
