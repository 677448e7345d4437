#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "ScratchDirectory.h"
#include "SeamDoubles.h"
#include "support/TextFiles.h"

namespace {

using brix32::AppendToTextFile;
using brix32::HexDump;
using brix32::ReplaceFileAtomically;

class AppendToTextFileTest : public ScratchDirectoryTest {
  protected:
    // The names in the scratch directory, sorted.
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(Dir()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

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
    FullDiskOutput disk(4);
    EXPECT_FALSE(ReplaceFileAtomically(Dir() + "old.txt", "new trace", disk));
    EXPECT_EQ(ReadFile(Dir() + "old.txt"), "previous trace");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"old.txt"}));
    EXPECT_TRUE(ReplaceFileAtomically(Dir() + "old.txt", "new trace"));
    EXPECT_EQ(ReadFile(Dir() + "old.txt"), "new trace");
    EXPECT_EQ(Entries(), (std::vector<std::string>{"old.txt"}));
    // A missing file is simply created.
    EXPECT_TRUE(ReplaceFileAtomically(Dir() + "fresh.txt", "first"));
    EXPECT_EQ(ReadFile(Dir() + "fresh.txt"), "first");
}

TEST_F(AppendToTextFileTest, AWholeAppendThatFailsPartWayLeavesTheFileAsItWas) {
    WriteFile("flows.csv", "1,2\r\n");
    FullDiskOutput disk(5);
    EXPECT_FALSE(brix32::AppendWhole("3,4\r\n5,6\r\n", "flows.csv", disk));
    EXPECT_EQ(ReadFile("flows.csv"), "1,2\r\n");
    // A write that takes nothing at all counts as a full disk too, instead of looping for ever.
    class Stuck : public brix32::FileOutput {
      public:
        long Write(int, const char*, std::size_t) override { return 0; }
    } stuck;
    EXPECT_FALSE(brix32::AppendWhole("3,4\r\n", "flows.csv", stuck));
    EXPECT_EQ(ReadFile("flows.csv"), "1,2\r\n");

    EXPECT_TRUE(brix32::AppendWhole("3,4\r\n", "flows.csv"));
    EXPECT_TRUE(brix32::AppendWhole("", "flows.csv"));
    EXPECT_TRUE(brix32::AppendWhole("x", "new.csv"));
    EXPECT_EQ(ReadFile("flows.csv"), "1,2\r\n3,4\r\n");
    EXPECT_EQ(ReadFile("new.csv"), "x");
}

TEST_F(AppendToTextFileTest, PlantedLinksAreNeitherFollowedNorWrittenThrough) {
    WriteFile("target.txt", "untouched");
    for (const char* link : {"flows.csv", "debug.txt", "debug-v9-packet.txt"})
        ASSERT_EQ(::symlink("target.txt", link), 0) << link;
    EXPECT_FALSE(AppendToTextFile("line\r\n", "flows.csv", true));
    EXPECT_FALSE(brix32::AppendWhole("line\r\n", "flows.csv"));
    // Replacing a file replaces the link itself.
    EXPECT_TRUE(AppendToTextFile("1400", "debug.txt", false));
    EXPECT_TRUE(ReplaceFileAtomically("debug-v9-packet.txt", "trace"));
    EXPECT_EQ(ReadFile("target.txt"), "untouched");
    EXPECT_EQ(ReadFile("debug.txt"), "1400");
    EXPECT_EQ(ReadFile("debug-v9-packet.txt"), "trace");
    EXPECT_FALSE(std::filesystem::is_symlink("debug-v9-packet.txt"));
}

TEST_F(AppendToTextFileTest, ADanglingLinkCreatesNothingWhereItPoints) {
    std::filesystem::create_directory("outside");
    ASSERT_EQ(::symlink("outside/made.csv", "flows.csv"), 0);
    EXPECT_FALSE(AppendToTextFile("line\r\n", "flows.csv", true));
    EXPECT_FALSE(brix32::AppendWhole("line\r\n", "flows.csv"));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_FALSE(Exists("outside/made.csv"));
    EXPECT_TRUE(std::filesystem::is_empty("outside"));
}

