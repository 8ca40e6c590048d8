// The raw NMEA log of a recording: the receiver's bytes as they came (or
// only its accepted sentences), kept in memory for a moment and written out
// at least once a second, so that a crash loses at most the last second.
//
// The flush is driven by the data and by a time check, both on the caller's
// thread: Append writes the buffer out once its oldest byte is kFlushMs old,
// and Poll, which the owner calls at least every kFlushMs (its timer), does
// the same when no data came. A byte therefore waits at most
// kFlushMs + kPollMs = 1000 ms (plus the caller's own delay in running the
// timer), with no thread of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "record/RecordFile.h"

namespace record {

class TNmeaLog {
  public:
    static constexpr uint32_t kFlushMs = 500;
    // The longest interval between Poll calls that keeps the one-second bound.
    static constexpr uint32_t kPollMs = 500;
    // A buffer this full is written out at once.
    static constexpr size_t kMaxBuffer = 64 * 1024;

    ~TNmeaLog() { Close(); }

    // Creates the file (see TRecordFile::Create).
    bool Create(const std::string& path, bool overwrite);
    // Bytes as they came; nowMs is a monotonic millisecond clock (it may wrap).
    // False once writing failed: Error() says why, and nothing is kept any more.
    bool Append(std::string_view bytes, uint32_t nowMs);
    // One sentence, followed by carriage return and line feed.
    bool AppendLine(std::string_view line, uint32_t nowMs);
    // Writes the buffer out when its oldest byte is kFlushMs old.
    bool Poll(uint32_t nowMs);
    // Writes the buffer out now.
    bool Flush();
    // Flushes and closes.
    bool Close();

    bool IsOpen() const { return file_.IsOpen(); }
    bool Failed() const { return !error_.empty(); }
    const std::string& Error() const { return error_; }
    const std::string& Path() const { return path_; }
    // Bytes taken so far, written or waiting.
    uint64_t Bytes() const { return bytes_; }
    // Bytes waiting in memory.
    size_t Buffered() const { return buffer_.size(); }

  private:
    TRecordFile file_;
    std::string path_;
    std::string buffer_;
    uint32_t oldestMs_ = 0;  // when the oldest waiting byte came
    uint64_t bytes_ = 0;
    std::string error_;
};

}  // namespace record
