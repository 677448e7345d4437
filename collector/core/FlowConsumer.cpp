#include "FlowConsumer.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

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

FlowConsumerThread::FlowConsumerThread(FlowHandOver& Source, FlowConsumer& Consumer, ConsumerPacing Pacing)
    : Source_(Source), Consumer_(Consumer), Pacing_(Pacing), Thread_([this] { Run(); }) {}

FlowConsumerThread::~FlowConsumerThread() { Stop(); }

void FlowConsumerThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(StopLock_);
        Stop_ = true;
    }
    Wake_.notify_all();
    if (Thread_.joinable()) Thread_.join();
}

std::size_t FlowConsumerThread::DrainRun() {
    std::lock_guard<std::mutex> lock(DrainLock_);
    Consumer_.BeginRun();
    const std::size_t taken = Source_.Drain(
        [this](const FlowBatch& Batch) {
            try {
                Consumer_.Consume(Batch);
            } catch (...) {
                // A consumer that fails on one batch must not end its thread: that batch is gone,
                // the next ones still come.
            }
        },
        std::max<std::size_t>(Pacing_.BatchesPerRun, 1));
    Consumer_.EndRun();
    return taken;
}

void FlowConsumerThread::DrainNow() {
    while (DrainRun() == std::max<std::size_t>(Pacing_.BatchesPerRun, 1)) {
    }
}

void FlowConsumerThread::Run() {
    if (Pacing_.IdlePriority) {
        sched_param lowest{};
        if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &lowest) != 0) {
            (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
        }
    } else if (Pacing_.Nice > 0) {
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), Pacing_.Nice);
    }
    // Priority alone does not keep a consumer out of the listener's way: the other processor may
    // be a sibling thread of the same core, whose every busy cycle slows the listener. So a
    // consumer may also keep to a share of one core, counted over each second; what waits longer
    // than the hand-over holds is dropped for that consumer only, and counted there.
    constexpr double kWindowNs = 1e9;
    const std::size_t perRun = std::max<std::size_t>(Pacing_.BatchesPerRun, 1);
    // Nor should it run while the listener is behind: a socket queue that has once grown past what
    // the processor's caches hold makes every datagram dearer to take, and the listener may then
    // not catch up at all. A round is left out when the listener was found behind since the last
    // look, and cut short when it falls behind meanwhile.
    double windowStart = SteadyNs();
    double cpuAtStart = ThreadCpuNs();
    std::uint64_t backlogs = Source_.Backlogs();
    std::unique_lock<std::mutex> lock(StopLock_);
    while (!Stop_) {
        Wake_.wait_for(lock, std::chrono::milliseconds(std::max(Pacing_.PeriodMs, 1)), [this] { return Stop_; });
        lock.unlock();
        for (;;) {
            if (Pacing_.YieldToListener) {
                const std::uint64_t seen = Source_.Backlogs();
                // Also when it fell behind and caught up again between two looks.
                const bool listenerBehind = seen != backlogs || Source_.ListenerBehind();
                backlogs = seen;
                if (listenerBehind) break;
            }
            const double now = SteadyNs();
            if (now - windowStart > kWindowNs) {
                windowStart = now;
                cpuAtStart = ThreadCpuNs();
            }
            const bool withinShare = ThreadCpuNs() - cpuAtStart <= Pacing_.CoreShare * kWindowNs;
            if (!withinShare || DrainRun() < perRun) break;
        }
        lock.lock();
    }
    lock.unlock();
    if (Pacing_.DrainAtStop) DrainNow();
}
