#include "serial/posix/PosixDispatcher.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "serial/diag/ErrorCodes.h"
#include "serial/posix/PortNames.h"
#include "serial/posix/PosixErrors.h"
#include "serial/posix/Termios2.h"
#include "serial/posix/TermiosMap.h"
#include "toolkit/OsInfo.h"

namespace {

// The reader's event mask on the Windows NT family, which POSIX behaves as.
constexpr uint32_t kEventMask = 0x1F9;

// How often the reader looks at the device while it cannot wait on it.
constexpr int kLostRecheckMs = 1000;  // the device has gone away
constexpr int kStuckRecheckMs = 20;   // data waits that the dispatcher cannot take
constexpr int kLinesRecheckMs = 100;  // modem lines and error counters

bool DeviceGone(int err) {
    return err == EIO || err == ENXIO || err == ENODEV;
}

uint8_t ModemBits(int lines) {
    uint8_t bits = 0;
    if (lines & TIOCM_CTS) {
        bits |= msCTS;
    }
    if (lines & TIOCM_DSR) {
        bits |= msDSR;
    }
    if (lines & TIOCM_RNG) {
        bits |= msRing;
    }
    if (lines & TIOCM_CAR) {
        bits |= msDCD;
    }
    return bits;
}

int32_t Failure(int err) {
    posixdev::SetLastErrorFromErrno(err);
    return -static_cast<int32_t>(posixdev::Win32ErrorFromErrno(err));
}

}  // namespace

TRirPosixDispatcher::TRirPosixDispatcher(TRirComPort* owner) : TRirBaseDispatcher(owner) {}

TRirPosixDispatcher::~TRirPosixDispatcher() {
    Shutdown();
    {
        std::lock_guard<std::mutex> io(ioLock_);
        if (fd_ >= 0) {
            ioctl(fd_, TIOCNXCL);
            close(fd_);
            fd_ = -1;
        }
    }
    if (wakeFd_ >= 0) {
        close(wakeFd_);
    }
    if (flushFd_ >= 0) {
        close(flushFd_);
    }
}

// ---------------------------------------------------------------- open, close

int32_t TRirPosixDispatcher::DeviceOpen(const std::string& name, uint32_t, uint32_t) {
    tk::SetLastSystemError(0);
    openProblem_ = 0;
    openProblemText_.clear();
    const posixdev::TResolvedPort port = posixdev::ResolvePortName(name);
    if (port.path.empty()) {
        tk::SetLastSystemError(port.error);
        return -1;
    }
    {
        std::lock_guard<std::mutex> io(ioLock_);
        if (fd_ >= 0) {
            tk::SetLastSystemError(5);
            return -1;
        }
    }
    // The wake-up and flush descriptors live as long as this object, so that a
    // worker thread can never poll a descriptor that has been closed.
    if (wakeFd_ < 0) {
        wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    if (flushFd_ < 0) {
        flushFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    if (wakeFd_ < 0 || flushFd_ < 0) {
        tk::SetLastSystemError(8);
        return ecOutOfMemory;
    }
    Drain(wakeFd_);
    Drain(flushFd_);

    const int fd = open(port.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == EACCES || err == EPERM) {
            // The node's permissions, not another program: say whose group opens it.
            openProblem_ = ecAccessDenied;
            openProblemText_ = "access denied to " + port.path + " - add your user to the '" +
                               posixdev::DeviceGroupName(port.path) + "' group (then log in again)";
        } else if (err == EISDIR) {
            openProblem_ = ecBadId;
            openProblemText_ = port.path + " is not a serial port";
        }
        posixdev::SetLastErrorFromErrno(err);
        return -1;
    }
    auto fail = [fd](int err) {
        close(fd);
        posixdev::SetLastErrorFromErrno(err);
        return -1;
    };
    if (!isatty(fd)) {
        openProblem_ = ecBadId;
        openProblemText_ = port.path + " is not a serial port";
        return fail(ENOTTY);
    }
    // Another program holds the device: it set exclusive mode (which does not
    // keep a privileged process out) or it holds the advisory lock.
    int exclusive = 0;
    if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
        return fail(EBUSY);
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return fail(errno);
    }
    ioctl(fd, TIOCEXCL);
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        const int err = errno;
        ioctl(fd, TIOCNXCL);
        return fail(err);
    }
    posixdev::MakeRaw(t);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        const int err = errno;
        ioctl(fd, TIOCNXCL);
        return fail(err);
    }

    TLineState state;
    state.Flags = lsfBinary | lsfTXContinueOnXoff | lsfDtrControlEnable | lsfRtsControlEnable;
    posixdev::TermiosToLineState(t, state);
    uint32_t rate = 0;
    if (posixdev::ReadOutputRate(fd, rate) != 0 || rate == 0) {
        rate = posixdev::SpeedRate(cfgetospeed(&t));
    }
    state.BaudRate = rate;

    int lines = 0;
    hasModemLines_ = ioctl(fd, TIOCMGET, &lines) == 0;
    serial_icounter_struct counts{};
    hasCounters_ = ioctl(fd, TIOCGICOUNT, &counts) == 0;

    lost_ = false;
    pendingErrors_ = 0;
    wait_ = TWaitState{};
    {
        std::lock_guard<std::mutex> io(ioLock_);
        fd_ = fd;
        path_ = port.path;
        shadow_ = state;
        decoder_.Reset();
        bool ok = false;
        ReadErrorCounters(statusCount_, ok);
    }
    return fd;
}

