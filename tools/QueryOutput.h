// What nf-query prints: the answers as table, CSV or JSON text. Only text building, from the
// answers' own types, so that any store that answers the same questions prints alike.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "FlowRecord.h"
#include "HistoryQuery.h"
#include "Locations.h"
#include "QueryOptions.h"

namespace query {

// Local time with milliseconds and the numeric offset in force then: "2026-12-10T14:00:00.123+01:00".
std::string FormatTime(std::int64_t Ms);

// One CSV field: quoted (quotes doubled) when it holds a comma, a quote or a line break.
std::string CsvField(std::string_view Text);
// A JSON string with its quotes. Bytes that are not UTF-8 become U+FFFD, so the line stays valid.
std::string JsonString(std::string_view Text);

// Count times Rate, held at the largest value rather than wrapping round to a small one.
std::uint64_t ScaledCount(std::uint64_t Count, std::uint32_t Rate);

// Names that the text shows beside numbers and addresses, looked up by the caller (the location
// database, the DNS). Each may be left unset: its columns are then empty.
struct Labels {
    // Where an address belongs, for the flow lists.
    std::function<names::Place(const FlowAddress&)> Place;
    std::function<std::string(std::uint32_t Asn)> AsName;
    std::function<std::string(std::uint16_t Country)> CountryName;
    // The host name of an address, empty where none is known. Set only when names were asked for
    // (--resolve): the CSV and JSON then have a name field beside each address.
    std::function<std::string(const FlowAddress&)> HostName;
};

// The text of each answer, whole lines ending in "\n".
std::string CountText(Format Output, const history::Span& Range, std::uint64_t Flows);
std::string TopText(Format Output, history::TopKey Key, history::RankBy By, const history::Span& Range,
                    const history::TopResult& Result, const Labels& Names = {});

// Said when a top table came from the summaries; in a table as its last line, otherwise on
// standard error, so that machine output stays clean.
extern const char* const kSummaryNote;
// What to say of an answer that is not exact: its own note, or kSummaryNote.
std::string SummaryNoteOf(const history::TopResult& Result);

// The flow list is written as the flows arrive, a line at a time.
class FlowListWriter {
  public:
    explicit FlowListWriter(Format Output, Labels Names = {}) : Output_(Output), Names_(std::move(Names)) {}
    // The header line (empty for JSON, whose objects name their fields).
    std::string Header() const;
    std::string Line(const FlowRecord& Record) const;

  private:
    Format Output_;
    Labels Names_;
};

}  // namespace query
