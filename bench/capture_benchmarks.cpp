// What keeping the recent datagrams costs the listener per datagram (the lock and one copy into the
// ring, the oldest making room), alone and while a save copies the ring out; what IPFIX decoding
// costs per message next to the same flows as version 9; and how long writing a full capture takes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "Datagrams.h"
#include "PcapWriter.h"
#include "RecentDatagrams.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"
#include "flowdecode/Templates.h"

namespace {

using namespace fixtures;

std::string Datagram(std::size_t Size) { return std::string(Size, '\x5A'); }

// Sizes of full v5 (1464 bytes) and of the usual v9 and IPFIX datagrams; past 10,000 or 16 MB every
// call also drops the oldest.
void BM_RecentAdd(benchmark::State& state) {
    RecentDatagrams Recent;
    const std::string Bytes = Datagram(static_cast<std::size_t>(state.range(0)));
    std::int64_t At = 0;
    for (auto _ : state) Recent.Add(Bytes.data(), Bytes.size(), 0x0A000001, 2055, ++At);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RecentAdd)->Arg(100)->Arg(1464)->Arg(8000);

// The listener's cost while another thread saves the ring over and over.
void BM_RecentAddWhileSaving(benchmark::State& state) {
    RecentDatagrams Recent;
    const std::string Bytes = Datagram(1464);
    for (int i = 0; i < 10'000; ++i) Recent.Add(Bytes.data(), Bytes.size(), 0x0A000001, 2055, i);
    std::atomic<bool> bStop{false};
    std::thread Saver([&] {
        while (!bStop.load()) benchmark::DoNotOptimize(Recent.Snapshot());
    });
    std::int64_t At = 0;
    for (auto _ : state) Recent.Add(Bytes.data(), Bytes.size(), 0x0A000001, 2055, ++At);
    bStop = true;
    Saver.join();
}
BENCHMARK(BM_RecentAddWhileSaving)->UseRealTime();

void BM_SnapshotFullRing(benchmark::State& state) {
    RecentDatagrams Recent;
    const std::string Bytes = Datagram(1464);
    for (int i = 0; i < 10'000; ++i) Recent.Add(Bytes.data(), Bytes.size(), 0x0A000001, 2055, i);
    for (auto _ : state) benchmark::DoNotOptimize(Recent.Snapshot());
}
BENCHMARK(BM_SnapshotFullRing)->Unit(benchmark::kMillisecond);

void BM_WriteCaptureOf10000(benchmark::State& state) {
    RecentDatagrams Recent;
    const std::string Bytes = Datagram(1464);
    for (int i = 0; i < 10'000; ++i) Recent.Add(Bytes.data(), Bytes.size(), 0x0A000001, 2055, i);
    const auto Kept = Recent.Snapshot();
    const std::string sPath = "/tmp/capture-benchmark.pcap";
    std::string sError;
    for (auto _ : state) benchmark::DoNotOptimize(WriteCapture(sPath, Kept, tCaptureTarget{}, sError));
    std::remove(sPath.c_str());
}
BENCHMARK(BM_WriteCaptureOf10000)->Unit(benchmark::kMillisecond);

class NoTrace : public netflowlib::PacketTraceSink {
  public:
    void BeginTrace(const std::string&) override {}
    void Line(const std::string&) override {}
    void Marker(const std::string&) override {}
    void Finish() override {}
};

// 30 flows of the usual IPv4 template, template in every message.
void BM_DecodeIpfix30(benchmark::State& state) {
    const std::string sPacket = IpfixThirtyIpv4Records();
    NoTrace Sink;
    netflowlib::tDecodeServices Services = netflowlib::DefaultDecodeServices(Sink);
    netflowlib::IpfixTemplateStore Store;
    netflowlib::tNetflowV9Records Records(netflowlib::kV9InitialSlots);
    for (auto _ : state) {
        netflowlib::tNetflowHeader Header;
        netflowlib::DecodeHeader(sPacket, Header, Services);
        benchmark::DoNotOptimize(
            netflowlib::DecodeIpfixPacket("", "192.0.2.1", sPacket, Header, Records, Services, Store));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 30);
}
BENCHMARK(BM_DecodeIpfix30);

void BM_DecodeV9Same30Untraced(benchmark::State& state) {
    const std::string sPacket = V9Header(31) + TemplateFlowset(256, kIpv4Pairs) +
                                Flowset(256, Repeat(Ipv4Record(1, 1024, 443, 6, 1500, 3), 30));
    NoTrace Sink;
    netflowlib::ExporterTemplateStore Store;
    netflowlib::tDecodeServices Services = netflowlib::DefaultDecodeServices(Sink);
    const netflowlib::tDecodeServices Own{Services.Trace, Services.Reporter, Store, Services.Clock, Services.Bounds};
    netflowlib::tNetflowV9Records Records(netflowlib::kV9InitialSlots);
    for (auto _ : state) {
        netflowlib::tNetflowHeader Header;
        netflowlib::DecodeHeader(sPacket, Header, Own);
        benchmark::DoNotOptimize(netflowlib::DecodeV9Packet("", "192.0.2.1", sPacket, Header, false, Records, Own));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 30);
}
BENCHMARK(BM_DecodeV9Same30Untraced);

}  // namespace

BENCHMARK_MAIN();
