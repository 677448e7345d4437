// Command line of nf-query: what the operator asked of the flow history, and the parser that checks
// it. Nothing here opens the history, so the parsing is tested without a store.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ClickHouseClient.h"
#include "FlowFilter.h"
#include "HistoryQuery.h"
#include "Locations.h"
#include "ReverseDns.h"

namespace query {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;  // no store, an unreadable or unreachable store, a failed query, unwritable output
constexpr int kExitUsage = 2;

constexpr std::size_t kDefaultTopRows = 10;
// Enough to see what a filter catches without flooding a terminal; -n 0 lifts it.
constexpr std::uint64_t kDefaultFlowLimit = 1000;
// A table longer than this is no longer a top; the bound also keeps a typo from asking for billions.
constexpr std::size_t kMaxTopRows = 1000000;
// The span when neither end is given, and before --to when only that is.
constexpr std::int64_t kDefaultSpanMs = 3600000;

enum class Action { None, Count, Top, Flows };
enum class Format { Table, Csv, Json };

struct Options {
    std::string DataDir;  // as given; empty: the installed collector's data folder
    // The server the collector sends its flows to, asked instead of the local history; with the
    // password from --clickhouse-password-file already read.
    std::optional<clickhouse::Endpoint> ClickHouse;
    history::Span Range;
    std::string FilterText;
    FlowFilter Filter;
    Action What = Action::None;
    history::TopKey Key = history::TopKey::Source;
    history::RankBy By = history::RankBy::Bytes;
    std::size_t TopRows = kDefaultTopRows;
    std::uint64_t FlowLimit = kDefaultFlowLimit;
    Format Output = Format::Table;
    // Where countries and AS numbers come from: the location keys of --top and the flow lists.
    std::string LocationDatabase = names::kLocationDatabase;
    // Host names beside addresses, asked of DnsServer (nullopt: the system's).
    bool Resolve = false;
    std::optional<names::DnsServerAddress> DnsServer;
};

enum class Request { Run, Help, Version, UsageError };

// Fills Out from argv. NowMs is the clock that "now" and the relative times count from. On
// UsageError, Error says why and names the option; the caller prints it.
Request ParseArguments(int Argc, char** Argv, std::int64_t NowMs, Options& Out, std::string& Error);

// A time as the operator writes it: "2026-12-10T14:00", "2026-12-10 14:00:05.250", "2026-12-10"
// (midnight), each in local time or with "Z" or "+01:00"; "now", "-30s", "-30m", "-1h", "-7d".
// False when Text is none of these or names no moment (a local time that a clock change skips).
bool ParseTime(const std::string& Text, std::int64_t NowMs, std::int64_t& OutMs);

// "src, dst, conversation, ...": the names --top takes, for messages and help.
std::string TopKeyList();

std::string UsageText();

}  // namespace query