// A FIFO planted under a file's name once stopped the listener for good in open(); it must be
// refused at once, whether or not anybody reads it. A regression would hang, hence the alarm.
TEST_F(AppendToTextFileTest, AFifoUnderTheNameIsRefusedWithoutWaiting) {
    ASSERT_EQ(::mkfifo("flows.csv", 0600), 0);
    ::alarm(20);
    EXPECT_FALSE(brix32::AppendWhole("line\r\n", "flows.csv"));
    EXPECT_EQ(errno, ENXIO);
    EXPECT_FALSE(AppendToTextFile("line\r\n", "flows.csv", true, brix32::AfterClose::Skip));

    // With a reader the open succeeds; the type check still keeps the line out of the pipe.
    const int reader = ::open("flows.csv", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(brix32::AppendWhole("line\r\n", "flows.csv"));
    EXPECT_EQ(errno, ENXIO);
    EXPECT_FALSE(AppendToTextFile("line\r\n", "flows.csv", true));
    char buffer[16];
    EXPECT_LE(::read(reader, buffer, sizeof buffer), 0) << "nothing went into the FIFO";
    ::close(reader);
    ::alarm(0);
}

TEST_F(AppendToTextFileTest, TemporaryNamesAreFreshAndLeftoversGoAtStart) {
    // The first temporary name a reader could guess exists already and is a link: neither stops
    // the replacement nor is written through.
    WriteFile("target.txt", "untouched");
    ASSERT_EQ(::symlink("target.txt", "debug.txt.tmp"), 0);
    EXPECT_TRUE(ReplaceFileAtomically("debug.txt", "marker"));
    EXPECT_EQ(ReadFile("target.txt"), "untouched");

    for (const char* name :
         {"debug.txt.tmp-0123456789abcdef", "trace.txt.tmp-fedcba9876543210", "debug.txt.tmp-notours",
          "other.txt.tmp-0123456789abcdef", "debug.txt.tmp-0123456789ABCDEF"})
        WriteFile(name, "x");
    brix32::RemoveLeftoverTemporaries({"debug.txt", "trace.txt"});
    EXPECT_EQ(Entries(),
              (std::vector<std::string>{"debug.txt", "debug.txt.tmp-0123456789ABCDEF", "debug.txt.tmp-notours",
                                        "other.txt.tmp-0123456789abcdef", "target.txt"}));
    EXPECT_EQ(ReadFile("debug.txt"), "marker");
}

// A real full file system: a small tmpfs mounted in a mount namespace of a child process, so that
// nothing outside the test sees it and nothing is left mounted if the test dies.
int FillTmpfsInChild(const std::string& Directory) {
    if (::unshare(CLONE_NEWNS) != 0) return 77;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (::mount("tmpfs", Directory.c_str(), "tmpfs", 0, "size=16k") != 0) return 77;
    if (::chdir(Directory.c_str()) != 0) return 2;
    const std::string line = "1000,4294963296,10.0.0.1,1234,192.168.1.20,80,6,123456\r\n";
    std::string datagram;
    for (int i = 0; i < 30; ++i) datagram += line;
    int appended = 0;
    while (brix32::AppendWhole(datagram, "flows.csv")) {
        if (++appended > 100) return 3;  // the disk never filled
    }
    if (appended == 0) return 4;
    // Whole datagrams only, none torn: the file is a whole number of lines, each one whole.
    struct stat st;
    if (::stat("flows.csv", &st) != 0 || st.st_size != static_cast<off_t>(appended * datagram.size())) return 5;
    // Smaller appends still fit into the rest and stay whole.
    int lines = 0;
    while (brix32::AppendWhole(line, "flows.csv")) ++lines;
    if (::stat("flows.csv", &st) != 0 ||
        st.st_size != static_cast<off_t>(appended * datagram.size() + lines * line.size()))
        return 6;
    return 0;
}

TEST_F(AppendToTextFileTest, AFullFileSystemLeavesWholeLinesOnly) {
    std::filesystem::create_directory("small");
    const std::string directory = Dir() + "small";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(FillTmpfsInChild(directory));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "mounting a tmpfs is not allowed here (needs root or a user namespace)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "step that failed, see FillTmpfsInChild";
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
