#pragma once

// The few DNS messages the collector speaks: a question for the name of an address (PTR) and the
// server's answer to it. Pure functions on byte strings, so that every rule about what an answer may
// contain is tested and fuzzed without a network.

#include <cstdint>
#include <string>
#include <string_view>

#include "FlowAddress.h"

namespace names {

enum class DnsAnswerKind : std::uint8_t {
    Name,           // the address has this name
    NoName,         // the server says it has none (NXDOMAIN, or no PTR record)
    ServerFailure,  // SERVFAIL, REFUSED or any other error code
    Malformed,      // the answer to this question, but its records break the rules
    Truncated,      // TC set: the answer did not fit a datagram
    WrongAnswer,    // not an answer to this question (id, flags or question differ, or unreadable)
};

struct DnsAnswer {
    DnsAnswerKind Kind = DnsAnswerKind::WrongAnswer;
    // Without the trailing dot; bytes outside printable ASCII, and '.' or '\' inside a label, are
    // written as in zone files (\DDD, \., \\), so a name is always safe to show.
    std::string Name;
    // How long the answer may be kept: the smallest TTL along the CNAME chain and the PTR for a
    // name; min(SOA TTL, SOA MINIMUM) for a negative answer that has an SOA; -1 when it gives none.
    std::int64_t TtlS = -1;
};

// "7.113.0.203.in-addr.arpa", "0.1.0.0...8.b.d.0.1.0.0.2.ip6.arpa"; empty for an address of kind None.
std::string ReverseName(const FlowAddress& Address);

// A recursive (RD) query for the PTR record of Name (dotted, without escapes); empty when Name is not
// a valid name (a label over 63 octets, an empty label, or over 255 octets on the wire).
std::string BuildPtrQuery(std::uint16_t Id, std::string_view Name);

// Reads Message as the answer to BuildPtrQuery(Id, Name).
DnsAnswer ParsePtrAnswer(std::string_view Message, std::uint16_t Id, std::string_view Name);

}  // namespace names
