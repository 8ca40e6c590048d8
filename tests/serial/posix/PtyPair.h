// Pseudo-terminal pairs and the port list for the POSIX device tests. The
// slave side is the "serial device" the dispatcher opens through
// PALMOGPS_PORTS; the test plays the far end on the master side.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

#include "serial/posix/PortNames.h"

namespace ptytest {

class TPtyPair {
  public:
    // keepSlave: the test keeps its own descriptor of the slave open, as a
    // device node stays present while nobody uses it.
    explicit TPtyPair(bool keepSlave = true) {
        char name[128] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            return;
        }
        path_ = name;
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        if (!keepSlave) {
            close(slave_);
            slave_ = -1;
        }
    }
    ~TPtyPair() {
        CloseMaster();
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    TPtyPair(const TPtyPair&) = delete;
    TPtyPair& operator=(const TPtyPair&) = delete;

    bool Ok() const { return master_ >= 0 && !path_.empty(); }
    const std::string& Path() const { return path_; }
    int Master() const { return master_; }
    int Slave() const { return slave_; }

    void CloseMaster() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
    }

    // Writes all of data to the far end (waiting for room as needed).
    bool Write(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(master_, data.data() + done, data.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else {
                pollfd p{master_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
        return true;
    }

    // Reads from the far end until count bytes came or timeoutMs passed
    // without any byte.
    std::string Read(size_t count, int timeoutMs = 2000) {
        std::string got;
        char buf[4096];
        while (got.size() < count) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) {
                break;
            }
            const ssize_t n = read(master_, buf, std::min(sizeof buf, count - got.size()));
            if (n > 0) {
                got.append(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                break;
            }
        }
        return got;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Sets PALMOGPS_PORTS for the life of the object; the old value comes back after.
class TPortsEnv {
  public:
    explicit TPortsEnv(const std::string& value) {
        if (const char* old = std::getenv(posixdev::kPortsVariable)) {
            old_ = old;
        }
        setenv(posixdev::kPortsVariable, value.c_str(), 1);
    }
    ~TPortsEnv() {
        if (old_) {
            setenv(posixdev::kPortsVariable, old_->c_str(), 1);
        } else {
            unsetenv(posixdev::kPortsVariable);
        }
    }
    TPortsEnv(const TPortsEnv&) = delete;
    TPortsEnv& operator=(const TPortsEnv&) = delete;

  private:
    std::optional<std::string> old_;
};

// Descriptors the process holds now.
inline int OpenDescriptorCount() {
    int count = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) {
            ++count;
        }
        closedir(d);
    }
    return count;
}

// CPU time (user plus system) the process has used, in milliseconds.
inline double ProcessCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000.0 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000.0;
}

inline double ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

}  // namespace ptytest
