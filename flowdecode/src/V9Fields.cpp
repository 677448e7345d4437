#include "V9Fields.h"

#include <array>
#include <cstddef>

#include "TextForms.h"
#include "V9Walk.h"

namespace netflowlib {

namespace {

using V = tNetflowV9;
constexpr bool kAny = true;
constexpr bool kExact = false;

// clang-format off
constexpr std::array kRules{
    //         type   step   label                     marker  line                          value                  any    len1 len2 int field          text field          after store/line, notes
    tFieldRule{0,     0,     nullptr,                  false,  LineKind::None,               ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{1,     500,   "IN_BYTES=",              false,  LineKind::LabelValue,         ValueKind::LowWord,    kAny,   0,  0, &V::IN_BYTES,       nullptr,            0,    0,    false},
    tFieldRule{2,     600,   "InPkts=",                false,  LineKind::PackedCount,        ValueKind::Count16or32, kExact, 2,  4, &V::IN_PKTS,        nullptr,            0,    0,    false},
    tFieldRule{4,     700,   "PROTOCOL:=",             false,  LineKind::LabelValue,         ValueKind::Byte,       kExact, 1,  0, &V::PROTOCOL,       nullptr,            0,    0,    false},
    tFieldRule{5,     800,   "SRC_TOS=",               false,  LineKind::LabelValue,         ValueKind::Byte,       kExact, 1,  0, &V::SRC_TOS,        nullptr,            0,    0,    false},
    tFieldRule{6,     900,   "TCP_FLAGS=",             false,  LineKind::LabelValue,         ValueKind::Byte,       kExact, 1,  0, &V::TCP_FLAGS,      nullptr,            0,    0,    false},
    tFieldRule{7,     1000,  "L4_SRC_PORT=",           false,  LineKind::LabelValue,         ValueKind::Word16,     kExact, 2,  0, &V::L4_SRC_PORT,    nullptr,            0,    0,    false},
    tFieldRule{8,     1100,  "IPV4_SRC_ADDR=",         false,  LineKind::LabelValue,         ValueKind::Dotted4,    kExact, 4,  0, nullptr,            &V::IPV4_SRC_ADDR,  0,    0,    false},
    tFieldRule{9,     1200,  "SRC_MASK=",              false,  LineKind::LabelValue,         ValueKind::Mask,       kExact, 4,  1, nullptr,            &V::SRC_MASK,       0,    0,    false},
    tFieldRule{10,    1300,  "INPUT_SNMP=",            false,  LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{11,    1400,  "L4_DST_PORT=",           true,   LineKind::LabelValue,         ValueKind::Word16,     kAny,   0,  0, &V::L4_DST_PORT,    nullptr,            0,    0,    false},
    tFieldRule{12,    1500,  "IPV4_DST_Addr=",         true,   LineKind::LabelValue,         ValueKind::Dotted4,    kExact, 4,  0, nullptr,            &V::IPV4_DST_ADDR,  0,    0,    false},
    tFieldRule{13,    1600,  "DST_MASK=",              true,   LineKind::LabelValue,         ValueKind::Mask,       kExact, 4,  1, nullptr,            &V::DST_MASK,       0,    0,    false},
    tFieldRule{14,    1700,  "OUTPUT_SNMP=",           true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{15,    1800,  "IPV4_NEXT_HOP [",        false,  LineKind::PositionValue,      ValueKind::Dotted4,    kAny,   0,  0, nullptr,            &V::IPV4_NEXT_HOP,  1810, 1820, false},
    tFieldRule{16,    1850,  "SRC_AS [",               false,  LineKind::PositionSecondByte, ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{17,    1800,  "DST_AS [",               true,   LineKind::PositionSecondByte, ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{21,    1900,  "LAST_SWITCHED=",         false,  LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    1910, false},
    tFieldRule{22,    2000,  "FIRST_SWITCHED=",        true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{27,    2100,  "IPV6_SRC_ADDR=",         false,  LineKind::LabelValue,         ValueKind::Ipv6Source, kExact, 16, 0, nullptr,            &V::IPV6_SRC_ADDR,  0,    0,    false},
    tFieldRule{28,    0,     "IPV6_DST_ADDR=",         false,  LineKind::LabelValue,         ValueKind::Dotted16,   kExact, 16, 0, nullptr,            &V::IPV6_DST_ADDR,  0,    0,    false},
    tFieldRule{32,    2300,  "ICMP_TYPE=",             false,  LineKind::LabelValue,         ValueKind::Word16,     kAny,   0,  0, &V::ICMP_TYPE,      nullptr,            0,    0,    false},
    tFieldRule{48,    2400,  "FLOW_SAMPLER_ID=",       true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{51,    2500,  "*Vendor Proprietary*=",  false,  LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{61,    2600,  "DIRECTION=",             true,   LineKind::LabelValue,         ValueKind::Byte,       kAny,   0,  0, &V::DIRECTION,      nullptr,            0,    0,    false},
    tFieldRule{80,    2700,  "IN_DST_MAC=",            true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    true},
    tFieldRule{148,   2800,  "148?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{153,   2900,  "153=",                   true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{227,   3000,  "227?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{228,   3100,  "228?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{233,   3200,  "233?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{256,   3300,  "256?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{281,   3400,  "281?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{282,   3400,  "282?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{346,   3500,  "346?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{364,   3600,  "364?=",                  true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{56701, 3700,  "56701?=",                true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    tFieldRule{56702, 3800,  "56702?=",                true,   LineKind::Label,              ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
    // Every type not listed above.
    tFieldRule{-1,    5000,  "Unprocessed Field type=", true,  LineKind::TypeNumber,         ValueKind::None,       kAny,   0,  0, nullptr,            nullptr,            0,    0,    false},
};
// clang-format on

constexpr std::size_t kUnlistedRule = kRules.size() - 1;
constexpr std::int32_t kDirectIndexLimit = 512;

// Types below 512 find their rule by one index; the two large vendor types by a short scan.
constexpr std::array<std::uint8_t, kDirectIndexLimit> MakeDirectIndex() {
    std::array<std::uint8_t, kDirectIndexLimit> Index{};
    for (auto& i : Index) i = static_cast<std::uint8_t>(kUnlistedRule);
    for (std::size_t r = 0; r < kUnlistedRule; ++r) {
        if (kRules[r].Type < kDirectIndexLimit)
            Index[static_cast<std::size_t>(kRules[r].Type)] = static_cast<std::uint8_t>(r);
    }
    return Index;
}
constexpr auto kDirectIndex = MakeDirectIndex();

// The marker of a type is its step number; the texts are made once so a marker costs no allocation.
const std::string& MarkerText(const tFieldRule& Rule) {
    static const auto kTexts = [] {
        std::array<std::string, kRules.size()> Texts;
        for (std::size_t r = 0; r < kRules.size(); ++r) Texts[r] = DecText(kRules[r].Step);
        return Texts;
    }();
    return kTexts[static_cast<std::size_t>(&Rule - kRules.data())];
}

void CopyAddress(std::array<std::uint8_t, 16>& Bytes, const ByteReader& Reader, std::int64_t iPtr) {
    for (std::size_t i = 0; i < Bytes.size(); ++i) Bytes[i] = Reader.ByteOr0(iPtr + static_cast<std::int64_t>(i));
}

}  // namespace

const std::string& FieldMarkerText(const tFieldRule& Rule) { return MarkerText(Rule); }

bool FieldLengthAccepted(const tFieldRule& Rule, std::int32_t FieldLength) {
    if (Rule.AnyLength) return true;
    return (Rule.Length1 != 0 && FieldLength == Rule.Length1) || (Rule.Length2 != 0 && FieldLength == Rule.Length2);
}

void StoreFieldValue(const tFieldRule& Rule, const ByteReader& Reader, std::int64_t iPtr, std::int32_t FieldLength,
                     tNetflowV9& Slot) {
    // A field of no bytes fills nothing, whatever its rule would read.
    if (Rule.Value == ValueKind::None || FieldLength <= 0 || !FieldLengthAccepted(Rule, FieldLength)) return;
    switch (Rule.Value) {
        case ValueKind::LowWord:
            // The low 32 bits of a counter: the four bytes ending at the field's last byte. A field
            // shorter than four bytes uses only its own bytes, never the ones before it.
            Slot.*Rule.IntField = static_cast<std::int32_t>(FieldLength >= 4 ? Reader.U32Or0(iPtr + FieldLength - 4)
                                                                             : Reader.UintOr0(iPtr, FieldLength));
            break;
        case ValueKind::Count16or32:
            Slot.*Rule.IntField =
                static_cast<std::int32_t>(FieldLength == 2 ? Reader.U16Or0(iPtr) : Reader.U32Or0(iPtr));
            break;
        case ValueKind::Byte:
            Slot.*Rule.IntField = Reader.ByteOr0(iPtr);
            break;
        case ValueKind::Word16:
            Slot.*Rule.IntField = Reader.U16Or0(iPtr);
            break;
        case ValueKind::Dotted4:
            AssignDotted(Slot.*Rule.TextField, Reader, iPtr, 4);
            if (Rule.TextField == &tNetflowV9::IPV4_SRC_ADDR) Slot.IPV4_SRC_VALUE = Reader.U32Or0(iPtr);
            if (Rule.TextField == &tNetflowV9::IPV4_DST_ADDR) Slot.IPV4_DST_VALUE = Reader.U32Or0(iPtr);
            break;
        case ValueKind::Mask:
            AssignDotted(Slot.*Rule.TextField, Reader, iPtr, FieldLength == 4 ? 4 : 1);
            break;
        case ValueKind::Ipv6Source: {
            // Four numbers when the fifth byte is zero, sixteen otherwise: the source form has always
            // read so, unlike the destination form.
            std::string& s = Slot.*Rule.TextField;
            AssignDotted(s, Reader, iPtr, 4);
            if (Reader.ByteOr0(iPtr + 4) != 0) {
                s += '.';
                AppendDotted(s, Reader, iPtr + 4, 12);
            }
            CopyAddress(Slot.IPV6_SRC_BYTES, Reader, iPtr);
            break;
        }
        case ValueKind::Dotted16:
            AssignDotted(Slot.*Rule.TextField, Reader, iPtr, 16);
            CopyAddress(Slot.IPV6_DST_BYTES, Reader, iPtr);
            break;
        case ValueKind::None:
            break;
    }
}

std::int64_t ReadVariableLength(const ByteReader& Reader, std::int64_t iPos, std::int64_t& Prefix) {
    Prefix = 1;
    if (!Reader.Has(iPos, 1)) return -1;
    const std::uint8_t First = Reader.ByteOr0(iPos);
    if (First < 255) return First;
    Prefix = 3;
    if (!Reader.Has(iPos + 1, 2)) return -1;
    return Reader.U16Or0(iPos + 1);
}

const tFieldRule& FieldRuleFor(std::int32_t FieldType) {
    if (FieldType >= 0 && FieldType < kDirectIndexLimit)
        return kRules[kDirectIndex[static_cast<std::size_t>(FieldType)]];
    for (std::size_t r = 0; r < kUnlistedRule; ++r) {
        if (kRules[r].Type == FieldType) return kRules[r];
    }
    return kRules[kUnlistedRule];
}

void DecodeField(V9Walk& Walk, const tFieldRule& Rule, std::int32_t FieldType, std::int32_t FieldLength,
                 tNetflowV9& Slot) {
    if (Rule.Step != 0) Walk.Step(Rule.Step);
    if (Rule.SetsNotes) Walk.SetRecordNotes();
    StoreFieldValue(Rule, Walk.Reader(), Walk.Position(), FieldLength, Slot);
    if (Rule.StepAfterStore != 0) Walk.Step(Rule.StepAfterStore);
    // A value line is written even when the length was not accepted: it then shows the field as it was.
    Walk.Trace().FieldValue(Rule, FieldType, Walk.Position(), Walk.Reader(), Slot);
    if (Rule.StepAfterLine != 0) Walk.Step(Rule.StepAfterLine);
    if (Rule.WritesMarker) Walk.Trace().Marker(MarkerText(Rule));
}

}  // namespace netflowlib
