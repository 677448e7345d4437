#include "FlowHandOver.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <utility>

#include "TrafficAggregator.h"

FlowHandOver::FlowHandOver(std::size_t Slots) : Slots_(Slots < 1 ? 1 : Slots) {}

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
    std::swap(Current_, Slots_[head % Slots_.size()]);
    Head_.store(head + 1, std::memory_order_release);
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
        batch.clear();
        Tail_.store(tail + 1, std::memory_order_release);
    }
    return taken;
}

TrafficWorker::TrafficWorker(FlowHandOver& Source, SharedTraffic& Target, int PeriodMs)
    : Source_(Source), Target_(Target), PeriodMs_(PeriodMs < 1 ? 1 : PeriodMs), Thread_([this] { Run(); }) {}

TrafficWorker::~TrafficWorker() {
    {
        std::lock_guard<std::mutex> lock(StopLock_);
        Stop_ = true;
    }
    Wake_.notify_all();
    Thread_.join();
}

std::size_t TrafficWorker::DrainChunk() {
    // The shared lock also makes the hand-over's consumer side one at a time, whoever calls.
    std::lock_guard<std::mutex> lock(Target_.Lock);
    return Source_.Drain(
        [this](const FlowBatch& Batch) {
            if (Target_.Aggregator != nullptr) Target_.Aggregator->Add(Batch);
        },
        kBatchesPerLock);
}

void TrafficWorker::DrainNow() {
    while (DrainChunk() == kBatchesPerLock) {
    }
}

namespace {

double ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double SteadyNs() {
    return static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

void TrafficWorker::Run() {
    sched_param lowest{};
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest) != 0) {
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
    }
    // Priority alone does not keep the aggregation out of the listener's way: the other processor
    // may be a sibling thread of the same core, whose every busy cycle slows the listener. So it
    // also keeps to a share of one core, counted over each second; what waits longer than the
    // hand-over holds is dropped from the Traffic views and counted there.
    constexpr double kCoreShare = 0.25;
    constexpr double kWindowNs = 1e9;
    // Nor does it run while the listener is behind: a socket queue that has once grown past what
    // the processor's caches hold makes every datagram dearer to take, and the listener may then
    // not catch up at all. A round is left out when the listener was found behind since the last
    // look, and cut short when it falls behind meanwhile.
    double windowStart = SteadyNs();
    double cpuAtStart = ThreadCpuNs();
    std::uint64_t backlogs = Source_.Backlogs();
    std::unique_lock<std::mutex> lock(StopLock_);
    while (!Stop_) {
        Wake_.wait_for(lock, std::chrono::milliseconds(PeriodMs_), [this] { return Stop_; });
        lock.unlock();
        for (;;) {
            const std::uint64_t seen = Source_.Backlogs();
            // Also when it fell behind and caught up again between two looks.
            const bool listenerBehind = seen != backlogs || Source_.ListenerBehind();
            backlogs = seen;
            if (listenerBehind) break;
            const double now = SteadyNs();
            if (now - windowStart > kWindowNs) {
                windowStart = now;
                cpuAtStart = ThreadCpuNs();
            }
            const bool withinShare = ThreadCpuNs() - cpuAtStart <= kCoreShare * kWindowNs;
            if (!withinShare || DrainChunk() < kBatchesPerLock) break;
        }
        lock.lock();
    }
}
