#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FlowRecord.h"

// The filter of the Traffic window's flow table and of the history queries: blank-separated terms that must all match.
// A term is an address or a prefix ("10.1.2.3", "10.1.0.0/16", "2001:db8::/32": source, destination or exporter), a
// port (source or destination), a protocol name ("tcp") or number with "proto:", or "exporter:" with an address or
// prefix, which matches the exporter only.
class FlowFilter {
  public:
    // Replaces the terms; on a term it cannot read it keeps none and says which in Error.
    bool Parse(const std::string& Text, std::string* Error = nullptr);
    bool Matches(const FlowRecord& Record) const;
    bool Empty() const { return Terms_.empty(); }

    struct Term {
        enum class Kind { Address, Exporter, Port, Protocol } What = Kind::Address;
        FlowAddress Net;
        int PrefixBits = 0;
        std::uint16_t Port = 0;
        std::uint8_t Protocol = 0;
    };
    // For a store that narrows its search before it matches each record.
    const std::vector<Term>& Terms() const { return Terms_; }

  private:
    static bool ParseTerm(const std::string& Text, Term& Out);
    static bool InNet(const FlowAddress& A, const Term& T);

    std::vector<Term> Terms_;
};
