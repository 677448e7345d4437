#include "CommandLine.h"

#include <charconv>
#include <cmath>

namespace {

constexpr const char* kSamplingRate = "--sampling-rate";
constexpr const char* kHistoryDays = "--history-days";
constexpr const char* kHistoryMaxSize = "--history-max-size";
constexpr const char* kClickHouse = "--clickhouse";
constexpr const char* kClickHousePasswordFile = "--clickhouse-password-file";
constexpr const char* kClickHouseSpoolMax = "--clickhouse-spool-max";
constexpr const char* kDnsServer = "--dns-server";
constexpr const char* kSnmpCommunity = "--snmp-community";
constexpr const char* kSnmpPort = "--snmp-port";
constexpr const char* kLocationDb = "--location-db";
// A rate above this is no router's: the version 5 header holds 14 bits, options data rarely more
// than a million.
constexpr std::uint32_t kMaxRate = 1'000'000'000;
// Beyond a century nobody means days.
constexpr std::uint32_t kMaxDays = 36500;

bool ParseSamplingRate(const std::string& Value, CollectorOptions& Options, std::string& Error) {
    const std::size_t eq = Value.rfind('=');
    const auto fail = [&] {
        Error = std::string(kSamplingRate) + ": expected ADDRESS=N with an IPv4 or IPv6 address and N from 1 to " +
                std::to_string(kMaxRate) + ", got \"" + Value + "\"";
        return false;
    };
    if (eq == std::string::npos) return fail();
    const FlowAddress Address = FlowAddress::Parse(Value.substr(0, eq));
    if (Address.Kind == FlowAddress::None) return fail();
    std::uint32_t Rate = 0;
    const char* first = Value.data() + eq + 1;
    const char* last = Value.data() + Value.size();
    const auto [end, ec] = std::from_chars(first, last, Rate);
    if (ec != std::errc{} || end != last || first == last || Rate == 0 || Rate > kMaxRate) return fail();
    Options.SamplingRates.emplace_back(Address, Rate);
    return true;
}

bool ParseDays(const std::string& Value, CollectorOptions& Options, std::string& Error) {
    std::uint32_t days = 0;
    const char* last = Value.data() + Value.size();
    const auto [end, ec] = std::from_chars(Value.data(), last, days);
    if (ec != std::errc{} || end != last || Value.empty() || days == 0 || days > kMaxDays) {
        Error = std::string(kHistoryDays) + ": expected a number of days from 1 to " + std::to_string(kMaxDays) +
                ", got \"" + Value + "\"";
        return false;
    }
    Options.HistoryDays = static_cast<int>(days);
    return true;
}

}  // namespace

bool ParseSize(const std::string& Text, std::uint64_t& Bytes) {
    double number = 0;
    const char* last = Text.data() + Text.size();
    const auto [end, ec] = std::from_chars(Text.data(), last, number);
    if (ec != std::errc{} || end == Text.data() || !std::isfinite(number) || number <= 0) return false;
    std::string unit(end, last);
    for (char& c : unit) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (!unit.empty() && unit.back() == 'B') unit.pop_back();
    if (!unit.empty() && unit.back() == 'I') unit.pop_back();  // "GiB" and "GB" alike: powers of 1024
    double scale = 1;
    if (unit == "K") {
        scale = 1024.0;
    } else if (unit == "M") {
        scale = 1024.0 * 1024;
    } else if (unit == "G") {
        scale = 1024.0 * 1024 * 1024;
    } else if (unit == "T") {
        scale = 1024.0 * 1024 * 1024 * 1024;
    } else if (!unit.empty()) {
        return false;
    }
    const double bytes = number * scale;
    if (bytes < 1.0 || bytes > 9.0e18) return false;
    Bytes = static_cast<std::uint64_t>(bytes);
    return true;
}

