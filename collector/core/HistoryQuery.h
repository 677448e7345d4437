#pragma once

// Questions to the flow history: how many flows, who sent the most, how the traffic went over time,
// which flows. Read-only; safe while the collector writes the same folder (each query opens the
// files it needs and sees what was committed when it started). No Qt, so that the Traffic window
// and nf-query ask alike.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "FlowAddress.h"
#include "FlowFilter.h"
#include "FlowRecord.h"
#include "HistorySchema.h"
#include "Locations.h"

namespace history {

// [FromMs, ToMs), by the time the collector received the flows.
struct Span {
    std::int64_t FromMs = 0;
    std::int64_t ToMs = 0;
};

// How a caller follows and stops a query. Progress gets the share done, 0 to 1, now and then (on
// the querying thread). A query that sees Cancel set ends early with Cancelled set in its result.
struct QueryControl {
    const std::atomic<bool>* Cancel = nullptr;
    std::function<void(double Done)> Progress;
    bool Cancelled() const { return Cancel != nullptr && Cancel->load(std::memory_order_relaxed); }
};

enum class TopKey {
    Source,
    Destination,
    Conversation,
    Protocol,
    SourcePort,
    DestinationPort,
    Exporter,
    InputIf,
    OutputIf,
    SourceAS,
    DestinationAS,
    // Where the addresses belong, from the location database (not the exporter's AS fields).
    SourceCountry,
    DestinationCountry,
    SourceAsn,
    DestinationAsn
};
enum class RankBy { Bytes, Packets, Flows };  // bytes and packets scaled

// "src", "dst", "conversation", "proto", "sport", "dport", "exporter", "in-if", "out-if",
// "src-as", "dst-as", "src-country", "dst-country", "src-asn", "dst-asn"; false for any other name.
bool ParseTopKey(const std::string& Name, TopKey& Out);
const char* TopKeyName(TopKey Key);
// Whether the key is looked up in the location database.
bool LocationKey(TopKey Key);

// One row of a top table. First: the address (Source, Destination, Exporter), the smaller address
// of a conversation, or the exporter of an interface. Second: a conversation's other address.
// Number: the protocol, port, interface index or AS number; for the location keys the country
// (names::PackCountry) or the AS number, 0 for the addresses the location database has no entry for.
struct TopRow {
    FlowAddress First;
    FlowAddress Second;
    std::uint32_t Number = 0;
    bool Other = false;  // the sum of every key that no summary kept on its own
    Totals Sums;
};

struct TopResult {
    std::vector<TopRow> Rows;  // most first by the rank, then by key
    Totals Sums;               // of the whole span, not only the rows
    // Answered from every flow; false when from the minute and hour summaries, whose top tables
    // keep the leading keys of each minute and hour, so that a key that never led may be missing
    // or counted short (its rest is in the "other" row).
    bool Exact = true;
    bool Cancelled = false;
    std::string Error;  // empty on success
    // Where an answer that is not exact has more to say than that it came from the summaries (what
    // the rows leave out, and why), that; empty otherwise.
    std::string Note;
};

struct CountResult {
    std::uint64_t Flows = 0;
    bool Cancelled = false;
    std::string Error;
};

// One point of a chart; StartMs is the start of its step.
struct SeriesPoint {
    std::int64_t StartMs = 0;
    Totals Sums;
};

struct SeriesResult {
    std::int64_t StepMs = 0;          // 1 s, 1 min or 1 h
    std::vector<SeriesPoint> Points;  // every step of the span, oldest first, empty steps zero
    bool Cancelled = false;
    std::string Error;
};

struct FlowsResult {
    std::uint64_t Listed = 0;
    bool Truncated = false;  // stopped at the limit with more flows left
    bool Cancelled = false;
    std::string Error;
};

// What the folder holds.
struct HoldingsResult {
    std::int64_t OldestMs = -1;  // the first raw flow kept; -1 without any
    std::int64_t NewestMs = -1;
    int RawDays = 0;          // day files of raw flows
    std::uint64_t Bytes = 0;  // every file of the history folder
    std::string Error;
};

class HistoryQuery {
  public:
    // HistoryFolder: the history folder itself (data folder + "history/").
    explicit HistoryQuery(std::string HistoryFolder);

    // Whether the folder holds a store this program can read; otherwise Error says why (missing,
    // newer schema, not a store).
    bool Readable(std::string& Error) const;

    CountResult Count(const Span& Range, const FlowFilter& Filter, const QueryControl& Control = {}) const;
    // Rows: the most keys returned, 0 for every key; the "other" row of the summaries comes after them.
    TopResult Top(const Span& Range, TopKey Key, RankBy By, std::size_t Rows, const FlowFilter& Filter,
                  const QueryControl& Control = {}) const;
    // StepMs 0 chooses: seconds up to an hour, minutes up to two days, hours beyond.
    SeriesResult Series(const Span& Range, const FlowFilter& Filter, std::int64_t StepMs = 0,
                        const QueryControl& Control = {}) const;
    // Calls Each for every matching flow, oldest first, at most Limit of them (0: no limit); Each
    // returns false to stop.
    FlowsResult Flows(const Span& Range, const FlowFilter& Filter, std::uint64_t Limit,
                      const std::function<bool(const FlowRecord&)>& Each, const QueryControl& Control = {}) const;
    HoldingsResult Holdings() const;

    // Raw scans above this many flows are answered from the summaries where the question allows
    // (no filter); tests lower it.
    void SetRawScanLimit(std::uint64_t Flows) { RawScanLimit_ = Flows; }
    // The location database that the location keys need; each Top of such a key opens its own.
    void SetLocationDatabase(std::string Path) { LocationDatabase_ = std::move(Path); }

  private:
    std::string Folder_;
    std::uint64_t RawScanLimit_ = 5000000;
    std::string LocationDatabase_ = names::kLocationDatabase;
};

}  // namespace history
