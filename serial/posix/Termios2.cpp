// Arbitrary rates through the kernel's termios2 (BOTHER). The kernel headers
// clash with <termios.h>, so this file includes only them.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>

#include "serial/posix/Termios2.h"

namespace posixdev {

int SetArbitraryRate(int fd, uint32_t baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    // Both directions at the same rate: the input rate field left at 0.
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER;
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &t) != 0) {
        return errno;
    }
    return 0;
}

int ReadOutputRate(int fd, uint32_t& baud) {
    struct termios2 t {};
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return errno;
    }
    baud = t.c_ospeed;
    return 0;
}

}  // namespace posixdev
