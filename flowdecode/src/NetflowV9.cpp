#include "flowdecode/NetflowV9.h"

#include <utility>

#include "V9Walk.h"
#include "support/ExceptionReport.h"

namespace netflowlib {

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
