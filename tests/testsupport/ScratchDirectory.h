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
        fPrevious = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "nfc-support-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        fDirectory = pattern;
        std::filesystem::current_path(fDirectory);
    }

    void TearDown() override {
        std::filesystem::current_path(fPrevious);
        std::error_code ignored;
        std::filesystem::remove_all(fDirectory, ignored);
    }

    // The scratch directory with a trailing separator.
    std::string Dir() const { return fDirectory.string() + "/"; }

    static std::string ReadFile(const std::string& sFileName) {
        std::ifstream in(sFileName, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    static void WriteFile(const std::string& sFileName, const std::string& sBytes) {
        std::ofstream(sFileName, std::ios::binary) << sBytes;
    }

    static bool Exists(const std::string& sFileName) { return std::filesystem::exists(sFileName); }

  private:
    std::filesystem::path fPrevious;
    std::filesystem::path fDirectory;
};
