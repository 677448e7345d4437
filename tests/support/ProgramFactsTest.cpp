#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "VersionMark.h"
#include "support/ProgramFacts.h"

namespace brix32 {
namespace {

TEST(DirectoryPart, WindowsStylePaths) {
    EXPECT_EQ(facts::DirectoryPart("C:\\Program Files\\Flows\\collector.exe", '\\'), "C:\\Program Files\\Flows\\");
    // The long-path prefix goes, the rest of the directory stays.
    EXPECT_EQ(facts::DirectoryPart("\\\\?\\D:\\tools\\nf\\collector.exe", '\\'), "D:\\tools\\nf\\");
    // A drive-relative name ends at the colon, and still gets its trailing separator.
    EXPECT_EQ(facts::DirectoryPart("C:collector.exe", '\\'), "C:\\");
    EXPECT_EQ(facts::DirectoryPart("collector.exe", '\\'), "\\");
}

TEST(DirectoryPart, PosixPaths) {
    EXPECT_EQ(facts::DirectoryPart("/opt/nf/bin/netflow-collector", '/'), "/opt/nf/bin/");
    EXPECT_EQ(facts::DirectoryPart("/netflow-collector", '/'), "/");
    EXPECT_EQ(facts::DirectoryPart("/opt/nf/bin/", '/'), "/opt/nf/bin/");
}

TEST(MachineUpTime, SplitsTicksIntoUnits) {
    const tMachineUpTime zero = facts::UpTimeFromTicks(0);
    EXPECT_EQ(zero.UpTimeText, "0w0d0h0m0s");
    EXPECT_EQ(zero.TickCount, 0);
    EXPECT_EQ(zero.UpTimeDays, 0.0);

    const tMachineUpTime dayAndABit = facts::UpTimeFromTicks(86400000u + 3600000u + 60000u + 1001u);
    EXPECT_EQ(dayAndABit.UpTimeText, "0w1d1h1m1s");
    EXPECT_DOUBLE_EQ(dayAndABit.UpTimeDays, 1 + 1.0 / 24 + 1.0 / 1440 + 1.0 / 86400);

    const tMachineUpTime wrap = facts::UpTimeFromTicks(4294967295u);
    EXPECT_EQ(wrap.UpTimeText, "7w0d17h2m47s");
    EXPECT_EQ(wrap.TickCount, 4294967295LL);
}

TEST(MachineUpTime, ReadsTheRunningMachine) {
    tMachineUpTime up;
    GetMachineUpTime(up);
    EXPECT_GE(up.TickCount, 0);
    EXPECT_LE(up.TickCount, 4294967295LL);
    EXPECT_EQ(up.UpTimeText, facts::UpTimeFromTicks(static_cast<std::uint32_t>(up.TickCount)).UpTimeText);
}

TEST(VersionString, RunningProgramCarriesTheBuildVersion) { EXPECT_EQ(GetVersionString(""), NFC_FILE_VERSION); }

TEST(VersionString, OtherFiles) {
    const std::string dir = ::testing::TempDir();
    const std::string marked = dir + "/marked.bin";
    const std::string plain = dir + "/plain.bin";
    {
        std::ofstream out(marked, std::ios::binary);
        out << std::string(
                   "\x7f"
                   "ELF junk\0\0",
                   11)
            << facts::EmbeddedVersionMark() << '\0' << "more";
    }
    {
        std::ofstream out(plain, std::ios::binary);
        out << "no mark here";
    }
    EXPECT_EQ(GetVersionString(marked), NFC_FILE_VERSION);
    EXPECT_EQ(GetVersionString(plain), "");
    EXPECT_EQ(GetVersionString(dir + "/does-not-exist"), "");
}

TEST(VersionString, MarkMustBeWholeAndWellFormed) {
    const std::string key = "NFC-FILE-VERSION=";
    EXPECT_EQ(facts::FindVersionMark(key + "1.2.3.4"), "1.2.3.4");
    EXPECT_EQ(facts::FindVersionMark(key + std::string("\0", 1) + key + "01.2.3.65535" + std::string("\0", 1)),
              "1.2.3.65535");
    EXPECT_EQ(facts::FindVersionMark(key + "1.2.3"), "");
    EXPECT_EQ(facts::FindVersionMark(key + "1.2.3.65536"), "");
    EXPECT_EQ(facts::FindVersionMark(key + "1.2.3.4x"), "");
}

TEST(ProgramDir, IsTheExecutablesDirectoryAndBecomesCurrent) {
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string expected = exe.substr(0, exe.rfind('/') + 1);
    EXPECT_EQ(GetProgramPath(""), expected);

    const auto before = std::filesystem::current_path();
    std::filesystem::current_path("/");
    EXPECT_EQ(GetProgramDir(), expected);
    EXPECT_EQ(std::filesystem::current_path().string() + "/", expected);
    std::filesystem::current_path(before);
}

TEST(ComputerName, MatchesTheHostName) {
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(GetComputerNameText(), name);
}

}  // namespace
}  // namespace brix32
