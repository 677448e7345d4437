#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>

#include "FlowHandOver.h"

// Whatever does something with every flow besides the files: the Traffic aggregation, a store, an
// external database. It is handed whole batches, one per datagram, on a thread of its own, never
// on the listener's.
class FlowConsumer {
  public:
    virtual ~FlowConsumer() = default;
    // Batches come in runs; a consumer may take a lock or open a transaction for a whole run.
    virtual void BeginRun() {}
    virtual void Consume(const FlowBatch& Batch) = 0;
    virtual void EndRun() {}
};

// How hard a consumer's thread may press on the machine that the listener shares with it.
struct ConsumerPacing {
    int PeriodMs = 20;               // how often it looks for batches
    std::size_t BatchesPerRun = 64;  // the most taken between BeginRun and EndRun
    double CoreShare = 1.0;          // of one core, counted over each second
    bool IdlePriority = false;       // runs only when nothing else wants the processor
    int Nice = 0;                    // above 0: yields most of a shared core to ordinary threads
    bool YieldToListener = false;    // pauses while the listener is behind
    bool DrainAtStop = true;         // takes what is still waiting before it ends
};

// The thread between a hand-over and its consumer.
class FlowConsumerThread {
  public:
    FlowConsumerThread(FlowHandOver& Source, FlowConsumer& Consumer, ConsumerPacing Pacing = {});
    ~FlowConsumerThread();
    FlowConsumerThread(const FlowConsumerThread&) = delete;
    FlowConsumerThread& operator=(const FlowConsumerThread&) = delete;

    // Ends the thread; with DrainAtStop, after it has passed on what the hand-over holds.
    void Stop();
    // Passes on whatever is waiting, on the calling thread (tests, and the last pass at stop).
    void DrainNow();

  private:
    void Run();
    // Passes on up to BatchesPerRun batches; returns how many.
    std::size_t DrainRun();

    FlowHandOver& Source_;
    FlowConsumer& Consumer_;
    const ConsumerPacing Pacing_;
    std::mutex DrainLock_;  // one drainer at a time: the thread, or DrainNow
    std::mutex StopLock_;
    std::condition_variable Wake_;
    bool Stop_ = false;  // guarded by StopLock_
    std::thread Thread_;
};
