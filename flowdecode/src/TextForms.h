#pragma once

#include <array>
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

// The decimal text of every byte value, so that an address costs table look-ups rather than
// divisions: three addresses per version 5 record, millions of records a second.
struct tByteText {
    char Digits[3];
    std::uint8_t Length;
};
inline constexpr std::array<tByteText, 256> kByteTexts = [] {
    std::array<tByteText, 256> Texts{};
    for (int b = 0; b < 256; ++b) {
        tByteText& t = Texts[static_cast<std::size_t>(b)];
        if (b >= 100) t.Digits[t.Length++] = static_cast<char>('0' + b / 100);
        if (b >= 10) t.Digits[t.Length++] = static_cast<char>('0' + b / 10 % 10);
        t.Digits[t.Length++] = static_cast<char>('0' + b % 10);
    }
    return Texts;
}();

// Dotted form of bytes that may run past the datagram's end (missing ones read as 0); out of line,
// so that the common case below stays small where it is inlined.
[[gnu::noinline]] inline void AppendDottedChecked(std::string& sOut, const ByteReader& Reader, std::int64_t iPos,
                                                  int Count) {
    for (int i = 0; i < Count; ++i) {
        if (i > 0) sOut += '.';
        const tByteText& Text = kByteTexts[Reader.ByteOr0(iPos + i)];
        sOut.append(Text.Digits, Text.Length);
    }
}

// Writes the dotted form of Count bytes at Out and returns its length. Every byte's three digit
// slots are written whatever its length, so Out must hold 4 * Count - 1 characters.
inline std::size_t WriteDotted(char* Out, const std::uint8_t* Bytes, int Count) {
    std::size_t n = 0;
    for (int i = 0; i < Count; ++i) {
        if (i > 0) Out[n++] = '.';
        const tByteText& Text = kByteTexts[Bytes[i]];
        Out[n] = Text.Digits[0];
        Out[n + 1] = Text.Digits[1];
        Out[n + 2] = Text.Digits[2];
        n += Text.Length;
    }
    return n;
}

// Dotted form of Count bytes from iPos: each byte in decimal, joined by "."; missing bytes as 0.
inline void AppendDotted(std::string& sOut, const ByteReader& Reader, std::int64_t iPos, int Count) {
    constexpr int kChunk = 16;  // an IPv6 address at once
    if (Count <= 0 || Count > kChunk || !Reader.Has(iPos, Count)) {
        AppendDottedChecked(sOut, Reader, iPos, Count);
        return;
    }
    // The common case, an address wholly inside the datagram: no bounds check per byte.
    const auto* Bytes = reinterpret_cast<const std::uint8_t*>(Reader.View(iPos, Count).data());
    // A dotted IPv4 address (15 characters at most) is written straight into the string's own small
    // buffer: a fixed-size append and a cut back cost a few moves, where building it aside and
    // copying the exact length went through a copy loop that cost more than the whole text.
    constexpr std::size_t kShort = 15;
    const std::size_t Old = sOut.size();
    if (Count <= 4 && sOut.capacity() - Old >= kShort) {
        sOut.append(kShort, '.');
        sOut.resize(Old + WriteDotted(sOut.data() + Old, Bytes, Count));
        return;
    }
    char Buf[kChunk * 4];
    sOut.append(Buf, WriteDotted(Buf, Bytes, Count));
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