int32_t TRirPosixDispatcher::DeviceClose() {
    int r = 0;
    int err = 0;
    {
        std::lock_guard<std::mutex> io(ioLock_);
        if (fd_ < 0) {
            tk::SetLastSystemError(6);
            return -1;
        }
        ioctl(fd_, TIOCNXCL);
        r = close(fd_);
        err = errno;
        // The descriptor is released whatever close reports.
        fd_ = -1;
        DeviceHandle_ = -1;
    }
    if (ThreadsRunning_.load()) {
        // Wake the workers' waits on the descriptor: the reader finds it
        // closed and ends, a writer waiting for room drops its stretch. The
        // kill flag is left to the stop that follows: a dispatch thread that
        // saw it now would take the release upon itself and close the thread
        // events while this close still uses them.
        Signal(flushFd_);
        WakeWorkers(false);
    }
    if (r != 0 && err != EINTR) {
        posixdev::SetLastErrorFromErrno(err);
        return -1;
    }
    return 0;
}

int32_t TRirPosixDispatcher::DeviceOpenProblem(std::string& text) const {
    text = openProblemText_;
    return openProblem_;
}

std::string TRirPosixDispatcher::DevicePath() const {
    std::lock_guard<std::mutex> io(ioLock_);
    return path_;
}

// ---------------------------------------------------------------- line state

int32_t TRirPosixDispatcher::DeviceGetState(TLineState& state) {
    std::lock_guard<std::mutex> io(ioLock_);
    termios t{};
    if (fd_ < 0 || tcgetattr(fd_, &t) != 0) {
        return -1;
    }
    state = shadow_;
    posixdev::TermiosToLineState(t, state);
    uint32_t rate = 0;
    if (posixdev::ReadOutputRate(fd_, rate) != 0 || rate == 0) {
        rate = posixdev::SpeedRate(cfgetospeed(&t));
    }
    // A legacy baud code stays as it was applied while it means the same rate.
    state.BaudRate =
        shadow_.BaudRate != 0 && ExpandBaudCode(shadow_.BaudRate) == rate ? shadow_.BaudRate : rate;
    return 0;
}

int32_t TRirPosixDispatcher::DeviceSetState(const TLineState& state) {
    const uint32_t baud = ExpandBaudCode(state.BaudRate);
    if (baud == 0) {
        // A rate of 0 would hang the line up.
        return Failure(EINVAL);
    }
    std::lock_guard<std::mutex> io(ioLock_);
    if (fd_ < 0) {
        return Failure(EBADF);
    }
    termios t{};
    if (tcgetattr(fd_, &t) != 0) {
        return Failure(errno);
    }
    posixdev::MakeRaw(t);
    if (posixdev::LineStateToTermios(state, t) != 0) {
        return Failure(EINVAL);
    }
    const speed_t speed = posixdev::StandardSpeed(baud);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    if (tcsetattr(fd_, TCSANOW, &t) != 0) {
        return Failure(errno);
    }
    if (speed == B0) {
        const int err = posixdev::SetArbitraryRate(fd_, baud);
        if (err != 0) {
            // A driver without arbitrary rates refuses the parameter.
            return Failure(err == ENOTTY ? EINVAL : err);
        }
    }
    shadow_ = state;
    return 0;
}

