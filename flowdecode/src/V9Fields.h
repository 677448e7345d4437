#pragma once

#include <cstdint>
#include <string>

#include "ByteReader.h"
#include "flowdecode/NetflowV9.h"

namespace netflowlib {

class V9Walk;

// How a field type fills its record field.
enum class ValueKind : std::uint8_t {
    None,         // stores nothing
    LowWord,      // the low 32 bits of a counter of any length
    Count16or32,  // 2 bytes or 4 bytes, big-endian
    Byte,         // b1
    Word16,       // b1 b2
    Dotted4,      // b1.b2.b3.b4
    Mask,         // 4 bytes dotted, or 1 byte in decimal
    Ipv6Source,   // four numbers, sixteen when b5 is not zero
    Dotted16,     // sixteen numbers
};

// What its value line looks like.
enum class LineKind : std::uint8_t {
    None,                // no line at all
    Label,               // the label alone
    LabelValue,          // label, then the record field
    PackedCount,         // label, field, " iPtr=" dec, then four bytes in decimal
    PositionValue,       // label, hex position, "]=", the record field
    PositionSecondByte,  // label, hex position, "]=", b2 in decimal
    TypeNumber,          // label, then the field type in decimal
};

// One field type, described as data: the step it sets (0: the step stays), the value line's label,
// whether it writes its step as the "debug.txt" marker, how it stores its value and which template
// lengths it accepts (a length it does not accept leaves the field unchanged).
struct tFieldRule {
    std::int32_t Type;  // -1 for the catch-all rule of unlisted types
    std::int32_t Step;
    const char* Label;
    bool WritesMarker;
    LineKind Line;
    ValueKind Value;
    bool AnyLength;
    std::uint8_t Length1;  // accepted lengths when not AnyLength; 0 = no such length
    std::uint8_t Length2;
    std::int32_t tNetflowV9::*IntField;
    std::string tNetflowV9::*TextField;
    std::int32_t StepAfterStore;  // 0 = none
    std::int32_t StepAfterLine;   // 0 = none
    bool SetsNotes;               // replaces the exception record's Notes with the record position
};

// The rule for a field type; unlisted types get the catch-all rule (step 5000).
const tFieldRule& FieldRuleFor(std::int32_t FieldType);

// The "debug.txt" marker a field of this rule writes.
const std::string& FieldMarkerText(const tFieldRule& Rule);

// Whether Rule stores a field of this template length.
bool FieldLengthAccepted(const tFieldRule& Rule, std::int32_t FieldLength);

// Stores the value of a field of FieldLength bytes at iPtr into Slot as Rule says; a length the rule
// does not accept leaves the slot as it was. The IPFIX records go through here too, so that the same
// values give the same record.
void StoreFieldValue(const tFieldRule& Rule, const ByteReader& Reader, std::int64_t iPtr, std::int32_t FieldLength,
                     tNetflowV9& Slot);

// A template length that says the field carries its own length in front of its value.
constexpr std::int32_t kVariableFieldLength = 65535;

// The length of a variable-length field whose length prefix starts at iPos: one byte below 255, or
// 255 followed by two bytes. Prefix is set to the prefix's own length (1 or 3); -1 when the prefix
// runs past the datagram's end.
std::int64_t ReadVariableLength(const ByteReader& Reader, std::int64_t iPos, std::int64_t& Prefix);

// Decodes the field of type FieldType and template length FieldLength that starts at the walk's
// current position into Slot. Never moves the position.
void DecodeField(V9Walk& Walk, const tFieldRule& Rule, std::int32_t FieldType, std::int32_t FieldLength,
                 tNetflowV9& Slot);

}  // namespace netflowlib
