#pragma once

#include <cstdint>
#include <string>

#include "flowdecode/DecodeServices.h"

namespace netflowlib {

// The decoded export header. Filled by DecodeHeader, then handed by value to the record decoders,
// which find their first record or flowset at 1-based position HeaderLength + 1.
struct tNetflowHeader {
    std::uint16_t Version = 0;      // 5, 9 or 10 (IPFIX); 0 when the datagram was not recognised
    std::uint16_t FlowSets = 0;     // the header's count field (bytes 2-3); IPFIX has none: 0
    std::uint32_t Sys_Uptime = 0;   // IPFIX has none: 0
    std::uint32_t UnixSeconds = 0;  // IPFIX: the export time
    std::uint32_t Unix_NSecs = 0;   // version 5 only
    std::uint32_t Flow_Sequence = 0;
    std::int32_t Engine_Type = 0;        // version 5 only, 0 to 255
    std::int32_t Engine_ID = 0;          // version 5 only, 0 to 255
    std::uint32_t Source_ID = 0;         // version 9; IPFIX: the observation domain id
    std::int32_t Sampling_Interval = 0;  // version 5 only: the raw 16 bits, mode bits included
    std::uint16_t HeaderLength = 0;      // 24 (v5), 20 (v9), 16 (IPFIX) or 0
    std::uint16_t MessageLength = 0;     // IPFIX only: the header's length field (bytes 2-3)
};

inline constexpr std::uint16_t kV5HeaderLength = 24;
inline constexpr std::uint16_t kV9HeaderLength = 20;
inline constexpr std::uint16_t kIpfixHeaderLength = 16;

// Reads the header of one datagram into Header. Never throws: a failure inside is written as an
// exception report ("NetFlowLib.DecodeHeader") and Header keeps what was filled before it.
void DecodeHeader(const std::string& sPacket, tNetflowHeader& Header);
// The same with the failure going to Services.Reporter; false when one was reported.
bool DecodeHeader(const std::string& sPacket, tNetflowHeader& Header, const tDecodeServices& Services);

}  // namespace netflowlib
