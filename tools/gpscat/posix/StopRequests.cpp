// The signal handler writes a byte to a pipe; a small thread waits on the
// pipe and posts the stop message, which a signal handler itself may not.
#include "tools/gpscat/StopRequests.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace gpscat {

namespace {

constexpr char kStopByte = 1;
constexpr char kEndByte = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

int writeEnd = -1;

void OnSignal(int) {
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = write(writeEnd, &kStopByte, 1);
    errno = saved;
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
    writeEnd = state_->pipe[1];
    const int readEnd = state_->pipe[0];
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
    [[maybe_unused]] const ssize_t n = write(state_->pipe[1], &kEndByte, 1);
    state_->waiter.join();
    writeEnd = -1;
    close(state_->pipe[0]);
    close(state_->pipe[1]);
}

}  // namespace gpscat
