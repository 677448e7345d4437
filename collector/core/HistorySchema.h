#pragma once

// The layout of the flow history on disk, shared by the writer, the queries and nf-query. Every
// file is an SQLite database that any SQL tool can open; the user guide documents the tables.
//
// In the history folder (history/ in the collector's data folder):
//   flows-YYYY-MM-DD.sqlite  the raw flows received on that day (UTC), in arrival order, with a
//                            map from each minute to its first and last row
//   summary.sqlite           per-minute and per-hour sums over few-valued keys, and each minute's
//                            and hour's top hosts, conversations and ports with an "other" row
//   lock                     held (flock) by the collector that writes the folder
//
// Addresses are INTEGER (the IPv4 address as an unsigned 32-bit number) or a 16-byte BLOB (IPv6);
// NULL where a flow has none. Times are milliseconds since 1970 (UTC). Counters are the raw
// 64-bit values stored as SQLite's signed integers (two's complement above 2^63).

#include <cstdint>
#include <string>
#include <vector>

#include "FlowAddress.h"
#include "FlowRecord.h"

struct sqlite3;
struct sqlite3_stmt;

namespace history {

// Bumped whenever a table or view changes; a newer program upgrades older files, an older program
// refuses newer ones.
inline constexpr int kSchemaVersion = 2;
// Marks the files as this program's, so that a foreign SQLite file is not taken for a store.
inline constexpr std::int32_t kFlowsApplicationId = 0x4E464C57;    // "NFLW"
inline constexpr std::int32_t kSummaryApplicationId = 0x4E465355;  // "NFSU"

inline constexpr const char* kFolderName = "history";
inline constexpr const char* kSummaryFile = "summary.sqlite";
inline constexpr const char* kLockFile = "lock";

// The kinds of the top tables (column "kind" of minute_top and hour_top). The first five are summed
// flow by flow; the countries and AS numbers of the addresses are worked out from the source and
// destination kinds when a minute closes, one lookup per address rather than per flow. A store
// written before they existed (or without the location database) simply has no rows of them.
enum class TopKind : int {
    Source = 1,
    Destination = 2,
    Conversation = 3,
    SourcePort = 4,
    DestinationPort = 5,
    SourceCountry = 6,
    DestinationCountry = 7,
    SourceAsn = 8,
    DestinationAsn = 9
};
inline constexpr int kTopKinds = 9;
inline constexpr int kFlowTopKinds = 5;  // those summed from each flow
// Whether key1 of a kind is a number (port, packed country, AS number) rather than an address.
constexpr bool NumberKind(TopKind Kind) {
    return Kind != TopKind::Source && Kind != TopKind::Destination && Kind != TopKind::Conversation;
}
// The key of the row that sums every key below the kept ones.
inline constexpr std::int64_t kOtherKey = -1;

// Columns of table flows, in this order (also the order the writer binds them).
enum FlowColumn : int {
    kReceived,
    kStart,
    kEnd,
    kExporter,
    kDomain,
    kSource,
    kDestination,
    kNextHop,
    kSourcePort,
    kDestinationPort,
    kProtocol,
    kTcpFlags,
    kTos,
    kInputIf,
    kOutputIf,
    kSourceAS,
    kDestinationAS,
    kSourceMask,
    kDestinationMask,
    kBytes,
    kPackets,
    kSamplingRate,
    kSamplerId,
    kVersion,
    kExporterTimes,
    kFlowColumns
};

// "flows-2026-12-10.sqlite" for the UTC day that Ms falls on.
std::string FlowsFileName(std::int64_t Ms);
// The UTC day (milliseconds at its midnight) a flows file holds; -1 when Name is not such a file.
std::int64_t DayOfFlowsFile(const std::string& Name);
inline constexpr std::int64_t kDayMs = 86400000;
inline constexpr std::int64_t kMinuteMs = 60000;
inline constexpr std::int64_t kHourMs = 3600000;

// The statements that make a file of the current version from nothing.
const std::vector<const char*>& FlowsSchema();
const std::vector<const char*>& SummarySchema();

// What opening an existing file found.
enum class FileCheck { Fresh, Current, Older, Newer, Foreign, Corrupt };
// Reads application_id, user_version and a quick check; Error says what was wrong.
FileCheck CheckFile(sqlite3* Db, std::int32_t ApplicationId, std::string& Error);
// Brings a file of an older version to the current one, in one transaction. False with Error on
// failure (the file is then as it was).
bool UpgradeFlows(sqlite3* Db, std::string& Error);
bool UpgradeSummary(sqlite3* Db, std::string& Error);
// Makes a fresh file the current version.
bool CreateFlows(sqlite3* Db, std::string& Error);
bool CreateSummary(sqlite3* Db, std::string& Error);

// Raw counts as the exporters sent them and the same scaled by each flow's sampling rate.
struct Totals {
    std::uint64_t Flows = 0;
    std::uint64_t Bytes = 0;
    std::uint64_t Packets = 0;
    std::uint64_t ScaledBytes = 0;
    std::uint64_t ScaledPackets = 0;
    std::uint32_t SampledLow = 0;  // the least and the greatest rate above 1; 0 while none was sampled
    std::uint32_t SampledHigh = 0;

    void Add(const FlowRecord& R);
    void Add(const Totals& T);
    bool Estimated() const { return SampledHigh > 1; }
    friend bool operator==(const Totals&, const Totals&) = default;
};

// Addresses to and from their column form.
void BindAddress(sqlite3_stmt* Statement, int Index, const FlowAddress& Address);
FlowAddress ColumnAddress(sqlite3_stmt* Statement, int Column);

// Binds a flow to kFlowColumns parameters of an INSERT INTO flows, from parameter First on.
void BindFlow(sqlite3_stmt* Statement, const FlowRecord& Flow, int First = 1);

// The sums of a summary row: flows, bytes, packets, scaled_bytes, scaled_packets, sampled_low and
// sampled_high, from the column or parameter First on.
void BindTotals(sqlite3_stmt* Statement, int First, const Totals& Sums);
Totals ColumnTotals(sqlite3_stmt* Statement, int First);
// Ends an INSERT of a summary row: a row written again (flows that came late) adds to the first.
extern const char* const kAddTotalsOnConflict;

}  // namespace history
