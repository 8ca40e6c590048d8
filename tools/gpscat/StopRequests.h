// Ctrl-C and termination requests turned into a message for the main loop.
#pragma once

#include <cstdint>
#include <memory>

#include "toolkit/Messages.h"

namespace gpscat {

// While it lives, an interrupt or termination request (SIGINT, SIGTERM and
// SIGHUP on POSIX; Ctrl-C, Ctrl-Break and the console's closing on Windows)
// posts msg to window, whose thread's loop then ends cleanly. On POSIX a
// closed standard output shows as a write error rather than a SIGPIPE.
// One at a time; the previous handling comes back at its end.
class TStopRequests {
  public:
    TStopRequests(tk::TWindowHandle window, uint32_t msg);
    ~TStopRequests();
    TStopRequests(const TStopRequests&) = delete;
    TStopRequests& operator=(const TStopRequests&) = delete;

  private:
    struct TState;
    std::unique_ptr<TState> state_;
};

}  // namespace gpscat
