#pragma once

// The collector's own options, after the toolkit has taken its options out. No Qt, so that the
// rules are tested without a window.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ClickHouseClient.h"
#include "FlowAddress.h"
#include "Locations.h"
#include "ReverseDns.h"

struct CollectorOptions {
    bool OpenTraffic = false;  // --traffic
    // --sampling-rate ADDRESS=N (repeatable): the operator's rate, over what the exporter reports.
    std::vector<std::pair<FlowAddress, std::uint32_t>> SamplingRates;
    bool History = true;                // --no-history turns it off
    int HistoryDays = 0;                // --history-days N: raw flows kept; 0 keeps the default
    std::uint64_t HistoryMaxBytes = 0;  // --history-max-size SIZE; 0 keeps the default
    // --clickhouse URL, with the credentials of --clickhouse-password-file read in already.
    std::optional<clickhouse::Endpoint> ClickHouse;
    std::uint64_t ClickHouseSpoolMaxBytes = 0;  // --clickhouse-spool-max SIZE; 0 keeps the default
    // Host names by reverse lookup: --no-dns turns them off, --dns-server ADDRESS[:PORT] picks the
    // server (none given: the system's).
    bool Dns = true;
    std::optional<names::DnsServerAddress> DnsServer;
    // --snmp-community NAME polls the exporters' agents for interface names (SNMP v2c); empty: no
    // polling. --snmp-port N where the agents listen elsewhere than 161.
    std::string SnmpCommunity;
    std::uint16_t SnmpPort = 161;
    // --location-db FILE: countries and AS numbers; Debian's database by default.
    std::string LocationDatabase = names::kLocationDatabase;
};

// "500M", "20G", "1.5T", "800000" (bytes); K, M, G and T count in powers of 1024, with or without
// a trailing "B" or "iB". False for anything else, and for nothing at all.
bool ParseSize(const std::string& Text, std::uint64_t& Bytes);

// False with Error set (naming the option) when an option is malformed; arguments it does not know
// are left alone, as they always were.
bool ParseCollectorOptions(const std::vector<std::string>& Arguments, CollectorOptions& Options, std::string& Error);
