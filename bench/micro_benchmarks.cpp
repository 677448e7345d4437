// Nanoseconds per flow of the decoders, the line builders and the whole datagram handler, and the
// cost of the version 9 packet trace written line by line against the staged trace.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "DatagramHandler.h"
#include "FlowLines.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"
#include "flowdecode/StagedTraceSink.h"
#include "TestDatagrams.h"

namespace {

using namespace testdatagrams;

constexpr int kRecords = 30;

std::string V5ThirtyRecords() {
    std::vector<V5Flow> flows(kRecords);
    for (int i = 0; i < kRecords; ++i) {
        flows[i].src = 0x0A000000u + static_cast<std::uint32_t>(i) * 7919u;
        flows[i].dst = 0xC0A80000u + static_cast<std::uint32_t>(i);
        flows[i].sport = static_cast<std::uint16_t>(1024 + i);
        flows[i].octets = 1000u * static_cast<std::uint32_t>(i + 1);
    }
    return V5Datagram(flows);
}

// The 18-field IPv4 template most exporters send, with 30 records.
std::string V9ThirtyRecords() {
    const std::vector<std::pair<unsigned, unsigned>> fields = {
        {8, 4}, {12, 4}, {7, 2}, {11, 2}, {4, 1}, {1, 4},  {2, 4},  {22, 4}, {21, 4},
        {6, 1}, {5, 1},  {10, 2}, {14, 2}, {15, 4}, {9, 1}, {13, 1}, {16, 2}, {17, 2}};
    std::string records;
    for (int i = 0; i < kRecords; ++i) {
        PutAddress(records, {10, 0, static_cast<unsigned>(i / 256), static_cast<unsigned>(i % 256)});
        PutAddress(records, {192, 168, 1, static_cast<unsigned>(i)});
        Put16(records, 1024 + i);
        Put16(records, 443);
        Put8(records, 6);
        Put32(records, 1500u * (i + 1));
        Put32(records, 10);
        Put32(records, 1000);
        Put32(records, 2000);
        Put8(records, 0x18);
        Put8(records, 0);
        Put16(records, 1);
        Put16(records, 2);
        PutAddress(records, {10, 255, 0, 1});
        Put8(records, 24);
        Put8(records, 24);
        Put16(records, 64512);
        Put16(records, 64513);
    }
    while (records.size() % 4) records += '\0';
    return V9Header(kRecords + 1) + V9Template(256, fields) + V9DataFlowset(256, records);
}

// Runs a benchmark in a scratch directory, so file-writing cases leave nothing behind.
class ScratchDirectory {
public:
    ScratchDirectory() : previous_(std::filesystem::current_path()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "nfc-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
        std::filesystem::current_path(path_);
    }
    ~ScratchDirectory() {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(path_);
    }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

void BM_DecodeV5Packet(benchmark::State& state) {
    const std::string packet = V5ThirtyRecords();
    netflowlib::tNetflowHeader header{};
    netflowlib::DecodeHeader(packet, header);
    netflowlib::tNetflowV5Records records{};
    for (auto _ : state) {
        netflowlib::DecodeV5Packet("", "192.0.2.1", packet, header, records);
        benchmark::DoNotOptimize(records);
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_DecodeV5Packet);

void BM_DecodeV9Packet(benchmark::State& state) {
    const bool trace = state.range(0) != 0;
    const std::string packet = V9ThirtyRecords();
    netflowlib::tNetflowHeader header{};
    netflowlib::DecodeHeader(packet, header);
    netflowlib::DiscardTraceSink sink;
    netflowlib::tNetflowV9Records records(netflowlib::kV9InitialSlots);
    netflowlib::ResetTemplateStore();
    for (auto _ : state) {
        benchmark::DoNotOptimize(netflowlib::DecodeV9Packet("", "192.0.2.1", packet, header, trace, records, sink));
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.SetLabel(trace ? "trace built, discarded" : "no trace");
}
BENCHMARK(BM_DecodeV9Packet)->Arg(0)->Arg(1);

// The trace as files: line by line (one open, append and close per line, the marker file replaced
// each time) against staged (the datagram's trace and last marker written once, atomically).
void BM_DecodeV9PacketTraceFiles(benchmark::State& state) {
    const bool staged = state.range(0) != 0;
    ScratchDirectory scratch;
    const std::string packet = V9ThirtyRecords();
    netflowlib::tNetflowHeader header{};
    netflowlib::DecodeHeader(packet, header);
    netflowlib::FileTraceSink direct;
    netflowlib::StagedTraceSink stagedSink;
    netflowlib::PacketTraceSink& sink = staged ? static_cast<netflowlib::PacketTraceSink&>(stagedSink) : direct;
    netflowlib::tNetflowV9Records records(netflowlib::kV9InitialSlots);
    netflowlib::ResetTemplateStore();
    for (auto _ : state) {
        benchmark::DoNotOptimize(netflowlib::DecodeV9Packet("", "192.0.2.1", packet, header, true, records, sink));
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.SetLabel(staged ? "staged" : "line by line");
}
BENCHMARK(BM_DecodeV9PacketTraceFiles)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_LineBuilders(benchmark::State& state) {
    const std::string v5 = V5ThirtyRecords();
    const std::string v9 = V9ThirtyRecords();
    netflowlib::tNetflowHeader h5{}, h9{};
    netflowlib::DecodeHeader(v5, h5);
    netflowlib::DecodeHeader(v9, h9);
    netflowlib::tNetflowV5Records r5{};
    netflowlib::DecodeV5Packet("", "192.0.2.1", v5, h5, r5);
    netflowlib::tNetflowV9Records r9(netflowlib::kV9InitialSlots);
    netflowlib::DiscardTraceSink sink;
    netflowlib::ResetTemplateStore();
    netflowlib::DecodeV9Packet("", "192.0.2.1", v9, h9, false, r9, sink);
    const int which = static_cast<int>(state.range(0));
    std::size_t i = 0;
    for (auto _ : state) {
        const std::size_t slot = i++ % kRecords;
        switch (which) {
            case 0: benchmark::DoNotOptimize(flowlines::V5DisplayLine(r5[slot], ",")); break;
            case 1: benchmark::DoNotOptimize(flowlines::V5CsvLine(r5[slot])); break;
            case 2: benchmark::DoNotOptimize(flowlines::V9DisplayLine(r9[slot], ",")); break;
            default: benchmark::DoNotOptimize(flowlines::V9CsvLine(r9[slot])); break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    static const char* const kNames[] = {"v5 display", "v5 csv", "v9 display", "v9 csv"};
    state.SetLabel(kNames[which]);
}
BENCHMARK(BM_LineBuilders)->DenseRange(0, 3);

// The whole handler as the listener calls it, with the window updates dropped: decoding, the
// staged trace, the header captions and 30 CSV appends (one open, append and close each).
class NullWindow : public WindowUpdates {
public:
    void SetCaption(Caption, std::string_view) override {}
    void AddMemoLine(std::string_view) override {}
    void Beep() override {}
};

void BM_DatagramHandler(benchmark::State& state) {
    const bool v9 = state.range(0) != 0;
    ScratchDirectory scratch;
    NullWindow window;
    DatagramHandler handler(window, std::make_unique<netflowlib::StagedTraceSink>());
    netflowlib::ResetTemplateStore();
    const std::string packet = v9 ? V9ThirtyRecords() : V5ThirtyRecords();
    for (auto _ : state) handler.HandleDatagram(packet.data(), packet.size(), "192.0.2.1");
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.SetLabel(v9 ? "v9, 30 records" : "v5, 30 records");
}
BENCHMARK(BM_DatagramHandler)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
