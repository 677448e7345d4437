#include "ClickHouseSchema.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace clickhouse {

namespace {

const std::vector<Column> kColumns = {
    {"start", "DateTime"},  // the flow's start in seconds: what queries filter on, and the partition's day
    {"start_ms", "UInt64"},
    {"end_ms", "UInt64"},
    {"received_ms", "UInt64"},
    {"exporter", "FixedString(16)"},
    {"domain", "UInt32"},
    {"version", "UInt8"},
    {"exporter_times", "UInt8"},  // 1: the times are the exporter's; 0: the receive time stands in
    {"src", "FixedString(16)"},
    {"dst", "FixedString(16)"},
    {"next_hop", "FixedString(16)"},
    {"src_port", "UInt16"},
    {"dst_port", "UInt16"},
    {"proto", "UInt8"},
    {"tcp_flags", "UInt8"},
    {"tos", "UInt8"},
    {"in_if", "UInt32"},
    {"out_if", "UInt32"},
    {"src_as", "UInt32"},
    {"dst_as", "UInt32"},
    {"src_mask", "UInt8"},
    {"dst_mask", "UInt8"},
    {"bytes", "UInt64"},  // as the exporter counted them; scaled_bytes multiplies by the sampling rate
    {"packets", "UInt64"},
    {"sampling_rate", "UInt32"},
    {"sampler_id", "UInt64"},
};

const std::vector<Column> kMinuteColumns = {
    {"minute", "DateTime"},       {"exporter", "FixedString(16)"},
    {"domain", "UInt32"},         {"in_if", "UInt32"},
    {"out_if", "UInt32"},         {"proto", "UInt8"},
    {"src_as", "UInt32"},         {"dst_as", "UInt32"},
    {"flows", "UInt64"},          {"raw_bytes", "UInt64"},
    {"raw_packets", "UInt64"},    {"scaled_bytes", "UInt64"},
    {"scaled_packets", "UInt64"},
};

std::size_t TypeSize(const std::string& Type) {
    if (Type == "UInt8") return 1;
    if (Type == "UInt16") return 2;
    if (Type == "UInt32" || Type == "DateTime") return 4;
    if (Type == "UInt64") return 8;
    return 16;  // FixedString(16)
}

// RowBinary: integers little-endian at their width.
template <typename T>
void Put(std::string& Rows, T Value) {
    char bytes[sizeof(T)];
    for (std::size_t i = 0; i < sizeof(T); ++i)
        bytes[i] = static_cast<char>((static_cast<std::uint64_t>(Value) >> (8 * i)) & 0xff);
    Rows.append(bytes, sizeof(T));
}

void PutAddress(std::string& Rows, const FlowAddress& Address) {
    const std::array<std::uint8_t, 16> bytes = AddressBytes(Address);
    Rows.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

const std::vector<Column>& FlowColumns() { return kColumns; }

const std::vector<Column>& MinuteColumns() { return kMinuteColumns; }

std::string FlowColumnList() {
    std::string list;
    for (const Column& c : kColumns) list += (list.empty() ? "" : ", ") + std::string(c.Name);
    return list;
}

std::vector<std::string> CreateStatements() {
    std::string columns;
    for (const Column& c : kColumns) columns += std::string(c.Name) + " " + c.Type + ", ";
    std::string minuteColumns;
    for (const Column& c : kMinuteColumns) {
        minuteColumns += (minuteColumns.empty() ? "" : ", ") + std::string(c.Name) + " " + c.Type;
    }
    return {
        "CREATE TABLE IF NOT EXISTS flows (" + columns +
            "scaled_bytes UInt64 ALIAS bytes * sampling_rate, "
            "scaled_packets UInt64 ALIAS packets * sampling_rate) "
            "ENGINE = MergeTree PARTITION BY toDate(start) ORDER BY (exporter, start)",
        "CREATE TABLE IF NOT EXISTS flows_minute (" + minuteColumns +
            ") "
            "ENGINE = SummingMergeTree PARTITION BY toDate(minute) "
            "ORDER BY (minute, exporter, domain, in_if, out_if, proto, src_as, dst_as)",
        // The view sums each insert's rows as they arrive; the table's merges add up the rest, so a
        // query still sums (sum(raw_bytes) ... GROUP BY), as with any SummingMergeTree. The sums
        // are not named "bytes": a name of the flows table's as an alias would stand for that sum
        // inside the scaled ones (an aggregate within an aggregate), and the server refuses it.
        "CREATE MATERIALIZED VIEW IF NOT EXISTS flows_minute_mv TO flows_minute AS SELECT "
        "toStartOfMinute(start) AS minute, exporter, domain, in_if, out_if, proto, src_as, dst_as, "
        "count() AS flows, sum(bytes) AS raw_bytes, sum(packets) AS raw_packets, "
        "sum(bytes * sampling_rate) AS scaled_bytes, sum(packets * sampling_rate) AS scaled_packets "
        "FROM flows GROUP BY minute, exporter, domain, in_if, out_if, proto, src_as, dst_as",
    };
}

std::string DescribeStatement(const char* Table) {
    return "SELECT name, type FROM system.columns WHERE database = currentDatabase() AND table = '" +
           std::string(Table) + "' FORMAT TabSeparated";
}

std::string Mismatch(const std::string& Listing, bool& Exists, const std::vector<Column>& Expected) {
    std::map<std::string, std::string> found;
    std::size_t from = 0;
    while (from < Listing.size()) {
        std::size_t end = Listing.find('\n', from);
        if (end == std::string::npos) end = Listing.size();
        const std::string line = Listing.substr(from, end - from);
        from = end + 1;
        const std::size_t tab = line.find('\t');
        if (tab != std::string::npos) found[line.substr(0, tab)] = line.substr(tab + 1);
    }
    Exists = !found.empty();
    if (!Exists) return {};
    // A column of the wrong type first: it is what an operator must change, and a long list of
    // missing ones would push it out of a shortened message.
    std::string wrongTypes;
    std::string missing;
    for (const Column& c : Expected) {
        const auto at = found.find(c.Name);
        if (at == found.end()) {
            missing += (missing.empty() ? "" : ", ") + std::string(c.Name);
        } else if (at->second != c.Type) {
            wrongTypes +=
                (wrongTypes.empty() ? "" : "; ") + std::string(c.Name) + " is " + at->second + ", not " + c.Type;
        }
    }
    if (!missing.empty()) missing = "missing: " + missing;
    if (wrongTypes.empty()) return missing;
    return missing.empty() ? wrongTypes : wrongTypes + "; " + missing;
}

std::size_t RowSize() {
    static const std::size_t size = [] {
        std::size_t total = 0;
        for (const Column& c : kColumns) total += TypeSize(c.Type);
        return total;
    }();
    return size;
}

std::array<std::uint8_t, 16> AddressBytes(const FlowAddress& Address) {
    std::array<std::uint8_t, 16> bytes{};
    if (Address.Kind == FlowAddress::IPv6) return Address.Bytes;
    if (Address.Kind == FlowAddress::IPv4) {
        bytes[10] = 0xff;
        bytes[11] = 0xff;
        std::memcpy(&bytes[12], Address.Bytes.data(), 4);
    }
    return bytes;
}

FlowAddress AddressFromBytes(const std::uint8_t* Bytes) {
    static constexpr std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    FlowAddress address;
    if (std::memcmp(Bytes, kMapped, sizeof kMapped) == 0) {
        address.Kind = FlowAddress::IPv4;
        std::memcpy(address.Bytes.data(), Bytes + 12, 4);
    } else if (std::any_of(Bytes, Bytes + 16, [](std::uint8_t b) { return b != 0; })) {
        address.Kind = FlowAddress::IPv6;
        std::memcpy(address.Bytes.data(), Bytes, 16);
    }
    return address;
}

void AppendRow(std::string& Rows, const FlowRecord& Flow) {
    // DateTime holds unsigned seconds to 2106; a time before 1970 would wrap to the far future.
    const std::int64_t startSeconds = std::clamp<std::int64_t>(Flow.StartMs / 1000, 0, UINT32_MAX);
    Put<std::uint32_t>(Rows, static_cast<std::uint32_t>(startSeconds));
    Put<std::uint64_t>(Rows, static_cast<std::uint64_t>(std::max<std::int64_t>(Flow.StartMs, 0)));
    Put<std::uint64_t>(Rows, static_cast<std::uint64_t>(std::max<std::int64_t>(Flow.EndMs, 0)));
    Put<std::uint64_t>(Rows, static_cast<std::uint64_t>(std::max<std::int64_t>(Flow.ReceivedMs, 0)));
    PutAddress(Rows, Flow.Exporter);
    Put<std::uint32_t>(Rows, Flow.Domain);
    Put<std::uint8_t>(Rows, Flow.Version);
    Put<std::uint8_t>(Rows, Flow.TimesFromExporter ? 1 : 0);
    PutAddress(Rows, Flow.Source);
    PutAddress(Rows, Flow.Destination);
    PutAddress(Rows, Flow.NextHop);
    Put<std::uint16_t>(Rows, Flow.SourcePort);
    Put<std::uint16_t>(Rows, Flow.DestinationPort);
    Put<std::uint8_t>(Rows, Flow.Protocol);
    Put<std::uint8_t>(Rows, Flow.TcpFlags);
    Put<std::uint8_t>(Rows, Flow.Tos);
    Put<std::uint32_t>(Rows, Flow.InputIf);
    Put<std::uint32_t>(Rows, Flow.OutputIf);
    Put<std::uint32_t>(Rows, Flow.SourceAS);
    Put<std::uint32_t>(Rows, Flow.DestinationAS);
    Put<std::uint8_t>(Rows, Flow.SourceMask);
    Put<std::uint8_t>(Rows, Flow.DestinationMask);
    Put<std::uint64_t>(Rows, Flow.Bytes);
    Put<std::uint64_t>(Rows, Flow.Packets);
    Put<std::uint32_t>(Rows, Flow.SamplingRate);
    Put<std::uint64_t>(Rows, Flow.SamplerId);
}

}  // namespace clickhouse