int32_t TRirPosixDispatcher::DeviceEscape(int32_t function) {
    int bit = 0;
    bool raise = false;
    switch (function) {
        case escSetRTS:
            bit = TIOCM_RTS;
            raise = true;
            break;
        case escClearRTS:
            bit = TIOCM_RTS;
            break;
        case escSetDTR:
            bit = TIOCM_DTR;
            raise = true;
            break;
        case escClearDTR:
            bit = TIOCM_DTR;
            break;
        case escGetBaseAddress:
            return 0;  // no UART is reachable from here
        default:
            return -1;
    }
    std::lock_guard<std::mutex> io(ioLock_);
    // A device without modem lines (a pseudo-terminal) has nothing to drive.
    if (fd_ >= 0 && hasModemLines_.load()) {
        ioctl(fd_, raise ? TIOCMBIS : TIOCMBIC, &bit);
    }
    return 0;
}

uint8_t TRirPosixDispatcher::DeviceModemLines() {
    std::lock_guard<std::mutex> io(ioLock_);
    int lines = 0;
    if (fd_ < 0 || !hasModemLines_.load() || ioctl(fd_, TIOCMGET, &lines) != 0) {
        return 0;
    }
    return ModemBits(lines);
}

// ---------------------------------------------------------------- data

int32_t TRirPosixDispatcher::DeviceFlush(int32_t side) {
    if (side != flushOutput) {
        std::lock_guard<std::mutex> io(ioLock_);
        decoder_.Reset();
        if (fd_ < 0) {
            return Failure(EBADF);
        }
        return tcflush(fd_, TCIFLUSH) == 0 ? 0 : Failure(errno);
    }
    {
        // The ring is emptied before the writer is asked to let go: between
        // its answer and a later emptying it could take a new stretch of the
        // old bytes and send them after the flush, from memory that new
        // output is already being copied into.
        EmptyOutputRing();
    }
    // Only while the device is open: after a close the dispatch thread may be
    // releasing the thread events.
    if (DeviceHandle_.load() >= 0 && ThreadsRunning_.load() && !KillThreads.load() && FlushEvent &&
        AckEvent) {
        // The writer abandons a write that waits for room and acknowledges;
        // a stretch it finishes meanwhile is not counted against the emptied
        // ring.
        FlushEvent->Set();
        Signal(flushFd_);
        AckEvent->Wait(FlushAckWaitMs);
    }
    std::lock_guard<std::mutex> io(ioLock_);
    if (fd_ < 0) {
        return Failure(EBADF);
    }
    return tcflush(fd_, TCOFLUSH) == 0 ? 0 : Failure(errno);
}

uint32_t TRirPosixDispatcher::DeviceStatus(TComStat& status) {
    status = TComStat{};
    uint32_t errors = 0;
    {
        std::lock_guard<std::mutex> io(ioLock_);
        if (fd_ >= 0) {
            int waiting = 0;
            if (ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0) {
                status.InQue = static_cast<uint32_t>(waiting);
            }
            bool ok = false;
            uint32_t counts[5] = {};
            ReadErrorCounters(counts, ok);
            if (ok) {
                errors |= CounterErrors(statusCount_, counts);
                std::copy(counts, counts + 5, statusCount_);
            }
        }
    }
    status.OutQue = OutputRingUsed();
    return errors | pendingErrors_.exchange(0);
}

void TRirPosixDispatcher::DeviceReadFailed(int32_t) {}

int32_t TRirPosixDispatcher::DeviceRead(char* dest, uint32_t max) {
    if (max == 0) {
        return 0;
    }
    std::lock_guard<std::mutex> io(ioLock_);
    if (fd_ < 0) {
        return 0;
    }
    const ssize_t n = read(fd_, dest, max);
    if (n < 0) {
        if (DeviceGone(errno)) {
            MarkLost();
        }
        return 0;
    }
    if (n == 0) {
        // Nothing there (reads return at once), or a hung-up device, which
        // the reader's poll notices.
        return 0;
    }
    readGen_.fetch_add(1);
    uint32_t errors = 0;
    const bool parityChecked = shadow_.Parity != lsParityNone && (shadow_.Flags & lsfParity) != 0;
    const uint32_t got = decoder_.Decode(dest, static_cast<uint32_t>(n), parityChecked,
                                         !hasCounters_.load(), errors);
    if (errors != 0) {
        pendingErrors_.fetch_or(errors);
    }
    return static_cast<int32_t>(got);
}

