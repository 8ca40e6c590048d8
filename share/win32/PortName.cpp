// Windows: the port's own name, as Windows programs know it.
#include "share/PortName.h"

namespace share {

std::string SharedPortName(uint16_t comNumber) {
    return "COM" + std::to_string(comNumber);
}

}  // namespace share
