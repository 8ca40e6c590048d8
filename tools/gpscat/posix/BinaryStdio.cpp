// POSIX streams never translate line ends.
#include "tools/gpscat/BinaryStdio.h"

namespace gpscat {

void UseBinaryStdio() {}

}  // namespace gpscat
