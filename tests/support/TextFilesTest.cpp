#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScratchDirectory.h"
#include "support/TextFiles.h"

namespace {

using brix32::AppendToTextFile;
using brix32::HexDump;
using brix32::ReplaceFileAtomically;

class AppendToTextFileTest : public ScratchDirectoryTest {};

TEST_F(AppendToTextFileTest, ReplacingCallOverwritesAndAppendingCallsJoinWithoutLineEnds) {
    WriteFile("flows.csv", "an older and longer content\r\n");
    EXPECT_TRUE(AppendToTextFile("new", "flows.csv", false));
    EXPECT_EQ(ReadFile("flows.csv"), "new");

    EXPECT_TRUE(AppendToTextFile("ab", "fresh.txt", true));
    EXPECT_TRUE(AppendToTextFile("cd", "fresh.txt", true));
    EXPECT_EQ(ReadFile("fresh.txt"), "abcd");
}

TEST_F(AppendToTextFileTest, WritesEveryByteUnchanged) {
    const std::string bytes("\0\r\n\n\x80\xFF line", 11);
    ASSERT_TRUE(AppendToTextFile(bytes, "raw.bin", false));
    EXPECT_EQ(ReadFile("raw.bin"), bytes);
}

TEST_F(AppendToTextFileTest, EmptyTextIsTrueAndOnlyAReplacingCallRemovesTheFile) {
    EXPECT_TRUE(AppendToTextFile("", "never.txt", true));
    EXPECT_TRUE(AppendToTextFile("", "never.txt", false));
    EXPECT_FALSE(Exists("never.txt"));

    WriteFile("kept.txt", "keep");
    EXPECT_TRUE(AppendToTextFile("", "kept.txt", true));
    EXPECT_EQ(ReadFile("kept.txt"), "keep");

    EXPECT_TRUE(AppendToTextFile("", "kept.txt", false));
    EXPECT_FALSE(Exists("kept.txt"));
}

TEST_F(AppendToTextFileTest, FailuresGiveFalse) {
    WriteFile("afile", "x");
    EXPECT_FALSE(AppendToTextFile("text", "afile/below.txt", true));
    EXPECT_FALSE(AppendToTextFile("text", "missing/below.txt", false));
    std::filesystem::create_directory("adir");
    EXPECT_FALSE(AppendToTextFile("text", "adir", false));
    // A full disk: the file opens but the write fails.
    if (Exists("/dev/full")) {
        EXPECT_FALSE(AppendToTextFile("text", "/dev/full", true));
    }
    // Leaving out the existence check leaves out nothing else.
    EXPECT_FALSE(AppendToTextFile("text", "afile/below.txt", true, brix32::AfterClose::Skip));
    if (Exists("/dev/full")) {
        EXPECT_FALSE(AppendToTextFile("text", "/dev/full", true, brix32::AfterClose::Skip));
    }
    EXPECT_TRUE(AppendToTextFile("ab", "unchecked.txt", true, brix32::AfterClose::Skip));
    EXPECT_TRUE(AppendToTextFile("cd", "unchecked.txt", true, brix32::AfterClose::Skip));
    EXPECT_EQ(ReadFile("unchecked.txt"), "abcd");
}

TEST_F(AppendToTextFileTest, AtomicReplacementLeavesTheOldFileWholeWhenItFails) {
    WriteFile(Dir() + "old.txt", "previous trace");
    // A directory where the temporary file should go makes the write fail.
    std::filesystem::create_directories(Dir() + "old.txt.tmp");
    EXPECT_FALSE(ReplaceFileAtomically(Dir() + "old.txt", "new trace"));
    EXPECT_EQ(ReadFile(Dir() + "old.txt"), "previous trace");
    std::filesystem::remove(Dir() + "old.txt.tmp");
    EXPECT_TRUE(ReplaceFileAtomically(Dir() + "old.txt", "new trace"));
    EXPECT_EQ(ReadFile(Dir() + "old.txt"), "new trace");
    EXPECT_FALSE(Exists(Dir() + "old.txt.tmp"));
    // A missing file is simply created.
    EXPECT_TRUE(ReplaceFileAtomically(Dir() + "fresh.txt", "first"));
    EXPECT_EQ(ReadFile(Dir() + "fresh.txt"), "first");
}

std::string Blanks(std::size_t n) { return std::string(n, ' '); }

TEST(HexDumpTest, ShortAndFullLines) {
    EXPECT_EQ(HexDump(""), "0001:" + Blanks(68) + "\r\n");
    EXPECT_EQ(HexDump("ABC"), "0001: 41 42 43" + Blanks(42) + "ABC" + Blanks(14) + "\r\n");
    const std::string digits = "0001: 30 31 32 33 34 35 36 37  38 39 41 42 43 44 45 46  01234567 89ABCDEF\r\n";
    EXPECT_EQ(HexDump("0123456789ABCDEF"), digits + "0011:" + Blanks(68) + "\r\n");
    const std::string letters = "0001: 41 42 43 44 45 46 47 48  49 4A 4B 4C 4D 4E 4F 50  ABCDEFGH IJKLMNOP\r\n";
    EXPECT_EQ(HexDump("ABCDEFGHIJKLMNOPQ"), letters + "0011: 51" + Blanks(48) + "Q" + Blanks(16) + "\r\n");
}

TEST(HexDumpTest, PrintableRangeEndsAt128) {
    EXPECT_EQ(HexDump("\x7F\x80\x1F\x81"), "0001: 7F 80 1F 81" + Blanks(39) + "\x7F\x80.." + Blanks(13) + "\r\n");
    EXPECT_EQ(HexDump("\xAB"), "0001: AB" + Blanks(48) + "." + Blanks(16) + "\r\n");
    EXPECT_EQ(HexDump(std::string(1, '\0')), "0001: 00" + Blanks(48) + "." + Blanks(16) + "\r\n");
    EXPECT_EQ(HexDump(" "), "0001: 20" + Blanks(48) + " " + Blanks(16) + "\r\n");
}

std::vector<std::string> Lines(const std::string& sDump) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = sDump.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(sDump.substr(start, end - start));
    }
    EXPECT_EQ(start, sDump.size()) << "text after the last line end";
    return lines;
}

TEST(HexDumpTest, OffsetsGrowPastFourDigits) {
    const std::vector<std::string> lines = Lines(HexDump(std::string(65537, 'z')));
    ASSERT_EQ(lines.size(), 4097u);
    EXPECT_EQ(lines[1].substr(0, 5), "0011:");
    EXPECT_EQ(lines[4095], "FFF1: 7A 7A 7A 7A 7A 7A 7A 7A  7A 7A 7A 7A 7A 7A 7A 7A  zzzzzzzz zzzzzzzz");
    EXPECT_EQ(lines[4096], "10001: 7A" + Blanks(48) + "z" + Blanks(16));
    for (std::size_t k = 0; k < 4096; ++k) ASSERT_EQ(lines[k].size(), 73u) << "line " << k;
}

}  // namespace