bool ParseCollectorOptions(const std::vector<std::string>& Arguments, CollectorOptions& Options, std::string& Error) {
    // Options with a value take it as the next argument or after "=".
    const auto valueOf = [&](std::size_t& i, const char* Name, std::string& Value, bool& Matched) {
        const std::string& a = Arguments[i];
        const std::string prefix = std::string(Name) + "=";
        Matched = false;
        if (a == Name) {
            Matched = true;
            if (i + 1 >= Arguments.size()) return false;
            Value = Arguments[++i];
        } else if (a.rfind(prefix, 0) == 0) {
            Matched = true;
            Value = a.substr(prefix.size());
        }
        return true;
    };
    std::string passwordFile;
    bool snmpPortGiven = false;
    for (std::size_t i = 0; i < Arguments.size(); ++i) {
        const std::string& a = Arguments[i];
        std::string value;
        bool matched = false;
        if (a == "--traffic") {
            Options.OpenTraffic = true;
        } else if (a == "--no-history") {
            Options.History = false;
        } else if (a == "--no-dns") {
            Options.Dns = false;
        } else if (!valueOf(i, kSamplingRate, value, matched)) {
            Error = std::string(kSamplingRate) + ": missing ADDRESS=N";
            return false;
        } else if (matched) {
            if (!ParseSamplingRate(value, Options, Error)) return false;
        } else if (!valueOf(i, kHistoryDays, value, matched)) {
            Error = std::string(kHistoryDays) + ": missing the number of days";
            return false;
        } else if (matched) {
            if (!ParseDays(value, Options, Error)) return false;
        } else if (!valueOf(i, kHistoryMaxSize, value, matched)) {
            Error = std::string(kHistoryMaxSize) + ": missing a size such as 500M or 20G";
            return false;
        } else if (matched) {
            if (!ParseSize(value, Options.HistoryMaxBytes)) {
                Error = std::string(kHistoryMaxSize) + ": expected a size such as 500M or 20G, got \"" + value + "\"";
                return false;
            }
        } else if (!valueOf(i, kClickHouse, value, matched)) {
            Error = std::string(kClickHouse) +
                    ": missing the server's URL, such as http://127.0.0.1:8123/?database=netflow";
            return false;
        } else if (matched) {
            clickhouse::Endpoint server;
            std::string why;
            if (!clickhouse::ParseUrl(value, server, why)) {
                Error = std::string(kClickHouse) + ": " + why;
                return false;
            }
            Options.ClickHouse = server;
        } else if (!valueOf(i, kClickHousePasswordFile, value, matched)) {
            Error = std::string(kClickHousePasswordFile) + ": missing the file's name";
            return false;
        } else if (matched) {
            passwordFile = value;
            if (passwordFile.empty()) {
                Error = std::string(kClickHousePasswordFile) + ": missing the file's name";
                return false;
            }
        } else if (!valueOf(i, kClickHouseSpoolMax, value, matched)) {
            Error = std::string(kClickHouseSpoolMax) + ": missing a size such as 500M or 20G";
            return false;
        } else if (matched) {
            if (!ParseSize(value, Options.ClickHouseSpoolMaxBytes)) {
                Error =
                    std::string(kClickHouseSpoolMax) + ": expected a size such as 500M or 20G, got \"" + value + "\"";
                return false;
            }
        } else if (!valueOf(i, kDnsServer, value, matched)) {
            Error =
                std::string(kDnsServer) + ": missing the server's address, such as 192.0.2.53 or [2001:db8::53]:5353";
            return false;
        } else if (matched) {
            std::string why;
            Options.DnsServer = names::ParseDnsServer(value, &why);
            if (!Options.DnsServer) {
                Error = std::string(kDnsServer) + ": " + (why.empty() ? "not an address: \"" + value + "\"" : why);
                return false;
            }
        } else if (!valueOf(i, kSnmpCommunity, value, matched) || (matched && value.empty())) {
            Error = std::string(kSnmpCommunity) + ": missing the community's name";
            return false;
        } else if (matched) {
            Options.SnmpCommunity = value;
        } else if (!valueOf(i, kSnmpPort, value, matched)) {
            Error = std::string(kSnmpPort) + ": missing the port";
            return false;
        } else if (matched) {
            std::uint32_t port = 0;
            const char* last = value.data() + value.size();
            const auto [end, ec] = std::from_chars(value.data(), last, port);
            if (ec != std::errc{} || end != last || value.empty() || port == 0 || port > 65535) {
                Error = std::string(kSnmpPort) + ": expected a port from 1 to 65535, got \"" + value + "\"";
                return false;
            }
            Options.SnmpPort = static_cast<std::uint16_t>(port);
            snmpPortGiven = true;
        } else if (!valueOf(i, kLocationDb, value, matched) || (matched && value.empty())) {
            Error = std::string(kLocationDb) + ": missing the database file's name";
            return false;
        } else if (matched) {
            Options.LocationDatabase = value;
        }
    }
    if (snmpPortGiven && Options.SnmpCommunity.empty()) {
        Error = std::string(kSnmpPort) + ": only with --snmp-community";
        return false;
    }
    if (!passwordFile.empty()) {
        if (!Options.ClickHouse) {
            Error = std::string(kClickHousePasswordFile) + ": only with --clickhouse";
            return false;
        }
        std::string why;
        if (!clickhouse::ReadPasswordFile(passwordFile, *Options.ClickHouse, why)) {
            Error = std::string(kClickHousePasswordFile) + ": " + why;
            return false;
        }
    }
    return true;
}
