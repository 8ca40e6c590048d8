// System description and error texts from Windows itself.
#include "toolkit/OsInfo.h"

#include <windows.h>

namespace tk {

namespace {

struct VersionInfo {
    uint32_t platform = 0xFFFFFFFF;
    uint32_t major = 0;
    uint32_t minor = 0;
    uint32_t build = 0;
    std::string servicePack;
};

// RtlGetVersion reports the true version; GetVersionExA may be told an
// older one for compatibility, so it is only the fallback.
VersionInfo ReadVersion() {
    VersionInfo v;
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const FARPROC proc = ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    if (proc) {
        const auto rtlGetVersion =
            reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void (*)()>(proc));
        OSVERSIONINFOW w{};
        w.dwOSVersionInfoSize = sizeof w;
        if (rtlGetVersion(&w) == 0) {
            v.platform = w.dwPlatformId;
            v.major = w.dwMajorVersion;
            v.minor = w.dwMinorVersion;
            v.build = w.dwBuildNumber;
            for (const wchar_t* p = w.szCSDVersion; *p; ++p) {
                v.servicePack += *p < 0x80 ? static_cast<char>(*p) : '?';
            }
            return v;
        }
    }
    OSVERSIONINFOA a{};
    a.dwOSVersionInfoSize = sizeof a;
    if (GetVersionExA(&a)) {
        v.platform = a.dwPlatformId;
        v.major = a.dwMajorVersion;
        v.minor = a.dwMinorVersion;
        v.build = a.dwBuildNumber;
        v.servicePack = a.szCSDVersion;
    }
    return v;
}

const VersionInfo& Version() {
    static const VersionInfo v = ReadVersion();
    return v;
}

}  // namespace

std::string OsDescription() {
    const VersionInfo& v = Version();
    return DescribeWindowsVersion(v.platform, v.major, v.minor, v.build, v.servicePack);
}

bool IsWindowsNT() {
    return Version().platform == VER_PLATFORM_WIN32_NT;
}

std::string SystemErrorText(uint32_t code) {
    // Inserts are left as they are: no arguments are at hand for them.
    char* buffer = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0, reinterpret_cast<char*>(&buffer), 0, nullptr);
    std::string text;
    if (n != 0 && buffer) {
        text.assign(buffer, n);
    }
    if (buffer) {
        LocalFree(buffer);
    }
    return text;
}

uint32_t LastSystemError() {
    return GetLastError();
}

void SetLastSystemError(uint32_t code) {
    SetLastError(code);
}

bool WindowedProgramsHaveNoConsole() {
    return true;  // a GUI-subsystem program has no console of its own
}

}  // namespace tk
