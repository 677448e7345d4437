#include "flowdecode/Ipfix.h"

#include <utility>

#include "IpfixWalk.h"
#include "support/ExceptionReport.h"

namespace netflowlib {

namespace {
constexpr const char* kDecodeIpfixFunction = "NetFlowLib.DecodeIpfixPacket";
}  // namespace

tIpfixOutcome DecodeIpfixPacket(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                                const tNetflowHeader& Header, tNetflowV9Records& Records,
                                const tDecodeServices& Services, IpfixTemplateStore& Templates) {
    brix32::tLogRec LogRec(kDecodeIpfixFunction);
    brix32::tExceptionRec ExceptionRec;
    IpfixWalk Walk(sHostName, sSenderIP, sPacket, Header, Records, Services, Templates, LogRec, ExceptionRec);
    const auto Body = [&] { Walk.Run(); };
    const bool bOk = brix32::RunTraced(kDecodeIpfixFunction, LogRec, ExceptionRec, Body, Services.Reporter);
    tIpfixOutcome& Outcome = Walk.Outcome();
    Outcome.Failed = !bOk;
    return std::move(Outcome);
}

tIpfixOutcome DecodeIpfixPacket(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                                const tNetflowHeader& Header, tNetflowV9Records& Records,
                                const tDecodeServices& Services) {
    return DecodeIpfixPacket(sHostName, sSenderIP, sPacket, Header, Records, Services, ProcessIpfixTemplateStore());
}

}  // namespace netflowlib
