// How fast can flow lines be stored when each one is its own open, append and close of the
// day's file? A full version 5 datagram is 30 such cycles; the rate measured here is the ceiling
// for a collector that keeps to that rule, whatever else it does.
//
// Usage: csv_contract [--dir=DIRECTORY] [benchmark flags]. DIRECTORY should lie on the same
// file system as the collector under test (default: the current directory).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/TextFiles.h"

namespace {

constexpr int kFlowsPerDatagram = 30;

std::string gDirectory = ".";

// A typical version 5 line: 62 bytes with its CR LF.
const std::string kLine = "1796806400,4294937296,10.0.0.1,14530,192.168.44.38,25,6,498013\r\n";

std::string FreshFile(const char* name) {
    const std::string path = gDirectory + "/" + name;
    ::unlink(path.c_str());
    return path;
}

void ReportRates(benchmark::State& state) {
    const auto datagrams = static_cast<double>(state.iterations());
    state.counters["datagrams/s"] = benchmark::Counter(datagrams, benchmark::Counter::kIsRate);
    state.counters["flows/s"] = benchmark::Counter(datagrams * kFlowsPerDatagram, benchmark::Counter::kIsRate);
}

// One cycle as the floor measures it, optionally with the cheapest form of the writer's "does the
// file still exist after closing" check (fstat on the open descriptor).
bool AppendCycle(const std::string& Path, bool CheckExists) {
    const int fd = ::open(Path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, kLine.data(), kLine.size()) == static_cast<ssize_t>(kLine.size());
    if (CheckExists) {
        struct stat st;
        ok = ::fstat(fd, &st) == 0 && st.st_nlink > 0 && ok;
    }
    return ::close(fd) == 0 && ok;
}

// The floor itself: open (creating if needed) for appending, write the line, close.
void BM_ContractFloor(benchmark::State& state) {
    const std::string path = FreshFile("NetFlow-contract-floor.csv");
    const bool checkExists = state.range(0) != 0;
    for (auto _ : state) {
        for (int r = 0; r < kFlowsPerDatagram; ++r) {
            if (!AppendCycle(path, checkExists)) {
                state.SkipWithError(std::strerror(errno));
                return;
            }
        }
    }
    state.SetLabel(checkExists ? "with the existence check" : "open, append, close");
    ReportRates(state);
    ::unlink(path.c_str());
}
BENCHMARK(BM_ContractFloor)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The project's own writer on the same work, as the collector calls it for flow lines (whose
// result it ignores), to show what it adds to the floor.
void BM_AppendToTextFile(benchmark::State& state) {
    const std::string path = FreshFile("NetFlow-contract-writer.csv");
    for (auto _ : state) {
        for (int r = 0; r < kFlowsPerDatagram; ++r) {
            if (!brix32::AppendToTextFile(kLine, path, true, brix32::AfterClose::Skip)) {
                state.SkipWithError("AppendToTextFile failed");
                return;
            }
        }
    }
    ReportRates(state);
    ::unlink(path.c_str());
}
BENCHMARK(BM_AppendToTextFile)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--dir=", 0) == 0) {
            gDirectory = arg.substr(6);
        } else {
            std::fprintf(stderr, "csv_contract: unknown argument '%s'\n", argv[i]);
            return 2;
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
