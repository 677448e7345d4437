#include "FlowRecord.h"

namespace {

FlowAddress FromIPv6(const std::array<std::uint8_t, 16>& Bytes) {
    FlowAddress a;
    a.Kind = FlowAddress::IPv6;
    a.Bytes = Bytes;
    return a;
}

void SetTimes(FlowRecord& r, const netflowlib::tFlowTimes& Times, bool* TimesImplausible) {
    r.StartMs = Times.StartMs;
    r.EndMs = Times.EndMs;
    r.TimesFromExporter = Times.FromExporter;
    if (TimesImplausible != nullptr) *TimesImplausible = Times.Implausible;
}

}  // namespace

FlowRecord MakeFlowRecord(const netflowlib::tNetflowV5& Record, const FlowContext& Context, bool* TimesImplausible) {
    FlowRecord r;
    r.ReceivedMs = Context.ReceivedMs;
    r.Exporter = Context.Exporter;
    r.Domain = Context.Domain;
    r.Source = FlowAddress::FromIPv4(Record.srcaddr_value);
    r.Destination = FlowAddress::FromIPv4(Record.dstaddr_value);
    r.NextHop = FlowAddress::FromIPv4(Record.nexthop_value);
    r.Bytes = Record.dOctets;
    r.Packets = Record.dPkts;
    r.InputIf = Record.input;
    r.OutputIf = Record.output;
    r.SourceAS = Record.src_as;
    r.DestinationAS = Record.dst_as;
    r.SourcePort = Record.srcport;
    r.DestinationPort = Record.dstport;
    r.Protocol = Record.prot;
    r.TcpFlags = Record.tcp_flags;
    r.Tos = Record.tos;
    r.SourceMask = Record.src_mask;
    r.DestinationMask = Record.dst_mask;
    r.Version = 5;
    SetTimes(r, netflowlib::ComputeV5FlowTimes(Record.First, Record.Last, Context.Clock, Context.ReceivedMs),
             TimesImplausible);
    return r;
}

FlowRecord MakeFlowRecord(const netflowlib::tNetflowV9& Record, const FlowContext& Context, int Version,
                          bool* TimesImplausible) {
    using F = netflowlib::tFlowFacts;
    const F& Facts = Record.Facts;
    FlowRecord r;
    r.ReceivedMs = Context.ReceivedMs;
    r.Exporter = Context.Exporter;
    r.Domain = Context.Domain;
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
    if (Facts.Has(F::kNextHopV4)) {
        r.NextHop = FlowAddress::FromIPv4(Facts.NextHopV4);
    } else if (Facts.Has(F::kNextHopV6)) {
        r.NextHop = FromIPv6(Facts.NextHopV6);
    }
    // Records made by hand (tests, tools) may fill only the fields the lines show.
    r.Bytes = Facts.Has(F::kBytes) ? Facts.Bytes : static_cast<std::uint32_t>(Record.IN_BYTES);
    r.Packets = Facts.Has(F::kPackets) ? Facts.Packets : static_cast<std::uint32_t>(Record.IN_PKTS);
    r.SamplerId = Facts.SamplerId;
    r.InputIf = Facts.InputIf;
    r.OutputIf = Facts.OutputIf;
    r.SourceAS = Facts.SrcAS;
    r.DestinationAS = Facts.DstAS;
    // The decoder keeps ports and protocol in wider signed fields; on the wire they are 16 and 8 bits.
    r.SourcePort = static_cast<std::uint16_t>(Record.L4_SRC_PORT);
    r.DestinationPort = static_cast<std::uint16_t>(Record.L4_DST_PORT);
    r.Protocol = static_cast<std::uint8_t>(Record.PROTOCOL);
    r.TcpFlags = Facts.TcpFlags;
    r.Tos = Facts.Tos;
    r.SourceMask = Facts.SrcMask;
    r.DestinationMask = Facts.DstMask;
    r.Version = static_cast<std::uint8_t>(Version);
    SetTimes(r, netflowlib::ComputeFlowTimes(Facts, Context.Clock, Context.ReceivedMs), TimesImplausible);
    return r;
}

FlowRecord MakeFlowRecord(const netflowlib::tNetflowV5& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs) {
    FlowContext Context;
    Context.Exporter = Exporter;
    Context.ReceivedMs = ReceivedMs;
    FlowRecord r = MakeFlowRecord(Record, Context);
    // Without the header's clock there is no export time to place the flow by.
    r.StartMs = r.EndMs = ReceivedMs;
    r.TimesFromExporter = false;
    return r;
}

FlowRecord MakeFlowRecord(const netflowlib::tNetflowV9& Record, const FlowAddress& Exporter, std::int64_t ReceivedMs,
                          int Version) {
    FlowContext Context;
    Context.Exporter = Exporter;
    Context.ReceivedMs = ReceivedMs;
    return MakeFlowRecord(Record, Context, Version);
}
