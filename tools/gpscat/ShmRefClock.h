// The time daemons' shared-memory reference clock (the SHM driver of chrony
// and ntpd): one segment per unit, written with the mode-1 protocol. Linux
// only; elsewhere Attach fails with a message.
#pragma once

#include <cstdint>
#include <string>

namespace gpscat {

// The segment's key: "NTP0" plus the unit.
constexpr int32_t kShmKeyBase = 0x4E545030;
// log2 of the expected jitter of NMEA time alone, about 8 ms.
constexpr int32_t kShmPrecision = -7;

class TShmRefClock {
  public:
    TShmRefClock() = default;
    // Detaches; the segment itself stays for the daemon.
    ~TShmRefClock();
    TShmRefClock(const TShmRefClock&) = delete;
    TShmRefClock& operator=(const TShmRefClock&) = delete;

    // Attaches unit's segment, creating it when missing. Units 0 and 1 are
    // the ones a time daemon running as root trusts by default: only root may
    // feed them (mode 0600), and a segment of theirs that root does not own
    // is refused. Units from 2 are open to every user (mode 0666). False with
    // a message.
    bool Attach(int32_t unit, std::string& error);
    bool Attached() const { return segment_ != nullptr; }

    // One sample: the GPS time of a fix and the PC clock when that GPS time
    // held, both UTC day counts.
    void Write(double clockUtc, double receiveUtc);

  private:
    void* segment_ = nullptr;
};

}  // namespace gpscat
