#pragma once

#include <cstdint>

#include "Counters.h"

// The collector's totals read at one moment by the window's timer, as plain numbers.
struct tCounterSnapshot {
    std::uint64_t DatagramsReceived = 0;
    std::uint64_t KernelDrops = 0;
    std::uint64_t OversizeDropped = 0;
    std::uint64_t V5Datagrams = 0;
    std::uint64_t V9Datagrams = 0;
    std::uint64_t IpfixDatagrams = 0;
    std::uint64_t TooShort = 0;
    std::uint64_t UnknownVersion = 0;
    std::uint64_t Flows = 0;
    std::uint64_t Bytes = 0;
    std::uint64_t CsvLinesWritten = 0;
    std::uint64_t CsvLinesLost = 0;
    std::uint64_t TracesWritten = 0;
    std::uint64_t TracesSkipped = 0;
    std::uint64_t ExceptionReports = 0;
    std::uint64_t BoundCuts = 0;
    std::uint64_t TemplatesRefused = 0;
    std::uint64_t FlowsDroppedByBounds = 0;
    std::uint64_t TemplatesEvicted = 0;
    std::uint64_t SetsHeld = 0;
    std::uint64_t SetsDecodedLate = 0;
    std::uint64_t SetsLost = 0;
};

inline tCounterSnapshot TakeSnapshot(const CollectorCounters& C) {
    tCounterSnapshot s;
    s.DatagramsReceived = C.DatagramsReceived.Get();
    s.KernelDrops = C.KernelDrops.Get();
    s.OversizeDropped = C.OversizeDropped.Get();
    s.V5Datagrams = C.V5Datagrams.Get();
    s.V9Datagrams = C.V9Datagrams.Get();
    s.IpfixDatagrams = C.IpfixDatagrams.Get();
    s.TooShort = C.TooShort.Get();
    s.UnknownVersion = C.UnknownVersion.Get();
    s.Flows = C.Flows.Get();
    s.Bytes = C.Bytes.Get();
    s.CsvLinesWritten = C.CsvLinesWritten.Get();
    s.CsvLinesLost = C.CsvLinesLost.Get();
    s.TracesWritten = C.TracesWritten.Get();
    s.TracesSkipped = C.TracesSkipped.Get();
    s.ExceptionReports = C.ExceptionReports.Get();
    s.BoundCuts = C.BoundCuts.Get();
    s.TemplatesRefused = C.TemplatesRefused.Get();
    s.FlowsDroppedByBounds = C.FlowsDroppedByBounds.Get();
    s.TemplatesEvicted = C.TemplatesEvicted.Get();
    s.SetsHeld = C.SetsHeld.Get();
    s.SetsDecodedLate = C.SetsDecodedLate.Get();
    s.SetsLost = C.SetsLost.Get();
    return s;
}
