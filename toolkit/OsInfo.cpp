// The system description table, shared by every platform's OsDescription.
#include "toolkit/OsInfo.h"

namespace tk {

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

}  // namespace

std::string DescribeWindowsVersion(uint32_t platformId, uint32_t major, uint32_t minor,
                                   uint32_t build, const std::string& servicePack) {
    std::string name;
    std::string pack;
    switch (platformId) {
        case 0:
            name = "Win32s on Windows ";
            pack = servicePack;
            break;
        case 1: {
            // The Windows 95 family marks its releases with a letter as the
            // second character of the service-pack text.
            const std::string mark = servicePack.size() > 1 ? Trim(servicePack.substr(1, 1)) : "";
            if (minor == 0) {
                name = mark == "B" ? "Win32 on Windows 95 OSR 2 " : "Win32 on Windows 95 OSR 1 ";
            } else if (minor == 10) {
                name = mark == "A" ? "Win32 on Windows 98 OSR 2 " : "Win32 on Windows 98 OSR 1 ";
            } else if (minor == 90) {
                name = build == 0x045A0BB8u ? "Win32 on Windows ME " : "";
            } else {
                name = "Win32 on Windows 9x";
            }
            break;
        }
        case 2:
            pack = servicePack;
            if (major == 3) {
                name = "Windows NT 3.5 ";
            } else if (major == 4) {
                name = "Windows NT 4 ";
            } else if (major == 5) {
                name = minor == 0 ? "Windows 2000 " : minor == 1 ? "Windows XP " : "";
            } else {
                name = "WinNT ";
            }
            break;
        default:
            name = "Unknown";
            break;
    }
    return name + std::to_string(major) + "." + std::to_string(minor) + " " + pack;
}

}  // namespace tk
