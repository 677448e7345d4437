#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FlowHandOver.h"
#include "TrafficAggregator.h"

namespace {

FlowRecord Numbered(std::uint64_t N) {
    FlowRecord r;
    r.ReceivedMs = 1700000000000;
    r.Bytes = N;
    r.Source = FlowAddress::FromIPv4(static_cast<std::uint32_t>(N));
    return r;
}

std::vector<std::vector<std::uint64_t>> DrainAll(FlowHandOver& H) {
    std::vector<std::vector<std::uint64_t>> batches;
    H.Drain([&](const FlowBatch& b) {
        std::vector<std::uint64_t> ids;
        for (const FlowRecord& r : b) ids.push_back(r.Bytes);
        batches.push_back(ids);
    });
    return batches;
}

// A long ring that gives its memory back holds only what waits: after a thousand batches went round
// a ring of 64, no slot keeps a buffer, and every batch still arrives whole and in order.
TEST(FlowHandOverTest, ARingThatGivesMemoryBackKeepsOnlyWhatWaits) {
    FlowHandOver h(64, false);
    std::uint64_t next = 1;
    std::uint64_t expected = 1;
    std::size_t maxCapacity = 0;
    for (int round = 0; round < 1000; ++round) {
        for (int i = 0; i < 30; ++i) h.Add(Numbered(next++));
        h.EndDatagram();
        h.Drain([&](const FlowBatch& b) {
            if (round > 0) maxCapacity = std::max(maxCapacity, b.capacity());
            for (const FlowRecord& r : b) EXPECT_EQ(r.Bytes, expected++);
        });
    }
    EXPECT_EQ(expected, next);
    // After the first, one allocation per batch, sized by the one before, not grown record by record.
    EXPECT_EQ(maxCapacity, 30u);
    std::size_t held = 0;
    h.Drain([&](const FlowBatch& b) { held += b.capacity(); });
    EXPECT_EQ(held, 0u);
}

TEST(FlowHandOverTest, WholeBatchesInOrderAndWholeBatchesDroppedWhenFull) {
    FlowHandOver h(2);
    h.EndDatagram();  // a datagram without flows is no batch
    h.Add(Numbered(1));
    h.Add(Numbered(2));
    h.EndDatagram();
    h.Add(Numbered(3));
    h.EndDatagram();
    // Both slots are taken and nobody drains: the listener goes on and the third batch is lost whole.
    h.Add(Numbered(4));
    h.Add(Numbered(5));
    h.EndDatagram();
    EXPECT_EQ(h.BatchesDropped(), 1u);
    EXPECT_EQ(h.RecordsDropped(), 2u);
    EXPECT_EQ(DrainAll(h), (std::vector<std::vector<std::uint64_t>>{{1, 2}, {3}}));
    EXPECT_TRUE(DrainAll(h).empty());

    // Drained slots are free again, and the buffers that went round start empty.
    for (std::uint64_t n = 6; n <= 7; ++n) {
        h.Add(Numbered(n));
        h.EndDatagram();
    }
    EXPECT_EQ(DrainAll(h), (std::vector<std::vector<std::uint64_t>>{{6}, {7}}));
    EXPECT_EQ(h.BatchesDropped(), 1u);
}

TEST(FlowHandOverTest, ConcurrentProducerLosesNothingButWhatItCounted) {
    // The listener never waits for the consumer; whatever arrives is whole, in order, and together
    // with what was counted as dropped accounts for every record.
    FlowHandOver h(8);
    constexpr std::uint64_t kBatches = 20000;
    std::thread producer([&] {
        for (std::uint64_t b = 0; b < kBatches; ++b) {
            h.Add(Numbered(b * 3));
            h.Add(Numbered(b * 3 + 1));
            h.Add(Numbered(b * 3 + 2));
            h.EndDatagram();
        }
    });
    std::uint64_t received = 0;
    std::uint64_t last = 0;
    bool inOrder = true;
    auto take = [&](const FlowBatch& batch) {
        if (batch.size() != 3 || batch[1].Bytes != batch[0].Bytes + 1 || batch[2].Bytes != batch[0].Bytes + 2)
            inOrder = false;
        if (received > 0 && batch[0].Bytes <= last) inOrder = false;
        last = batch[0].Bytes;
        received += batch.size();
    };
    while (received + h.RecordsDropped() < kBatches * 3) h.Drain(take);
    producer.join();
    h.Drain(take);
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(received + h.RecordsDropped(), kBatches * 3);
    EXPECT_EQ(h.RecordsDropped(), h.BatchesDropped() * 3);
}

// The Traffic aggregation's own pacing, looking every millisecond so that the tests need not wait.
ConsumerPacing QuickTrafficPacing() {
    ConsumerPacing pacing = TrafficFeed::Pacing();
    pacing.PeriodMs = 1;
    return pacing;
}

// Threads of this process that run at the idle scheduling class.
int IdleThreads() {
    int idle = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const int policy = sched_getscheduler(std::stoi(task.path().filename().string()));
        if (policy == SCHED_IDLE) ++idle;
    }
    return idle;
}

