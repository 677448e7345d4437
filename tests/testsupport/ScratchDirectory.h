#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// Runs each test in a fresh directory of its own, made current, so that relative names such as
// "Exception.txt" land there and nothing is left behind.
class ScratchDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Previous_ = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "nfc-support-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        Directory_ = pattern;
        std::filesystem::current_path(Directory_);
    }

    void TearDown() override {
        std::filesystem::current_path(Previous_);
        std::error_code ignored;
        std::filesystem::remove_all(Directory_, ignored);
    }

    // The scratch directory with a trailing separator.
    std::string Dir() const { return Directory_.string() + "/"; }

    static std::string ReadFile(const std::string& sFileName) {
        std::ifstream in(sFileName, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    static void WriteFile(const std::string& sFileName, const std::string& sBytes) {
        std::ofstream(sFileName, std::ios::binary) << sBytes;
    }

    static bool Exists(const std::string& sFileName) { return std::filesystem::exists(sFileName); }

  private:
    std::filesystem::path Previous_;
    std::filesystem::path Directory_;
};
