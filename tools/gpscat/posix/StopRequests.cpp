// The signal handler writes a byte to a pipe; a small thread waits on the
// pipe and posts the stop message, which a signal handler itself may not.
#include "tools/gpscat/StopRequests.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

namespace gpscat {

namespace {

constexpr char kStopByte = 1;
constexpr char kEndByte = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The pipe's write end, read by the signal handler: a lock-free atomic is
// safe to read there, a plain int written by another thread is not.
std::atomic<int> writeEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

void OnSignal(int) {
    const int saved = errno;
    const int fd = writeEnd.load();
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t n = write(fd, &kStopByte, 1);
    }
    errno = saved;
}

// Closes both ends of a pipe.
void ClosePipe(int (&fds)[2]) {
    for (int& fd : fds) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
}

}  // namespace

struct TStopRequests::TState {
    int pipe[2] = {-1, -1};
    struct sigaction previous[std::size(kSignals)] = {};
    struct sigaction previousPipe = {};
    std::thread waiter;
};

TStopRequests::TStopRequests(tk::TWindowHandle window, uint32_t msg)
    : state_(std::make_unique<TState>()) {
    if (pipe2(state_->pipe, O_CLOEXEC) != 0) {
        return;
    }
    const int readEnd = state_->pipe[0];
    try {
        state_->waiter = std::thread([readEnd, window, msg] {
            for (;;) {
                char byte = kEndByte;
                const ssize_t n = read(readEnd, &byte, 1);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0 || byte == kEndByte) {
                    return;
                }
                tk::PostToWindow(window, msg, 0, 0);
            }
        });
    } catch (const std::system_error&) {
        // No thread, no stop requests: the default handling stays, and the
        // pipe goes.
        ClosePipe(state_->pipe);
        return;
    }
    writeEnd.store(state_->pipe[1]);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], &sa, &state_->previous[i]);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &state_->previousPipe);
}

TStopRequests::~TStopRequests() {
    if (state_->pipe[0] < 0) {
        return;
    }
    for (size_t i = 0; i < std::size(kSignals); ++i) {
        sigaction(kSignals[i], &state_->previous[i], nullptr);
    }
    sigaction(SIGPIPE, &state_->previousPipe, nullptr);
    writeEnd.store(-1);
    [[maybe_unused]] const ssize_t n = write(state_->pipe[1], &kEndByte, 1);
    state_->waiter.join();
    ClosePipe(state_->pipe);
}

}  // namespace gpscat
