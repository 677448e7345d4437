#include "FlowRecord.h"

namespace {

FlowAddress FromIPv6(const std::array<std::uint8_t, 16>& Bytes) {
    FlowAddress a;
    a.Kind = FlowAddress::IPv6;
    a.Bytes = Bytes;
    return a;
}

}  // namespace

FlowRecord MakeFlowRecord(const netflowlib::tNetflowV5& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs) {
    FlowRecord r;
    r.ReceivedMs = ReceivedMs;
    r.Exporter = Exporter;
    r.Source = FlowAddress::FromIPv4(Record.srcaddr_value);
    r.Destination = FlowAddress::FromIPv4(Record.dstaddr_value);
    r.Bytes = Record.dOctets;
    r.Packets = Record.dPkts;
    r.SourcePort = Record.srcport;
    r.DestinationPort = Record.dstport;
    r.Protocol = Record.prot;
    r.Version = 5;
    return r;
}

FlowRecord MakeFlowRecord(const netflowlib::tNetflowV9& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs,
                          int Version) {
    FlowRecord r;
    r.ReceivedMs = ReceivedMs;
    r.Exporter = Exporter;
    // The text forms of the IPv6 fields are the trace's, not an address's: the raw bytes are.
    if (!Record.IPV4_SRC_ADDR.empty()) {
        r.Source = FlowAddress::FromIPv4(Record.IPV4_SRC_VALUE);
    } else if (!Record.IPV6_SRC_ADDR.empty()) {
        r.Source = FromIPv6(Record.IPV6_SRC_BYTES);
    }
    if (!Record.IPV4_DST_ADDR.empty()) {
        r.Destination = FlowAddress::FromIPv4(Record.IPV4_DST_VALUE);
    } else if (!Record.IPV6_DST_ADDR.empty()) {
        r.Destination = FromIPv6(Record.IPV6_DST_BYTES);
    }
    r.Bytes = static_cast<std::uint32_t>(Record.IN_BYTES);
    r.Packets = static_cast<std::uint32_t>(Record.IN_PKTS);
    // The decoder keeps ports and protocol in wider signed fields; on the wire they are 16 and 8 bits.
    r.SourcePort = static_cast<std::uint16_t>(Record.L4_SRC_PORT);
    r.DestinationPort = static_cast<std::uint16_t>(Record.L4_DST_PORT);
    r.Protocol = static_cast<std::uint8_t>(Record.PROTOCOL);
    r.Version = static_cast<std::uint8_t>(Version);
    return r;
}
