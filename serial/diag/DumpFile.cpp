#include "serial/diag/DumpFile.h"

#include <cerrno>
#include <filesystem>
#include <system_error>

uint32_t SystemErrorForErrno(int err, bool opening, const std::string& fileName) {
    switch (err) {
        case ENOENT: {
            // A missing folder is "path not found"; a missing file in an
            // existing folder is "file not found".
            std::error_code ec;
            std::filesystem::path parent = std::filesystem::path(fileName).parent_path();
            if (!parent.empty() && !std::filesystem::is_directory(parent, ec)) {
                return 3;
            }
            return 2;
        }
        case ENOTDIR:
        case ENAMETOOLONG:
            return 3;
        case EMFILE:
        case ENFILE:
            return 4;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EEXIST:
            return 5;
        case EBADF:
            return 6;
        case ENOMEM:
            return 8;
        case ENOSPC:
            return 101;
        case EROFS:
            return 150;
        case ENXIO:
        case ENODEV:
            return 152;
        case EIO:
            return opening ? 162 : 160;
        default:
            // The runtime's codes for a file that would not open or write.
            return opening ? 103 : 160;
    }
}

int32_t TDumpFile::Open(const std::string& fileName, bool append) {
    name_ = fileName;
    error_ = 0;
    out_.rdbuf()->pubsetbuf(buffer_, sizeof buffer_);
    std::ios::openmode mode = std::ios::out | std::ios::binary;
    mode |= append ? std::ios::app : std::ios::trunc;
    errno = 0;
    out_.open(fileName, mode);
    if (!out_.is_open()) {
        Fail(true);
    }
    return error_;
}

void TDumpFile::Fail(bool opening) {
    if (error_ == 0) {
        int err = errno;
        error_ = -static_cast<int32_t>(SystemErrorForErrno(err, opening, name_));
    }
}

void TDumpFile::Write(std::string_view text) {
    if (error_ != 0 || !out_.is_open()) {
        return;
    }
    errno = 0;
    out_.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out_) {
        Fail(false);
    }
}

int32_t TDumpFile::Close() {
    if (out_.is_open()) {
        if (error_ == 0) {
            errno = 0;
            out_.flush();
            if (!out_) {
                Fail(false);
            }
        }
        errno = 0;
        out_.close();
        if (out_.fail()) {
            Fail(false);
        }
    }
    return error_;
}
