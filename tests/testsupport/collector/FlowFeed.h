#pragma once

#include <cstdint>
#include <string>

#include "FlowHandOver.h"
#include "FlowRecord.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"

// Hands over the flow records of one datagram exactly as the datagram handler's per-record loop
// picks them for the CSV file: the version 5 records the decoder filled, the version 9 slots that
// have an IPv4 source. Decodes the datagram itself, so tests can feed the Traffic views from the
// same bytes the handler wrote to the CSV file.
namespace flowfeed {

template <typename Target>  // FlowHandOver, or anything with Add(const FlowRecord&)
inline int Feed(Target& Flows, const std::string& Datagram, const std::string& SenderIP, std::int64_t ReceivedMs) {
    netflowlib::tNetflowHeader header{};
    netflowlib::DecodeHeader(Datagram, header);
    const FlowAddress exporter = FlowAddress::Parse(SenderIP);
    int fed = 0;
    if (header.Version == 5) {
        netflowlib::tNetflowV5Records slots{};
        netflowlib::DecodeV5Packet("host", SenderIP, Datagram, header, slots);
        const int count = netflowlib::V5RecordCount(Datagram, header);
        for (int i = 0; i < count; ++i, ++fed)
            Flows.Add(MakeFlowRecord(slots[static_cast<std::size_t>(i)], exporter, ReceivedMs));
    } else if (header.Version == 9) {
        netflowlib::tNetflowV9Records slots(netflowlib::kV9InitialSlots);
        netflowlib::DiscardTraceSink sink;
        const int count = netflowlib::DecodeV9Packet("host", SenderIP, Datagram, header, false, slots, sink);
        for (int i = 0; i < count && i < static_cast<int>(slots.size()); ++i) {
            if (slots[static_cast<std::size_t>(i)].IPV4_SRC_ADDR.empty()) continue;
            Flows.Add(MakeFlowRecord(slots[static_cast<std::size_t>(i)], exporter, ReceivedMs));
            ++fed;
        }
    }
    if constexpr (requires { Flows.EndDatagram(); }) Flows.EndDatagram();
    return fed;
}

}  // namespace flowfeed
