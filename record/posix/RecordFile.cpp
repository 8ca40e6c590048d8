// POSIX files: open(2) with O_EXCL unless overwriting, pwrite(2) loops.
#include "record/RecordFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace record {

namespace {

std::string Reason(int error) {
    return std::strerror(error);
}

}  // namespace

bool TRecordFile::Create(const std::string& path, bool overwrite, std::string& error) {
    Close();
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    int fd = open(path.c_str(), flags, 0666);
    if (fd < 0 && errno == EEXIST) {
        // Only a regular file is protected: a device or pipe is written as it is.
        struct stat st {};
        if (stat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode)) {
            error = kExists;
            return false;
        }
        fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        error = Reason(errno);
        return false;
    }
    handle_ = fd;
    return true;
}

namespace {

// Writes all of bytes with op(data, size, done), which returns what write(2)
// or pwrite(2) would; retries after signals.
template <typename Op>
bool WriteAll(std::string_view bytes, std::string& error, Op op) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = op(bytes.data() + done, bytes.size() - done, done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // Nothing written and no error code: the device is full.
            error = Reason(n < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool TRecordFile::WriteAt(uint64_t offset, std::string_view bytes, std::string& error) {
    const int fd = static_cast<int>(handle_);
    if (fd < 0) {
        error = Reason(EBADF);
        return false;
    }
    return WriteAll(bytes, error, [&](const char* p, size_t n, size_t done) {
        return pwrite(fd, p, n, static_cast<off_t>(offset + done));
    });
}

bool TRecordFile::Append(std::string_view bytes, std::string& error) {
    const int fd = static_cast<int>(handle_);
    if (fd < 0) {
        error = Reason(EBADF);
        return false;
    }
    // Appends through the descriptor's own position, so pipes and devices work too.
    return WriteAll(bytes, error, [&](const char* p, size_t n, size_t) { return write(fd, p, n); });
}

bool TRecordFile::Truncate(uint64_t size, std::string& error) {
    if (handle_ < 0 || ftruncate(static_cast<int>(handle_), static_cast<off_t>(size)) != 0) {
        error = Reason(handle_ < 0 ? EBADF : errno);
        return false;
    }
    return true;
}

void TRecordFile::Close() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
        handle_ = -1;
    }
}

bool TRecordFile::IsOpen() const {
    return handle_ >= 0;
}

bool TRecordFile::Remove(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

}  // namespace record
