#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>

// An address of either family, kept as bytes so that comparing and hashing never parse text.
// IPv4 uses the first 4 bytes; the rest stay zero, so two equal addresses are equal byte for byte.
struct FlowAddress {
    enum Family : std::uint8_t { None = 0, IPv4 = 4, IPv6 = 6 };
    std::uint8_t Kind = None;
    std::array<std::uint8_t, 16> Bytes{};

    static FlowAddress FromIPv4(std::uint32_t HostOrder);
    // Dotted IPv4 or IPv6 text; an address of kind None when the text is neither.
    static FlowAddress Parse(const std::string& Text);
    std::uint32_t IPv4HostOrder() const;
    std::string ToString() const;
    // Appends the text form (dotted quad, or RFC 5952 for IPv6) without a temporary.
    void AppendText(std::string& Out) const;

    friend bool operator==(const FlowAddress&, const FlowAddress&) = default;
    friend auto operator<=>(const FlowAddress&, const FlowAddress&) = default;
};

// Where a datagram came from, in numbers: the listener fills it from the socket address, and text
// is made from it only where a consumer shows or stores text.
struct SenderAddress {
    FlowAddress Address;
    std::uint16_t Port = 0;

    friend bool operator==(const SenderAddress&, const SenderAddress&) = default;
};
