#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace netflowlib {

// What a version 9 or IPFIX record says beyond the fields its lines show, as full-width numbers: the
// flow record every consumer gets is made from these. Present tells which members the record filled.
struct tFlowFacts {
    enum Bit : std::uint32_t {
        kBytes = 1u << 0,
        kPackets = 1u << 1,
        kInputIf = 1u << 2,
        kOutputIf = 1u << 3,
        kSrcAS = 1u << 4,
        kDstAS = 1u << 5,
        kSrcMask = 1u << 6,
        kDstMask = 1u << 7,
        kTos = 1u << 8,
        kTcpFlags = 1u << 9,
        kNextHopV4 = 1u << 10,
        kNextHopV6 = 1u << 11,
        kFirstUptime = 1u << 12,  // field 22, milliseconds of the exporter's uptime
        kLastUptime = 1u << 13,   // field 21
        kStartAbsolute = 1u << 14,
        kEndAbsolute = 1u << 15,
        kSystemInit = 1u << 16,
        kStartDelta = 1u << 17,
        kEndDelta = 1u << 18,
        kDuration = 1u << 19,
        kSamplerId = 1u << 20,
        kSamplingInterval = 1u << 21,  // 34
        kRandomInterval = 1u << 22,    // 50
        kPacketInterval = 1u << 23,    // 305
        kPacketSpace = 1u << 24,       // 306
        kSamplingSize = 1u << 25,      // 309
        kSamplingPopulation = 1u << 26,
        kSamplingAlgorithm = 1u << 27,  // 35, 49 or 304
    };

    std::uint32_t Present = 0;
    std::uint64_t Bytes = 0;
    std::uint64_t Packets = 0;
    std::uint32_t InputIf = 0;
    std::uint32_t OutputIf = 0;
    std::uint32_t SrcAS = 0;
    std::uint32_t DstAS = 0;
    std::uint8_t SrcMask = 0;
    std::uint8_t DstMask = 0;
    std::uint8_t Tos = 0;
    std::uint8_t TcpFlags = 0;
    std::uint8_t SamplingAlgorithm = 0;
    std::uint32_t NextHopV4 = 0;  // host order
    std::array<std::uint8_t, 16> NextHopV6{};
    std::uint32_t FirstUptimeMs = 0;
    std::uint32_t LastUptimeMs = 0;
    std::int64_t StartMs = 0;  // since 1970, from elements 150 to 157
    std::int64_t EndMs = 0;
    std::int64_t SystemInitMs = 0;   // element 160
    std::uint32_t StartDeltaUs = 0;  // elements 158 and 159: before the export time
    std::uint32_t EndDeltaUs = 0;
    std::uint64_t DurationUs = 0;  // elements 161 and 162
    std::uint64_t SamplerId = 0;   // 48 or 302
    std::uint32_t SamplingInterval = 0;
    std::uint32_t RandomInterval = 0;
    std::uint32_t PacketInterval = 0;
    std::uint32_t PacketSpace = 0;
    std::uint32_t SamplingSize = 0;
    std::uint32_t SamplingPopulation = 0;

    bool Has(std::uint32_t Bits) const { return (Present & Bits) == Bits; }
    bool operator==(const tFlowFacts&) const = default;
    bool HasAny(std::uint32_t Bits) const { return (Present & Bits) != 0; }
};

// The sampling a record's own fields state: 1 in N packets, 0 when they state none or a rate of 0.
// Packet interval and space (RFC 5477) give (interval + space) / interval; size and population give
// population / size; otherwise the sampling interval, then the random interval.
std::uint32_t SamplingRateOf(const tFlowFacts& Facts);

// What one options data record taught: its scope and the facts it carried.
struct tOptionsRecord {
    std::uint32_t Domain = 0;  // the header's source id or observation domain
    bool HasInterface = false;
    std::uint32_t Interface = 0;
    tFlowFacts Facts;
    std::string InterfaceName;         // 82
    std::string InterfaceDescription;  // 83
};

// A record's times as milliseconds since 1970, and whether the exporter gave them.
struct tFlowTimes {
    std::int64_t StartMs = 0;
    std::int64_t EndMs = 0;
    bool FromExporter = false;  // false: both are the receive time
    bool Implausible = false;   // the exporter's start lay more than a day from the receive time
};

// What the datagram's header says about the export time, for the relative forms.
struct tExportClock {
    std::uint32_t SysUptimeMs = 0;  // version 5 and 9
    std::uint32_t UnixSeconds = 0;
    std::uint32_t UnixNanoseconds = 0;  // version 5
    bool HasUptime = false;
};

constexpr std::int64_t kPlausibleTimeSpanMs = 24LL * 3600 * 1000;

// The absolute start and end of a flow from what its record and header carry. Uptime differences
// are taken in 32-bit unsigned terms, so a wrapped uptime or an end that wrapped after its start
// comes out right.
tFlowTimes ComputeFlowTimes(const tFlowFacts& Facts, const tExportClock& Clock, std::int64_t ReceivedMs);
// Version 5: First and Last are uptime milliseconds.
tFlowTimes ComputeV5FlowTimes(std::uint32_t First, std::uint32_t Last, const tExportClock& Clock,
                              std::int64_t ReceivedMs);

}  // namespace netflowlib
