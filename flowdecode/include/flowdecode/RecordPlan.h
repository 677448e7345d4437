#pragma once

#include <cstdint>
#include <vector>

namespace netflowlib {

struct tFieldRule;

// Where a field's value goes in tFlowFacts (or, for options records, in their texts).
enum class FactKind : std::uint8_t {
    None,
    Bytes,
    Packets,
    InputIf,
    OutputIf,
    SrcAS,
    DstAS,
    SrcMask,
    DstMask,
    Tos,
    TcpFlags,
    NextHopV4,
    NextHopV6,
    FirstUptime,
    LastUptime,
    StartSeconds,
    EndSeconds,
    StartMilliseconds,
    EndMilliseconds,
    StartNtpMicro,
    EndNtpMicro,
    StartNtpNano,
    EndNtpNano,
    StartDelta,
    EndDelta,
    SystemInit,
    DurationMilliseconds,
    DurationMicroseconds,
    SamplerId,
    SamplingInterval,
    SamplingAlgorithm,
    RandomInterval,
    PacketInterval,
    PacketSpace,
    SamplingSize,
    SamplingPopulation,
    InterfaceName,
    InterfaceDescription,
};

// One field of a template as the plan decodes it.
struct tPlanStep {
    std::int32_t Offset = 0;  // from the record's first byte; fixed-length templates only
    std::int32_t Length = 0;  // 65535: variable length
    const tFieldRule* Rule = nullptr;
    FactKind Fact = FactKind::None;
    bool Scope = false;  // an options template's scope field
};

// A template compiled once when it is learned: the record decoders then read each record by
// these steps, without looking anything up per field.
struct tRecordPlan {
    // Fixed-length templates: only the fields that fill something, at their offsets. Templates with
    // variable-length fields: every field, in order, since each one moves the next.
    std::vector<tPlanStep> Steps;
    bool Variable = false;
    // The record's length; with variable-length fields, its shortest form (one byte for each).
    std::int64_t MinLength = 0;
    // The last field that writes the "debug.txt" marker, for the walks that leave the trace out.
    const tFieldRule* LastMarker = nullptr;
};

}  // namespace netflowlib
