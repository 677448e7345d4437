#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "Counters.h"
#include "FlowRecord.h"

using FlowBatch = std::vector<FlowRecord>;

// Carries flow records from the listener thread (the one producer) to the aggregation thread (the
// one consumer) in whole batches, one per datagram. The listener never waits: publishing a batch
// is a swap of buffers and one atomic store; when every slot is taken the batch is dropped whole
// and counted. Buffers go round the ring and keep their capacity, so a steady flow allocates
// nothing.
class FlowHandOver {
  public:
    static constexpr std::size_t kDefaultSlots = 4096;
    // KeepBuffers false: a taken batch's memory is given back at once, so that a ring sized for a
    // long burst holds only what waits; the listener then allocates each batch once.
    explicit FlowHandOver(std::size_t Slots = kDefaultSlots, bool KeepBuffers = true);

    // Listener thread only.
    void Add(const FlowRecord& Record) { Current_.push_back(Record); }
    // Publishes what was added since the last call as one batch.
    void EndDatagram();
    // Whether a batch published now would be dropped: the listener then spares itself building
    // the records, and counts them with Skip.
    bool Full() const {
        return Head_.load(std::memory_order_relaxed) - Tail_.load(std::memory_order_acquire) >= Slots_.size();
    }
    void Skip(std::size_t Records);
    // After every receive batch: whether it was full. A full batch means that more was waiting in
    // the kernel than the listener takes at once, so it is behind, and background work keeps out
    // of its way until a batch that was not full shows it has caught up.
    void NoteBatch(bool Full) {
        if (Full) Backlogs_.fetch_add(1, std::memory_order_relaxed);
        if (Full != Behind_) {
            Behind_ = Full;
            BehindShared_.store(Full, std::memory_order_relaxed);
        }
    }

    // Consumer thread only: calls Each for every published batch, oldest first, at most
    // MaxBatches of them, and hands the buffers back. Returns the number of batches taken.
    std::size_t Drain(const std::function<void(const FlowBatch&)>& Each, std::size_t MaxBatches = SIZE_MAX);

    // Any thread.
    std::uint64_t BatchesDropped() const { return BatchesDropped_.Get(); }
    std::uint64_t RecordsDropped() const { return RecordsDropped_.Get(); }
    std::size_t Slots() const { return Slots_.size(); }
    // How often the listener was found behind since start, and whether it is now.
    std::uint64_t Backlogs() const { return Backlogs_.load(std::memory_order_relaxed); }
    bool ListenerBehind() const { return BehindShared_.load(std::memory_order_relaxed); }

  private:
    std::vector<FlowBatch> Slots_;
    FlowBatch Current_;
    const bool KeepBuffers_;
    std::size_t LastBatchSize_ = 0;  // listener only: what a fresh buffer is sized for
    // Batches published (written by the listener) and taken (written by the consumer); the slot
    // of batch n is n modulo the slot count.
    alignas(64) std::atomic<std::uint64_t> Head_{0};
    alignas(64) std::atomic<std::uint64_t> Tail_{0};
    std::atomic<std::uint64_t> Backlogs_{0};
    std::atomic<bool> BehindShared_{false};
    bool Behind_ = false;  // the listener's own copy, so that the shared one is written on change only
    Counter BatchesDropped_;
    Counter RecordsDropped_;
};
