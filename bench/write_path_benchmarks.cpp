// Microseconds per datagram of the whole handler with its files written for real: the CSV
// appends, the staged trace and the markers, in a scratch directory. The window updates are
// dropped, so what is left is decoding and the write path.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "DatagramHandler.h"
#include "DatagramsBehindDouble.h"
#include "FullDatagrams.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/StagedTraceSink.h"

namespace {

using namespace testdatagrams;

class ScratchDirectory {
  public:
    ScratchDirectory() : Previous_(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "nfc-write-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        Path_ = pattern;
        std::filesystem::current_path(Path_);
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(Previous_);
        std::filesystem::remove_all(Path_);
    }

  private:
    std::filesystem::path Previous_;
    std::filesystem::path Path_;
};

// 0: version 5. 1: version 9, each datagram the last of its batch, so every one is traced.
// 2: version 9 with another one always queued behind, so only one trace per 100 ms is written.
void BM_WritePathPerDatagram(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    ScratchDirectory scratch;
    // Keeps nothing; like the window's channel it takes a flow as it is, without making its text.
    NoWindow window;
    CollectorCounters counters;
    DatagramHandler handler(window, counters, std::make_unique<netflowlib::StagedTraceSink>());
    netflowlib::ResetTemplateStore();
    const std::string packet = which == 0 ? V5ThirtyRecords() : V9ThirtyRecords();
    const FakeBehind behind = FakeBehind::Version9(which == 2);
    for (auto _ : state) handler.HandleDatagram(packet.data(), packet.size(), "192.0.2.1", behind);
    state.SetItemsProcessed(state.iterations() * kFullRecords);
    static const char* const kNames[] = {"v5, 30 records", "v9, 30 records, traced",
                                         "v9, 30 records, later one queued"};
    state.SetLabel(kNames[which]);
    state.counters["traces"] = static_cast<double>(counters.TracesWritten.Get());
}
BENCHMARK(BM_WritePathPerDatagram)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
