#pragma once

#include <cstdint>
#include <string>

#include "TrafficAggregator.h"

class InterfaceNames;
namespace names {
class Locator;
class ReverseDns;
}  // namespace names

// What the views name numbers with; any part may be missing, and then numbers stay numbers.
struct ViewNames {
    const InterfaceNames* Interfaces = nullptr;
    names::Locator* Places = nullptr;    // the window's own: a locator is not shared between threads
    names::ReverseDns* Hosts = nullptr;  // asking it never waits; an unknown name is asked for
};

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

// What a table's row shows for its key: an address, "a <-> b", "TCP", "443 (https)",
// "192.0.2.1, Gi0/0/1 (3), in". Interfaces are named from Names where it is given and knows them.
std::string DescribeKey(TalkerKind Kind, const TalkerKey& Key, const InterfaceNames* Names = nullptr);
// The same with host names beside addresses where they are known ("203.0.113.7 (mail.example.org)"),
// countries as "US (United States of America)" and AS numbers as "AS15169 GOOGLE".
std::string DescribeKey(TalkerKind Kind, const TalkerKey& Key, const ViewNames& Names);
// An address with its host name where Hosts knows it; asks for it otherwise.
std::string AddressLabel(const FlowAddress& Address, names::ReverseDns* Hosts);
// "US", "AS15169 GOOGLE" for a flow's address, "-" where the database has no entry or none is given.
std::string CountryLabel(const FlowAddress& Address, names::Locator* Places);
std::string AsLabel(const FlowAddress& Address, names::Locator* Places);
// What a located key's row says where the database has no entry for its addresses.
inline constexpr const char* kNoPlace = "Unknown";
// Percent of an interface's speed used at BitsPerSecond: "12.5 %"; empty where the speed is unknown.
std::string Utilisation(double BitsPerSecond, std::uint64_t SpeedMbps);
// "Gi0/0/1 (3)" where Names knows the interface, else "3".
std::string InterfaceLabel(const InterfaceNames* Names, const FlowAddress& Exporter, std::uint32_t Index);

// Put before a number that took in flows scaled by their sampling rate.
inline constexpr const char* kEstimateMark = "\u2248";
// "estimated from sampled data, 1 in 1000", or "... 1 in 100 to 1 in 1000" over several rates;
// empty where nothing was sampled.
std::string EstimateNote(const TrafficTotals& Totals);
// "1 in 1000"; empty for a rate of 1 (not sampled, or not known).
std::string SamplingText(std::uint32_t Rate);
// Seconds with milliseconds: "12.345 s", "0.000 s", "-1.500 s".
std::string FormatDuration(std::int64_t Ms);

}  // namespace trafficnames
