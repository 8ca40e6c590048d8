// System description from uname; Win32 error texts for the numbers the
// POSIX device layer reports.
#include "toolkit/OsInfo.h"

#include <sys/utsname.h>

#include <utility>

namespace tk {

namespace {

thread_local uint32_t tLastError = 0;

// Windows' own wording, so messages read the same on every platform.
constexpr std::pair<uint32_t, const char*> kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {14, "Not enough storage is available to complete this operation."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {50, "The request is not supported."},
    {87, "The parameter is incorrect."},
    {121, "The semaphore timeout period has expired."},
    {170, "The requested resource is in use."},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an "
     "application request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {1460, "This operation returned because the timeout period expired."},
};

}  // namespace

std::string OsDescription() {
    utsname u{};
    if (uname(&u) != 0) {
        return "POSIX";
    }
    return std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
}

bool IsWindowsNT() {
    return true;
}

std::string SystemErrorText(uint32_t code) {
    for (const auto& [number, text] : kErrorTexts) {
        if (number == code) {
            return std::string(text) + "\r\n";
        }
    }
    return {};
}

uint32_t LastSystemError() {
    return tLastError;
}

void SetLastSystemError(uint32_t code) {
    tLastError = code;
}

bool WindowedProgramsHaveNoConsole() {
    return false;  // a program started from a terminal prints there
}

}  // namespace tk
