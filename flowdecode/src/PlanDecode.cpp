#include "PlanDecode.h"

#include <algorithm>

#include "V9Fields.h"

namespace netflowlib {

namespace {

// Seconds from 1900 (the NTP era) to 1970.
constexpr std::uint64_t kNtpToUnixSeconds = 2208988800ULL;
// Times past the year 9999 are no flow's; capping them keeps every sum of times within 64 bits.
constexpr std::uint64_t kMaxTimeMs = 253402300800000ULL;
constexpr std::uint64_t kMaxDurationUs = 1ULL << 50;

std::int64_t CappedMs(std::uint64_t Ms) { return static_cast<std::int64_t>(std::min(Ms, kMaxTimeMs)); }

// Interface names longer than this are an exporter's mistake or an attack, not a name.
constexpr std::int64_t kMaxNameLength = 255;

// Big-endian value of a field of any length: the last eight bytes of a longer one, as counters
// wider than the record's are kept by their low part.
[[gnu::always_inline]] inline std::uint64_t ReadUnsigned(const ByteReader& Reader, std::int64_t iPos,
                                                         std::int32_t Length) {
    switch (Length) {
        case 1:
            return Reader.ByteOr0(iPos);
        case 2:
            return Reader.U16Or0(iPos);
        case 4:
            return Reader.U32Or0(iPos);
        case 8:
            return (std::uint64_t{Reader.U32Or0(iPos)} << 32) | Reader.U32Or0(iPos + 4);
        default:
            break;
    }
    const std::int32_t Skip = std::max(Length - 8, 0);
    std::uint64_t Value = 0;
    for (std::int32_t i = Skip; i < Length; ++i) Value = (Value << 8) | Reader.ByteOr0(iPos + i);
    return Value;
}

// RFC 7011 section 6.1.9 and 6.1.10: seconds since 1900 in the high word, a binary fraction in
// the low one. Seconds below the 1970 offset belong to the next NTP era (from 2036 on).
std::int64_t NtpToMilliseconds(std::uint64_t Ntp) {
    std::uint64_t Seconds = Ntp >> 32;
    if (Seconds < kNtpToUnixSeconds) Seconds += 1ULL << 32;
    const std::uint64_t Fraction = Ntp & 0xFFFFFFFFULL;
    return static_cast<std::int64_t>((Seconds - kNtpToUnixSeconds) * 1000 + ((Fraction * 1000) >> 32));
}

[[gnu::always_inline]] inline void StoreFact(FactKind Fact, const ByteReader& Reader, std::int64_t iPos,
                                             std::int32_t Length, tFlowFacts& F) {
    using B = tFlowFacts;
    // Every kind but the IPv6 next hop is a number: read it once, before the dispatch.
    const std::uint64_t Number = ReadUnsigned(Reader, iPos, Length);
    const auto Value = [Number] { return Number; };
    const auto U32 = [Number] { return static_cast<std::uint32_t>(Number); };
    switch (Fact) {
        case FactKind::None:
        case FactKind::InterfaceName:
        case FactKind::InterfaceDescription:
            return;
        case FactKind::Bytes:
            F.Bytes = Value();
            F.Present |= B::kBytes;
            return;
        case FactKind::Packets:
            F.Packets = Value();
            F.Present |= B::kPackets;
            return;
        case FactKind::InputIf:
            F.InputIf = U32();
            F.Present |= B::kInputIf;
            return;
        case FactKind::OutputIf:
            F.OutputIf = U32();
            F.Present |= B::kOutputIf;
            return;
        case FactKind::SrcAS:
            F.SrcAS = U32();
            F.Present |= B::kSrcAS;
            return;
        case FactKind::DstAS:
            F.DstAS = U32();
            F.Present |= B::kDstAS;
            return;
        case FactKind::SrcMask:
            F.SrcMask = static_cast<std::uint8_t>(Value());
            F.Present |= B::kSrcMask;
            return;
        case FactKind::DstMask:
            F.DstMask = static_cast<std::uint8_t>(Value());
            F.Present |= B::kDstMask;
            return;
        case FactKind::Tos:
            F.Tos = static_cast<std::uint8_t>(Value());
            F.Present |= B::kTos;
            return;
        case FactKind::TcpFlags:
            // IPFIX sends the flags in two bytes, the lower of which holds the classic eight.
            F.TcpFlags = static_cast<std::uint8_t>(Value());
            F.Present |= B::kTcpFlags;
            return;
        case FactKind::NextHopV4:
            if (Length != 4) return;
            F.NextHopV4 = Reader.U32Or0(iPos);
            F.Present |= B::kNextHopV4;
            return;
        case FactKind::NextHopV6:
            if (Length != 16) return;
            for (std::size_t i = 0; i < F.NextHopV6.size(); ++i)
                F.NextHopV6[i] = Reader.ByteOr0(iPos + static_cast<std::int64_t>(i));
            F.Present |= B::kNextHopV6;
            return;
        case FactKind::FirstUptime:
            F.FirstUptimeMs = U32();
            F.Present |= B::kFirstUptime;
            return;
        case FactKind::LastUptime:
            F.LastUptimeMs = U32();
            F.Present |= B::kLastUptime;
            return;
        case FactKind::StartSeconds:
            F.StartMs = CappedMs(std::min(Value(), kMaxTimeMs / 1000) * 1000);
            F.Present |= B::kStartAbsolute;
            return;
        case FactKind::EndSeconds:
            F.EndMs = CappedMs(std::min(Value(), kMaxTimeMs / 1000) * 1000);
            F.Present |= B::kEndAbsolute;
            return;
        case FactKind::StartMilliseconds:
            F.StartMs = CappedMs(Value());
            F.Present |= B::kStartAbsolute;
            return;
        case FactKind::EndMilliseconds:
            F.EndMs = CappedMs(Value());
            F.Present |= B::kEndAbsolute;
            return;
        case FactKind::StartNtpMicro:
        case FactKind::StartNtpNano:
            if (Length != 8) return;
            F.StartMs = NtpToMilliseconds(Value());
            F.Present |= B::kStartAbsolute;
            return;
        case FactKind::EndNtpMicro:
        case FactKind::EndNtpNano:
            if (Length != 8) return;
            F.EndMs = NtpToMilliseconds(Value());
            F.Present |= B::kEndAbsolute;
            return;
        case FactKind::StartDelta:
            F.StartDeltaUs = U32();
            F.Present |= B::kStartDelta;
            return;
        case FactKind::EndDelta:
            F.EndDeltaUs = U32();
            F.Present |= B::kEndDelta;
            return;
        case FactKind::SystemInit:
            F.SystemInitMs = CappedMs(Value());
            F.Present |= B::kSystemInit;
            return;
        case FactKind::DurationMilliseconds:
            F.DurationUs = std::min(Value(), kMaxDurationUs / 1000) * 1000;
            F.Present |= B::kDuration;
            return;
        case FactKind::DurationMicroseconds:
            F.DurationUs = std::min(Value(), kMaxDurationUs);
            F.Present |= B::kDuration;
            return;
        case FactKind::SamplerId:
            F.SamplerId = Value();
            F.Present |= B::kSamplerId;
            return;
        case FactKind::SamplingInterval:
            F.SamplingInterval = U32();
            F.Present |= B::kSamplingInterval;
            return;
        case FactKind::SamplingAlgorithm:
            F.SamplingAlgorithm = static_cast<std::uint8_t>(Value());
            F.Present |= B::kSamplingAlgorithm;
            return;
        case FactKind::RandomInterval:
            F.RandomInterval = U32();
            F.Present |= B::kRandomInterval;
            return;
        case FactKind::PacketInterval:
            F.PacketInterval = U32();
            F.Present |= B::kPacketInterval;
            return;
        case FactKind::PacketSpace:
            F.PacketSpace = U32();
            F.Present |= B::kPacketSpace;
            return;
        case FactKind::SamplingSize:
            F.SamplingSize = U32();
            F.Present |= B::kSamplingSize;
            return;
        case FactKind::SamplingPopulation:
            F.SamplingPopulation = U32();
            F.Present |= B::kSamplingPopulation;
            return;
    }
}

void AssignText(std::string& Text, const ByteReader& Reader, std::int64_t iPos, std::int32_t Length) {
    const std::int64_t Kept = std::min<std::int64_t>(Length, kMaxNameLength);
    Text.clear();
    for (std::int64_t i = 0; i < Kept; ++i) {
        const auto c = static_cast<char>(Reader.ByteOr0(iPos + i));
        // Names are padded with zeros to the field's length.
        if (c == '\0') break;
        Text.push_back(c);
    }
}

// Calls Visit(step, position, length) for every step of the record at iPos.
template <typename Visitor>
void WalkPlan(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, Visitor&& Visit) {
    if (!Plan.Variable) {
        for (const tPlanStep& Step : Plan.Steps) Visit(Step, iPos + Step.Offset, Step.Length);
        return;
    }
    std::int64_t p = iPos;
    for (const tPlanStep& Step : Plan.Steps) {
        std::int64_t Length = Step.Length;
        if (Length == kVariableFieldLength) {
            std::int64_t Prefix = 0;
            Length = ReadVariableLength(Reader, p, Prefix);
            p += Prefix;
        }
        if (Length > 0) Visit(Step, p, static_cast<std::int32_t>(Length));
        p += Length;
    }
}

}  // namespace

FactKind FactFor(std::int32_t ElementID, bool Enterprise) {
    if (Enterprise) return FactKind::None;
    switch (ElementID) {
        case 1:
            return FactKind::Bytes;
        case 2:
            return FactKind::Packets;
        case 5:
            return FactKind::Tos;
        case 6:
            return FactKind::TcpFlags;
        case 9:
        case 29:
            return FactKind::SrcMask;
        case 13:
        case 30:
            return FactKind::DstMask;
        case 10:
            return FactKind::InputIf;
        case 14:
            return FactKind::OutputIf;
        case 15:
            return FactKind::NextHopV4;
        case 62:
            return FactKind::NextHopV6;
        case 16:
            return FactKind::SrcAS;
        case 17:
            return FactKind::DstAS;
        case 21:
            return FactKind::LastUptime;
        case 22:
            return FactKind::FirstUptime;
        case 34:
            return FactKind::SamplingInterval;
        case 35:
        case 49:
        case 304:
            return FactKind::SamplingAlgorithm;
        case 48:
        case 302:
            return FactKind::SamplerId;
        case 50:
            return FactKind::RandomInterval;
        case 82:
            return FactKind::InterfaceName;
        case 83:
            return FactKind::InterfaceDescription;
        case 150:
            return FactKind::StartSeconds;
        case 151:
            return FactKind::EndSeconds;
        case 152:
            return FactKind::StartMilliseconds;
        case 153:
            return FactKind::EndMilliseconds;
        case 154:
            return FactKind::StartNtpMicro;
        case 155:
            return FactKind::EndNtpMicro;
        case 156:
            return FactKind::StartNtpNano;
        case 157:
            return FactKind::EndNtpNano;
        case 158:
            return FactKind::StartDelta;
        case 159:
            return FactKind::EndDelta;
        case 160:
            return FactKind::SystemInit;
        case 161:
            return FactKind::DurationMilliseconds;
        case 162:
            return FactKind::DurationMicroseconds;
        case 305:
            return FactKind::PacketInterval;
        case 306:
            return FactKind::PacketSpace;
        case 309:
            return FactKind::SamplingSize;
        case 310:
            return FactKind::SamplingPopulation;
        default:
            return FactKind::None;
    }
}

FactKind ScopeFactFor(std::int32_t ScopeType) { return ScopeType == 2 ? FactKind::InputIf : FactKind::None; }

void PlanBuilder::Add(std::int32_t Length, const tFieldRule& Rule, FactKind Fact, bool Scope) {
    if (Length == kVariableFieldLength) {
        Plan_.Variable = true;
        Plan_.MinLength += 1;
    } else {
        Plan_.MinLength += Length;
    }
    if (Rule.WritesMarker) Plan_.LastMarker = &Rule;
    const bool Stores =
        Rule.Value != ValueKind::None && (Length == kVariableFieldLength || FieldLengthAccepted(Rule, Length));
    Plan_.Steps.push_back(tPlanStep{Offset_, Length, Stores ? &Rule : nullptr, Fact, Scope});
    if (Length != kVariableFieldLength) Offset_ += Length;
}

tRecordPlan PlanBuilder::Finish() {
    // A fixed layout needs only the steps that fill something; a variable one needs every step to
    // find the next field. A field of no bytes fills nothing either way.
    auto& Steps = Plan_.Steps;
    Steps.erase(std::remove_if(Steps.begin(), Steps.end(),
                               [this](const tPlanStep& Step) {
                                   if (Step.Length == 0) return true;
                                   return !Plan_.Variable && Step.Rule == nullptr && Step.Fact == FactKind::None;
                               }),
                Steps.end());
    Steps.shrink_to_fit();
    tRecordPlan Done = std::move(Plan_);
    Plan_ = {};
    Offset_ = 0;
    return Done;
}

std::int64_t PlanRecordLength(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos) {
    if (!Plan.Variable) return Plan.MinLength;
    std::int64_t p = iPos;
    for (const tPlanStep& Step : Plan.Steps) {
        if (Step.Length != kVariableFieldLength) {
            p += Step.Length;
            continue;
        }
        std::int64_t Prefix = 0;
        const std::int64_t Length = ReadVariableLength(Reader, p, Prefix);
        if (Length < 0) return -1;
        p += Prefix + Length;
    }
    return p - iPos;
}

void RunPlan(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, tNetflowV9& Slot) {
    WalkPlan(Plan, Reader, iPos, [&](const tPlanStep& Step, std::int64_t p, std::int32_t Length) {
        if (Step.Rule != nullptr) StoreFieldValue(*Step.Rule, Reader, p, Length, Slot);
        if (Step.Fact != FactKind::None) StoreFact(Step.Fact, Reader, p, Length, Slot.Facts);
    });
}

void RunPlanFacts(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, tFlowFacts& Facts) {
    WalkPlan(Plan, Reader, iPos, [&](const tPlanStep& Step, std::int64_t p, std::int32_t Length) {
        if (Step.Fact != FactKind::None) StoreFact(Step.Fact, Reader, p, Length, Facts);
    });
}

void RunOptionsPlan(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, tOptionsRecord& Record) {
    WalkPlan(Plan, Reader, iPos, [&](const tPlanStep& Step, std::int64_t p, std::int32_t Length) {
        if (Step.Fact == FactKind::InterfaceName) {
            AssignText(Record.InterfaceName, Reader, p, Length);
        } else if (Step.Fact == FactKind::InterfaceDescription) {
            AssignText(Record.InterfaceDescription, Reader, p, Length);
        } else {
            StoreFact(Step.Fact, Reader, p, Length, Record.Facts);
        }
    });
    const tFlowFacts& F = Record.Facts;
    Record.HasInterface = F.HasAny(tFlowFacts::kInputIf | tFlowFacts::kOutputIf);
    Record.Interface = F.Has(tFlowFacts::kInputIf) ? F.InputIf : F.OutputIf;
}

void ReadOptionsRecords(const tRecordPlan& Plan, const ByteReader& Reader, std::int64_t iPos, std::int64_t iEnd,
                        std::uint32_t Domain, tWalkExtras& Extras) {
    const std::int64_t MinLength = std::max<std::int64_t>(Plan.MinLength, 1);
    while (iEnd - iPos >= MinLength) {
        const std::int64_t Length = PlanRecordLength(Plan, Reader, iPos);
        if (Length < 0 || iPos + Length > iEnd) {
            ++Extras.OptionsIgnored;
            return;
        }
        if (Extras.Options.size() < kMaxOptionsRecords) {
            tOptionsRecord& Record = Extras.Options.emplace_back();
            Record.Domain = Domain;
            RunOptionsPlan(Plan, Reader, iPos, Record);
        }
        iPos += Length;
    }
}

void ReleaseHeldSets(PendingDataSets& Pending, std::string_view Sender, int Version, std::uint32_t Domain,
                     std::uint16_t TemplateID, bool bOptions, const tRecordPlan& Plan, std::int64_t NowMs,
                     std::vector<tHeldSet>& Taken, tWalkExtras& Extras) {
    int Expired = 0;
    Pending.Take(Sender, Version, Domain, TemplateID, NowMs, Taken, Expired);
    Extras.SetsExpired += Expired;
    for (tHeldSet& Held : Taken) {
        ++Extras.SetsDecodedLate;
        if (bOptions) {
            const ByteReader Reader(Held.Body);
            ReadOptionsRecords(Plan, Reader, 1, Reader.Length() + 1, Domain, Extras);
        } else {
            Pending.Late.push_back(tLateSet{std::move(Held), Plan});
        }
    }
}

}  // namespace netflowlib
