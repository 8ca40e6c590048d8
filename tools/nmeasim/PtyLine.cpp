#include "tools/nmeasim/PtyLine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nmeasim {

namespace {

int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(stopPipe[1], &byte, 1);
    errno = saved;
}

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

}  // namespace

TPtyLine::~TPtyLine() {
    if (master_ >= 0) {
        close(master_);
    }
}

bool TPtyLine::Create(std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) {
        error = SystemError("cannot create a pseudo-terminal");
        return false;
    }
    char name[256] = {};
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        error = SystemError("cannot unlock the pseudo-terminal");
        return false;
    }
    slavePath_ = name;
    // Raw on the slave side: the NMEA bytes reach a reader unchanged, and
    // nothing it is sent comes back. Opening and closing the slave once also
    // puts the master into the hang-up state that HasReader looks at.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = SystemError("cannot open " + slavePath_);
        return false;
    }
    termios t{};
    const bool raw =
        tcgetattr(slave, &t) == 0 && (cfmakeraw(&t), tcsetattr(slave, TCSANOW, &t) == 0);
    if (!raw) {
        error = SystemError("cannot make " + slavePath_ + " raw");
    }
    close(slave);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    return raw;
}

bool TPtyLine::HasReader() const {
    pollfd p{master_, 0, 0};
    return poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
}

void TPtyLine::DrainInput() {
    char buffer[512];
    while (read(master_, buffer, sizeof buffer) > 0) {
    }
}

TLink::~TLink() {
    if (path_.empty()) {
        return;
    }
    char target[512];
    const ssize_t n = readlink(path_.c_str(), target, sizeof target);
    if (n >= 0 && target_ == std::string(target, static_cast<size_t>(n))) {
        unlink(path_.c_str());
    }
}

bool TLink::Create(const std::string& path, const std::string& target, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            error = "cannot link '" + path + "': it exists and is not a symbolic link";
            return false;
        }
        unlink(path.c_str());
    }
    if (symlink(target.c_str(), path.c_str()) != 0) {
        error = SystemError("cannot link '" + path + "'");
        return false;
    }
    path_ = path;
    target_ = target;
    return true;
}

void InstallStopSignals() {
    if (stopPipe[0] >= 0) {
        return;
    }
    if (pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

int StopDescriptor() {
    return stopPipe[0];
}

bool StopRequested() {
    pollfd p{stopPipe[0], POLLIN, 0};
    return stopPipe[0] >= 0 && poll(&p, 1, 0) > 0;
}

}  // namespace nmeasim
