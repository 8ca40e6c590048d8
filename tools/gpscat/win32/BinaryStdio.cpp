// The Windows C runtime opens standard streams in text mode, which would
// swallow every carriage return: switch both to binary.
#include "tools/gpscat/BinaryStdio.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>

namespace gpscat {

void UseBinaryStdio() {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace gpscat
