// What the operating system says about itself and about its error numbers.
#pragma once

#include <cstdint>
#include <string>

namespace tk {

// A one-line description of the running system. On Windows it is built by
// DescribeWindowsVersion from what the system reports; on POSIX it is the
// kernel's name, release, version and machine (uname).
std::string OsDescription();

// Whether the system behaves as the Windows NT family (true on every
// supported system, POSIX included: NT behaviour is the modern one).
bool IsWindowsNT();

// The description for a reported platform id (0 Win32s, 1 Windows 95
// family, 2 Windows NT), version numbers, build number and service-pack text:
// the family's name, then "major.minor", a space and the service-pack text
// (empty for the Windows 95 family and unknown platforms).
std::string DescribeWindowsVersion(uint32_t platformId, uint32_t major, uint32_t minor,
                                   uint32_t build, const std::string& servicePack);

// The system's message text for a Win32 error number, as Windows words it
// and ending, as Windows' texts do, in carriage return and line feed; empty
// when the system has no text for the number. On POSIX the numbers the
// device layer reports have Windows' own texts.
std::string SystemErrorText(uint32_t code);

// Whether a windowed program's printed output is usually lost (Windows: a
// program of the GUI subsystem has no console), so that what it prints for
// the user is better shown in a message box too.
bool WindowedProgramsHaveNoConsole();

// The calling thread's last error number (GetLastError on Windows; on POSIX
// a per-thread value that the POSIX device layer sets with Win32 numbers).
uint32_t LastSystemError();
void SetLastSystemError(uint32_t code);

}  // namespace tk
