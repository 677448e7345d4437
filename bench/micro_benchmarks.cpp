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
#include "FullDatagrams.h"
#include "TestDatagrams.h"
#include "flowdecode/DecodeServices.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"
#include "flowdecode/StagedTraceSink.h"
#include "flowdecode/Templates.h"
#include "support/Seams.h"

namespace {

using namespace testdatagrams;

constexpr int kRecords = kFullRecords;

// Datagrams built to cost as much as one datagram of at most 8000 bytes can, each against the bounds
// on records, trace and templates. Index 0 is the full ordinary one they are measured against.
const char* const kHostileNames[] = {"normal 30 x 18 fields",
                                     "29 zero-length fields + 1 byte",
                                     "1 field of 1 byte",
                                     "30 fields of 1 byte",
                                     "4-byte flowsets, no template",
                                     "template flood",
                                     "unlisted types, 1 marker/field",
                                     "reserved ids, 1 marker/flowset"};
constexpr int kHostileCases = 8;

std::string FillTo8000(std::string datagram, unsigned flowsetId, unsigned fillByte) {
    const std::size_t room = 8000 - datagram.size() - 4;
    return datagram + V9DataFlowset(flowsetId, std::string(room - room % 4, static_cast<char>(fillByte)));
}

std::string HostileDatagram(int which) {
    std::vector<std::pair<unsigned, unsigned>> fields;
    switch (which) {
        case 0:
            return V9ThirtyRecords();
        case 1:
            fields.assign(29, {1, 0});
            fields.push_back({4, 1});
            return FillTo8000(V9Header(2) + V9Template(256, fields), 256, 6);
        case 2:
            return FillTo8000(V9Header(2) + V9Template(256, {{4, 1}}), 256, 6);
        case 3:
            fields.assign(30, {4, 1});
            return FillTo8000(V9Header(2) + V9Template(256, fields), 256, 6);
        case 4: {
            std::string s = V9Header(0);
            while (s.size() + 4 <= 8000) s += V9DataFlowset(300 + (s.size() % 1000), "");
            return s;
        }
        case 5: {
            std::string body;
            for (unsigned id = 256; body.size() + 12 <= 8000 - 24; ++id) {
                Put16(body, id);
                Put16(body, 2);
                Put32(body, (8u << 16) | 4u);
                Put32(body, (12u << 16) | 4u);
            }
            std::string s = V9Header(0);
            Put16(s, 0);
            Put16(s, static_cast<unsigned>(body.size() + 4));
            return s + body;
        }
        case 6:
            fields.assign(30, {5000, 1});
            return FillTo8000(V9Header(2) + V9Template(256, fields), 256, 6);
        default: {
            std::string s = V9Header(0);
            while (s.size() + 4 <= 8000) s += V9DataFlowset(7, "");
            return s;
        }
    }
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

// One datagram through the decoder as the collector runs it: the staged trace written to files, the
// default bounds.
void BM_DecodeV9Hostile(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    ScratchDirectory scratch;
    const std::string packet = HostileDatagram(which);
    netflowlib::tNetflowHeader header{};
    netflowlib::DecodeHeader(packet, header);
    netflowlib::StagedTraceSink sink;
    netflowlib::ExporterTemplateStore templates;
    const netflowlib::tDecodeServices services{sink, brix32::DefaultExceptionReporter(), templates,
                                               brix32::SystemClock()};
    netflowlib::tNetflowV9Records records(netflowlib::kV9InitialSlots);
    netflowlib::tV9Outcome outcome;
    for (auto _ : state) {
        templates.Clear();
        records.assign(netflowlib::kV9InitialSlots, {});
        outcome = netflowlib::DecodeV9Packet("", "192.0.2.1", packet, header, true, records, services);
        benchmark::DoNotOptimize(outcome.SlotsReached);
    }
    state.counters["records"] = outcome.RecordsDecoded;
    state.counters["cut"] = (outcome.RecordsCut ? 1 : 0) + (outcome.TraceCut ? 2 : 0);
    state.counters["refused"] = outcome.TemplatesRefused;
    state.SetLabel(kHostileNames[which]);
}
BENCHMARK(BM_DecodeV9Hostile)->DenseRange(0, kHostileCases - 1)->Unit(benchmark::kMicrosecond);

// One IPFIX message against a store that already holds the templates of 500 other exporters: 30
// flows under a template carried along (argument 0), or a template set of nothing but 1,994
// withdrawals of all templates (argument 1), as many as fit in 8000 bytes. The second must not cost
// a walk through the store per withdrawal.
void BM_DecodeIpfixWithdrawAll(benchmark::State& state) {
    const bool withdrawals = state.range(0) != 0;
    constexpr int kWithdrawals = 1994;
    const std::string packet = withdrawals
                                   ? fixtures::IpfixMessage(fixtures::Flowset(
                                         2, fixtures::Repeat(fixtures::U16(2) + fixtures::U16(0), kWithdrawals)))
                                   : fixtures::IpfixThirtyIpv4Records();
    netflowlib::DiscardTraceSink sink;
    const netflowlib::tDecodeServices services = netflowlib::DefaultDecodeServices(sink);
    netflowlib::IpfixTemplateStore store;
    netflowlib::tIpfixTemplate other;
    other.MinRecordLength = 4;
    for (int exporter = 0; exporter < 500; ++exporter) {
        const std::string sender = "198.51." + std::to_string(exporter / 256) + "." + std::to_string(exporter % 256);
        for (std::uint16_t id : {256, 257}) {
            other.TemplateID = id;
            store.Store(sender, 0, other);
        }
    }
    netflowlib::tNetflowV9Records records(netflowlib::kV9InitialSlots);
    for (auto _ : state) {
        netflowlib::tNetflowHeader header;
        netflowlib::DecodeHeader(packet, header, services);
        benchmark::DoNotOptimize(
            netflowlib::DecodeIpfixPacket("", "192.0.2.1", packet, header, records, services, store));
    }
    state.SetLabel(withdrawals ? "1994 withdraw-all records" : "normal, 30 records");
}
BENCHMARK(BM_DecodeIpfixWithdrawAll)->Arg(0)->Arg(1);

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
            case 0:
                benchmark::DoNotOptimize(flowlines::V5DisplayLine(r5[slot], ","));
                break;
            case 1:
                benchmark::DoNotOptimize(flowlines::V5CsvLine(r5[slot]));
                break;
            case 2:
                benchmark::DoNotOptimize(flowlines::V9DisplayLine(r9[slot], ","));
                break;
            default:
                benchmark::DoNotOptimize(flowlines::V9CsvLine(r9[slot]));
                break;
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

// Argument 0: version 5; 1 to kHostileCases: the version 9 datagrams above (1 being the ordinary
// one), each carrying its own template.
void BM_DatagramHandler(benchmark::State& state) {
    const int which = static_cast<int>(state.range(0));
    ScratchDirectory scratch;
    NullWindow window;
    DatagramHandler handler(window, std::make_unique<netflowlib::StagedTraceSink>());
    netflowlib::ResetTemplateStore();
    const std::string packet = which == 0 ? V5ThirtyRecords() : HostileDatagram(which - 1);
    for (auto _ : state) handler.HandleDatagram(packet.data(), packet.size(), "192.0.2.1");
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.SetLabel(which == 0 ? "v5, 30 records" : kHostileNames[which - 1]);
}
BENCHMARK(BM_DatagramHandler)->DenseRange(0, kHostileCases)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
