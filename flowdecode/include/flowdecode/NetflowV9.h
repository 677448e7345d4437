#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "flowdecode/DecodeServices.h"
#include "flowdecode/FlowFacts.h"
#include "flowdecode/NetflowHeader.h"

namespace netflowlib {

class PacketTraceSink;

// One decoded version 9 flow record. Integers are signed 32-bit: a counter of 2^31 or more is held
// (and shown) negative. The spare fields are carried but nothing fills or reads them.
struct tNetflowV9 {
    std::string HostName;
    std::string SenderIP;
    std::int32_t IN_BYTES = 0;
    std::int32_t IN_PKTS = 0;
    std::int32_t Spare1 = 0;
    std::int32_t PROTOCOL = 0;
    std::int32_t SRC_TOS = 0;
    std::int32_t TCP_FLAGS = 0;
    std::int32_t L4_SRC_PORT = 0;
    std::string IPV4_SRC_ADDR;
    std::string SRC_MASK;
    std::string Spare2;
    std::int32_t L4_DST_PORT = 0;
    std::string IPV4_DST_ADDR;
    std::string DST_MASK;
    std::string Spare3;
    std::string IPV4_NEXT_HOP;
    std::string Spare4;
    std::string Spare5;
    std::string IPV6_SRC_ADDR;
    std::string IPV6_DST_ADDR;
    std::int32_t ICMP_TYPE = 0;
    std::string Spare6;
    std::int32_t DIRECTION = 0;
    // The 16 bytes behind IPV6_SRC_ADDR and IPV6_DST_ADDR, set together with them (the texts are the
    // dotted forms the trace and the lines have always shown; FormatIpv6 gives the standard one).
    std::array<std::uint8_t, 16> IPV6_SRC_BYTES{};
    std::array<std::uint8_t, 16> IPV6_DST_BYTES{};
    // The numbers behind IPV4_SRC_ADDR and IPV4_DST_ADDR, in host order, set together with them.
    std::uint32_t IPV4_SRC_VALUE = 0;
    std::uint32_t IPV4_DST_VALUE = 0;
    // The numbers no line shows, for the flow record.
    tFlowFacts Facts;

    // Back to the state of a fresh record, keeping the strings' buffers: a datagram's slots are
    // reused, and building thirty empty records to assign from was a visible share of the work.
    void Reset();
    bool operator==(const tNetflowV9&) const = default;
};

// The handler makes it with kV9InitialSlots empty slots for every datagram; the decoder grows it
// when a datagram carries more records than that, up to the bound on records (DecodeServices.h).
using tNetflowV9Records = std::vector<tNetflowV9>;
constexpr int kV9InitialSlots = 30;

constexpr int kMaxTemplateFields = 30;

struct tTemplateField {
    std::int32_t FieldType = 0;
    std::int32_t FieldLength = 0;
};

// The last template learned, from whichever exporter. Pair k of the template is Fields[k - 1].
struct tTemplateFlowsetFormat {
    std::int32_t FlowSetID = 0;      // never set by the decoder
    std::int32_t FlowSetLength = 0;  // never set by the decoder
    std::int32_t TemplateID = 0;
    std::int32_t FieldCount = 0;  // 0: no template known
    std::array<tTemplateField, kMaxTemplateFields> Fields{};
};

// Written on the listener thread only (by DecodeV9Packet), read there by the datagram handler.
extern tTemplateFlowsetFormat gTemplateFlowsetFormat;

// Decodes one version 9 datagram into Records: record n of the walk goes into slot n - 1, so the
// caller visits slots 0 .. SlotsReached - 1 (a slot of a data flowset skipped for want of a template
// stays empty). Learns templates per exporter into Services.Templates, whose last template the
// handler reads. The trace lines (only when bTrace) and the "debug.txt" markers (always) go to
// Services.Trace, within Services.Bounds. Never throws: a failure goes to Services.Reporter
// ("NetFlowLib.DecodeV9Packet"); slots filled before it stay.
tV9Outcome DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                          tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records,
                          const tDecodeServices& Services);

// The same with the default services (or another trace sink); returns the slots reached.
int DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                   tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records);
int DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                   tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records, PacketTraceSink& Sink);

// Forgets every template of the process-wide store, gTemplateFlowsetFormat included.
void ResetTemplateStore();

}  // namespace netflowlib
