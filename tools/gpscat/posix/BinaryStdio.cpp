// POSIX streams never translate line ends. A standard stream that was closed
// when the program started gets a read-only /dev/null in its place, so that
// no file or port opened later takes its number: output to it then fails as
// a write error instead of landing in that file or port.
#include "tools/gpscat/BinaryStdio.h"

#include <fcntl.h>
#include <unistd.h>

namespace gpscat {

void UseBinaryStdio() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int placeholder = open("/dev/null", O_RDONLY);
            if (placeholder >= 0 && placeholder != fd) {
                dup2(placeholder, fd);
                close(placeholder);
            }
        }
    }
}

}  // namespace gpscat