int32_t TRirPosixDispatcher::DeviceWrite(const char* src, uint32_t count) {
    CopyIntoOutputRing(src, count);
    if (OutputReadyEvent) {
        OutputReadyEvent->Set();
    }
    return static_cast<int32_t>(count);
}

bool TRirPosixDispatcher::DeviceSetQueues(uint32_t, uint32_t) {
    // Terminal drivers size their own queues; the output ring is the
    // dispatcher's.
    return true;
}

int32_t TRirPosixDispatcher::DeviceIdle() {
    sched_yield();
    return 0;
}

// ---------------------------------------------------------------- threads

void TRirPosixDispatcher::StopThreads() {
    if (ThreadsRunning_.load()) {
        // A writer waiting for room in the driver polls the flush descriptor,
        // not FlushEvent: wake it before the stop waits for it.
        KillThreads = true;
        Signal(flushFd_);
    }
    TRirBaseDispatcher::StopThreads();
}

bool TRirPosixDispatcher::DeviceWaitEvent(uint32_t& mask, TDeviceWaitRecord*) {
    return WaitForEvent(mask, false);
}

bool TRirPosixDispatcher::DeviceFinishWait(uint32_t& mask, TDeviceWaitRecord*) {
    return WaitForEvent(mask, true);
}

void TRirPosixDispatcher::DeviceCancelWait() {
    Signal(wakeFd_);
}

bool TRirPosixDispatcher::WaitForEvent(uint32_t& mask, bool block) {
    mask = 0;
    for (;;) {
        if (KillThreads.load()) {
            return true;
        }
        int fd = -1;
        {
            std::lock_guard<std::mutex> io(ioLock_);
            fd = fd_;
        }
        if (fd < 0) {
            return false;
        }
        if (!block && wait_.stuck) {
            return false;  // nothing new to see without waiting
        }
        const bool lost = lost_.load();
        // While the device is gone or its data cannot be taken, a poll on it
        // would return at once (POLLHUP is reported unasked): wait on the
        // wake-up descriptor alone and look at the device now and then.
        const bool watch = !lost && !wait_.stuck;
        int timeout = -1;
        if (lost) {
            timeout = kLostRecheckMs;
        } else if (wait_.stuck) {
            timeout = kStuckRecheckMs;
        } else if (hasModemLines_.load() || hasCounters_.load()) {
            timeout = kLinesRecheckMs;
        }
        if (!block) {
            timeout = 0;
        }
        pollfd p[2] = {{wakeFd_, POLLIN, 0}, {fd, POLLIN, 0}};
        const int r = poll(p, watch ? 2 : 1, timeout);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (p[0].revents & POLLIN) {
            Drain(wakeFd_);
            return true;  // cancelled: mask 0
        }
        short revents = watch ? p[1].revents : 0;
        if (lost && r == 0) {
            // Has the device come back?
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 0) >= 0 && (q.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) {
                lost_ = false;
                wait_.lostReported = false;
            }
        }

        uint32_t found = 0;
        int waiting = 0;
        int lines = 0;
        bool linesOk = false;
        uint32_t counts[5] = {};
        bool countsOk = false;
        {
            std::lock_guard<std::mutex> io(ioLock_);
            if (fd_ != fd) {
                continue;  // closed meanwhile
            }
            if (ioctl(fd, FIONREAD, &waiting) != 0) {
                waiting = 0;
            }
            if (hasModemLines_.load()) {
                linesOk = ioctl(fd, TIOCMGET, &lines) == 0;
            }
            ReadErrorCounters(counts, countsOk);
        }
        if (waiting > 0) {
            // New data, or data left after the dispatcher's last read. The
            // same data nobody has read since it was reported is not news.
            const uint64_t gen = readGen_.load();
            if (gen != wait_.lastReadGen || static_cast<uint32_t>(waiting) != wait_.lastInQue) {
                found |= evRxChar;
                wait_.lastReadGen = gen;
                wait_.lastInQue = static_cast<uint32_t>(waiting);
                wait_.stuck = false;
            } else {
                wait_.stuck = true;
            }
        } else {
            wait_.stuck = false;
            wait_.lastInQue = 0;
            if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
                MarkLost();
            }
        }
        if (lost_.load() && !wait_.lostReported) {
            wait_.lostReported = true;
            found |= evErr;
        }
        if (linesOk) {
            const uint8_t now = ModemBits(lines);
            const uint8_t changed = now ^ wait_.lines;
            if (changed & msCTS) {
                found |= evCTS;
            }
            if (changed & msDSR) {
                found |= evDSR;
            }
            if (changed & msDCD) {
                found |= evRLSD;
            }
            if ((changed & msRing) && (now & msRing)) {
                found |= evRing;
            }
            wait_.lines = now;
        }
        if (countsOk) {
            const uint32_t errors = CounterErrors(wait_.icount, counts);
            if (errors & leBreak) {
                found |= evBreak;
            }
            if (errors & ~leBreak) {
                found |= evErr;
            }
            std::copy(counts, counts + 5, wait_.icount);
        }
        found &= kEventMask;
        if (found != 0) {
            if (found & evRing) {
                RingSeen = true;
            }
            mask = found;
            return true;
        }
        if (!block) {
            return false;
        }
    }
}

