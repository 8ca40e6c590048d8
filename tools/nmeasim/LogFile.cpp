#include "tools/nmeasim/LogFile.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/nmeasim/PtyLine.h"

namespace nmeasim {

TLogFile::~TLogFile() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool TLogFile::Open(const std::string& path, std::string& error) {
    // A named pipe waits here for its writer (a stop signal interrupts it).
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool TLogFile::Read(char* buffer, size_t size, size_t& got, std::string& error) {
    got = 0;
    for (;;) {
        // A pipe that is slow to fill must not keep a stop signal waiting.
        pollfd p[2] = {{StopDescriptor(), POLLIN, 0}, {fd_, POLLIN, 0}};
        const int n = poll(p, 2, -1);
        if (StopRequested()) {
            return true;
        }
        if (n < 0 && errno != EINTR) {
            error = std::strerror(errno);
            return false;
        }
        if (n <= 0) {
            continue;
        }
        const ssize_t r = read(fd_, buffer, size);
        if (r >= 0) {
            got = static_cast<size_t>(r);
            return true;
        }
        if (errno != EINTR && errno != EAGAIN) {
            error = std::strerror(errno);
            return false;
        }
    }
}

}  // namespace nmeasim
