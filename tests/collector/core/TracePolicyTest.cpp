#include <gtest/gtest.h>

#include <memory>

#include "RecordingSink.h"
#include "SeamDoubles.h"
#include "TracePolicy.h"

namespace {

class TracePolicyTest : public ::testing::Test {
  protected:
    // What the decoder does with one version 9 datagram.
    void Decode(bool LaterV9Queued, const char* Marker = nullptr) {
        const bool traced = policy.BeginDatagram(LaterV9Queued);
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

}  // namespace
