#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "FlowAddress.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"

// One flow as the Traffic views need it: numbers only, built once by the handler from the decoded
// record. Byte and packet counts are the values the CSV line holds (see the makers below).
struct FlowRecord {
    std::int64_t ReceivedMs = 0;  // wall clock, milliseconds since 1970
    FlowAddress Exporter;
    FlowAddress Source;
    FlowAddress Destination;
    std::uint64_t Bytes = 0;
    std::uint64_t Packets = 0;  // 0 where the exporter sent no count
    std::uint16_t SourcePort = 0;
    std::uint16_t DestinationPort = 0;
    std::uint8_t Protocol = 0;
    std::uint8_t Version = 0;  // 5, 9 or 10
};

// Version 5: the CSV line's dOctets, unsigned 32-bit, so the value is the same.
FlowRecord MakeFlowRecord(const netflowlib::tNetflowV5& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs);

// Version 9. The CSV line prints IN_BYTES as a signed 32-bit number, the low word of whatever the
// exporter counted, so a count of 2^31 or more appears there with a minus sign. A negative number
// of bytes would turn every sum and share of the Traffic tables into nonsense, so the record takes
// the same 32 bits read unsigned: the CSV value v when v >= 0 and v + 2^32 otherwise. Totals
// therefore equal the CSV's byte column read the same way (and the plain CSV sum whenever no
// line is negative). IN_PKTS is treated alike.
// Version 10 for a record an IPFIX message filled. An IPv6 flow takes its addresses from the raw bytes.
FlowRecord MakeFlowRecord(const netflowlib::tNetflowV9& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs,
                          int Version = 9);
