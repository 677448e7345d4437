#include "TrafficAggregator.h"

#include <algorithm>

#include "Locations.h"
#include "TalkerTable.h"

namespace {

constexpr std::size_t kHistory = static_cast<std::size_t>(TrafficAggregator::kHistorySeconds);

std::int64_t SecondOf(std::int64_t Ms) { return Ms >= 0 ? Ms / 1000 : -((-Ms + 999) / 1000); }

std::size_t Slot(std::int64_t Second) {
    const auto n = static_cast<std::int64_t>(kHistory);
    return static_cast<std::size_t>(((Second % n) + n) % n);
}

void PutAddress(TalkerKey& Key, std::size_t At, const FlowAddress& A) {
    Key.Bytes[At] = A.Kind;
    std::copy(A.Bytes.begin(), A.Bytes.end(), Key.Bytes.begin() + static_cast<std::ptrdiff_t>(At + 1));
}

}  // namespace

TalkerKey KeyOf(TalkerKind Kind, const FlowRecord& Record) {
    TalkerKey key;
    switch (Kind) {
        case TalkerKind::Source:
            PutAddress(key, 0, Record.Source);
            break;
        case TalkerKind::Destination:
            PutAddress(key, 0, Record.Destination);
            break;
        case TalkerKind::Conversation: {
            const bool forward = Record.Source <= Record.Destination;
            PutAddress(key, 0, forward ? Record.Source : Record.Destination);
            PutAddress(key, 17, forward ? Record.Destination : Record.Source);
            break;
        }
        case TalkerKind::Protocol:
            key.Bytes[0] = Record.Protocol;
            break;
        case TalkerKind::DestinationPort:
            key.Bytes[0] = static_cast<std::uint8_t>(Record.DestinationPort >> 8);
            key.Bytes[1] = static_cast<std::uint8_t>(Record.DestinationPort);
            break;
        case TalkerKind::Exporter:
            PutAddress(key, 0, Record.Exporter);
            break;
        case TalkerKind::SourceCountry:
        case TalkerKind::DestinationCountry:
        case TalkerKind::SourceAs:
        case TalkerKind::DestinationAs:
            // Only the aggregator knows where addresses are; without it, one key of no place.
            break;
        case TalkerKind::Interface:
            return InterfaceKey(Record.Exporter, Record.InputIf, InterfaceDirection::In);
    }
    return key;
}

TalkerKey PlaceKey(TalkerKind Kind, std::uint32_t Number) {
    TalkerKey key;
    if (Kind == TalkerKind::SourceCountry || Kind == TalkerKind::DestinationCountry) Number &= 0xFFFF;
    for (std::size_t i = 0; i < 4; ++i) key.Bytes[i] = static_cast<std::uint8_t>(Number >> (24 - 8 * i));
    return key;
}

std::uint32_t KeyNumber(const TalkerKey& Key) {
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < 4; ++i) number = number << 8 | Key.Bytes[i];
    return number;
}

TalkerKey InterfaceKey(const FlowAddress& Exporter, std::uint32_t Index, InterfaceDirection Direction) {
    // Big-endian, so that the key order is the exporter's, then the index's, then in before out.
    TalkerKey key;
    PutAddress(key, 0, Exporter);
    for (std::size_t i = 0; i < 4; ++i) key.Bytes[17 + i] = static_cast<std::uint8_t>(Index >> (24 - 8 * i));
    key.Bytes[21] = static_cast<std::uint8_t>(Direction);
    return key;
}

FlowAddress KeyAddress(const TalkerKey& Key, int Which) {
    const std::size_t at = Which == 0 ? 0 : 17;
    FlowAddress a;
    a.Kind = Key.Bytes[at];
    std::copy_n(Key.Bytes.begin() + static_cast<std::ptrdiff_t>(at + 1), 16, a.Bytes.begin());
    return a;
}

std::uint8_t KeyProtocol(const TalkerKey& Key) { return Key.Bytes[0]; }

std::uint16_t KeyPort(const TalkerKey& Key) { return static_cast<std::uint16_t>(Key.Bytes[0] << 8 | Key.Bytes[1]); }

