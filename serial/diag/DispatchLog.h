// The dispatch log: time-stamped records of what the dispatcher did (device
// reads and writes with their data, trigger notices, handler registrations),
// kept in a byte ring of fixed size and dumped to a text file with a banner
// and one column-formatted line per record.
//
// Like the trace, the log does no locking of its own: its owner calls every
// operation under its general lock; only Logging() may be read without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Where the log takes the time and the banner texts from. Empty members fall
// back to the system: the monotonic millisecond clock, the local date and
// time, the operating system's description and the compiler of this build.
struct TLogEnvironment {
    std::function<uint32_t()> Clock;
    // The local date and time as "dd/mm/yy, hh:mm:ss" (with the user's
    // separators where the platform supplies them).
    std::function<std::string()> DateTime;
    std::function<std::string()> OsDescription;
    std::string Compiler;  // empty: the compiler that built the program
};

class TDispatchLog {
  public:
    // Bytes of an entry's header in the ring; its data follows.
    static constexpr uint32_t kHeaderSize = 16;

    TDispatchLog() = default;
    explicit TDispatchLog(TLogEnvironment env) : env_(std::move(env)) {}
    TDispatchLog(const TDispatchLog&) = delete;
    TDispatchLog& operator=(const TDispatchLog&) = delete;

    void SetEnvironment(TLogEnvironment env) { env_ = std::move(env); }

    // Time base := the clock now (the dispatcher does this at the end of an
    // open); entries carry their time relative to it.
    void MarkTimeBase();
    void SetTimeBase(uint32_t ms) { timeBase_ = ms; }
    uint32_t TimeBase() const { return timeBase_; }

    // The device text of the banner, "COM%d" with the port number.
    void SetDeviceName(const std::string& name) { deviceName_ = name; }
    const std::string& DeviceName() const { return deviceName_; }

    // With a ring already there: empties it, nothing else (logging keeps its
    // state). Otherwise allocates a ring of size bytes and switches logging
    // on. Returns 0, or ecOutOfMemory when the ring cannot be had (nothing
    // changes then).
    int32_t InitDispatchLog(uint32_t size);
    // Empties the ring.
    void ClearDispatchLog();
    // Logging off and the ring released.
    void FreeDispatchLog();
    // Logging on again, when a ring exists.
    void ResumeDispatchLog();
    // Logging off; the ring and its entries stay.
    void PauseDispatchLog();

    // Records one entry while logging is on, stamped with the clock minus the
    // time base. The oldest whole entries are dropped to make room. An entry
    // whose header and data together do not fit in the ring is refused and
    // nothing is dropped. Returns whether the entry was stored. Allocates
    // nothing.
    bool AddDispatchEntry(uint8_t kind, uint8_t subtype, uint32_t value, const void* data,
                          uint32_t length);

    // Writes the banner and the entries, oldest first, to the file (appending
    // when append is set and the file exists, else replacing it), then frees
    // the ring. An empty log writes no file and returns 0. When the file
    // cannot be opened the entries stay and logging stays off. Returns 0, or
    // the negated system error code of the failed open, write or close.
    int32_t WriteDispatchLogFile(const std::string& fileName, bool append, bool inHex, bool allHex);

    bool Logging() const { return on_.load(std::memory_order_relaxed); }
    bool HasRing() const { return hasRing_; }
    uint32_t Size() const { return size_; }
    uint32_t FreeBytes() const { return free_; }
    bool Empty() const { return free_ == size_; }

  private:
    struct THeader {
        uint8_t kind = 0;
        uint8_t subtype = 0;
        uint32_t time = 0;
        uint32_t value = 0;
        uint32_t length = 0;
    };

    uint32_t Now() const;
    void PutBytes(const uint8_t* bytes, uint32_t n);
    void TakeBytes(uint8_t* out, uint32_t n);
    // Takes out the oldest entry, its data into the scratch area; false when empty.
    bool TakeLogEntry(THeader& header);

    TLogEnvironment env_;
    std::atomic<bool> on_{false};
    bool hasRing_ = false;
    std::vector<uint8_t> ring_;
    std::vector<uint8_t> scratch_;  // holds the data of the largest storable entry
    uint32_t size_ = 0;
    uint32_t head_ = 0;
    uint32_t tail_ = 0;
    uint32_t free_ = 0;
    uint32_t timeBase_ = 0;
    std::string deviceName_;
};
