// The device layer of the POSIX build.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "serial/ComPort.h"
#include "serial/dispatch/Dispatcher.h"
#include "serial/posix/PortNames.h"
#include "serial/posix/PosixDispatcher.h"
#include "serial/posix/PosixErrors.h"
#include "toolkit/OsInfo.h"

std::unique_ptr<TRirBaseDispatcher> MakePlatformDispatcher(TRirComPort* owner, bool, int32_t) {
    // There is no telephony layer here: the plain device layer serves.
    return std::make_unique<TRirPosixDispatcher>(owner);
}

bool OpenDeviceDirectly(const std::string& deviceName) {
    const posixdev::TResolvedPort port = posixdev::ResolvePortName(deviceName);
    if (port.path.empty()) {
        tk::SetLastSystemError(port.error);
        return false;
    }
    const int fd = ::open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        posixdev::SetLastErrorFromErrno(errno);
        return false;
    }
    // A port that another program holds carries its advisory lock.
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    const int err = errno;
    ::close(fd);
    if (!free) {
        posixdev::SetLastErrorFromErrno(err == EWOULDBLOCK ? EBUSY : err);
    }
    return free;
}
