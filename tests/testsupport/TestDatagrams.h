#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

// Builders for export datagrams as exporters put them on the wire (big-endian).
namespace testdatagrams {

inline void Put8(std::string& s, unsigned v) { s += static_cast<char>(v & 0xFF); }
inline void Put16(std::string& s, unsigned v) {
    Put8(s, v >> 8);
    Put8(s, v);
}
inline void Put32(std::string& s, std::uint32_t v) {
    Put16(s, v >> 16);
    Put16(s, v & 0xFFFF);
}
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
    std::string s;
    Put16(s, 5);
    Put16(s, count);
    Put32(s, uptime);
    Put32(s, 1700000000);
    Put32(s, 0);
    Put32(s, sequence);
    Put8(s, 0);
    Put8(s, 0);
    Put16(s, 0);
    return s;
}

inline std::string V5Datagram(const std::vector<V5Flow>& flows, std::uint32_t sequence = 0) {
    std::string s = V5Header(static_cast<unsigned>(flows.size()), 1, sequence);
    for (const V5Flow& f : flows) {
        Put32(s, f.src);
        Put32(s, f.dst);
        Put32(s, 0);  // next hop
        Put16(s, 1);
        Put16(s, 2);
        Put32(s, 10);  // packets
        Put32(s, f.octets);
        Put32(s, f.first);
        Put32(s, f.last);
        Put16(s, f.sport);
        Put16(s, f.dport);
        Put8(s, 0);
        Put8(s, 0x18);
        Put8(s, f.prot);
        Put8(s, 0);
        Put16(s, 0);
        Put16(s, 0);
        Put8(s, 24);
        Put8(s, 24);
        Put16(s, 0);
    }
    return s;
}

inline std::string V9Header(unsigned count, std::uint32_t sourceId = 0, std::uint32_t sequence = 7) {
    std::string s;
    Put16(s, 9);
    Put16(s, count);
    Put32(s, 123456);
    Put32(s, 1700000000);
    Put32(s, sequence);
    Put32(s, sourceId);
    return s;
}

// A template flowset with one template of (type, length) pairs.
inline std::string V9Template(unsigned templateId, const std::vector<std::pair<unsigned, unsigned>>& fields) {
    std::string body;
    Put16(body, templateId);
    Put16(body, static_cast<unsigned>(fields.size()));
    for (auto [type, length] : fields) {
        Put16(body, type);
        Put16(body, length);
    }
    std::string s;
    Put16(s, 0);
    Put16(s, static_cast<unsigned>(body.size() + 4));
    return s + body;
}

inline std::string V9DataFlowset(unsigned flowsetId, const std::string& records) {
    std::string s;
    Put16(s, flowsetId);
    Put16(s, static_cast<unsigned>(records.size() + 4));
    return s + records;
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
