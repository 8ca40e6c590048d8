// Windows files: CreateFileW with a UTF-16 path, writes at offsets through
// an OVERLAPPED record on a synchronous handle. Readers may open the file
// while it is written.
#include "record/RecordFile.h"

#include <windows.h>

#include <algorithm>

#include "toolkit/OsInfo.h"

namespace record {

namespace {

std::string Reason(DWORD code) {
    std::string text = tk::SystemErrorText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.' ||
                             text.back() == ' ')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(code) : text;
}

std::wstring Wide(const std::string& utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

HANDLE Handle(intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

}  // namespace

bool TRecordFile::Create(const std::string& path, bool overwrite, std::string& error) {
    Close();
    const std::wstring wide = Wide(path);
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_WRITE, kShare, nullptr,
                           overwrite ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        // Only a disk file is protected: a device or pipe is written as it is.
        h = CreateFileW(wide.c_str(), GENERIC_WRITE, kShare, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE || GetFileType(h) == FILE_TYPE_DISK) {
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            }
            error = kExists;
            return false;
        }
    }
    if (h == INVALID_HANDLE_VALUE) {
        error = Reason(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
    return true;
}

namespace {

// Writes all of bytes, at offset when there is one; false with the reason.
bool WriteAll(HANDLE h, const uint64_t* offset, std::string_view bytes, std::string& error) {
    size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        OVERLAPPED at{};
        if (offset) {
            const uint64_t pos = *offset + done;
            at.Offset = static_cast<DWORD>(pos);
            at.OffsetHigh = static_cast<DWORD>(pos >> 32);
        }
        if (!WriteFile(h, bytes.data() + done, chunk, &written, offset ? &at : nullptr)) {
            error = Reason(GetLastError());
            return false;
        }
        if (written == 0) {
            error = Reason(ERROR_DISK_FULL);
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace

bool TRecordFile::WriteAt(uint64_t offset, std::string_view bytes, std::string& error) {
    if (!IsOpen()) {
        error = Reason(ERROR_INVALID_HANDLE);
        return false;
    }
    return WriteAll(Handle(handle_), &offset, bytes, error);
}

bool TRecordFile::Append(std::string_view bytes, std::string& error) {
    if (!IsOpen()) {
        error = Reason(ERROR_INVALID_HANDLE);
        return false;
    }
    return WriteAll(Handle(handle_), nullptr, bytes, error);
}

bool TRecordFile::Truncate(uint64_t size, std::string& error) {
    LARGE_INTEGER pos{};
    pos.QuadPart = static_cast<LONGLONG>(size);
    if (!IsOpen() || !SetFilePointerEx(Handle(handle_), pos, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(Handle(handle_))) {
        error = Reason(IsOpen() ? GetLastError() : ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

void TRecordFile::Close() {
    if (IsOpen()) {
        CloseHandle(Handle(handle_));
        handle_ = -1;
    }
}

bool TRecordFile::IsOpen() const {
    return handle_ != -1;
}

bool TRecordFile::Remove(const std::string& path) {
    return DeleteFileW(Wide(path).c_str()) != 0;
}

}  // namespace record
