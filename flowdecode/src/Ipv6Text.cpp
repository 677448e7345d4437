#include "flowdecode/Ipv6Text.h"

#include <charconv>

namespace netflowlib {

namespace {

struct tZeroRun {
    int Start = -1;
    int Length = 0;
};

// A single zero group is never shortened: "::" must stand for two or more.
tZeroRun LongestZeroRun(const std::array<std::uint16_t, 8>& Groups) {
    tZeroRun Best;
    for (int i = 0; i < 8;) {
        if (Groups[static_cast<std::size_t>(i)] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && Groups[static_cast<std::size_t>(j)] == 0) ++j;
        if (j - i > Best.Length && j - i >= 2) Best = tZeroRun{i, j - i};
        i = j;
    }
    return Best;
}

void AppendHexGroup(std::string& s, std::uint16_t Group) {
    char Buf[4];
    const auto Result = std::to_chars(Buf, Buf + sizeof Buf, Group, 16);
    s.append(Buf, Result.ptr);
}

bool Ipv4Mapped(const std::array<std::uint8_t, 16>& Bytes) {
    for (int i = 0; i < 10; ++i) {
        if (Bytes[static_cast<std::size_t>(i)] != 0) return false;
    }
    return Bytes[10] == 0xFF && Bytes[11] == 0xFF;
}

}  // namespace

std::string FormatIpv6(const std::array<std::uint8_t, 16>& Bytes) {
    std::string s;
    if (Ipv4Mapped(Bytes)) {
        s = "::ffff:";
        for (std::size_t i = 12; i < 16; ++i) {
            if (i > 12) s += '.';
            s += std::to_string(Bytes[i]);
        }
        return s;
    }
    std::array<std::uint16_t, 8> Groups{};
    for (std::size_t g = 0; g < 8; ++g) Groups[g] = static_cast<std::uint16_t>((Bytes[2 * g] << 8) | Bytes[2 * g + 1]);
    const tZeroRun Run = LongestZeroRun(Groups);
    for (int g = 0; g < 8; ++g) {
        if (g == Run.Start) {
            s += "::";
            g += Run.Length - 1;
            continue;
        }
        if (!s.empty() && s.back() != ':') s += ':';
        AppendHexGroup(s, Groups[static_cast<std::size_t>(g)]);
    }
    return s;
}

}  // namespace netflowlib
