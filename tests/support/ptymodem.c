// LD_PRELOAD helper for running Windows serial tests under Wine on
// pseudo-terminals. A pseudo-terminal has no modem lines, so the modem-control
// and interrupt-counter ioctls fail on it, and Wine's WaitCommEvent and
// GetCommModemStatus fail with them. This library answers those ioctls for
// pseudo-terminals only: DTR and RTS are remembered per descriptor, the inputs
// (CTS, DSR, RI, DCD) read as off and the interrupt counters as zero. Every
// other call goes to the C library unchanged.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

enum { kMaxFd = 4096 };
static int modem_bits[kMaxFd];
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static int is_pty(int fd) {
    struct stat st;
    if (fd < 0 || fd >= kMaxFd || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    unsigned maj = major(st.st_rdev);
    return (maj >= 136 && maj <= 143) || (maj == 5 && minor(st.st_rdev) == 2);
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real_ioctl)(int, unsigned long, ...);
    if (!real_ioctl)
        real_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    int saved = errno;
    int r = real_ioctl(fd, request, arg);
    if (r != -1 || (errno != EINVAL && errno != ENOTTY && errno != EIO) || !is_pty(fd))
        return r;

    int result = 0;
    pthread_mutex_lock(&lock);
    switch (request) {
        case TIOCMGET:
            *(int*)arg = modem_bits[fd] & (TIOCM_DTR | TIOCM_RTS);
            break;
        case TIOCMSET:
            modem_bits[fd] = *(const int*)arg;
            break;
        case TIOCMBIS:
            modem_bits[fd] |= *(const int*)arg;
            break;
        case TIOCMBIC:
            modem_bits[fd] &= ~*(const int*)arg;
            break;
        case TIOCGICOUNT:
            memset(arg, 0, sizeof(struct serial_icounter_struct));
            break;
        default:
            result = -1;
            break;
    }
    pthread_mutex_unlock(&lock);
    if (result == 0)
        errno = saved;
    return result == 0 ? 0 : r;
}
