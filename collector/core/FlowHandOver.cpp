#include "FlowHandOver.h"

#include <algorithm>
#include <utility>

FlowHandOver::FlowHandOver(std::size_t Slots, bool KeepBuffers)
    : Slots_(Slots < 1 ? 1 : Slots), KeepBuffers_(KeepBuffers) {}

void FlowHandOver::EndDatagram() {
    if (Current_.empty()) return;
    if (Full()) {
        Skip(Current_.size());
        Current_.clear();
        return;
    }
    const std::uint64_t head = Head_.load(std::memory_order_relaxed);
    // The slot's buffer was emptied by the consumer before it advanced the tail; it becomes the
    // listener's next batch.
    LastBatchSize_ = Current_.size();
    std::swap(Current_, Slots_[head % Slots_.size()]);
    Head_.store(head + 1, std::memory_order_release);
    if (Current_.capacity() == 0) Current_.reserve(LastBatchSize_);
}

void FlowHandOver::Skip(std::size_t Records) {
    if (Records == 0) return;
    BatchesDropped_.Add();
    RecordsDropped_.Add(Records);
}

std::size_t FlowHandOver::Drain(const std::function<void(const FlowBatch&)>& Each, std::size_t MaxBatches) {
    std::uint64_t tail = Tail_.load(std::memory_order_relaxed);
    const std::uint64_t published = Head_.load(std::memory_order_acquire);
    const std::uint64_t head = tail + std::min<std::uint64_t>(published - tail, MaxBatches);
    const std::size_t taken = static_cast<std::size_t>(head - tail);
    for (; tail != head; ++tail) {
        FlowBatch& batch = Slots_[tail % Slots_.size()];
        Each(batch);
        if (KeepBuffers_) {
            batch.clear();
        } else {
            FlowBatch().swap(batch);
        }
        Tail_.store(tail + 1, std::memory_order_release);
    }
    return taken;
}
