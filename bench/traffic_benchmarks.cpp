// What the Traffic views cost: on the listener thread, making a flow record from a decoded record
// and handing it over (nanoseconds per record); on the aggregation thread, records per second;
// on the main thread, one tick's queries over the longest span.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "FlowHandOver.h"
#include "FlowRecord.h"
#include "Locations.h"
#include "TrafficAggregator.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV5.h"

namespace {

constexpr int kRecords = 30;
constexpr std::int64_t kT0 = 1700000000000;

netflowlib::tNetflowV5Records DecodedV5() {
    netflowlib::tNetflowV5Records slots{};
    for (int i = 0; i < kRecords; ++i) {
        auto& s = slots[static_cast<std::size_t>(i)];
        s.srcaddr = "10.0." + std::to_string(i / 10) + "." + std::to_string(i * 7 % 250);
        s.dstaddr = "192.168.1." + std::to_string(i);
        s.dOctets = 1000u * static_cast<std::uint32_t>(i + 1);
        s.dPkts = 10;
        s.srcport = static_cast<std::uint16_t>(1024 + i);
        s.dstport = 443;
        s.prot = 6;
    }
    return slots;
}

// Traffic of a busy network: 5,000 sources talking to 2,000 destinations over 300 ports.
FlowRecord Synthetic(std::uint64_t N, std::int64_t Ms) {
    FlowRecord r;
    r.ReceivedMs = Ms;
    r.Exporter = FlowAddress::FromIPv4(0xC0000201u + static_cast<std::uint32_t>(N % 4));
    r.Source = FlowAddress::FromIPv4(0x0A000000u + static_cast<std::uint32_t>((N * 7919) % 5000));
    r.Destination = FlowAddress::FromIPv4(0xC0A80000u + static_cast<std::uint32_t>((N * 104729) % 2000));
    r.SourcePort = static_cast<std::uint16_t>(1024 + N % 60000);
    r.DestinationPort = static_cast<std::uint16_t>(N % 300);
    r.Protocol = N % 5 == 0 ? 17 : 6;
    r.Bytes = 40 + N % 1460;
    r.Packets = 1 + N % 20;
    r.Version = 5;
    return r;
}

void BM_MakeFlowRecordV5(benchmark::State& state) {
    const netflowlib::tNetflowV5Records slots = DecodedV5();
    const FlowAddress exporter = FlowAddress::Parse("192.0.2.1");
    for (auto _ : state) {
        for (int i = 0; i < kRecords; ++i) {
            FlowRecord r = MakeFlowRecord(slots[static_cast<std::size_t>(i)], exporter, kT0);
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_MakeFlowRecordV5);

// The listener's whole share: make, add and publish one datagram's records. The ring is emptied
// now and then on the same thread, so only the listener's side is measured.
void BM_HandOverPerRecord(benchmark::State& state) {
    const netflowlib::tNetflowV5Records slots = DecodedV5();
    const FlowAddress exporter = FlowAddress::Parse("192.0.2.1");
    FlowHandOver handOver;
    std::uint64_t datagrams = 0;
    for (auto _ : state) {
        for (int i = 0; i < kRecords; ++i)
            handOver.Add(MakeFlowRecord(slots[static_cast<std::size_t>(i)], exporter, kT0));
        handOver.EndDatagram();
        if (++datagrams % 1024 == 0) {
            state.PauseTiming();
            handOver.Drain([](const FlowBatch& b) { benchmark::DoNotOptimize(b.data()); });
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
    state.counters["dropped"] = static_cast<double>(handOver.RecordsDropped());
}
BENCHMARK(BM_HandOverPerRecord);

// Add and publish only, the records already made.
void BM_HandOverAddOnly(benchmark::State& state) {
    std::vector<FlowRecord> records;
    for (int i = 0; i < kRecords; ++i) records.push_back(Synthetic(static_cast<std::uint64_t>(i), kT0));
    FlowHandOver handOver;
    std::uint64_t datagrams = 0;
    for (auto _ : state) {
        for (const FlowRecord& r : records) handOver.Add(r);
        handOver.EndDatagram();
        if (++datagrams % 1024 == 0) {
            state.PauseTiming();
            handOver.Drain([](const FlowBatch& b) { benchmark::DoNotOptimize(b.data()); });
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_HandOverAddOnly);

// Aggregation throughput at Arg(0) flows per second of received time.
void BM_AggregatorAdd(benchmark::State& state) {
    const auto perSecond = static_cast<std::uint64_t>(state.range(0));
    TrafficAggregator aggregator;
    std::uint64_t n = 0;
    for (auto _ : state) {
        aggregator.Add(Synthetic(n, kT0 + static_cast<std::int64_t>(n / perSecond) * 1000));
        ++n;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
}
BENCHMARK(BM_AggregatorAdd)->Arg(10000)->Arg(100000);

// The load generator's traffic: every flow from a new source, to one of 65,000 destinations, at
// 2 million flows a second, so that the source and conversation tables push out a key per flow.
// In batches of a datagram's 30 flows, as the aggregation thread takes them.
void BM_AggregatorAddEveryFlowNew(benchmark::State& state) {
    TrafficAggregator aggregator;
    std::vector<FlowRecord> batch(30);
    std::uint64_t n = 0;
    for (auto _ : state) {
        for (FlowRecord& r : batch) {
            r = Synthetic(n, kT0 + static_cast<std::int64_t>(n / 2000000) * 1000);
            r.Source = FlowAddress::FromIPv4(0x0A000000u + static_cast<std::uint32_t>(n & 0xFFFFFF));
            r.Destination = FlowAddress::FromIPv4(0xC0A80000u + static_cast<std::uint32_t>((n * 2654435761u) % 65000));
            ++n;
        }
        aggregator.Add(batch);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
}
BENCHMARK(BM_AggregatorAddEveryFlowNew)->MinTime(3);

// An address spread over the public IPv4 space (first octet 1 to 223), as the location database
// sees the Internet's.
FlowAddress PublicAddress(std::uint64_t N) {
    const auto h = static_cast<std::uint32_t>((N + 1) * 0x9E3779B97F4A7C15ULL >> 32);
    return FlowAddress::FromIPv4((1 + (h >> 24) % 223) << 24 | (h & 0xFFFFFF));
}

// Looking up a flow's place in the location database: Arg(0) among 5,000 addresses seen before
// (the cache answers), Arg(1) every address new (a walk of the database's tree each time).
void BM_LocatorFind(benchmark::State& state) {
    auto locator = names::Locator::Open(names::kLocationDatabase);
    if (!locator) {
        state.SkipWithError("no location database");
        return;
    }
    const bool fresh = state.range(0) != 0;
    std::uint64_t n = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(locator->Find(PublicAddress(fresh ? n : n % 5000)));
        ++n;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
    state.SetLabel(fresh ? "every address new" : "5,000 addresses again and again");
}
BENCHMARK(BM_LocatorFind)->Arg(0)->Arg(1);

// The aggregation with countries and AS numbers looked up, on public addresses: Arg(0) the busy
// network's 5,000 sources and 2,000 destinations, Arg(1) every flow from a new source, as under the
// load generator's --public-addresses. Without the database the same as BM_AggregatorAdd.
void BM_AggregatorAddLocated(benchmark::State& state) {
    TrafficAggregator aggregator;
    aggregator.SetLocator(names::Locator::Open(names::kLocationDatabase));
    if (!aggregator.Locates()) {
        state.SkipWithError("no location database");
        return;
    }
    const bool fresh = state.range(0) != 0;
    std::vector<FlowRecord> batch(30);
    std::uint64_t n = 0;
    for (auto _ : state) {
        for (FlowRecord& r : batch) {
            r = Synthetic(n, kT0 + static_cast<std::int64_t>(n / 100000) * 1000);
            r.Source = PublicAddress(fresh ? n : (n * 7919) % 5000);
            r.Destination =
                PublicAddress(fresh ? (n * 2654435761u) % 65000 + (1ULL << 40) : 10000 + (n * 104729) % 2000);
            ++n;
        }
        aggregator.Add(batch);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
}
BENCHMARK(BM_AggregatorAddLocated)->Arg(0)->Arg(1)->MinTime(3);

// One refresh tick of the window over the longest span: every table's top 20 and the series.
void BM_TickQueries(benchmark::State& state) {
    const auto span = static_cast<int>(state.range(0));
    TrafficAggregator aggregator;
    const std::uint64_t perSecond = 2000;
    for (std::uint64_t n = 0; n < perSecond * 3600; ++n)
        aggregator.Add(Synthetic(n, kT0 + static_cast<std::int64_t>(n / perSecond) * 1000));
    for (auto _ : state) {
        for (std::size_t k = 0; k < kTalkerKinds; ++k)
            benchmark::DoNotOptimize(aggregator.Top(static_cast<TalkerKind>(k), span));
        benchmark::DoNotOptimize(aggregator.Series(span));
    }
    state.SetLabel("an hour of 2,000 flows/s, span " + std::to_string(span) + " s");
}
BENCHMARK(BM_TickQueries)->Arg(60)->Arg(3600)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
