#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "FlowAddress.h"
#include "flowdecode/FlowFacts.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"

// One flow as every consumer gets it: numbers only, built once by the handler from the decoded
// record. Bytes and packets are what the exporter counted (raw); SamplingRate says how many packets
// each one that was counted stands for.
struct FlowRecord {
    std::int64_t ReceivedMs = 0;  // wall clock, milliseconds since 1970
    std::int64_t StartMs = 0;     // the exporter's times where it sent them, else the receive time
    std::int64_t EndMs = 0;
    FlowAddress Exporter;
    std::uint32_t Domain = 0;  // version 9 source id, IPFIX observation domain, version 5 engine
    FlowAddress Source;
    FlowAddress Destination;
    FlowAddress NextHop;
    std::uint64_t Bytes = 0;
    std::uint64_t Packets = 0;  // 0 where the exporter sent no count
    std::uint64_t SamplerId = 0;
    std::uint32_t SamplingRate = 1;  // 1: not sampled, or no rate known
    std::uint32_t InputIf = 0;
    std::uint32_t OutputIf = 0;
    std::uint32_t SourceAS = 0;
    std::uint32_t DestinationAS = 0;
    std::uint16_t SourcePort = 0;
    std::uint16_t DestinationPort = 0;
    std::uint8_t Protocol = 0;
    std::uint8_t TcpFlags = 0;
    std::uint8_t Tos = 0;
    std::uint8_t SourceMask = 0;
    std::uint8_t DestinationMask = 0;
    std::uint8_t Version = 0;  // 5, 9 or 10
    bool TimesFromExporter = false;

    // The counts scaled by the sampling rate: estimates where the rate is above 1.
    std::uint64_t ScaledBytes() const { return Bytes * SamplingRate; }
    std::uint64_t ScaledPackets() const { return Packets * SamplingRate; }
    bool Estimated() const { return SamplingRate > 1; }
};

// What the handler knows about the datagram a record came in, beside the record itself.
struct FlowContext {
    FlowAddress Exporter;
    std::uint32_t Domain = 0;
    netflowlib::tExportClock Clock;
    std::int64_t ReceivedMs = 0;
};

// Version 5: the CSV line's dOctets, unsigned 32-bit, so the value is the same.
// TimesImplausible, when given, is set when the exporter's start lay more than a day from the
// receive time (the record then keeps the receive time).
FlowRecord MakeFlowRecord(const netflowlib::tNetflowV5& Record, const FlowContext& Context,
                          bool* TimesImplausible = nullptr);

// Version 9, and version 10 for a record an IPFIX message filled. The counters are taken at the
// width the exporter sent them: the CSV line prints IN_BYTES as a signed 32-bit number, the low word
// of whatever the exporter counted, which for counts of 2^31 and more is no count at all. An IPv6
// flow takes its addresses from the raw bytes.
FlowRecord MakeFlowRecord(const netflowlib::tNetflowV9& Record, const FlowContext& Context, int Version = 9,
                          bool* TimesImplausible = nullptr);

// Same as above, for callers that know only the exporter and the receive time (tests, benchmarks).
FlowRecord MakeFlowRecord(const netflowlib::tNetflowV5& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs);
FlowRecord MakeFlowRecord(const netflowlib::tNetflowV9& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs,
                          int Version = 9);