int32_t TRirPosixDispatcher::DeviceWriteStretch(const char* data, uint32_t count) {
    uint32_t done = 0;
    while (done < count) {
        if (KillThreads.load()) {
            return kWriteFlushed;
        }
        int fd = -1;
        ssize_t n = -1;
        int err = 0;
        {
            std::lock_guard<std::mutex> io(ioLock_);
            fd = fd_;
            if (fd >= 0) {
                n = write(fd, data + done, count - done);
                err = errno;
            }
        }
        if (fd < 0) {
            return static_cast<int32_t>(count);  // closed: dropped
        }
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && err == EINTR) {
            continue;
        }
        if (n < 0 && err != EAGAIN) {
            // The device refused the data outright: the stretch is dropped.
            if (DeviceGone(err)) {
                MarkLost();
            }
            return static_cast<int32_t>(count);
        }
        // No room in the driver: wait for it, for an output flush or the stop.
        pollfd p[2] = {{fd, POLLOUT, 0}, {flushFd_, POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR) {
            return static_cast<int32_t>(count);
        }
        if (p[1].revents & POLLIN) {
            Drain(flushFd_);
            // A flush that the writer's idle wait has already answered leaves
            // the descriptor signalled; only an unanswered one ends the write.
            if (KillThreads.load() || (FlushEvent && FlushEvent->Wait(0) == tk::kWaitObject0)) {
                return kWriteFlushed;
            }
        }
        if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[0].revents & POLLOUT)) {
            MarkLost();
            return static_cast<int32_t>(count);
        }
    }
    return static_cast<int32_t>(count);
}

// ---------------------------------------------------------------- helpers

void TRirPosixDispatcher::MarkLost() {
    if (!lost_.exchange(true)) {
        pendingErrors_.fetch_or(kDeviceLostError);
    }
}

void TRirPosixDispatcher::ReadErrorCounters(uint32_t counts[5], bool& ok) {
    ok = false;
    if (fd_ < 0 || !hasCounters_.load()) {
        return;
    }
    serial_icounter_struct c{};
    if (ioctl(fd_, TIOCGICOUNT, &c) != 0) {
        return;
    }
    counts[0] = static_cast<uint32_t>(c.frame);
    counts[1] = static_cast<uint32_t>(c.parity);
    counts[2] = static_cast<uint32_t>(c.brk);
    counts[3] = static_cast<uint32_t>(c.overrun);
    counts[4] = static_cast<uint32_t>(c.buf_overrun);
    ok = true;
}

uint32_t TRirPosixDispatcher::CounterErrors(const uint32_t before[5], const uint32_t after[5]) {
    constexpr uint32_t kBits[5] = {leFraming, leParity, leBreak, leOverrun, leRxOverflow};
    uint32_t errors = 0;
    for (int i = 0; i < 5; ++i) {
        if (after[i] != before[i]) {
            errors |= kBits[i];
        }
    }
    return errors;
}

void TRirPosixDispatcher::Signal(int eventFd) {
    if (eventFd >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(eventFd, &one, sizeof one);
    }
}

void TRirPosixDispatcher::Drain(int eventFd) {
    if (eventFd >= 0) {
        uint64_t value = 0;
        [[maybe_unused]] const ssize_t n = read(eventFd, &value, sizeof value);
    }
}
