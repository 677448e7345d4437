#pragma once

#include <cstdint>

#include "FlowRecord.h"

namespace flowfeed {

// A flow as the Traffic views take it; the tests choose what they look at and leave the rest.
struct TestFlow {
    FlowAddress Source;
    FlowAddress Destination;
    std::uint64_t Bytes = 0;
    std::int64_t ReceivedMs = 0;
    std::uint8_t Protocol = 6;
    std::uint16_t DestinationPort = 80;
    FlowAddress Exporter{FlowAddress::IPv4, {192, 0, 2, 1}};
    std::uint64_t Packets = 2;
    std::uint16_t SourcePort = 40000;
    std::uint8_t Version = 5;

    operator FlowRecord() const {  // NOLINT(google-explicit-constructor): builders read as records
        FlowRecord r;
        r.ReceivedMs = ReceivedMs;
        r.Exporter = Exporter;
        r.Source = Source;
        r.Destination = Destination;
        r.Bytes = Bytes;
        r.Packets = Packets;
        r.SourcePort = SourcePort;
        r.DestinationPort = DestinationPort;
        r.Protocol = Protocol;
        r.Version = Version;
        return r;
    }
};

}  // namespace flowfeed
