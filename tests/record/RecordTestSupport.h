// Helpers of the recorder's tests: a temporary folder, whole files, and
// NMEA sentences with their checksums.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "gps/NMEA.h"

namespace rectest {

// A new folder under the system's temporary folder, removed with its contents.
class TTempDir {
  public:
    TTempDir() {
        static int serial = 0;
        const auto base = std::filesystem::temp_directory_path();
        for (int attempt = 0;; ++attempt) {
            path_ = base / ("palmo_record_" + std::to_string(std::random_device{}()) + "_" +
                            std::to_string(++serial));
            if (std::filesystem::create_directory(path_) || attempt > 100) {
                break;
            }
        }
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    std::string File(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& Path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// "$" payload "*" checksum.
inline std::string Sentence(std::string_view payload) {
    return "$" + std::string(payload) + "*" + gps::NmeaChecksum(payload);
}

// The fields of a sentence: entry 0 the identifier.
inline std::vector<std::string> Fields(std::string_view line) {
    std::vector<std::string> fields;
    std::stringstream payload{std::string(gps::NmeaPayload(line))};
    for (std::string f; std::getline(payload, f, ',');) {
        fields.push_back(f);
    }
    if (!line.empty() && gps::NmeaPayload(line).ends_with(',')) {
        fields.emplace_back();
    }
    return fields;
}

// How often needle occurs in text.
inline size_t Count(std::string_view text, std::string_view needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string_view::npos;
         at = text.find(needle, at + needle.size())) {
        ++n;
    }
    return n;
}

}  // namespace rectest
