#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "FlowConsumer.h"
#include "FlowRecord.h"

// What a top-talker table counts by. The countries and AS numbers are those of the location
// database, not the exporter's AS fields.
enum class TalkerKind {
    Source,
    Destination,
    Conversation,
    Protocol,
    DestinationPort,
    Exporter,
    SourceCountry,
    DestinationCountry,
    SourceAs,
    DestinationAs,
    Interface
};
inline constexpr std::size_t kTalkerKinds = 11;
// Whether the kind's keys come from the location database.
inline constexpr bool Located(TalkerKind Kind) {
    return Kind == TalkerKind::SourceCountry || Kind == TalkerKind::DestinationCountry ||
           Kind == TalkerKind::SourceAs || Kind == TalkerKind::DestinationAs;
}

enum class InterfaceDirection : std::uint8_t { In, Out };

// A table's key as bytes: one address (kind + 16 bytes), two for a conversation (the smaller
// first, so either direction is the same key), a protocol number or a port (big-endian), or an
// exporter's address, an interface index (big-endian) and a direction, a country (two letters
// packed, 0 where none is known) or an AS number (big-endian, 0 where none is known).
struct TalkerKey {
    std::array<std::uint8_t, 34> Bytes{};
    friend bool operator==(const TalkerKey&, const TalkerKey&) = default;
    friend auto operator<=>(const TalkerKey&, const TalkerKey&) = default;
};

// For TalkerKind::Interface, the key of the flow's input interface; InterfaceKey gives either.
TalkerKey KeyOf(TalkerKind Kind, const FlowRecord& Record);
TalkerKey InterfaceKey(const FlowAddress& Exporter, std::uint32_t Index, InterfaceDirection Direction);
FlowAddress KeyAddress(const TalkerKey& Key, int Which = 0);
std::uint8_t KeyProtocol(const TalkerKey& Key);
std::uint16_t KeyPort(const TalkerKey& Key);
std::uint32_t KeyInterface(const TalkerKey& Key);
InterfaceDirection KeyDirection(const TalkerKey& Key);
TalkerKey PlaceKey(TalkerKind Kind, std::uint32_t Number);
// The packed country or the AS number of a located kind's key.
std::uint32_t KeyNumber(const TalkerKey& Key);

// Bytes and packets are scaled by each flow's sampling rate, so that sampled and unsampled
// exporters add up to the traffic they stand for. Sums that took in a sampled flow are estimates;
// the rates they were sampled at are kept as a range for the views to say so.
struct TrafficTotals {
    std::uint64_t Flows = 0;
    std::uint64_t Bytes = 0;
    std::uint64_t Packets = 0;
    std::uint32_t SampledLow = 0;  // the least and the greatest rate above 1; 0 while none was sampled
    std::uint32_t SampledHigh = 0;

    void Add(const FlowRecord& R) {
        ++Flows;
        Bytes += R.ScaledBytes();
        Packets += R.ScaledPackets();
        if (R.Estimated()) Sampled(R.SamplingRate, R.SamplingRate);
    }
    void Add(const TrafficTotals& T) {
        Flows += T.Flows;
        Bytes += T.Bytes;
        Packets += T.Packets;
        if (T.Estimated()) Sampled(T.SampledLow, T.SampledHigh);
    }
    bool Estimated() const { return SampledHigh > 1; }
    void Sampled(std::uint32_t Low, std::uint32_t High) {
        SampledLow = SampledLow == 0 ? Low : std::min(SampledLow, Low);
        SampledHigh = std::max(SampledHigh, High);
    }
    friend bool operator==(const TrafficTotals&, const TrafficTotals&) = default;
};

struct TalkerRow {
    TalkerKey Key;
    TrafficTotals Totals;
};

struct TalkerTop {
    std::vector<TalkerRow> Rows;    // by bytes, most first; equal bytes by key, smallest first
    TrafficTotals Totals;           // of every key of the table in the span, not only the rows
    std::size_t Keys = 0;           // distinct keys in the span
    std::uint64_t KeysDropped = 0;  // keys pushed out by the key bound since start
    std::uint64_t FlowsCut = 0;     // flows whose history was cut early by the entry bound
};

struct TrafficAggregatorOptions {
    // Sized so that a collector under a load test (every flow a new address pair) stays well under
    // 250 MB: the address and conversation tables reach the key bound within seconds.
    std::size_t MaxKeys = 100000;     // per table
    std::size_t MaxEntries = 200000;  // per table: (key, second) cells kept over the whole history
    std::size_t NewestFlows = 100000;
};

class TalkerTable;
namespace names {
class Locator;
}

