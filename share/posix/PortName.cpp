// POSIX: the device path that COM n leads to.
#include "share/PortName.h"

#include "serial/PortProbe.h"
#include "serial/posix/PortNames.h"

namespace share {

std::string SharedPortName(uint16_t comNumber) {
    return posixdev::ResolvePortName(PortDeviceName(comNumber)).path;
}

}  // namespace share
