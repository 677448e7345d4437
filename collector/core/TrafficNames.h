#pragma once

#include <cstdint>
#include <string>

#include "TrafficAggregator.h"

// Names and units for the Traffic views. Not thread-safe (the services database is read through a
// cache without a lock): call from one thread, the window's.
namespace trafficnames {

// "TCP", "UDP", "ICMP", ... from a small table, then the system's protocol database, else the number.
std::string ProtocolName(std::uint8_t Protocol);
// The protocol number for a name as ProtocolName gives it (any case); -1 when unknown.
int ProtocolNumber(const std::string& Name);
// The service of a port in the system's services database (TCP, then UDP), or empty.
const std::string& ServiceName(std::uint16_t Port);

// 1000-based units with one decimal: "999 B", "1.5 kB", "12.0 MB", "3.2 GB", "1.1 TB".
std::string FormatBytes(std::uint64_t Bytes);
// "0 bit/s", "850 bit/s", "1.2 kbit/s", "34.5 Mbit/s", "1.0 Gbit/s".
std::string FormatBitRate(double BitsPerSecond);
// One decimal and a percent sign; "-" when Whole is zero.
std::string FormatShare(std::uint64_t Part, std::uint64_t Whole);

// What a table's row shows for its key: an address, "a <-> b", "TCP", "443 (https)".
std::string DescribeKey(TalkerKind Kind, const TalkerKey& Key);

}  // namespace trafficnames
