// A dump file of the trace or the dispatch log: written in binary so that
// the CR LF line ends stay as they are on every platform, through a small
// text buffer, with the first failure kept as a negated system error code.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <string_view>

class TDumpFile {
  public:
    TDumpFile() = default;
    TDumpFile(const TDumpFile&) = delete;
    TDumpFile& operator=(const TDumpFile&) = delete;

    // Appends when append is set and the file exists, else creates or
    // replaces it. Returns 0 or the negated system error code.
    int32_t Open(const std::string& fileName, bool append);
    void Write(std::string_view text);
    void Write(char c) { Write(std::string_view(&c, 1)); }
    // Flushes and closes; returns 0 or the negated code of the first failed
    // write or of the close.
    int32_t Close();

  private:
    void Fail(bool opening);

    char buffer_[512];
    std::ofstream out_;
    std::string name_;
    int32_t error_ = 0;
};

// The system error number (Win32 numbering, which the message table and the
// code check use) for a C library errno from a file operation.
uint32_t SystemErrorForErrno(int err, bool opening, const std::string& fileName);
