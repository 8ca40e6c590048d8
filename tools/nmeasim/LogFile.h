// A recorded log opened for replay.
#pragma once

#include <string>

#include "tools/nmeasim/Feed.h"

namespace nmeasim {

// The log's file, read a block at a time as the replay goes on, so that a
// log of any length (a pipe that goes on, /dev/zero) takes only a block's
// memory. A stop signal ends the log where it is.
class TLogFile : public TByteSource {
  public:
    TLogFile() = default;
    ~TLogFile() override;
    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // False with the system's reason when the file cannot be opened.
    bool Open(const std::string& path, std::string& error);
    bool Read(char* buffer, size_t size, size_t& got, std::string& error) override;

  private:
    int fd_ = -1;
};

}  // namespace nmeasim