// Per-second history of the last hour: totals for the chart and, per table, the flows of each
// key and second, from which the top talkers of any span ending at the newest second are summed
// exactly. Times come only from the records and from AdvanceTo; nothing here reads a clock.
// Not thread-safe: one thread at a time (SharedTraffic holds the lock).
class TrafficAggregator {
  public:
    static constexpr int kHistorySeconds = 3600;
    static constexpr std::size_t kTopRows = 20;

    explicit TrafficAggregator(TrafficAggregatorOptions Options = {});
    ~TrafficAggregator();

    // Where the located kinds look up each flow's addresses (on the aggregating thread, through the
    // locator's cache). Without one, their tables stay empty.
    void SetLocator(std::unique_ptr<names::Locator> Locator);
    bool Locates() const { return Locator_ != nullptr; }
    // Addresses whose place the locator's cache holds.
    std::size_t LocatedAddresses() const;

    void Add(const FlowRecord& Record);
    void Add(const std::vector<FlowRecord>& Batch);
    // Moves the newest second on to NowMs's, so that a quiet exporter's traffic slides out.
    void AdvanceTo(std::int64_t NowMs);

    // The span covers the newest second and the Seconds - 1 before it. The interface table's
    // totals count each flow once, as the other tables do, though its rows count it twice.
    TalkerTop Top(TalkerKind Kind, int Seconds, std::size_t Rows = kTopRows) const;
    TrafficTotals SpanTotals(int Seconds) const;
    // One entry per second of the span, oldest first; seconds without flows are zero.
    std::vector<TrafficTotals> Series(int Seconds) const;
    std::vector<TrafficTotals> KeySeries(TalkerKind Kind, const TalkerKey& Key, int Seconds) const;

    // Every record added since start, numbered from 1; the newest ones are kept.
    std::uint64_t FlowsAdded() const { return FlowsAdded_; }
    // Appends the kept records numbered above Since, oldest first; returns how many.
    std::size_t NewestFlows(std::uint64_t Since, std::vector<FlowRecord>& Out) const;

    std::int64_t NewestSecond() const { return Newest_; }
    std::uint64_t ClockStepsBack() const { return ClockStepsBack_; }

  private:
    struct KeyAndHash {
        TalkerKey Key;
        std::uint32_t Hash = 0;
    };
    // One key per table, and a second one in the interface table: a flow passes two interfaces.
    static constexpr std::size_t kFlowKeys = kTalkerKinds + 1;
    using FlowKeys = std::array<KeyAndHash, kFlowKeys>;
    static constexpr std::size_t TableOf(std::size_t Key) { return std::min(Key, kTalkerKinds - 1); }
    static_assert(static_cast<std::size_t>(TalkerKind::Interface) == kTalkerKinds - 1);

    FlowKeys KeysOf(const FlowRecord& Record);
    void Add(const FlowRecord& Record, const FlowKeys& Keys);
    void MoveTo(std::int64_t Second);
    void Reset(std::int64_t Second);
    std::int64_t SpanStart(int Seconds) const;

    TrafficAggregatorOptions Options_;
    std::int64_t Newest_ = INT64_MIN;
    std::array<std::unique_ptr<TalkerTable>, kTalkerKinds> Tables_;
    std::vector<TrafficTotals> Seconds_;  // ring indexed by second modulo the history
    std::vector<FlowRecord> Flows_;       // ring of the newest records
    std::uint64_t FlowsAdded_ = 0;
    std::uint64_t ClockStepsBack_ = 0;
    std::unique_ptr<names::Locator> Locator_;
};

// The aggregator with the lock that the aggregation thread and the window share. Only whole
// batches are applied under it, and the window reads under it once a second.
struct SharedTraffic {
    std::mutex Lock;
    TrafficAggregator* Aggregator = nullptr;
};

// The aggregation as a consumer of the collector's flows: a run of batches is applied under the
// shared lock, so that the window never waits long for it.
class TrafficFeed : public FlowConsumer {
  public:
    explicit TrafficFeed(SharedTraffic& Target) : Target_(Target) {}
    void BeginRun() override { Target_.Lock.lock(); }
    void Consume(const FlowBatch& Batch) override {
        if (Target_.Aggregator != nullptr) Target_.Aggregator->Add(Batch);
    }
    void EndRun() override { Target_.Lock.unlock(); }

    // About a millisecond of aggregation per run at 30 records a batch; idle priority, a quarter
    // of one core, and nothing while the listener is behind: the listener and the files always go
    // first, and what the aggregation cannot take in time is dropped from the Traffic views only.
    static ConsumerPacing Pacing() {
        ConsumerPacing pacing;
        pacing.PeriodMs = 20;
        pacing.BatchesPerRun = 64;
        pacing.CoreShare = 0.25;
        pacing.IdlePriority = true;
        pacing.YieldToListener = true;
        pacing.DrainAtStop = false;
        return pacing;
    }

  private:
    SharedTraffic& Target_;
};
