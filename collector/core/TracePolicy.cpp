#include "TracePolicy.h"

#include <utility>

#include "support/TextFiles.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;

// The header decoder takes a datagram that starts with version 9 as one, whatever follows.
bool HandledAsVersion9(const unsigned char* Head, std::size_t HeadLength, std::size_t /*Length*/) {
    return HeadLength >= 2 && Head[0] == 0 && Head[1] == 9;
}

}  // namespace

TracePolicy::TracePolicy(std::unique_ptr<netflowlib::PacketTraceSink> Files, brix32::Clock& Clock,
                         CollectorCounters& Counters)
    : Files_(std::move(Files)), Clock_(Clock), Counters_(Counters) {}

bool TracePolicy::LaterVersion9Queued(const DatagramsBehind& Behind) {
    return Behind.AnyLaterQueued(HandledAsVersion9);
}

bool TracePolicy::BeginDatagram(const DatagramsBehind& Behind) {
    // Looking behind costs a scan of the batch and perhaps a peek at the socket: only when a stale
    // or first trace does not decide it already.
    Tracing_ = !EverWritten_;
    if (!Tracing_) {
        const double age = (Clock_.Now() - LastWritten_) * kSecondsPerDay;
        // A clock set back counts as stale too, or the trace could freeze until it catches up.
        Tracing_ = age >= kRefreshSeconds || age < 0 || !LaterVersion9Queued(Behind);
    }
    if (!Tracing_) Counters_.TracesSkipped.Add();
    return Tracing_;
}

void TracePolicy::BatchEnded() {
    if (!MarkerHeld_) return;
    MarkerHeld_ = false;
    Files_->Finish();
}

void TracePolicy::BeginTrace(const std::string& sHeaderText) { Files_->BeginTrace(sHeaderText); }

void TracePolicy::Line(const std::string& sLine) { Files_->Line(sLine); }

void TracePolicy::Marker(const std::string& sText) {
    Files_->Marker(sText);
    MarkerHeld_ = true;
}

void TracePolicy::Finish() {
    // Without the trace the datagram's markers stay with the files' sink until the next trace or
    // the end of the batch, whichever comes first.
    if (!Tracing_) return;
    Tracing_ = false;
    MarkerHeld_ = false;
    Files_->Finish();
    LastWritten_ = Clock_.Now();
    EverWritten_ = true;
    Counters_.TracesWritten.Add();
}

void RemoveLeftoverTraceTemporaries() {
    brix32::RemoveLeftoverTemporaries({netflowlib::kPacketTraceFileName, netflowlib::kMarkerFileName});
}
