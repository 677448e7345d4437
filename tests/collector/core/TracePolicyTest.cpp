#include <gtest/gtest.h>

#include <memory>

#include "DatagramsBehindDouble.h"
#include "RecordingSink.h"
#include "SeamDoubles.h"
#include "TracePolicy.h"

namespace {

class TracePolicyTest : public ::testing::Test {
  protected:
    // What the decoder does with one version 9 datagram.
    void Decode(bool LaterV9Queued, const char* Marker = nullptr) {
        const bool traced = policy.BeginDatagram(FakeBehind::Version9(LaterV9Queued));
        if (traced) policy.BeginTrace("header\r\n");
        if (traced) policy.Line("line\r\n");
        if (Marker != nullptr) policy.Marker(Marker);
        policy.Finish();
    }

    FakeClock clock;
    CollectorCounters counters;
    RecordingSink* files = new RecordingSink;
    TracePolicy policy{std::unique_ptr<netflowlib::PacketTraceSink>(files), clock, counters};
};

TEST_F(TracePolicyTest, OnlyATraceThatWouldBeReplacedUnreadIsSkipped) {
    Decode(true);  // the very first trace is always written
    EXPECT_EQ(files->Begins, 1);
    Decode(true);
    Decode(true);
    EXPECT_EQ(files->Begins, 1);
    EXPECT_EQ(counters.TracesSkipped.Get(), 2u);
    // The last of a burst is always traced.
    Decode(false);
    EXPECT_EQ(files->Begins, 2);

    // While the flood goes on, the file is refreshed once the last trace is 100 ms old.
    clock.Advance(0.099);
    Decode(true);
    EXPECT_EQ(files->Begins, 2);
    clock.Advance(0.001);
    Decode(true);
    EXPECT_EQ(files->Begins, 3);
    // A clock set back does not freeze the trace.
    clock.Advance(-60);
    Decode(true);
    EXPECT_EQ(files->Begins, 4);
    EXPECT_EQ(counters.TracesWritten.Get(), 4u);
    EXPECT_EQ(counters.TracesSkipped.Get(), 3u);
    EXPECT_EQ(files->Finishes, 4);
}

TEST_F(TracePolicyTest, MarkersOfSkippedDatagramsReachTheFilesByTheEndOfTheBatch) {
    Decode(false);
    Decode(true, "1400");
    Decode(true, "iFlowSetID=5");
    // Held with the files' sink, not yet written.
    EXPECT_EQ(files->Finishes, 1);
    ASSERT_EQ(files->Markers.size(), 2u);
    EXPECT_EQ(files->Markers.back(), "iFlowSetID=5");
    policy.BatchEnded();
    EXPECT_EQ(files->Finishes, 2);
    // Nothing is held any more, so an idle end of batch writes nothing.
    policy.BatchEnded();
    EXPECT_EQ(files->Finishes, 2);

    // A traced datagram takes a held marker along with its own trace.
    Decode(true, "1400");
    Decode(false);
    EXPECT_EQ(files->Finishes, 3);
    policy.BatchEnded();
    EXPECT_EQ(files->Finishes, 3);
}

// Only a version 9 successor replaces the trace: any other datagram behind, in the batch or still
// in the kernel, leaves it to be read.
TEST(TracePolicyLookingBehind, OnlyAVersion9SuccessorCounts) {
    const std::string v5("\x00\x05\x00\x01", 4), v9("\x00\x09\x00\x01", 4), ipfix("\x00\x0a\x00\x10", 4);
    EXPECT_FALSE(TracePolicy::LaterVersion9Queued(FakeBehind()));
    EXPECT_FALSE(TracePolicy::LaterVersion9Queued(FakeBehind({v5, ipfix, std::string("\x00", 1), ""})));
    EXPECT_TRUE(TracePolicy::LaterVersion9Queued(FakeBehind({v5, v9})));
    EXPECT_TRUE(TracePolicy::LaterVersion9Queued(FakeBehind({v9}, /*InSameBatch=*/false)));
}

}  // namespace
