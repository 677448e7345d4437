// nf-query's answers from the flows table that the collector fills on a ClickHouse server: the same
// questions as the local history asks, put to the server in SQL so that it does the counting, and
// answered as the local history answers them (the same span, filter, keys, order and ties).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "Answers.h"
#include "ClickHouseClient.h"
#include "FlowFilter.h"
#include "FlowRecord.h"
#include "HistoryQuery.h"
#include "Locations.h"

namespace query {

// The statements, apart from any connection, so that what they say can be checked without a server.
namespace chsql {

// The span [FromMs, ToMs) by received_ms, also bounded by start so that the server reads only the
// partitions and key ranges that can hold such flows; "0" for a span that holds none.
std::string SpanCondition(const history::Span& Range);
// The filter's terms as a condition that holds exactly where FlowFilter::Matches holds for the flow
// as it reads back from the table (an IPv4-mapped address reads back as IPv4, sixteen zero bytes as
// no address); "1" without terms.
std::string FilterCondition(const FlowFilter& Filter);

std::string CountStatement(const history::Span& Range, const FlowFilter& Filter);
// The Rows keys of most rank, then their totals over every key. Rows 0: every key.
std::string TopStatement(const history::Span& Range, const FlowFilter& Filter, history::TopKey Key, history::RankBy By,
                         std::size_t Rows);
// Oldest first; Limit + 1 rows at most, so that the reader can tell that the limit cut the list.
std::string FlowsStatement(const history::Span& Range, const FlowFilter& Filter, std::uint64_t Limit);

// The addresses of most traffic that a location key's statement asks for: the server knows no
// countries, so it groups by address and nf-query places each. The traffic beyond them is "other".
constexpr std::size_t kLocatedAddresses = 100000;
// Folds InOut, the answer of TopStatement for a location key (rows of addresses, of at most
// AddressRows; 0: all), into countries or AS numbers by Find, keeping the Rows of most rank (0: all).
// Where AddressRows cut the addresses, the rest of the sums becomes the "other" row and the answer
// is no longer exact.
void LocateTopAnswer(history::TopKey Key, history::RankBy By, std::size_t Rows, std::size_t AddressRows,
                     const std::function<names::Place(const FlowAddress&)>& Find, history::TopResult& InOut);

// Reads the answer of TopStatement into Out's rows and sums; false with Error when it is not one.
bool ReadTopAnswer(const std::string& Body, history::TopResult& Out, std::string& Error);

// Reads the answer of FlowsStatement as it arrives, in pieces that may cut a line anywhere.
class FlowRowReader {
  public:
    explicit FlowRowReader(std::function<bool(const FlowRecord&)> Each) : Each_(std::move(Each)) {}
    // False when Each asked to stop, or when a line is not a flow (Failed() then says so).
    bool Feed(const char* Data, std::size_t Size);
    // After the last piece: false when a piece of a line is left over.
    bool Finish();
    bool Failed() const { return !Error_.empty(); }
    const std::string& Error() const { return Error_; }

  private:
    bool Line(const std::string& Text);

    std::function<bool(const FlowRecord&)> Each_;
    std::string Pending_;
    std::string Error_;
};

}  // namespace chsql

class ClickHouseAnswers final : public Answers {
  public:
    explicit ClickHouseAnswers(const clickhouse::Endpoint& Server);
    ~ClickHouseAnswers() override;

    // Asks the server for the flows table: reachable, the user let in, the database and the table there.
    bool Ready(std::string& Error) const override;
    history::CountResult Count(const Options& Ask) const override;
    history::TopResult Top(const Options& Ask) const override;
    history::FlowsResult Flows(const Options& Ask, const std::function<bool(const FlowRecord&)>& Each) const override;

  private:
    std::string Failed(const clickhouse::Response& Answer) const;

    std::unique_ptr<clickhouse::Client> Client_;
};

}  // namespace query
