#include "ExporterTable.h"

#include <algorithm>
#include <chrono>

namespace {

constexpr std::uint32_t kV5RecordBytes = 48;

std::uint32_t StepOf(SequenceRule Rule, std::uint32_t Advance) {
    return Rule == SequenceRule::CountsDatagrams ? 1u : Advance;
}

// Signed distance modulo 2^32, so that 0xFFFFFFFF is just behind 0.
std::int64_t SignedDistance(std::uint32_t From, std::uint32_t To) { return static_cast<std::int32_t>(To - From); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// Sequence

SequenceTracker::Verdict SequenceTracker::Observe(SequenceRule Rule, std::uint32_t Sequence, std::uint32_t Advance,
                                                  std::uint32_t Uptime) {
    if (Rule == SequenceRule::None) return Verdict::First;
    const std::uint32_t step = StepOf(Rule, Advance);
    if (!Started_) {
        Started_ = true;
        Restart(Sequence, step, Uptime);
        return Verdict::First;
    }
    if (SignedDistance(Uptime_, Uptime) < -static_cast<std::int64_t>(kUptimeBackMs)) {
        ++Restarts_;
        Restart(Sequence, step, Uptime);
        return Verdict::Restart;
    }
    const std::int64_t ahead = SignedDistance(Expected_, Sequence);
    if (ahead >= 0) {
        Missed_ += static_cast<std::uint64_t>(ahead);
        Expected_ = Sequence + step;
        Last_ = Sequence;
        Uptime_ = Uptime;
        Remember(Sequence);
        return ahead == 0 ? Verdict::InOrder : Verdict::Gap;
    }
    if (Recent(Sequence)) {
        ++Repeated_;
        return Verdict::Repeat;
    }
    const std::uint64_t window = Rule == SequenceRule::CountsDatagrams
                                     ? kReorderDatagrams
                                     : std::uint64_t{kReorderDatagrams} * kReorderRecordsPerDatagram;
    if (static_cast<std::uint64_t>(-ahead) <= window) {
        // It was counted as missed when the gap opened; it has come after all.
        ++OutOfOrder_;
        Missed_ -= std::min<std::uint64_t>(Missed_, step);
        Remember(Sequence);
        return Verdict::Late;
    }
    ++Restarts_;
    Restart(Sequence, step, Uptime);
    return Verdict::Restart;
}

void SequenceTracker::Restart(std::uint32_t Sequence, std::uint32_t Step, std::uint32_t Uptime) {
    Expected_ = Sequence + Step;
    Last_ = Sequence;
    Uptime_ = Uptime;
    RecentFilled_ = 0;
    Remember(Sequence);
}

void SequenceTracker::Remember(std::uint32_t Sequence) {
    Recent_[RecentNext_] = Sequence;
    RecentNext_ = (RecentNext_ + 1) % kRecentCount;
    RecentFilled_ = std::min(RecentFilled_ + 1, kRecentCount);
}

bool SequenceTracker::Recent(std::uint32_t Sequence) const {
    for (std::size_t i = 0; i < RecentFilled_; ++i) {
        if (Recent_[(RecentNext_ + kRecentCount - 1 - i) % kRecentCount] == Sequence) return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Addresses and time

std::uint32_t ParseIPv4(std::string_view Dotted) {
    std::uint32_t address = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::uint32_t octet = 0;
        std::size_t digits = 0;
        while (i < Dotted.size() && Dotted[i] >= '0' && Dotted[i] <= '9' && digits < 3) {
            octet = octet * 10 + static_cast<std::uint32_t>(Dotted[i++] - '0');
            ++digits;
        }
        if (digits == 0 || octet > 255) return 0;
        address = address << 8 | octet;
        if (++parts < 4 && (i >= Dotted.size() || Dotted[i++] != '.')) return 0;
    }
    return i == Dotted.size() ? address : 0;
}

std::string FormatIPv4(std::uint32_t Address) {
    return std::to_string(Address >> 24) + '.' + std::to_string(Address >> 16 & 0xFF) + '.' +
           std::to_string(Address >> 8 & 0xFF) + '.' + std::to_string(Address & 0xFF);
}

std::int64_t WallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------------------------------------
// Table

std::size_t ExporterTable::KeyHash::operator()(const Key& K) const noexcept {
    const std::uint64_t mixed = (std::uint64_t{K.Address} << 32 | K.Domain) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(mixed ^ (mixed >> 29) ^ K.Version);
}

ExporterTable::ExporterTable(std::size_t Capacity) : Capacity_(std::max<std::size_t>(Capacity, 1)) {
    Rows_.reserve(std::min<std::size_t>(Capacity_, 64));
}

ExporterTable::Ref ExporterTable::Observe(std::uint32_t Sender, const netflowlib::tNetflowHeader& Header,
                                          std::size_t Size, std::uint32_t Records, std::int64_t NowMs) {
    Key key{Sender, 0, Header.Version};
    // IPFIX carries its observation domain where version 9 has its Source_ID.
    if (Header.Version == 9 || Header.Version == 10) key.Domain = Header.Source_ID;
    if (Header.Version == 5) {
        key.Domain = static_cast<std::uint32_t>(Header.Engine_Type & 0xFF) << 8 |
                     static_cast<std::uint32_t>(Header.Engine_ID & 0xFF);
    }
    const std::lock_guard<std::mutex> guard(Lock_);
    const Ref exporter = (LastHit_ >= 0 && key == LastKey_) ? LastHit_ : FindOrAdd(key, NowMs);
    Count(Rows_[static_cast<std::size_t>(exporter)], Header, Size, Records, NowMs);
    return exporter;
}

ExporterTable::Ref ExporterTable::FindOrAdd(const Key& K, std::int64_t NowMs) {
    Ref exporter;
    if (const auto found = Index_.find(K); found != Index_.end()) {
        exporter = found->second;
    } else {
        if (Rows_.size() < Capacity_) {
            exporter = static_cast<Ref>(Rows_.size());
            Rows_.emplace_back();
        } else {
            exporter = EvictLeastRecent();
        }
        tExporterRow& row = Rows_[static_cast<std::size_t>(exporter)];
        row.Serial = NextSerial_++;
        row.Address = K.Address;
        row.Version = K.Version;
        row.Domain = K.Domain;
        row.FirstSeenMs = NowMs;
        Index_.emplace(K, exporter);
    }
    LastHit_ = exporter;
    LastKey_ = K;
    return exporter;
}

// Only reached with the table full and a new exporter arriving, so the scan is rare.
ExporterTable::Ref ExporterTable::EvictLeastRecent() {
    const auto oldest = std::min_element(Rows_.begin(), Rows_.end(), [](const tExporterRow& a, const tExporterRow& b) {
        return a.LastSeenMs < b.LastSeenMs;
    });
    Index_.erase(Key{oldest->Address, oldest->Domain, oldest->Version});
    *oldest = tExporterRow{};
    ++Evicted_;
    return static_cast<Ref>(oldest - Rows_.begin());
}

void ExporterTable::Count(tExporterRow& Row, const netflowlib::tNetflowHeader& Header, std::size_t Size,
                          std::uint32_t Records, std::int64_t NowMs) {
    ++Row.Datagrams;
    Row.Flows += Records;
    Row.Bytes += Size;
    Row.LastSeenMs = NowMs;
    SequenceRule rule = SequenceRule::None;
    std::uint32_t advance = Records;
    std::int64_t exportMs = std::int64_t{Header.UnixSeconds} * 1000;
    switch (Header.Version) {
        case 5:
            rule = SequenceRule::CountsRecords;
            // The exporter counts what it put into the header, whatever reached us.
            advance = Header.FlowSets;
            if (Size < std::size_t{netflowlib::kV5HeaderLength} + std::size_t{Header.FlowSets} * kV5RecordBytes) {
                ++Row.Malformed;
            }
            exportMs += Header.Unix_NSecs / 1'000'000;
            break;
        case 9:
            rule = SequenceRule::CountsDatagrams;
            break;
        case 10:
            rule = SequenceRule::CountsRecords;
            break;
        default:
            ++Row.Malformed;
            return;
    }
    Row.Sequence.Observe(rule, Header.Flow_Sequence, advance, Header.Sys_Uptime);
    Row.HasClock = true;
    Row.ClockOffsetMs = exportMs - NowMs;
}

tExporterRow* ExporterTable::At(Ref Exporter) {
    if (Exporter < 0 || static_cast<std::size_t>(Exporter) >= Rows_.size()) return nullptr;
    return &Rows_[static_cast<std::size_t>(Exporter)];
}

void ExporterTable::ObserveTemplate(Ref Exporter, std::uint16_t TemplateID, std::uint16_t FieldCount,
                                    std::int64_t NowMs) {
    const std::lock_guard<std::mutex> guard(Lock_);
    tExporterRow* row = At(Exporter);
    if (row == nullptr) return;
    auto* const begin = row->Templates.begin();
    auto* const end = begin + row->TemplateCount;
    auto* slot =
        std::find_if(begin, end, [TemplateID](const tExporterTemplate& t) { return t.TemplateID == TemplateID; });
    if (slot == end) {
        if (row->TemplateCount < tExporterRow::kTemplateSlots) {
            ++row->TemplateCount;
        } else {
            // Every slot taken: the template heard of longest ago makes room.
            slot = std::min_element(begin, end, [](const tExporterTemplate& a, const tExporterTemplate& b) {
                return a.LastSeenMs < b.LastSeenMs;
            });
            ++row->TemplatesNotKept;
        }
    }
    *slot = tExporterTemplate{TemplateID, FieldCount, NowMs};
}

void ExporterTable::ObserveTemplateWithdrawn(Ref Exporter, std::uint16_t TemplateID) {
    const std::lock_guard<std::mutex> guard(Lock_);
    tExporterRow* row = At(Exporter);
    if (row == nullptr) return;
    ++row->TemplatesWithdrawn;
    auto* const end = row->Templates.begin() + row->TemplateCount;
    auto* const kept = std::remove_if(row->Templates.begin(), end,
                                      [TemplateID](const tExporterTemplate& t) { return t.TemplateID == TemplateID; });
    row->TemplateCount = static_cast<std::uint8_t>(kept - row->Templates.begin());
}

void ExporterTable::ObserveTemplateRefused(Ref Exporter, std::uint16_t /*TemplateID*/) {
    const std::lock_guard<std::mutex> guard(Lock_);
    if (tExporterRow* row = At(Exporter)) ++row->TemplatesRefused;
}

void ExporterTable::ObserveMissingTemplate(Ref Exporter, std::uint16_t /*FlowSetID*/) {
    const std::lock_guard<std::mutex> guard(Lock_);
    if (tExporterRow* row = At(Exporter)) ++row->MissingTemplate;
}

void ExporterTable::ObserveMalformed(Ref Exporter) {
    const std::lock_guard<std::mutex> guard(Lock_);
    if (tExporterRow* row = At(Exporter)) ++row->Malformed;
}

void ExporterTable::ObserveCut(Ref Exporter) {
    const std::lock_guard<std::mutex> guard(Lock_);
    if (tExporterRow* row = At(Exporter)) ++row->Cut;
}

void ExporterTable::ObserveExtras(Ref Exporter, const tExporterExtras& Extras) {
    const std::lock_guard<std::mutex> guard(Lock_);
    tExporterRow* row = At(Exporter);
    if (row == nullptr) return;
    row->TimesImplausible += Extras.TimesImplausible;
    row->SetsHeld += Extras.SetsHeld;
    row->SetsDecodedLate += Extras.SetsDecodedLate;
    row->SetsExpired += Extras.SetsExpired;
    row->SetsDropped += Extras.SetsDropped;
    row->OptionsRecords += Extras.OptionsRecords;
    row->OptionsIgnored += Extras.OptionsIgnored;
    row->FlowsDroppedByBounds += Extras.FlowsDroppedByBounds;
}

bool ExporterTable::SamplingStale(Ref Exporter, std::uint64_t Stamp) {
    const std::lock_guard<std::mutex> guard(Lock_);
    tExporterRow* row = At(Exporter);
    if (row == nullptr || row->SamplingStamp == Stamp) return false;
    row->SamplingStamp = Stamp;
    return true;
}

void ExporterTable::ObserveSampling(Ref Exporter, std::uint32_t Rate, const std::string& Description) {
    const std::lock_guard<std::mutex> guard(Lock_);
    if (tExporterRow* row = At(Exporter)) {
        row->SamplingRate = Rate;
        row->Sampling = Description;
    }
}

void ExporterTable::Snapshot(std::vector<tExporterRow>& Rows, tExporterTotals& Totals) const {
    const std::lock_guard<std::mutex> guard(Lock_);
    Rows = Rows_;
    Totals.Kept = Rows_.size();
    Totals.Evicted = Evicted_;
}
