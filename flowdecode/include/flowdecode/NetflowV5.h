#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "flowdecode/NetflowHeader.h"

namespace netflowlib {

// One decoded version 5 flow record; fields in wire order after the two sender texts.
struct tNetflowV5 {
    std::string HostName;
    std::string SenderIP;
    std::string srcaddr;
    std::string dstaddr;
    std::string nexthop;
    std::uint16_t input = 0;
    std::uint16_t output = 0;
    std::uint32_t dPkts = 0;
    std::uint32_t dOctets = 0;
    std::uint32_t First = 0;
    std::uint32_t Last = 0;
    std::uint16_t srcport = 0;
    std::uint16_t dstport = 0;
    std::uint8_t pad1 = 0;
    std::uint8_t tcp_flags = 0;
    std::uint8_t prot = 0;
    std::uint8_t tos = 0;
    std::uint16_t src_as = 0;
    std::uint16_t dst_as = 0;
    std::uint8_t src_mask = 0;
    std::uint8_t dst_mask = 0;
    std::int32_t pad2 = 0;  // the two trailing pad bytes as one 16-bit value
    // The numbers behind srcaddr and dstaddr, in host order, set together with them: who needs the
    // address as a number need not parse the text back.
    std::uint32_t srcaddr_value = 0;
    std::uint32_t dstaddr_value = 0;
    std::uint32_t nexthop_value = 0;
};

constexpr int kMaxV5Records = 30;
constexpr int kV5RecordLength = 48;
using tNetflowV5Records = std::array<tNetflowV5, kMaxV5Records>;

// How many records DecodeV5Packet fills for this datagram: those lying wholly inside it, at most
// the header's FlowSets and at most 30. The datagram handler loops over exactly this many slots.
int V5RecordCount(const std::string& sPacket, const tNetflowHeader& Header);

// Fills slots 0 .. V5RecordCount - 1 of Records; the other slots are left as they are. Not a traced
// operation: it catches nothing, so whatever might be raised inside reaches the caller.
void DecodeV5Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                    tNetflowHeader Header, tNetflowV5Records& Records);

}  // namespace netflowlib
