#pragma once

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Export datagrams for every test and the benchmark, as exporters put them on the wire (big-endian):
// written as readable hex text or put together from flowsets. The builders in testdatagrams below
// are the same ones in the form the collector tests and the benchmark write them.
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
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '|' || c == '-')
            continue;
        else
            throw std::invalid_argument(std::string("not a hex digit: ") + c);
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

#ifdef FLOWDECODE_TEST_DATA
// A fixture file under tests/flowdecode/data, as hex text.
inline std::string HexFile(const std::string& sName) {
    std::ifstream In(std::string(FLOWDECODE_TEST_DATA) + "/" + sName);
    if (!In) throw std::runtime_error("missing fixture " + sName);
    std::stringstream ss;
    ss << In.rdbuf();
    return Hex(ss.str());
}
#endif

inline std::string U8(unsigned v) { return std::string(1, static_cast<char>(v & 0xFF)); }
inline std::string U16(unsigned v) { return U8(v >> 8) + U8(v); }
inline std::string U32(std::uint32_t v) { return U16(v >> 16) + U16(v & 0xFFFF); }

inline std::string V9Header(unsigned Count, std::uint32_t SourceID = 0, std::uint32_t Sequence = 1,
                            std::uint32_t Uptime = 3600000) {
    return U16(9) + U16(Count) + U32(Uptime) + U32(1700000000) + U32(Sequence) + U32(SourceID);
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

// IPFIX (version 10): a message of sets behind its 16-byte header, whose length is the message's own
// unless given.
inline std::string IpfixMessage(const std::string& sSets, std::uint32_t Domain = 0, std::uint32_t Sequence = 1,
                                int LengthField = -1) {
    const unsigned Length =
        LengthField >= 0 ? static_cast<unsigned>(LengthField) : static_cast<unsigned>(sSets.size() + 16);
    return U16(10) + U16(Length) + U32(1700000000) + U32(Sequence) + U32(Domain) + sSets;
}

// A field specifier; an Enterprise number other than 0 sets the element id's top bit.
struct IpfixSpec {
    unsigned ElementID;
    unsigned Length;
    std::uint32_t Enterprise = 0;
};

inline std::string IpfixTemplate(unsigned TemplateID, const std::vector<IpfixSpec>& Specs) {
    std::string s = U16(TemplateID) + U16(static_cast<unsigned>(Specs.size()));
    for (const IpfixSpec& f : Specs) {
        s += U16(f.Enterprise != 0 ? (f.ElementID | 0x8000u) : f.ElementID) + U16(f.Length);
        if (f.Enterprise != 0) s += U32(f.Enterprise);
    }
    return s;
}

// A variable-length value with its prefix: one byte below 255, else 255 and two bytes.
inline std::string VariableValue(const std::string& sValue, bool bLongForm = false) {
    if (!bLongForm && sValue.size() < 255) return U8(static_cast<unsigned>(sValue.size())) + sValue;
    return U8(255) + U16(static_cast<unsigned>(sValue.size())) + sValue;
}

inline std::string Repeat(const std::string& s, int n) {
    std::string r;
    for (int i = 0; i < n; ++i) r += s;
    return r;
}

// The IPFIX message of the decoding benchmarks: the usual IPv4 template and 30 of its records.
inline std::string IpfixThirtyIpv4Records() {
    std::vector<IpfixSpec> Specs;
    for (const Pair& p : kIpv4Pairs) Specs.push_back({p.Type, p.Length});
    return IpfixMessage(Flowset(2, IpfixTemplate(256, Specs)) +
                        Flowset(256, Repeat(Ipv4Record(1, 1024, 443, 6, 1500, 3), 30)));
}

}  // namespace fixtures

// The appending forms, and the datagrams of the collector tests and the benchmark.
namespace testdatagrams {

inline void Put8(std::string& s, unsigned v) { s += fixtures::U8(v); }
inline void Put16(std::string& s, unsigned v) { s += fixtures::U16(v); }
inline void Put32(std::string& s, std::uint32_t v) { s += fixtures::U32(v); }
inline void PutAddress(std::string& s, std::initializer_list<unsigned> bytes) {
    for (unsigned b : bytes) Put8(s, b);
}

struct V5Flow {
    std::uint32_t src = 0x0A000001;  // 10.0.0.1
    std::uint32_t dst = 0xC0A80114;  // 192.168.1.20
    std::uint16_t sport = 1234;
    std::uint16_t dport = 80;
    std::uint8_t prot = 6;
    std::uint32_t octets = 123456;
    std::uint32_t first = 1000;
    std::uint32_t last = 5000;
};

inline std::string V5Header(unsigned count, std::uint32_t uptime = 1, std::uint32_t sequence = 0) {
    using namespace fixtures;
    return U16(5) + U16(count) + U32(uptime) + U32(1700000000) + U32(0) + U32(sequence) + U8(0) + U8(0) + U16(0);
}

inline std::string V5Record(const V5Flow& f) {
    using namespace fixtures;
    return U32(f.src) + U32(f.dst) + U32(0) + U16(1) + U16(2) + U32(10) + U32(f.octets) + U32(f.first) + U32(f.last) +
           U16(f.sport) + U16(f.dport) + U8(0) + U8(0x18) + U8(f.prot) + U8(0) + U16(0) + U16(0) + U8(24) + U8(24) +
           U16(0);
}

inline std::string V5Datagram(const std::vector<V5Flow>& flows, std::uint32_t sequence = 0) {
    std::string s = V5Header(static_cast<unsigned>(flows.size()), 1, sequence);
    for (const V5Flow& f : flows) s += V5Record(f);
    return s;
}

inline std::string V9Header(unsigned count, std::uint32_t sourceId = 0, std::uint32_t sequence = 7) {
    return fixtures::V9Header(count, sourceId, sequence, 123456);
}

// A template flowset with one template of (type, length) pairs.
inline std::string V9Template(unsigned templateId, const std::vector<std::pair<unsigned, unsigned>>& fields) {
    std::vector<fixtures::Pair> pairs;
    for (auto [type, length] : fields) pairs.push_back({type, length});
    return fixtures::TemplateFlowset(templateId, pairs);
}

inline std::string V9DataFlowset(unsigned flowsetId, const std::string& records) {
    return fixtures::Flowset(flowsetId, records);
}

// The template most examples use: src, dst, sport, dport, protocol, bytes.
inline const std::vector<std::pair<unsigned, unsigned>>& BasicIPv4Template() {
    static const std::vector<std::pair<unsigned, unsigned>> fields = {{8, 4}, {12, 4}, {7, 2}, {11, 2}, {4, 1}, {1, 4}};
    return fields;
}

inline std::string BasicIPv4Record(std::initializer_list<unsigned> src, std::initializer_list<unsigned> dst,
                                   unsigned sport, unsigned dport, unsigned proto, std::uint32_t bytes) {
    std::string s;
    PutAddress(s, src);
    PutAddress(s, dst);
    Put16(s, sport);
    Put16(s, dport);
    Put8(s, proto);
    Put32(s, bytes);
    return s;
}

}  // namespace testdatagrams
