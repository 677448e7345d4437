#pragma once

#include <memory>
#include <string>

#include "Counters.h"
#include "DatagramsBehind.h"
#include "flowdecode/PacketTrace.h"
#include "support/Seams.h"

// Stands between the version 9 decoder and the sink that writes the trace files, and decides for
// each datagram whether its trace is worth building. "debug-v9-packet.txt" only ever shows the
// latest datagram, so the trace of one that is followed by another version 9 datagram already
// waiting would be replaced before anyone could read it: that one is decoded without its trace,
// unless the last trace written is older than kRefresh, so that a steady flood still refreshes the
// file. The markers of every datagram pass on to the files' sink, which keeps the latest until it
// next writes; BatchEnded writes one still held back. So whenever the collector is idle both
// files hold what tracing every datagram would have left.
//
// The files' sink must hold everything until Finish, as the staged sink does.
class TracePolicy : public netflowlib::PacketTraceSink {
  public:
    static constexpr double kRefreshSeconds = 0.1;

    TracePolicy(std::unique_ptr<netflowlib::PacketTraceSink> Files, brix32::Clock& Clock, CollectorCounters& Counters);

    // Before a version 9 datagram is decoded: whether to decode it with its trace, given what the
    // listener holds behind it.
    bool BeginDatagram(const DatagramsBehind& Behind);
    // Whether a version 9 datagram that will be decoded waits behind the one being handled, so
    // that the trace of this one would be replaced before anyone could read it.
    static bool LaterVersion9Queued(const DatagramsBehind& Behind);
    // No datagram is waiting any more: a marker held back is written now.
    void BatchEnded();

    void BeginTrace(const std::string& sHeaderText) override;
    void Line(const std::string& sLine) override;
    void Marker(const std::string& sText) override;
    void Finish() override;

  private:
    std::unique_ptr<netflowlib::PacketTraceSink> Files_;
    brix32::Clock& Clock_;
    CollectorCounters& Counters_;
    bool Tracing_ = false;
    bool MarkerHeld_ = false;
    bool EverWritten_ = false;
    brix32::TDateTime LastWritten_ = 0;
};

// At start-up, in the program's directory: removes the temporary files that a run killed while
// replacing a trace file left behind.
void RemoveLeftoverTraceTemporaries();