std::uint32_t KeyInterface(const TalkerKey& Key) {
    std::uint32_t index = 0;
    for (std::size_t i = 0; i < 4; ++i) index = index << 8 | Key.Bytes[17 + i];
    return index;
}

InterfaceDirection KeyDirection(const TalkerKey& Key) {
    return Key.Bytes[21] == 0 ? InterfaceDirection::In : InterfaceDirection::Out;
}

TrafficAggregator::TrafficAggregator(TrafficAggregatorOptions Options) : Options_(Options), Seconds_(kHistory) {
    for (auto& table : Tables_) table = std::make_unique<TalkerTable>(kHistory, Options_.MaxKeys, Options_.MaxEntries);
    Options_.NewestFlows = std::max<std::size_t>(1, Options_.NewestFlows);
    Flows_.reserve(std::min<std::size_t>(Options_.NewestFlows, 4096));
}

TrafficAggregator::~TrafficAggregator() = default;

void TrafficAggregator::SetLocator(std::unique_ptr<names::Locator> Locator) { Locator_ = std::move(Locator); }

std::size_t TrafficAggregator::LocatedAddresses() const { return Locator_ ? Locator_->CachedAddresses() : 0; }

void TrafficAggregator::Reset(std::int64_t Second) {
    for (auto& table : Tables_) table->Clear();
    std::fill(Seconds_.begin(), Seconds_.end(), TrafficTotals{});
    Newest_ = Second;
}

void TrafficAggregator::MoveTo(std::int64_t Second) {
    if (Newest_ == INT64_MIN || Second - Newest_ >= static_cast<std::int64_t>(kHistory)) {
        Reset(Second);
        return;
    }
    for (std::int64_t s = Newest_ + 1; s <= Second; ++s) {
        // The slot of second s last held s - history, which now leaves the hour.
        for (auto& table : Tables_) table->Retire(s - static_cast<std::int64_t>(kHistory));
        Seconds_[Slot(s)] = {};
    }
    Newest_ = Second;
}

TrafficAggregator::FlowKeys TrafficAggregator::KeysOf(const FlowRecord& Record) {
    FlowKeys keys;
    for (std::size_t k = 0; k < kTalkerKinds; ++k) keys[k].Key = KeyOf(static_cast<TalkerKind>(k), Record);
    if (Locator_) {
        const names::Place from = Locator_->Find(Record.Source);
        const names::Place to = Locator_->Find(Record.Destination);
        keys[static_cast<std::size_t>(TalkerKind::SourceCountry)].Key =
            PlaceKey(TalkerKind::SourceCountry, from.Country);
        keys[static_cast<std::size_t>(TalkerKind::DestinationCountry)].Key =
            PlaceKey(TalkerKind::DestinationCountry, to.Country);
        keys[static_cast<std::size_t>(TalkerKind::SourceAs)].Key = PlaceKey(TalkerKind::SourceAs, from.Asn);
        keys[static_cast<std::size_t>(TalkerKind::DestinationAs)].Key = PlaceKey(TalkerKind::DestinationAs, to.Asn);
    }
    keys[kTalkerKinds].Key = InterfaceKey(Record.Exporter, Record.OutputIf, InterfaceDirection::Out);
    for (KeyAndHash& k : keys) k.Hash = TalkerTable::HashOf(k.Key);
    return keys;
}

void TrafficAggregator::Add(const FlowRecord& Record) { Add(Record, KeysOf(Record)); }

void TrafficAggregator::Add(const FlowRecord& Record, const FlowKeys& Keys) {
    const std::int64_t second = SecondOf(Record.ReceivedMs);
    if (Newest_ == INT64_MIN || second > Newest_) {
        MoveTo(second);
    } else if (second <= Newest_ - static_cast<std::int64_t>(kHistory)) {
        // The clock was set back by more than the history: what is kept can no longer be placed
        // against the new time, so the history starts again.
        ++ClockStepsBack_;
        Reset(second);
    }
    Seconds_[Slot(second)].Add(Record);
    for (std::size_t k = 0; k < kFlowKeys; ++k) {
        if (Locator_ == nullptr && Located(static_cast<TalkerKind>(TableOf(k)))) continue;
        Tables_[TableOf(k)]->Add(Keys[k].Key, Keys[k].Hash, second, Record);
    }

    if (Flows_.size() < Options_.NewestFlows) {
        Flows_.push_back(Record);
    } else {
        Flows_[FlowsAdded_ % Options_.NewestFlows] = Record;
    }
    ++FlowsAdded_;
}

