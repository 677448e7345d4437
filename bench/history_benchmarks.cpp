// What the flow history costs its two threads: flows per second into the raw day files (one
// transaction a second, as the collector runs it) and into the minute and hour summaries. The
// collector's own rates with the history on come from the load runs (bench/run-bench.sh).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "HistoryStore.h"

namespace {

namespace fs = std::filesystem;

std::int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A load test's traffic at 500,000 flows/s: every flow a new address pair, as nf-loadgen sends it,
// so that the top tables of the summaries meet their key bounds within every minute.
FlowBatch Batch(std::uint64_t& N, std::int64_t T0) {
    FlowBatch batch(30);
    for (FlowRecord& r : batch) {
        ++N;
        r.ReceivedMs = r.StartMs = r.EndMs = T0 + static_cast<std::int64_t>(N / 500);
        r.Exporter = FlowAddress::FromIPv4(0x7F000001u);
        r.Source = FlowAddress::FromIPv4(0x0A000000u + static_cast<std::uint32_t>(N * 2654435761u % 16777216u));
        r.Destination = FlowAddress::FromIPv4(0xC0A80000u + static_cast<std::uint32_t>(N % 65536));
        r.SourcePort = static_cast<std::uint16_t>(1024 + N % 60000);
        r.DestinationPort = static_cast<std::uint16_t>(N % 7 == 0 ? 53 : 443);
        r.Protocol = N % 7 == 0 ? 17 : 6;
        r.Bytes = 40 + N % 1500;
        r.Packets = 1 + N % 20;
        r.InputIf = static_cast<std::uint32_t>(N % 4);
        r.OutputIf = 9;
        r.Version = 5;
    }
    return batch;
}

// Runs one consumer over batches of 30 flows as its thread would: runs of 1,024 batches.
void Ingest(benchmark::State& State, bool Raw) {
    const fs::path dir = fs::temp_directory_path() / ("history-bench-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    std::uint64_t flows = 0;
    {
        // The writers' clock follows the flows, a second behind the newest, as in the collector.
        const std::int64_t t0 = WallMs();
        std::int64_t now = t0;
        history::HistoryOptions options;
        options.NowMs = [&now] { return now; };
        options.Say = [](const std::string&) {};
        history::HistoryStore store(dir.string(), options);
        FlowConsumer& consumer = Raw ? store.RawConsumer() : store.SummaryConsumer();
        std::uint64_t n = 0;
        std::vector<FlowBatch> run;
        for (auto _ : State) {
            State.PauseTiming();
            run.clear();
            for (int i = 0; i < 1024; ++i) run.push_back(Batch(n, t0));
            now = run.back().back().ReceivedMs;
            State.ResumeTiming();
            consumer.BeginRun();
            for (const FlowBatch& b : run) consumer.Consume(b);
            consumer.EndRun();
            flows += 1024 * 30;
        }
        store.FlushNow();
    }
    State.counters["flows/s"] = benchmark::Counter(static_cast<double>(flows), benchmark::Counter::kIsRate);
    std::uint64_t bytes = 0;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) bytes += e.file_size();
    State.counters["bytes/flow"] = static_cast<double>(bytes) / static_cast<double>(flows);
    fs::remove_all(dir);
}

void BM_RawStore(benchmark::State& State) { Ingest(State, true); }
void BM_Summaries(benchmark::State& State) { Ingest(State, false); }

BENCHMARK(BM_RawStore)->MinTime(5.0)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Summaries)->MinTime(5.0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
