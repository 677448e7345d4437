#include "flowdecode/FlowFacts.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <optional>

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

namespace {

// One end of a flow as a record may state it, in each of its forms.
struct tEndForms {
    std::uint32_t AbsoluteBit;
    std::int64_t AbsoluteMs;
    std::uint32_t DeltaBit;
    std::uint32_t DeltaUs;
    std::uint32_t UptimeBit;
    std::uint32_t UptimeMs;
};

// The most direct form an exporter sent wins: absolute times, then microseconds before the export,
// then milliseconds since its start (IPFIX 160) or of its uptime.
std::optional<std::int64_t> EndOf(const tFlowFacts& F, const tEndForms& End, const tExportClock& Clock,
                                  std::int64_t ExportMs) {
    if (F.Has(End.AbsoluteBit)) return End.AbsoluteMs;
    if (F.Has(End.DeltaBit)) return ExportMs - End.DeltaUs / 1000;
    if (!F.Has(End.UptimeBit)) return std::nullopt;
    if (F.Has(tFlowFacts::kSystemInit)) return F.SystemInitMs + End.UptimeMs;
    if (Clock.HasUptime) return ExportMs - UptimeDifference(Clock.SysUptimeMs, End.UptimeMs);
    return std::nullopt;
}

}  // namespace

tFlowTimes ComputeFlowTimes(const tFlowFacts& F, const tExportClock& Clock, std::int64_t ReceivedMs) {
    using B = tFlowFacts;
    const std::int64_t ExportMs = ExportMilliseconds(Clock);
    std::optional<std::int64_t> Start =
        EndOf(F, {B::kStartAbsolute, F.StartMs, B::kStartDelta, F.StartDeltaUs, B::kFirstUptime, F.FirstUptimeMs},
              Clock, ExportMs);
    std::optional<std::int64_t> End = EndOf(
        F, {B::kEndAbsolute, F.EndMs, B::kEndDelta, F.EndDeltaUs, B::kLastUptime, F.LastUptimeMs}, Clock, ExportMs);
    if (F.Has(B::kDuration)) {
        const auto DurationMs = static_cast<std::int64_t>(F.DurationUs / 1000);
        if (Start && !End) End = *Start + DurationMs;
        if (End && !Start) Start = *End - DurationMs;
    }
    if (!Start && !End) return tFlowTimes{ReceivedMs, ReceivedMs, false, false};
    return Finish(Start.value_or(*End), End.value_or(*Start), ReceivedMs);
}

tFlowTimes ComputeV5FlowTimes(std::uint32_t First, std::uint32_t Last, const tExportClock& Clock,
                              std::int64_t ReceivedMs) {
    const std::int64_t ExportMs = ExportMilliseconds(Clock);
    const std::int64_t Start = ExportMs - UptimeDifference(Clock.SysUptimeMs, First);
    const std::int64_t End = ExportMs - UptimeDifference(Clock.SysUptimeMs, Last);
    return Finish(Start, End, ReceivedMs);
}

}  // namespace netflowlib
