#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>

#include "Datagrams.h"
#include "PcapWriter.h"
#include "ScratchDirectory.h"
#include "SeamDoubles.h"

using namespace fixtures;
using namespace std::string_literals;

namespace {

class PcapWriterTest : public ScratchDirectoryTest {
  protected:
    // One of each version, as exporters send them.
    std::vector<tRecentDatagram> ThreeVersions() const {
        const std::string V5 = testdatagrams::V5Datagram({testdatagrams::V5Flow{}});
        const std::string V9 =
            V9Header(2) + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, Ipv4Record(1, 1, 2, 6, 3, 4));
        const std::string Ipfix =
            IpfixMessage(Flowset(2, IpfixTemplate(256, {{8, 4}, {4, 1}})) + Flowset(256, "\x0A\0\0\1\x06"s), 3, 9);
        return {{0xC0000201, 2055, 1'700'000'000'123'456, V5},
                {0xC0000202, 50000, 1'700'000'001'000'000, V9},
                {0xC6336407, 4739, 1'700'000'002'000'001, Ipfix}};
    }

    // The number of datagrams libpcap reads back from sName, -1 when it cannot open it.
    static int ReadBackCount(const std::string& sName) {
        char Errbuf[PCAP_ERRBUF_SIZE];
        const std::unique_ptr<pcap_t, void (*)(pcap_t*)> Pcap(pcap_open_offline(sName.c_str(), Errbuf), pcap_close);
        if (!Pcap) return -1;
        int Count = 0;
        pcap_pkthdr* Header = nullptr;
        const u_char* Data = nullptr;
        while (pcap_next_ex(Pcap.get(), &Header, &Data) == 1) ++Count;
        return Count;
    }
};

}  // namespace

TEST_F(PcapWriterTest, ReadBackWithLibpcapGivesEveryDatagramWholeInItsFrame) {
    const auto Datagrams = ThreeVersions();
    std::string sError;
    ASSERT_TRUE(WriteCapture("recent.pcap", Datagrams, tCaptureTarget{0x7F000001}, sError)) << sError;

    char Errbuf[PCAP_ERRBUF_SIZE];
    const std::unique_ptr<pcap_t, void (*)(pcap_t*)> Pcap(pcap_open_offline("recent.pcap", Errbuf), pcap_close);
    ASSERT_TRUE(Pcap) << Errbuf;
    EXPECT_EQ(pcap_datalink(Pcap.get()), DLT_EN10MB);
    EXPECT_EQ(pcap_snapshot(Pcap.get()), 65535 + 14);
    EXPECT_EQ(pcap_major_version(Pcap.get()), 2);
    EXPECT_EQ(pcap_minor_version(Pcap.get()), 4);
    EXPECT_FALSE(pcap_is_swapped(Pcap.get()));
    for (const tRecentDatagram& Sent : Datagrams) {
        pcap_pkthdr* Header = nullptr;
        const u_char* Data = nullptr;
        ASSERT_EQ(pcap_next_ex(Pcap.get(), &Header, &Data), 1);
        const std::string Frame(reinterpret_cast<const char*>(Data), Header->caplen);
        EXPECT_EQ(Header->len, Header->caplen);
        EXPECT_EQ(std::int64_t{Header->ts.tv_sec} * 1'000'000 + Header->ts.tv_usec, Sent.ArrivalUs);
        EXPECT_EQ(Frame, CaptureFrame(Sent, tCaptureTarget{0x7F000001}));
        EXPECT_EQ(Frame.substr(42), Sent.Bytes);
        EXPECT_EQ(Frame.substr(26, 4), U32(Sent.SenderAddress));
        EXPECT_EQ(Frame.substr(30, 4), U32(0x7F000001));
        EXPECT_EQ(Frame.substr(34, 4), U16(Sent.SenderPort) + U16(9996));
        EXPECT_EQ(Frame.substr(38, 2), U16(static_cast<unsigned>(Sent.Bytes.size() + 8)));
    }
    pcap_pkthdr* Header = nullptr;
    const u_char* Data = nullptr;
    EXPECT_EQ(pcap_next_ex(Pcap.get(), &Header, &Data), PCAP_ERROR_BREAK);
}

TEST_F(PcapWriterTest, PacketAnalyserDecodesTheVersionsSendersAndChecksums) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
    std::string sError;
    ASSERT_TRUE(WriteCapture("recent.pcap", ThreeVersions(), tCaptureTarget{}, sError)) << sError;
    const std::unique_ptr<FILE, int (*)(FILE*)> Out(
        ::popen("tshark -r recent.pcap -d udp.port==9996,cflow -o ip.check_checksum:TRUE "
                "-T fields -E separator=, -e ip.src -e udp.srcport -e cflow.version -e ip.checksum.status "
                "-e cflow.srcaddr -e _ws.malformed 2>/dev/null",
                "r"),
        ::pclose);
    ASSERT_TRUE(Out);
    std::string sText;
    char Buf[512];
    while (std::fgets(Buf, sizeof Buf, Out.get()) != nullptr) sText += Buf;
    // Checksum status 1 is "good"; every flow's source address decoded, nothing malformed.
    EXPECT_EQ(sText, "192.0.2.1,2055,5,1,10.0.0.1,\n192.0.2.2,50000,9,1,10.0.0.1,\n198.51.100.7,4739,10,1,10.0.0.1,\n");
}

TEST_F(PcapWriterTest, UnwritablePathIsReportedAndTimestampedNameIsLocalTime) {
    std::string sError;
    EXPECT_FALSE(WriteCapture("no/such/dir/recent.pcap", {}, tCaptureTarget{}, sError));
    EXPECT_FALSE(sError.empty());
    const std::string sName = CaptureFileName(1'700'000'000'000'000);
    EXPECT_EQ(sName.rfind("recent-datagrams-2023111", 0), 0u) << sName;
    EXPECT_EQ(sName.size(), std::string("recent-datagrams-yyyymmdd-hhmmss.pcap").size());
}

TEST_F(PcapWriterTest, AFailedWriteRemovesThePartialFileAndIsReported) {
    const auto Datagrams = ThreeVersions();
    std::string sError;
    FullDiskOutput Disk(100);
    EXPECT_FALSE(WriteCapture("recent.pcap", Datagrams, tCaptureTarget{}, sError, Disk));
    EXPECT_EQ(sError, "write failed: recent.pcap");
    EXPECT_FALSE(Exists("recent.pcap"));

    // Beyond the first chunk of writes too, and through the unique names.
    std::vector<tRecentDatagram> Many(200, {0xC0000201, 2055, 1'700'000'000'000'000, std::string(3000, 'x')});
    FullDiskOutput Later(400'000);
    std::string sWritten = "stale";
    EXPECT_FALSE(SaveCapture("recent.pcap", Many, tCaptureTarget{}, sWritten, sError, Later));
    EXPECT_EQ(sWritten, "");
    EXPECT_GT(Later.Calls, 1);
    EXPECT_TRUE(std::filesystem::is_empty(Dir()));

    ASSERT_TRUE(SaveCapture("recent.pcap", Many, tCaptureTarget{}, sWritten, sError)) << sError;
    EXPECT_EQ(ReadBackCount(sWritten), 200);
}

TEST_F(PcapWriterTest, SavesInTheSameSecondEachGetANameOfTheirOwn) {
    const auto Datagrams = ThreeVersions();
    const std::string sBase = CaptureFileName(1'700'000'000'000'000);
    const std::string sStem = sBase.substr(0, sBase.size() - 5);
    std::vector<std::string> Written;
    for (std::size_t Count : {3u, 1u, 2u}) {
        std::string sName, sError;
        ASSERT_TRUE(SaveCapture(sBase, {Datagrams.begin(), Datagrams.begin() + Count}, tCaptureTarget{}, sName, sError))
            << sError;
        Written.push_back(sName);
    }
    EXPECT_EQ(Written, (std::vector<std::string>{sBase, sStem + "-2.pcap", sStem + "-3.pcap"}));
    EXPECT_EQ(ReadBackCount(Written[0]), 3);
    EXPECT_EQ(ReadBackCount(Written[1]), 1);
    EXPECT_EQ(ReadBackCount(Written[2]), 2);

    // A dot in a folder's name is not the extension's.
    std::filesystem::create_directory("saves.d");
    std::string sName, sError;
    ASSERT_TRUE(SaveCapture("saves.d/recent", Datagrams, tCaptureTarget{}, sName, sError));
    ASSERT_TRUE(SaveCapture("saves.d/recent", Datagrams, tCaptureTarget{}, sName, sError));
    EXPECT_EQ(sName, "saves.d/recent-2");
}

// The data folder may be writable by others: whatever is planted under a capture's name is never
// followed, written through or waited for.
TEST_F(PcapWriterTest, PlantedLinksAndFifosAreNeitherFollowedNorWaitedFor) {
    std::filesystem::create_directory("outside");
    WriteFile("outside/victim.txt", "untouched");
    const std::string sBase = CaptureFileName(1'700'000'000'000'000);
    ASSERT_EQ(::symlink("outside/victim.txt", sBase.c_str()), 0);
    ASSERT_EQ(::symlink("outside/made.pcap", "dangling.pcap"), 0);
    ASSERT_EQ(::mkfifo("fifo.pcap", 0600), 0);
    ::alarm(20);  // a regression would block in open()

    std::string sError;
    EXPECT_FALSE(WriteCapture(sBase, ThreeVersions(), tCaptureTarget{}, sError));
    EXPECT_EQ(sError, sBase + ": " + std::strerror(ELOOP));
    EXPECT_FALSE(WriteCapture("dangling.pcap", ThreeVersions(), tCaptureTarget{}, sError));
    EXPECT_FALSE(WriteCapture("fifo.pcap", ThreeVersions(), tCaptureTarget{}, sError));
    EXPECT_EQ(sError, "fifo.pcap: Not a regular file");

    // A unique save passes the taken names over and leaves them as they are.
    std::string sName;
    ASSERT_TRUE(SaveCapture(sBase, ThreeVersions(), tCaptureTarget{}, sName, sError)) << sError;
    EXPECT_EQ(sName, sBase.substr(0, sBase.size() - 5) + "-2.pcap");
    ASSERT_TRUE(SaveCapture("dangling.pcap", ThreeVersions(), tCaptureTarget{}, sName, sError)) << sError;
    EXPECT_EQ(sName, "dangling-2.pcap");
    ASSERT_TRUE(SaveCapture("fifo.pcap", ThreeVersions(), tCaptureTarget{}, sName, sError)) << sError;
    ::alarm(0);

    EXPECT_EQ(ReadFile("outside/victim.txt"), "untouched");
    EXPECT_FALSE(Exists("outside/made.pcap"));
    EXPECT_TRUE(std::filesystem::is_symlink(sBase));
    struct stat st;
    ASSERT_EQ(::lstat("fifo.pcap", &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}
