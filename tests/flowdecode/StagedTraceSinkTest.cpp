#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "Datagrams.h"
#include "Doubles.h"
#include "ScratchDirectory.h"
#include "SeamDoubles.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/StagedTraceSink.h"
#include "flowdecode/Templates.h"
#include "support/DateTime.h"

namespace {

using namespace testdatagrams;

class StagedTraceSinkTest : public ScratchDirectoryTest {
  protected:
    void SetUp() override {
        ScratchDirectoryTest::SetUp();
        std::filesystem::create_directories(Dir() + "direct");
        std::filesystem::create_directories(Dir() + "staged");
    }
    // Both writers see the same time in their trace headers.
    FakeClock clock{brix32::EncodeDateTime({2026, 1, 6, 14, 3, 4, 5})};

    // Decodes the same datagrams once through each writer, each in its own directory and with its
    // own fresh template store, so that their files can be compared.
    void DecodeBoth(const std::vector<std::string>& datagrams, bool bTrace = true) {
        for (const char* mode : {"direct", "staged"}) {
            netflowlib::ExporterTemplateStore templates;
            const std::string dir = Dir() + mode + "/";
            netflowlib::FileTraceSink direct(dir + "debug-v9-packet.txt", dir + "debug.txt");
            netflowlib::StagedTraceSink staged(dir + "debug-v9-packet.txt", dir + "debug.txt");
            netflowlib::PacketTraceSink& sink =
                std::string(mode) == "direct" ? static_cast<netflowlib::PacketTraceSink&>(direct) : staged;
            for (const std::string& d : datagrams) {
                netflowlib::tNetflowHeader header{};
                netflowlib::DecodeHeader(d, header);
                netflowlib::tNetflowV9Records records(netflowlib::kV9InitialSlots);
                const netflowlib::tDecodeServices services{sink, brix32::DefaultExceptionReporter(), templates, clock};
                netflowlib::DecodeV9Packet("", "192.0.2.1", d, header, bTrace, records, services);
            }
        }
    }

    void ExpectSameFiles() {
        for (const char* name : {"debug-v9-packet.txt", "debug.txt"}) {
            EXPECT_EQ(Exists(Dir() + "direct/" + name), Exists(Dir() + "staged/" + name)) << name;
            EXPECT_EQ(ReadFile(Dir() + "direct/" + name), ReadFile(Dir() + "staged/" + name)) << name;
        }
        EXPECT_FALSE(Exists(Dir() + "staged/debug-v9-packet.txt.tmp"));
        EXPECT_FALSE(Exists(Dir() + "staged/debug.txt.tmp"));
    }
};

TEST_F(StagedTraceSinkTest, LeavesExactlyWhatTheLineByLineWriterLeaves) {
    std::string records;
    for (unsigned i = 0; i < 3; ++i) records += BasicIPv4Record({10, 0, 0, i}, {10, 0, 1, 1}, 1000 + i, 80, 6, i);
    const std::string templated = V9Header(4) + V9Template(256, BasicIPv4Template()) + V9DataFlowset(256, records);
    // An unlisted field type writes a marker; a flowset id between 2 and 255 writes another.
    const std::string marked = V9Header(2) + V9Template(257, {{8, 4}, {3, 2}, {61, 1}}) +
                               V9DataFlowset(257, std::string("\x0A\x00\x00\x01\x00\x05\x01\x00", 8)) +
                               V9DataFlowset(7, std::string(4, '\0'));
    DecodeBoth({templated});
    ExpectSameFiles();
    DecodeBoth({templated, marked});
    ExpectSameFiles();
    EXPECT_EQ(ReadFile(Dir() + "staged/debug.txt"), "iFlowSetID=7");
}

TEST_F(StagedTraceSinkTest, ADatagramWithoutMarkersKeepsThePreviousMarker) {
    const std::string marked = V9Header(1) + V9DataFlowset(9, std::string(4, '\0'));
    const std::string quiet = V9Header(1) + V9DataFlowset(300, std::string(8, '\0'));
    DecodeBoth({marked, quiet});
    ExpectSameFiles();
    EXPECT_EQ(ReadFile(Dir() + "staged/debug.txt"), "iFlowSetID=9");
}

TEST_F(StagedTraceSinkTest, WithoutTracingOnlyMarkersAreWritten) {
    const std::string marked = V9Header(1) + V9DataFlowset(9, std::string(4, '\0'));
    DecodeBoth({marked}, false);
    ExpectSameFiles();
    EXPECT_FALSE(Exists(Dir() + "staged/debug-v9-packet.txt"));
    EXPECT_EQ(ReadFile(Dir() + "staged/debug.txt"), "iFlowSetID=9");
}

}  // namespace

TEST_F(StagedTraceSinkTest, AnOutsizedTraceGivesItsMemoryBack) {
    netflowlib::StagedTraceSink sink(Dir() + "staged/debug-v9-packet.txt", Dir() + "staged/debug.txt");
    const std::size_t kept = sink.BufferCapacity();
    sink.BeginTrace(std::string(1000, 'h'));
    for (int i = 0; i < 4000; ++i) sink.Line(std::string(200, 'x') + "\r\n");
    EXPECT_GT(sink.BufferCapacity(), netflowlib::StagedTraceSink::kKeptCapacity);
    sink.Finish();
    EXPECT_EQ(ReadFile(Dir() + "staged/debug-v9-packet.txt").size(), 1000u + 4000u * 202u) << "written whole first";
    EXPECT_LE(sink.BufferCapacity(), netflowlib::StagedTraceSink::kKeptCapacity);

    // An ordinary trace keeps its buffer from datagram to datagram.
    sink.BeginTrace("h\r\n");
    sink.Line("l\r\n");
    sink.Finish();
    EXPECT_GE(sink.BufferCapacity(), kept);
    EXPECT_EQ(ReadFile(Dir() + "staged/debug-v9-packet.txt"), "h\r\nl\r\n");
}
