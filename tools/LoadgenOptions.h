// Command line of nf-loadgen: what the operator asked for, and the parser that checks it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace loadgen {

constexpr int kV5MaxRecords = 30;
// Keeps a v9 datagram below 8000 bytes, the usual receive buffer of a collector.
constexpr int kV9MaxRecords = 170;
// IPFIX carries the same records with a smaller header; the same bound keeps runs comparable.
constexpr int kIpfixMaxRecords = kV9MaxRecords;
constexpr int kMaxBurst = 64;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitSocket = 4;

struct Options {
    int netflowVersion = 5;  // 5, 9 or 10 (IPFIX)
    std::string host = "127.0.0.1";
    std::uint16_t port = 9996;
    double rate = 0;  // 0: not given; a given rate is always positive
    std::optional<double> duration;
    std::optional<std::uint64_t> count;
    int records = 30;
    std::uint64_t templateEvery = 1;
    std::uint32_t sourceId = 0;
    int burst = 1;
    double spinMicros = 20;
    bool allowRemote = false;
    bool quiet = false;
    // Flows between addresses spread over the public IPv4 space rather than two private networks,
    // so that looking up their countries and AS numbers costs what it does on the Internet's.
    bool publicAddresses = false;
    // --replay: the capture whose UDP payloads are sent, at their original pace divided by speed.
    std::string replayFile;
    std::optional<double> speed;
    bool asFastAsPossible = false;
};

enum class Request { Send, Help, Version, UsageError };

// Fills opts from argv. On UsageError the reason, naming the option, is already on standard error.
Request ParseArguments(int argc, char** argv, Options& opts);

void PrintUsage(std::FILE* out);

}  // namespace loadgen
