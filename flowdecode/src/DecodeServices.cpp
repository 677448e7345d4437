#include "flowdecode/DecodeServices.h"

#include "flowdecode/FileTraceSink.h"
#include "flowdecode/PacketTrace.h"
#include "flowdecode/Templates.h"

namespace netflowlib {

PacketTraceSink::~PacketTraceSink() = default;

tDecodeServices DefaultDecodeServices(PacketTraceSink& Trace) {
    return tDecodeServices{Trace, brix32::DefaultExceptionReporter(), ProcessTemplateStore(), brix32::SystemClock()};
}

tDecodeServices DefaultDecodeServices() {
    // The file sink keeps no state of its own, so one instance serves every call.
    static FileTraceSink Sink;
    return DefaultDecodeServices(Sink);
}

}  // namespace netflowlib
