#pragma once

// The sampling rate of every exporter: learned from version 5 headers and from options data, or set
// by the operator, who wins. Listener thread only; the Exporters window gets each exporter's
// description through the exporter table.

#include <cstdint>
#include <string>
#include <unordered_map>

#include "FlowAddress.h"
#include "flowdecode/FlowFacts.h"

// What the Exporters window says of an exporter's sampling, and the rate it sorts by (0: none or
// several).
struct SamplingDescription {
    std::uint32_t Rate = 0;
    std::string Text;
};

class SamplingTable {
  public:
    // The operator's rate for an exporter, over anything it reports.
    void SetOverride(const FlowAddress& Exporter, std::uint32_t Rate);
    bool HasOverrides() const { return !Overrides_.empty(); }

    // An options record of this exporter; false when it carried no usable rate (none, or 0), which
    // leaves every rate learned before as it was.
    bool Learn(const FlowAddress& Exporter, const netflowlib::tOptionsRecord& Record);
    bool Empty() const { return Learned_.empty() && Overrides_.empty(); }

    // The rate of one flow: the operator's, else the flow's own sampling fields, else its sampler's,
    // else the exporter's (or its only sampler's) in that domain; 1 when none is known.
    std::uint32_t RateFor(const FlowAddress& Exporter, std::uint32_t Domain, const netflowlib::tFlowFacts& Facts) const;
    // A version 5 header's 16 bits: mode in the top two, interval in the low fourteen.
    std::uint32_t RateForV5(const FlowAddress& Exporter, std::uint16_t HeaderSampling) const;

    // "1 in 1000, options data, sampler 1", "1 in 100, version 5 header", "none reported", ...
    SamplingDescription Describe(const FlowAddress& Exporter, std::uint32_t Domain) const;
    static SamplingDescription DescribeV5(std::uint16_t HeaderSampling);
    // Either of the two, by the version the exporter speaks; the operator's rate first.
    SamplingDescription DescribeFor(const FlowAddress& Exporter, std::uint32_t Domain, int Version,
                                    std::uint16_t V5HeaderSampling) const;

    static constexpr std::uint64_t kNoSampler = ~std::uint64_t{0};

  private:
    struct Key {
        FlowAddress Exporter;
        std::uint32_t Domain = 0;
        std::uint64_t Sampler = kNoSampler;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& K) const noexcept;
    };
    struct AddressHash {
        std::size_t operator()(const FlowAddress& A) const noexcept;
    };
    struct Scope {
        std::uint32_t SamplerCount = 0;
        std::uint64_t OnlySampler = 0;
    };

    std::uint32_t Lookup(const Key& K) const;

    std::unordered_map<FlowAddress, std::uint32_t, AddressHash> Overrides_;
    std::unordered_map<Key, std::uint32_t, KeyHash> Learned_;
    // Per exporter and domain: how many samplers it named, for flows that name none.
    std::unordered_map<Key, Scope, KeyHash> Scopes_;
};
