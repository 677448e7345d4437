#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace netflowlib {

// The standard text of an IPv6 address (RFC 5952): lower-case hexadecimal groups without leading
// zeros, the longest run of two or more zero groups (the first of equal runs) as "::", and an
// IPv4-mapped address with its last 32 bits dotted ("::ffff:192.0.2.1").
std::string FormatIpv6(const std::array<std::uint8_t, 16>& Bytes);

}  // namespace netflowlib
