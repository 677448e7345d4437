#include "flowdecode/PendingSets.h"

#include <algorithm>

#include "PlanDecode.h"

namespace netflowlib {

namespace {
// What a held set costs beside its bytes.
constexpr std::size_t kSetOverhead = sizeof(tHeldSet) + 32;

std::size_t Cost(const tHeldSet& Set) { return Set.Body.size() + kSetOverhead; }
}  // namespace

struct PendingDataSets::tExporter {
    std::list<tHeldSet> Sets;  // in arrival order
    std::size_t Bytes = 0;
    // Per template, its sets in arrival order, so that a template's arrival takes only its own.
    std::unordered_map<std::uint16_t, std::deque<std::list<tHeldSet>::iterator>> ByTemplate;
};

PendingDataSets::PendingDataSets(tPendingLimits Limits) : Limits_(Limits) {}
PendingDataSets::~PendingDataSets() = default;

PendingDataSets::tExporter* PendingDataSets::Find(std::string_view Sender, int Version, std::uint32_t Scope,
                                                  bool Create) {
    Probe_.assign(Sender);
    Probe_.push_back('/');
    Probe_.append(std::to_string(Version));
    Probe_.push_back('/');
    Probe_.append(std::to_string(Scope));
    const auto It = Exporters_.find(Probe_);
    if (It != Exporters_.end()) return It->second.get();
    if (!Create) return nullptr;
    return Exporters_.emplace(Probe_, std::make_unique<tExporter>()).first->second.get();
}

void PendingDataSets::Forget(std::string_view Sender, int Version, std::uint32_t Scope) {
    if (Find(Sender, Version, Scope, false) != nullptr) Exporters_.erase(Probe_);
}

int PendingDataSets::ExpireOld(tExporter& Exporter, std::int64_t NowMs) {
    int Count = 0;
    while (!Exporter.Sets.empty() && NowMs - Exporter.Sets.front().ReceivedMs > Limits_.MaxAgeMs) {
        tHeldSet& Oldest = Exporter.Sets.front();
        auto& Queue = Exporter.ByTemplate[Oldest.TemplateID];
        // Both lists are in arrival order, so the oldest set is the first of its template's.
        Queue.pop_front();
        if (Queue.empty()) Exporter.ByTemplate.erase(Oldest.TemplateID);
        Exporter.Bytes -= Cost(Oldest);
        TotalBytes_ -= Cost(Oldest);
        --TotalSets_;
        Exporter.Sets.pop_front();
        ++Count;
    }
    return Count;
}

bool PendingDataSets::Hold(std::string_view Sender, int Version, std::uint32_t Scope, const tHeldSet& Set,
                           std::int64_t NowMs, int& Expired) {
    Expired = 0;
    tExporter* Exporter = Find(Sender, Version, Scope, true);
    Expired = ExpireOld(*Exporter, NowMs);
    const std::size_t Needed = Cost(Set);
    const bool Refused = Exporter->Sets.size() >= Limits_.SetsPerExporter ||
                         Exporter->Bytes + Needed > Limits_.BytesPerExporter ||
                         TotalBytes_ + Needed > Limits_.TotalBytes;
    if (Refused) {
        if (Exporter->Sets.empty()) Forget(Sender, Version, Scope);
        return false;
    }
    Exporter->Sets.push_back(Set);
    Exporter->ByTemplate[Set.TemplateID].push_back(std::prev(Exporter->Sets.end()));
    Exporter->Bytes += Needed;
    TotalBytes_ += Needed;
    ++TotalSets_;
    return true;
}

void PendingDataSets::Take(std::string_view Sender, int Version, std::uint32_t Scope, std::uint16_t TemplateID,
                           std::int64_t NowMs, std::vector<tHeldSet>& Out, int& Expired) {
    Out.clear();
    Expired = 0;
    if (TotalSets_ == 0) return;
    tExporter* Exporter = Find(Sender, Version, Scope, false);
    if (Exporter == nullptr) return;
    Expired = ExpireOld(*Exporter, NowMs);
    const auto It = Exporter->ByTemplate.find(TemplateID);
    if (It != Exporter->ByTemplate.end()) {
        for (const auto& Held : It->second) {
            Exporter->Bytes -= Cost(*Held);
            TotalBytes_ -= Cost(*Held);
            --TotalSets_;
            Out.push_back(std::move(*Held));
            Exporter->Sets.erase(Held);
        }
        Exporter->ByTemplate.erase(It);
    }
    if (Exporter->Sets.empty()) Forget(Sender, Version, Scope);
}

int DecodeLateSet(const tLateSet& Late, const std::string& sHostName, const std::string& sSenderIP,
                  tNetflowV9Records& Slots) {
    const ByteReader Reader(Late.Set.Body);
    const std::int64_t iEnd = Reader.Length() + 1;
    const std::int64_t MinLength = std::max<std::int64_t>(Late.Plan.MinLength, 1);
    std::size_t Count = 0;
    for (std::int64_t iPos = 1; iEnd - iPos >= MinLength;) {
        const std::int64_t Length = PlanRecordLength(Late.Plan, Reader, iPos);
        if (Length < 0 || iPos + Length > iEnd) break;
        if (Count >= Slots.size()) Slots.resize(Count + 1);
        tNetflowV9& Slot = Slots[Count++];
        Slot.Reset();
        Slot.HostName = sHostName;
        Slot.SenderIP = sSenderIP;
        RunPlan(Late.Plan, Reader, iPos, Slot);
        iPos += Length;
    }
    Slots.resize(Count);
    return static_cast<int>(Count);
}

}  // namespace netflowlib
