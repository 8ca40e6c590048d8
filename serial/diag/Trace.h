// The byte trace: one entry per byte that the application took from the input
// or handed to the output, kept in a ring of fixed capacity and dumped to a
// text file in readable blocks.
//
// The recorder does no locking of its own: its owner (the dispatcher) calls
// every operation under its general lock. Only the on/off flag may be read
// without the lock, to skip recording cheaply.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class TTraceRecorder {
  public:
    // The largest capacity, in entries, that InitTrace accepts.
    static constexpr uint32_t kMaxCapacity = 4000000;

    TTraceRecorder() = default;
    TTraceRecorder(const TTraceRecorder&) = delete;
    TTraceRecorder& operator=(const TTraceRecorder&) = delete;

    // With a ring already there: empties it and switches tracing on. Otherwise
    // allocates a ring of capacity entries (none for 0) and switches tracing on.
    // Returns 0, ecBadArgument for a capacity over kMaxCapacity when no ring
    // exists (nothing changes), or ecOutOfMemory when the ring cannot be had.
    int32_t InitTrace(uint32_t capacity);

    // Stores one entry (kind letter 'R' or 'T', data byte) when a ring exists,
    // overwriting the oldest entry once the ring is full. Allocates nothing.
    void AddTraceEntry(uint8_t kind, uint8_t data);

    // Empties the ring; returns 0.
    int32_t ClearTrace();
    // Tracing on again, when a ring exists.
    void ResumeTrace();
    // Tracing off; the ring and its entries stay.
    void PauseTrace();
    // Tracing off and the ring released.
    void FreeTrace();

    // Writes the entries, oldest first, to the file (appending when append is
    // set and the file exists, else replacing it) and then frees the ring.
    // An empty trace writes no file. Returns 0, or the negated system error
    // code of the failed open, write or close.
    int32_t WriteTraceFile(const std::string& fileName, bool append, bool inHex, bool allHex);

    bool Tracing() const { return on_.load(std::memory_order_relaxed); }
    bool HasRing() const { return !ring_.empty(); }
    uint32_t Capacity() const { return capacity_; }
    // Entries currently held (at most Capacity()).
    uint32_t EntryCount() const { return wrapped_ ? capacity_ : next_; }

  private:
    std::atomic<bool> on_{false};
    std::vector<uint8_t> ring_;  // capacity_ pairs of (kind, data)
    uint32_t capacity_ = 0;
    uint32_t next_ = 0;
    bool wrapped_ = false;
};
