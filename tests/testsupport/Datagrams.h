#pragma once

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Datagrams for the decoder tests, written as readable hex text or put together from flowsets.
namespace fixtures {

// "00 09 | 00 03  # comment" -> bytes. Blanks, '|' and '-' separate; '#' starts a comment to the end of
// the line.
inline std::string Hex(std::string_view sText) {
    std::string sBytes;
    int iHigh = -1;
    bool bComment = false;
    for (char c : sText) {
        if (c == '\n') bComment = false;
        if (bComment) continue;
        if (c == '#') {
            bComment = true;
            continue;
        }
        int v;
        if (c >= '0' && c <= '9') v = c - '0';
        else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
        else if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '|' || c == '-') continue;
        else throw std::invalid_argument(std::string("not a hex digit: ") + c);
        if (iHigh < 0) {
            iHigh = v;
        } else {
            sBytes += static_cast<char>(iHigh * 16 + v);
            iHigh = -1;
        }
    }
    if (iHigh >= 0) throw std::invalid_argument("odd number of hex digits");
    return sBytes;
}

// A fixture file under tests/flowdecode/data, as hex text.
inline std::string HexFile(const std::string& sName) {
    std::ifstream In(std::string(FLOWDECODE_TEST_DATA) + "/" + sName);
    if (!In) throw std::runtime_error("missing fixture " + sName);
    std::stringstream ss;
    ss << In.rdbuf();
    return Hex(ss.str());
}

inline std::string U8(unsigned v) { return std::string(1, static_cast<char>(v & 0xFF)); }
inline std::string U16(unsigned v) { return U8(v >> 8) + U8(v); }
inline std::string U32(std::uint32_t v) { return U16(v >> 16) + U16(v & 0xFFFF); }

inline std::string V9Header(unsigned Count, std::uint32_t SourceID = 0, std::uint32_t Sequence = 1) {
    return U16(9) + U16(Count) + U32(3600000) + U32(1700000000) + U32(Sequence) + U32(SourceID);
}

struct Pair {
    unsigned Type;
    unsigned Length;
};

// One template (id, count, pairs) as it stands inside a template flowset.
inline std::string Template(unsigned TemplateID, const std::vector<Pair>& Pairs) {
    std::string s = U16(TemplateID) + U16(static_cast<unsigned>(Pairs.size()));
    for (const Pair& p : Pairs) s += U16(p.Type) + U16(p.Length);
    return s;
}

// A flowset with its four-byte header; the length covers the header and the body.
inline std::string Flowset(unsigned FlowSetID, const std::string& sBody) {
    return U16(FlowSetID) + U16(static_cast<unsigned>(sBody.size() + 4)) + sBody;
}

inline std::string TemplateFlowset(unsigned TemplateID, const std::vector<Pair>& Pairs) {
    return Flowset(0, Template(TemplateID, Pairs));
}

// A record of the usual small IPv4 template below: 8/4 12/4 7/2 11/2 4/1 1/4 2/4 (21 bytes).
inline const std::vector<Pair> kIpv4Pairs = {{8, 4}, {12, 4}, {7, 2}, {11, 2}, {4, 1}, {1, 4}, {2, 4}};
inline std::string Ipv4Record(unsigned char Last, unsigned SrcPort, unsigned DstPort, unsigned Protocol,
                              std::uint32_t Bytes, std::uint32_t Packets) {
    return U8(10) + U8(0) + U8(0) + U8(Last) + U8(192) + U8(168) + U8(1) + U8(Last) + U16(SrcPort) + U16(DstPort) +
           U8(Protocol) + U32(Bytes) + U32(Packets);
}

inline std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

}  // namespace fixtures
