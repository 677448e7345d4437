#include "SamplingTable.h"

#include <functional>

namespace {
constexpr std::uint32_t kV5IntervalMask = 0x3FFF;
}

std::size_t SamplingTable::AddressHash::operator()(const FlowAddress& A) const noexcept {
    std::size_t h = A.Kind;
    for (const std::uint8_t b : A.Bytes) h = h * 131 + b;
    return h;
}

std::size_t SamplingTable::KeyHash::operator()(const Key& K) const noexcept {
    return AddressHash{}(K.Exporter) ^ (std::hash<std::uint64_t>{}(K.Sampler) * 31 + K.Domain);
}

void SamplingTable::SetOverride(const FlowAddress& Exporter, std::uint32_t Rate) {
    if (Rate > 0) Overrides_[Exporter] = Rate;
}

bool SamplingTable::Learn(const FlowAddress& Exporter, const netflowlib::tOptionsRecord& Record) {
    const std::uint32_t Rate = netflowlib::SamplingRateOf(Record.Facts);
    if (Rate == 0) return false;
    const bool Named = Record.Facts.Has(netflowlib::tFlowFacts::kSamplerId);
    const Key K{Exporter, Record.Domain, Named ? Record.Facts.SamplerId : kNoSampler};
    const bool New = Learned_.find(K) == Learned_.end();
    Learned_[K] = Rate;
    if (Named && New) {
        Scope& S = Scopes_[Key{Exporter, Record.Domain, kNoSampler}];
        ++S.SamplerCount;
        S.OnlySampler = K.Sampler;
    }
    return true;
}

std::uint32_t SamplingTable::Lookup(const Key& K) const {
    const auto It = Learned_.find(K);
    return It == Learned_.end() ? 0 : It->second;
}

std::uint32_t SamplingTable::RateFor(const FlowAddress& Exporter, std::uint32_t Domain,
                                     const netflowlib::tFlowFacts& Facts) const {
    if (!Overrides_.empty()) {
        const auto It = Overrides_.find(Exporter);
        if (It != Overrides_.end()) return It->second;
    }
    if (const std::uint32_t Own = netflowlib::SamplingRateOf(Facts); Own > 0) return Own;
    if (Learned_.empty()) return 1;
    if (Facts.Has(netflowlib::tFlowFacts::kSamplerId)) {
        if (const std::uint32_t Rate = Lookup(Key{Exporter, Domain, Facts.SamplerId}); Rate > 0) return Rate;
    }
    if (const std::uint32_t Rate = Lookup(Key{Exporter, Domain, kNoSampler}); Rate > 0) return Rate;
    // A flow that names no sampler, from an exporter that runs exactly one: that one's.
    const auto It = Scopes_.find(Key{Exporter, Domain, kNoSampler});
    if (It != Scopes_.end() && It->second.SamplerCount == 1) {
        if (const std::uint32_t Rate = Lookup(Key{Exporter, Domain, It->second.OnlySampler}); Rate > 0) return Rate;
    }
    return 1;
}

std::uint32_t SamplingTable::RateForV5(const FlowAddress& Exporter, std::uint16_t HeaderSampling) const {
    if (!Overrides_.empty()) {
        const auto It = Overrides_.find(Exporter);
        if (It != Overrides_.end()) return It->second;
    }
    const std::uint32_t Interval = HeaderSampling & kV5IntervalMask;
    return Interval > 0 ? Interval : 1;
}

namespace {

SamplingDescription Stated(std::uint32_t Rate, const std::string& Source) {
    return {Rate, "1 in " + std::to_string(Rate) + ", " + Source};
}

const SamplingDescription kNoneReported{0, "none reported"};

}  // namespace

SamplingDescription SamplingTable::DescribeV5(std::uint16_t HeaderSampling) {
    const std::uint32_t Interval = HeaderSampling & kV5IntervalMask;
    if (Interval == 0) return kNoneReported;
    const unsigned Mode = HeaderSampling >> 14;
    return Stated(Interval, "version 5 header" + (Mode != 0 ? ", mode " + std::to_string(Mode) : ""));
}

SamplingDescription SamplingTable::Describe(const FlowAddress& Exporter, std::uint32_t Domain) const {
    if (const auto It = Overrides_.find(Exporter); It != Overrides_.end()) return Stated(It->second, "--sampling-rate");
    if (const std::uint32_t Rate = Lookup(Key{Exporter, Domain, kNoSampler}); Rate > 0)
        return Stated(Rate, "options data");
    const auto It = Scopes_.find(Key{Exporter, Domain, kNoSampler});
    if (It == Scopes_.end()) return kNoneReported;
    if (It->second.SamplerCount == 1) {
        return Stated(Lookup(Key{Exporter, Domain, It->second.OnlySampler}),
                      "options data, sampler " + std::to_string(It->second.OnlySampler));
    }
    // Flows that name no sampler get none of the rates: no one rate describes the exporter.
    return {0, std::to_string(It->second.SamplerCount) + " samplers, options data"};
}

SamplingDescription SamplingTable::DescribeFor(const FlowAddress& Exporter, std::uint32_t Domain, int Version,
                                               std::uint16_t V5HeaderSampling) const {
    if (Version == 5 && Overrides_.find(Exporter) == Overrides_.end()) return DescribeV5(V5HeaderSampling);
    return Describe(Exporter, Domain);
}
