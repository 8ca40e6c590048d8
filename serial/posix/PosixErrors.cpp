#include "serial/posix/PosixErrors.h"

#include <cerrno>
#include <utility>

#include "toolkit/OsInfo.h"

namespace posixdev {

namespace {

// errno -> Win32 error number. The Win32 numbers are those that the toolkit
// has texts for (tk::SystemErrorText).
constexpr std::pair<int, uint32_t> kErrnoTable[] = {
    {0, 0},
    {ENOENT, 2},        // no such device: "cannot find the file"
    {ENXIO, 2},         // device node without a device behind it
    {ENODEV, 2},        //
    {ENOTDIR, 3},       // a path component is not a folder
    {ENAMETOOLONG, 3},  //
    {ELOOP, 3},         //
    {EMFILE, 4},        // out of descriptors: "cannot open the file"
    {ENFILE, 4},        //
    {EACCES, 5},        // not permitted
    {EPERM, 5},         //
    {EBUSY, 5},         // held exclusively by another program
    {EWOULDBLOCK, 5},   // another program holds the advisory lock
    {EROFS, 5},         //
    {EBADF, 6},         // the handle is invalid
    {ENOMEM, 8},        //
    {ENOSPC, 14},       //
    {ENOTTY, 1},        // not a terminal: "Incorrect function"
    {EINVAL, 87},       // "The parameter is incorrect"
    {EOPNOTSUPP, 50},   // "The request is not supported"
    {ETIMEDOUT, 121},   //
    {EIO, 1117},        // "an I/O device error"
    {ENOTCONN, 1167},   // "The device is not connected"
    {ESHUTDOWN, 1167},  //
    {EINTR, 995},       // "aborted ... application request"
};

}  // namespace

uint32_t Win32ErrorFromErrno(int err) {
    for (const auto& [number, win32] : kErrnoTable) {
        if (number == err) {
            return win32;
        }
    }
    return 31;
}

void SetLastErrorFromErrno(int err) {
    tk::SetLastSystemError(Win32ErrorFromErrno(err));
}

}  // namespace posixdev
