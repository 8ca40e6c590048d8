// Windows has no System V shared memory for a time daemon to read.
#include "tools/gpscat/ShmRefClock.h"

namespace gpscat {

TShmRefClock::~TShmRefClock() = default;

bool TShmRefClock::Attach(int32_t, std::string& error) {
    error = "--shm is for the time daemons of Linux (chrony, ntpd); on Windows use --keep-clock";
    return false;
}

void TShmRefClock::Write(double, double) {}

}  // namespace gpscat
