// A file the recorder writes, with no buffering of its own: every write
// reaches the operating system before it returns, so a killed process
// leaves what it wrote. One body per platform.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace record {

class TRecordFile {
  public:
    TRecordFile() = default;
    ~TRecordFile() { Close(); }
    TRecordFile(const TRecordFile&) = delete;
    TRecordFile& operator=(const TRecordFile&) = delete;

    // The reason Create gives for a file it does not replace.
    static constexpr char kExists[] = "the file exists";

    // Opens path (UTF-8) for writing. A new file is created; an existing
    // regular file is emptied only when overwrite is set, else refused
    // (kExists); an existing device or pipe is written as it is.
    // False with the system's reason in error.
    bool Create(const std::string& path, bool overwrite, std::string& error);
    // Writes all of bytes at offset (a file that has offsets), or after
    // what Append wrote before (any file, pipes and devices too; not mixed
    // with WriteAt). False with the reason when any byte was not written.
    bool WriteAt(uint64_t offset, std::string_view bytes, std::string& error);
    bool Append(std::string_view bytes, std::string& error);
    // Cuts the file to size bytes.
    bool Truncate(uint64_t size, std::string& error);
    void Close();
    bool IsOpen() const;

    // Deletes a file (UTF-8 path); false when it could not.
    static bool Remove(const std::string& path);

  private:
    // The descriptor or handle; -1 is none on both platforms.
    intptr_t handle_ = -1;
};

}  // namespace record
