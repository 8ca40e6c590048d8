// Arbitrary line rates on Linux (termios2, BOTHER). Kept apart from
// <termios.h>, whose definitions clash with the kernel's.
#pragma once

#include <cstdint>

namespace posixdev {

// Sets the rate of both directions to baud, leaving every other setting.
// 0 or an errno value.
int SetArbitraryRate(int fd, uint32_t baud);
// The rate the driver reports for output. 0 or an errno value.
int ReadOutputRate(int fd, uint32_t& baud);

}  // namespace posixdev
