// Win32 error numbers for the errno values of the POSIX device layer, so that
// the rest of the library sees the same codes and texts on every platform.
#pragma once

#include <cstdint>

namespace posixdev {

// The Win32 error number for an errno value (2 for a missing device, 5 for
// one that is in use or not permitted, and so on); 31, "A device attached
// to the system is not functioning", for values without a closer match.
uint32_t Win32ErrorFromErrno(int err);

// Sets the calling thread's last system error from an errno value.
void SetLastErrorFromErrno(int err);

}  // namespace posixdev
