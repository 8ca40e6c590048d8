#include "serial/posix/PortNames.h"

#include <dirent.h>
#include <grp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <utility>

namespace posixdev {

namespace {

bool StartsWithNoCase(const std::string& s, size_t at, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (at + i >= s.size() ||
            std::toupper(static_cast<unsigned char>(s[at + i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The number after prefix when name is prefix followed by decimal digits only.
bool NumberAfter(const std::string& name, const std::string& prefix, unsigned long& number) {
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 9 || !std::all_of(digits.begin(), digits.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c)) != 0;
        })) {
        return false;
    }
    number = std::strtoul(digits.c_str(), nullptr, 10);
    return true;
}

}  // namespace

uint32_t ComPortNumber(const std::string& name) {
    size_t at = 0;
    if (name.compare(0, 4, "\\\\.\\") == 0) {
        at = 4;
    }
    if (!StartsWithNoCase(name, at, "COM")) {
        return 0;
    }
    at += 3;
    if (at >= name.size() || name.size() - at > 9) {
        return 0;
    }
    uint32_t n = 0;
    for (size_t i = at; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return 0;
        }
        n = n * 10 + static_cast<uint32_t>(name[i] - '0');
    }
    return n;
}

std::vector<std::string> DefaultSerialDevices(const std::string& devDir) {
    static const char* const kGroups[] = {"ttyACM", "ttyUSB", "rfcomm", "ttyS"};
    std::vector<std::pair<unsigned long, std::string>> found[std::size(kGroups)];
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(devDir.c_str()), closedir);
    if (dir) {
        while (const dirent* e = readdir(dir.get())) {
            const std::string name = e->d_name;
            for (size_t g = 0; g < std::size(kGroups); ++g) {
                unsigned long number = 0;
                if (NumberAfter(name, kGroups[g], number)) {
                    found[g].emplace_back(number, name);
                }
            }
        }
    }
    std::vector<std::string> paths;
    const std::string base = devDir.empty() || devDir.back() == '/' ? devDir : devDir + "/";
    for (auto& group : found) {
        std::sort(group.begin(), group.end());
        for (const auto& [number, name] : group) {
            paths.push_back(base + name);
        }
    }
    return paths;
}

std::vector<std::string> SplitPortList(const std::string& list) {
    std::vector<std::string> entries;
    if (list.empty()) {
        return entries;
    }
    size_t from = 0;
    for (;;) {
        const size_t colon = list.find(':', from);
        entries.push_back(list.substr(from, colon - from));
        if (colon == std::string::npos) {
            break;
        }
        from = colon + 1;
    }
    return entries;
}

TResolvedPort ResolvePortName(const std::string& name, const char* portsList,
                              const std::string& devDir) {
    TResolvedPort result;
    if (!name.empty() && name.front() == '/') {
        result.path = name;
        return result;
    }
    const uint32_t n = ComPortNumber(name);
    if (n != 0) {
        const std::vector<std::string> paths =
            portsList != nullptr ? SplitPortList(portsList) : DefaultSerialDevices(devDir);
        if (n <= paths.size()) {
            result.path = paths[n - 1];
        }
    }
    if (result.path.empty()) {
        result.error = 2;
    }
    return result;
}

TResolvedPort ResolvePortName(const std::string& name) {
    return ResolvePortName(name, std::getenv(kPortsVariable), "/dev");
}

std::string DeviceGroupName(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return "dialout";
    }
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->gr_name != nullptr) {
        return found->gr_name;
    }
    return std::to_string(st.st_gid);
}

}  // namespace posixdev
