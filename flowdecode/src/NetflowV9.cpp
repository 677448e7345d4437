#include "flowdecode/NetflowV9.h"

#include <utility>

#include "V9Walk.h"
#include "support/ExceptionReport.h"

namespace netflowlib {

void tNetflowV9::Reset() {
    for (std::string* Text : {&HostName, &SenderIP, &IPV4_SRC_ADDR, &SRC_MASK, &Spare2, &IPV4_DST_ADDR, &DST_MASK,
                              &Spare3, &IPV4_NEXT_HOP, &Spare4, &Spare5, &IPV6_SRC_ADDR, &IPV6_DST_ADDR, &Spare6}) {
        Text->clear();
    }
    for (std::int32_t* Number : {&IN_BYTES, &IN_PKTS, &Spare1, &PROTOCOL, &SRC_TOS, &TCP_FLAGS, &L4_SRC_PORT,
                                 &L4_DST_PORT, &ICMP_TYPE, &DIRECTION}) {
        *Number = 0;
    }
    IPV6_SRC_BYTES = {};
    IPV6_DST_BYTES = {};
    IPV4_SRC_VALUE = 0;
    IPV4_DST_VALUE = 0;
    Facts = {};
}

namespace {
constexpr const char* kDecodeV9Function = "NetFlowLib.DecodeV9Packet";
}  // namespace

tV9Outcome DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                          tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records,
                          const tDecodeServices& Services) {
    brix32::tLogRec LogRec(kDecodeV9Function);
    brix32::tExceptionRec ExceptionRec;
    V9Walk Walk(sHostName, sSenderIP, sPacket, Header, bTrace, Records, Services, LogRec, ExceptionRec);
    const auto Body = [&] {
        try {
            Walk.Run();
        } catch (...) {
            // The sink gets the trace so far before the report is written.
            Services.Trace.Finish();
            throw;
        }
        Services.Trace.Finish();
    };
    const bool bOk = brix32::RunTraced(kDecodeV9Function, LogRec, ExceptionRec, Body, Services.Reporter);
    tV9Outcome& Outcome = Walk.Outcome();
    Outcome.Failed = !bOk;
    return std::move(Outcome);
}

int DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                   tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records, PacketTraceSink& Sink) {
    return DecodeV9Packet(sHostName, sSenderIP, sPacket, Header, bTrace, Records, DefaultDecodeServices(Sink))
        .SlotsReached;
}

int DecodeV9Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                   tNetflowHeader Header, bool bTrace, tNetflowV9Records& Records) {
    return DecodeV9Packet(sHostName, sSenderIP, sPacket, Header, bTrace, Records, DefaultDecodeServices()).SlotsReached;
}

}  // namespace netflowlib
