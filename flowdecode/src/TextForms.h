#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "ByteReader.h"

namespace netflowlib {

// Number and address texts shared by the decoders and the trace. They append to a caller's buffer
// so that a line is built without a heap allocation per number.

inline void AppendDec(std::string& sOut, std::int64_t Value) {
    char Buf[24];
    const auto Result = std::to_chars(Buf, Buf + sizeof Buf, Value);
    sOut.append(Buf, Result.ptr);
}

// Upper-case hexadecimal with at least MinDigits digits; a negative value shows the eight digits of
// its 32-bit two's complement.
inline void AppendHex(std::string& sOut, std::int64_t Value, int MinDigits) {
    const std::uint64_t Bits = Value < 0 ? std::uint64_t{static_cast<std::uint32_t>(static_cast<std::int32_t>(Value))}
                                         : static_cast<std::uint64_t>(Value);
    char Buf[20];
    auto Result = std::to_chars(Buf, Buf + sizeof Buf, Bits, 16);
    const int Digits = static_cast<int>(Result.ptr - Buf);
    for (int i = Digits; i < MinDigits; ++i) sOut += '0';
    for (char* p = Buf; p != Result.ptr; ++p) sOut += (*p >= 'a' && *p <= 'f') ? static_cast<char>(*p - 'a' + 'A') : *p;
}

inline void AppendHex2(std::string& sOut, std::int64_t Value) { AppendHex(sOut, Value, 2); }
inline void AppendHex4(std::string& sOut, std::int64_t Value) { AppendHex(sOut, Value, 4); }

// Dotted form of Count bytes from iPos: each byte in decimal, joined by "."; missing bytes as 0.
inline void AppendDotted(std::string& sOut, const ByteReader& Reader, std::int64_t iPos, int Count) {
    for (int i = 0; i < Count; ++i) {
        if (i > 0) sOut += '.';
        AppendDec(sOut, Reader.ByteOr0(iPos + i));
    }
}

// Replaces sField with the dotted form, reusing its buffer (an IPv4 text never needs the heap).
inline void AssignDotted(std::string& sField, const ByteReader& Reader, std::int64_t iPos, int Count) {
    sField.clear();
    AppendDotted(sField, Reader, iPos, Count);
}

inline std::string DecText(std::int64_t Value) {
    std::string s;
    AppendDec(s, Value);
    return s;
}

}  // namespace netflowlib
