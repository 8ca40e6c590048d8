// Helpers of the dump tests: a scratch folder, whole-file reads and the
// expected dumps under tests/data/diag.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ExpectedDump(const std::string& name) {
    const std::filesystem::path path = std::filesystem::path(PALMO_TEST_DATA) / "diag" / name;
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
    return ReadWholeFile(path);
}

// A fresh folder for one test's files, removed afterwards.
class TScratchDir {
  public:
    TScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               (std::string("palmo_diag_") + info->test_suite_name() + "_" + info->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    ~TScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string File(const std::string& name) const { return (dir_ / name).string(); }

  private:
    std::filesystem::path dir_;
};
