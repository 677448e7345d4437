#pragma once

// The tables the collector keeps in ClickHouse, and the binary rows it sends them. One place for
// the layout, so that the writer, nf-query and the tests cannot disagree about it.
//
//   flows             every flow: MergeTree, one partition a day (of the flow's start), ordered
//                     by exporter and start
//   flows_minute      sums a minute, by exporter, domain, interfaces, protocol and AS numbers:
//                     SummingMergeTree, fed by the materialized view flows_minute_mv
//
// Written so that the oldest server release still in use (18.16) and current ones take the same
// statements: no DateTime64, no IPv6 type, no TTL.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FlowRecord.h"

namespace clickhouse {

inline constexpr const char* kFlowsTable = "flows";
inline constexpr const char* kMinuteTable = "flows_minute";
inline constexpr const char* kMinuteView = "flows_minute_mv";

struct Column {
    const char* Name;
    const char* Type;
};

// The columns the collector inserts, in the order of its rows. Addresses are 16 bytes, IPv4 ones
// mapped into IPv6 (::ffff:a.b.c.d), so that IPv6NumToString shows both families.
const std::vector<Column>& FlowColumns();
// "start, start_ms, ..." for the INSERT statement.
std::string FlowColumnList();

// The statements that make what is missing, in order; each leaves what exists alone.
std::vector<std::string> CreateStatements();

// The minute sums' columns, which the view fills by name.
const std::vector<Column>& MinuteColumns();

// Lists a table's columns as "name<TAB>type" lines, in the current database.
std::string DescribeStatement(const char* Table = kFlowsTable);
// From that listing: empty when every expected column is there with its type (other columns may
// be added beside them), else what does not fit. Exists is false when the table is not there.
std::string Mismatch(const std::string& Listing, bool& Exists, const std::vector<Column>& Expected = FlowColumns());

// Appends one flow as a RowBinary row of FlowColumns().
void AppendRow(std::string& Rows, const FlowRecord& Flow);
// The size of one row, which is the same for every flow.
std::size_t RowSize();

// An address as the 16 bytes of its column, and back (from IPv6NumToString's text or raw bytes).
std::array<std::uint8_t, 16> AddressBytes(const FlowAddress& Address);
FlowAddress AddressFromBytes(const std::uint8_t* Bytes);

}  // namespace clickhouse
