// What the exporter table costs the listener per datagram: the lookup, the sequence rules and the
// lock, alone and while a view copies the table, and how long one copy holds the lock.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ExporterTable.h"

namespace {

netflowlib::tNetflowHeader V5Header(std::uint32_t Sequence) {
    netflowlib::tNetflowHeader h;
    h.Version = 5;
    h.FlowSets = 30;
    h.Sys_Uptime = 3'600'000;
    h.UnixSeconds = 1'700'000'000;
    h.Flow_Sequence = Sequence;
    h.HeaderLength = 24;
    return h;
}

std::vector<std::string> Senders(int Count) {
    std::vector<std::string> senders;
    for (int i = 0; i < Count; ++i) {
        senders.push_back("10." + std::to_string(i / 65536 % 256) + "." + std::to_string(i / 256 % 256) + "." +
                          std::to_string(i % 256));
    }
    return senders;
}

constexpr std::size_t kV5Size = 24 + 30 * 48;

// As the handler calls it, the wall clock included.
void BM_ObserveOneExporter(benchmark::State& state) {
    ExporterTable table;
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.Observe("192.0.2.1", V5Header(sequence), kV5Size, 30, WallClockMs()));
        sequence += 30;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ObserveOneExporter);

// Datagrams from many exporters in turn: every one misses the last-hit shortcut and is looked up.
void BM_ObserveManyExporters(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    ExporterTable table;
    const std::vector<std::string> senders = Senders(count);
    std::vector<std::uint32_t> sequences(senders.size(), 0);
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t k = i++ % senders.size();
        benchmark::DoNotOptimize(table.Observe(senders[k], V5Header(sequences[k]), kV5Size, 30, WallClockMs()));
        sequences[k] += 30;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ObserveManyExporters)->Arg(16)->Arg(1024);

// Past the cap every datagram from a new sender evicts the least recently seen: the worst case.
void BM_ObserveBeyondTheCap(benchmark::State& state) {
    ExporterTable table;
    const std::vector<std::string> senders = Senders(4096);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.Observe(senders[i++ % senders.size()], V5Header(0), kV5Size, 30, WallClockMs()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ObserveBeyondTheCap);

// One exporter while the Exporters window copies a full table four times a second.
void BM_ObserveWhileAViewCopies(benchmark::State& state) {
    ExporterTable table;
    for (const std::string& sender : Senders(1023)) table.Observe(sender, V5Header(0), kV5Size, 30, WallClockMs());
    std::atomic<bool> stop{false};
    std::thread view([&] {
        std::vector<tExporterRow> rows;
        tExporterTotals totals;
        while (!stop) {
            table.Snapshot(rows, totals);
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    std::uint32_t sequence = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(table.Observe("192.0.2.1", V5Header(sequence), kV5Size, 30, WallClockMs()));
        sequence += 30;
    }
    stop = true;
    view.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ObserveWhileAViewCopies)->UseRealTime();

// How long the listener may wait on one copy.
void BM_SnapshotFullTable(benchmark::State& state) {
    ExporterTable table;
    for (const std::string& sender : Senders(1024)) table.Observe(sender, V5Header(0), kV5Size, 30, WallClockMs());
    std::vector<tExporterRow> rows;
    tExporterTotals totals;
    for (auto _ : state) {
        table.Snapshot(rows, totals);
        benchmark::DoNotOptimize(rows.data());
    }
    state.SetLabel("1024 exporters");
}
BENCHMARK(BM_SnapshotFullTable)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
