#include "flowdecode/FlowFacts.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace netflowlib {

namespace {

// A 32-bit uptime difference, modulo 2^32: an uptime that wrapped between the flow and the export
// still gives the small difference it is, and a flow stamped a moment after its export a small
// negative one.
std::int64_t UptimeDifference(std::uint32_t Later, std::uint32_t Earlier) {
    return static_cast<std::int32_t>(Later - Earlier);
}

std::int64_t ExportMilliseconds(const tExportClock& Clock) {
    return std::int64_t{Clock.UnixSeconds} * 1000 + Clock.UnixNanoseconds / 1000000;
}

tFlowTimes Finish(std::int64_t Start, std::int64_t End, std::int64_t ReceivedMs) {
    tFlowTimes Times{Start, std::max(End, Start), true, false};
    if (std::llabs(Start - ReceivedMs) > kPlausibleTimeSpanMs) return tFlowTimes{ReceivedMs, ReceivedMs, false, true};
    return Times;
}

}  // namespace

std::uint32_t SamplingRateOf(const tFlowFacts& F) {
    using B = tFlowFacts;
    if (F.Has(B::kPacketInterval) && F.PacketInterval > 0) {
        const double Rate =
            (static_cast<double>(F.PacketInterval) + static_cast<double>(F.PacketSpace)) / F.PacketInterval;
        return static_cast<std::uint32_t>(std::lround(Rate));
    }
    if (F.Has(B::kSamplingPopulation | B::kSamplingSize) && F.SamplingSize > 0 && F.SamplingPopulation > 0) {
        return static_cast<std::uint32_t>(
            std::max(1L, std::lround(static_cast<double>(F.SamplingPopulation) / F.SamplingSize)));
    }
    if (F.Has(B::kSamplingInterval) && F.SamplingInterval > 0) return F.SamplingInterval;
    if (F.Has(B::kRandomInterval) && F.RandomInterval > 0) return F.RandomInterval;
    return 0;
}

tFlowTimes ComputeFlowTimes(const tFlowFacts& F, const tExportClock& Clock, std::int64_t ReceivedMs) {
    using B = tFlowFacts;
    const std::int64_t ExportMs = ExportMilliseconds(Clock);
    bool HasStart = false;
    bool HasEnd = false;
    std::int64_t Start = 0;
    std::int64_t End = 0;
    // The most direct form an exporter sent wins: absolute times, then microseconds before the
    // export, then milliseconds since its start (IPFIX 160) or of its uptime.
    if (F.Has(B::kStartAbsolute)) {
        Start = F.StartMs;
        HasStart = true;
    } else if (F.Has(B::kStartDelta)) {
        Start = ExportMs - F.StartDeltaUs / 1000;
        HasStart = true;
    } else if (F.Has(B::kFirstUptime) && F.Has(B::kSystemInit)) {
        Start = F.SystemInitMs + F.FirstUptimeMs;
        HasStart = true;
    } else if (F.Has(B::kFirstUptime) && Clock.HasUptime) {
        Start = ExportMs - UptimeDifference(Clock.SysUptimeMs, F.FirstUptimeMs);
        HasStart = true;
    }
    if (F.Has(B::kEndAbsolute)) {
        End = F.EndMs;
        HasEnd = true;
    } else if (F.Has(B::kEndDelta)) {
        End = ExportMs - F.EndDeltaUs / 1000;
        HasEnd = true;
    } else if (F.Has(B::kLastUptime) && F.Has(B::kSystemInit)) {
        End = F.SystemInitMs + F.LastUptimeMs;
        HasEnd = true;
    } else if (F.Has(B::kLastUptime) && Clock.HasUptime) {
        End = ExportMs - UptimeDifference(Clock.SysUptimeMs, F.LastUptimeMs);
        HasEnd = true;
    }
    const auto DurationMs = static_cast<std::int64_t>(F.DurationUs / 1000);
    if (F.Has(B::kDuration)) {
        if (HasStart && !HasEnd) {
            End = Start + DurationMs;
            HasEnd = true;
        } else if (HasEnd && !HasStart) {
            Start = End - DurationMs;
            HasStart = true;
        }
    }
    if (!HasStart && !HasEnd) return tFlowTimes{ReceivedMs, ReceivedMs, false, false};
    if (!HasStart) Start = End;
    if (!HasEnd) End = Start;
    return Finish(Start, End, ReceivedMs);
}

tFlowTimes ComputeV5FlowTimes(std::uint32_t First, std::uint32_t Last, const tExportClock& Clock,
                              std::int64_t ReceivedMs) {
    const std::int64_t ExportMs = ExportMilliseconds(Clock);
    const std::int64_t Start = ExportMs - UptimeDifference(Clock.SysUptimeMs, First);
    const std::int64_t End = ExportMs - UptimeDifference(Clock.SysUptimeMs, Last);
    return Finish(Start, End, ReceivedMs);
}

}  // namespace netflowlib