void TrafficAggregator::Add(const std::vector<FlowRecord>& Batch) {
    // Keys a few records ahead are hashed and their index slots asked for while the current
    // record is counted, so that the tables' cache misses overlap.
    constexpr std::size_t kAhead = 4;
    std::array<FlowKeys, kAhead> ring;
    const auto prepare = [&](std::size_t i) {
        auto& keys = ring[i % kAhead];
        keys = KeysOf(Batch[i]);
        for (std::size_t k = 0; k < kFlowKeys; ++k) Tables_[TableOf(k)]->Prefetch(keys[k].Hash);
    };
    for (std::size_t i = 0; i < std::min(kAhead, Batch.size()); ++i) prepare(i);
    for (std::size_t i = 0; i < Batch.size(); ++i) {
        // Copied out: preparing record i + kAhead reuses the place.
        const FlowKeys keys = ring[i % kAhead];
        if (i + kAhead < Batch.size()) prepare(i + kAhead);
        Add(Batch[i], keys);
    }
}

void TrafficAggregator::AdvanceTo(std::int64_t NowMs) {
    const std::int64_t second = SecondOf(NowMs);
    if (Newest_ != INT64_MIN && second > Newest_) MoveTo(second);
    if (Newest_ == INT64_MIN) Newest_ = second;
}

std::int64_t TrafficAggregator::SpanStart(int Seconds) const {
    const int span = std::clamp(Seconds, 1, kHistorySeconds);
    return Newest_ - span + 1;
}

TalkerTop TrafficAggregator::Top(TalkerKind Kind, int Seconds, std::size_t Rows) const {
    if (Newest_ == INT64_MIN) return {};
    TalkerTop top = Tables_[static_cast<std::size_t>(Kind)]->Top(SpanStart(Seconds), Newest_, Rows);
    if (Kind == TalkerKind::Interface) {
        // Each flow went in once and out once, so that a row's share is of the traffic in its
        // direction. Where a bound cut one half of a flow and not the other, the halves are off by
        // that flow, as the tables are by what they cut.
        top.Totals.Flows /= 2;
        top.Totals.Bytes /= 2;
        top.Totals.Packets /= 2;
    }
    return top;
}

std::vector<TrafficTotals> TrafficAggregator::Series(int Seconds) const {
    const int span = std::clamp(Seconds, 1, kHistorySeconds);
    std::vector<TrafficTotals> series(static_cast<std::size_t>(span));
    if (Newest_ == INT64_MIN) return series;
    const std::int64_t from = SpanStart(span);
    for (int i = 0; i < span; ++i) series[static_cast<std::size_t>(i)] = Seconds_[Slot(from + i)];
    return series;
}

TrafficTotals TrafficAggregator::SpanTotals(int Seconds) const {
    TrafficTotals sum;
    for (const TrafficTotals& t : Series(Seconds)) sum.Add(t);
    return sum;
}

std::vector<TrafficTotals> TrafficAggregator::KeySeries(TalkerKind Kind, const TalkerKey& Key, int Seconds) const {
    if (Newest_ == INT64_MIN)
        return std::vector<TrafficTotals>(static_cast<std::size_t>(std::clamp(Seconds, 1, kHistorySeconds)));
    return Tables_[static_cast<std::size_t>(Kind)]->KeySeries(Key, SpanStart(Seconds), Newest_);
}

std::size_t TrafficAggregator::NewestFlows(std::uint64_t Since, std::vector<FlowRecord>& Out) const {
    const std::uint64_t kept = std::min<std::uint64_t>(FlowsAdded_, Flows_.size());
    const std::uint64_t first = std::max(Since, FlowsAdded_ - kept);
    for (std::uint64_t n = first; n < FlowsAdded_; ++n) Out.push_back(Flows_[n % Options_.NewestFlows]);
    return static_cast<std::size_t>(FlowsAdded_ > first ? FlowsAdded_ - first : 0);
}
