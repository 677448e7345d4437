#pragma once

#include <atomic>
#include <cstdint>

#include "WriteFailure.h"

// The collector's own totals since start. Each counter has one writer, the listener thread, which
// bumps it with a relaxed load and store (no locked instruction on the hot path); any thread may
// read them at any time and sees each counter whole, if not all of them from the same instant.
class Counter {
  public:
    void Add(std::uint64_t Amount = 1) {
        Value_.store(Value_.load(std::memory_order_relaxed) + Amount, std::memory_order_relaxed);
    }
    // For counters the kernel keeps for us (drops on the socket): the writer stores its latest reading.
    void Set(std::uint64_t Value) { Value_.store(Value, std::memory_order_relaxed); }
    std::uint64_t Get() const { return Value_.load(std::memory_order_relaxed); }

  private:
    std::atomic<std::uint64_t> Value_{0};
};

struct CollectorCounters {
    // Listener
    Counter DatagramsReceived;  // every datagram taken from the socket, oversize ones included
    Counter KernelDrops;        // datagrams the kernel dropped for want of buffer space
    Counter OversizeDropped;    // longer than the listener's buffer, never handed on

    // Handler, by what the header said
    Counter V5Datagrams;
    Counter V9Datagrams;
    Counter IpfixDatagrams;
    Counter TooShort;  // shorter than a header
    Counter UnknownVersion;
    Counter Flows;  // records that gave a CSV line
    Counter Bytes;  // their byte counts

    // Files
    Counter CsvLinesWritten;
    Counter CsvLinesLost;
    LastWriteFailure CsvFailure;  // why the latest lost line was lost, and its file
    Counter TracesWritten;
    Counter TracesSkipped;  // traces not built because a later one would replace them unread
    Counter ExceptionReports;

    // Bounds on the work one datagram may cause
    Counter BoundCuts;         // datagrams whose records or trace were cut by the bounds
    Counter TemplatesRefused;  // templates not learned because of the bounds
    Counter FlowsDroppedByBounds;
    Counter TemplatesEvicted;  // pushed out of the template stores by their bounds

    // Data that arrived before its template
    Counter SetsHeld;
    Counter SetsDecodedLate;
    Counter SetsLost;  // dropped after waiting too long, or for want of room to wait
};
