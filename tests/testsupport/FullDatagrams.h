#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "TestDatagrams.h"

// Full-size datagrams as busy exporters send them: 30 records each.
namespace testdatagrams {

inline constexpr int kFullRecords = 30;

inline std::string V5ThirtyRecords() {
    std::vector<V5Flow> flows(kFullRecords);
    for (int i = 0; i < kFullRecords; ++i) {
        flows[i].src = 0x0A000000u + static_cast<std::uint32_t>(i) * 7919u;
        flows[i].dst = 0xC0A80000u + static_cast<std::uint32_t>(i);
        flows[i].sport = static_cast<std::uint16_t>(1024 + i);
        flows[i].octets = 1000u * static_cast<std::uint32_t>(i + 1);
    }
    return V5Datagram(flows);
}

// The 18-field IPv4 template most exporters send, and 30 records of it.
inline std::string V9ThirtyRecords() {
    const std::vector<std::pair<unsigned, unsigned>> fields = {{8, 4},  {12, 4}, {7, 2},  {11, 2}, {4, 1},  {1, 4},
                                                               {2, 4},  {22, 4}, {21, 4}, {6, 1},  {5, 1},  {10, 2},
                                                               {14, 2}, {15, 4}, {9, 1},  {13, 1}, {16, 2}, {17, 2}};
    std::string records;
    for (int i = 0; i < kFullRecords; ++i) {
        PutAddress(records, {10, 0, static_cast<unsigned>(i / 256), static_cast<unsigned>(i % 256)});
        PutAddress(records, {192, 168, 1, static_cast<unsigned>(i)});
        Put16(records, 1024 + i);
        Put16(records, 443);
        Put8(records, 6);
        Put32(records, 1500u * (i + 1));
        Put32(records, 10);
        Put32(records, 1000);
        Put32(records, 2000);
        Put8(records, 0x18);
        Put8(records, 0);
        Put16(records, 1);
        Put16(records, 2);
        PutAddress(records, {10, 255, 0, 1});
        Put8(records, 24);
        Put8(records, 24);
        Put16(records, 64512);
        Put16(records, 64513);
    }
    while (records.size() % 4) records += '\0';
    return V9Header(kFullRecords + 1) + V9Template(256, fields) + V9DataFlowset(256, records);
}

}  // namespace testdatagrams