TEST(FlowHandOverTest, WorkerAppliesBatchesToTheSharedAggregatorAtIdlePriority) {
    FlowHandOver h;
    TrafficAggregator aggregator;
    SharedTraffic shared;
    shared.Aggregator = &aggregator;
    const int idleBefore = IdleThreads();
    {
        TrafficFeed feed(shared);
        FlowConsumerThread worker(h, feed, QuickTrafficPacing());
        // More batches than one hold of the lock takes.
        for (std::uint64_t n = 1; n <= 1000; ++n) {
            h.Add(Numbered(n));
            h.EndDatagram();
        }
        worker.DrainNow();
        {
            std::lock_guard<std::mutex> lock(shared.Lock);
            EXPECT_EQ(aggregator.FlowsAdded(), 1000u);
            EXPECT_EQ(aggregator.SpanTotals(60).Bytes, 500500u);
        }
        // The listener and the files go first when processor time runs short.
        for (int wait = 0; wait < 500 && IdleThreads() == idleBefore; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(IdleThreads(), idleBefore + 1);
    }  // the worker stops by itself
}

// The listener goes first: while its last receive batch was full, nothing is aggregated, and once a
// batch that was not full shows it has caught up, what waited is taken.
TEST(FlowHandOverTest, WorkerKeepsOutOfTheWayWhileTheListenerIsBehind) {
    FlowHandOver h;
    TrafficAggregator aggregator;
    SharedTraffic shared;
    shared.Aggregator = &aggregator;
    const auto added = [&] {
        std::lock_guard<std::mutex> lock(shared.Lock);
        return aggregator.FlowsAdded();
    };
    TrafficFeed feed(shared);
    FlowConsumerThread worker(h, feed, QuickTrafficPacing());
    h.NoteBatch(true);
    for (std::uint64_t n = 1; n <= 100; ++n) {
        h.Add(Numbered(n));
        h.EndDatagram();
    }
    h.NoteBatch(true);
    // Many of the worker's rounds.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(added(), 0u);
    EXPECT_TRUE(h.ListenerBehind());

    h.NoteBatch(false);
    EXPECT_FALSE(h.ListenerBehind());
    for (int wait = 0; wait < 500 && added() < 100; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(added(), 100u);
    EXPECT_EQ(h.Backlogs(), 2u);
}

// A consumer that keeps what it is given (a store) takes every batch still waiting when it is
// stopped, and one that fails on a batch goes on with the next.
TEST(FlowHandOverTest, AStoppedConsumerTakesWhatWaitsAndSurvivesItsOwnFailures) {
    struct Keeper : FlowConsumer {
        std::vector<std::uint64_t> Kept;
        int Runs = 0;
        int Open = 0;
        void BeginRun() override { ++Open; }
        void Consume(const FlowBatch& Batch) override {
            if (Batch.front().Bytes == 13) throw std::runtime_error("unlucky");
            for (const FlowRecord& r : Batch) Kept.push_back(r.Bytes);
        }
        void EndRun() override {
            --Open;
            ++Runs;
        }
    } keeper;
    FlowHandOver h;
    ConsumerPacing slow;
    slow.PeriodMs = 60'000;  // only the stop drains
    slow.BatchesPerRun = 7;
    {
        FlowConsumerThread thread(h, keeper, slow);
        for (std::uint64_t n = 1; n <= 40; ++n) {
            h.Add(Numbered(n));
            h.EndDatagram();
        }
    }
    std::vector<std::uint64_t> expected;
    for (std::uint64_t n = 1; n <= 40; ++n) {
        if (n != 13) expected.push_back(n);
    }
    EXPECT_EQ(keeper.Kept, expected);
    EXPECT_EQ(keeper.Open, 0);
    EXPECT_GE(keeper.Runs, 6);
}

// A listener that finds no room spares itself the records and counts them as one dropped batch.
TEST(FlowHandOverTest, SkippedRecordsCountAsOneDroppedBatch) {
    FlowHandOver h(1);
    EXPECT_FALSE(h.Full());
    h.Add(Numbered(1));
    h.EndDatagram();
    EXPECT_TRUE(h.Full());
    h.Skip(30);
    h.Skip(0);  // a datagram without flows drops nothing
    EXPECT_EQ(h.BatchesDropped(), 1u);
    EXPECT_EQ(h.RecordsDropped(), 30u);
    EXPECT_EQ(DrainAll(h), (std::vector<std::vector<std::uint64_t>>{{1}}));
    EXPECT_FALSE(h.Full());
}

}  // namespace
