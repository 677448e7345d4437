#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "FlowRecord.h"
#include "HistoryQuery.h"
#include "HistorySchema.h"
#include "Locations.h"

// History folders written with SQLite directly, laid out as the collector lays them out, so that the
// queries can be checked against flows the test chose. Failures are reported as test failures.
namespace historyfixture {

// A key of a hand-written top row: an address (and a conversation's other address) or a port.
struct TopCell {
    FlowAddress First;
    FlowAddress Second;
    std::int64_t Number = 0;
    bool Other = false;  // the row that sums the keys not kept
};

class HistoryFolder {
  public:
    // Makes the folder (and its parents) if it is not there.
    explicit HistoryFolder(std::string Folder);

    const std::string& Folder() const { return Folder_; }
    // The day file that Ms falls in, and the summary file.
    std::string DayPath(std::int64_t Ms) const;
    std::string SummaryPath() const;

    // Appends the flows to the day files of their receive times in this order (their arrival), one
    // transaction per file, widening the minute map as the collector does.
    void AddFlows(const std::vector<FlowRecord>& Flows);

    // Sums the flows into the summaries: every minute, and every hour that begins before
    // HoursBeforeMs (the collector writes an hour only once it is over). Each minute's and hour's top
    // tables keep the KeepTop keys of most scaled bytes per kind and sum the rest in the "other" row.
    // The countries and AS numbers come from LocationDatabase; empty: none are written, as by a
    // collector that had no database.
    void Summarize(const std::vector<FlowRecord>& Flows, std::size_t KeepTop = std::numeric_limits<std::size_t>::max(),
                   std::int64_t HoursBeforeMs = std::numeric_limits<std::int64_t>::max(),
                   const std::string& LocationDatabase = names::kLocationDatabase);

    // Single summary rows by hand; Unit counts minutes or hours from 1970. Rows of the same key add.
    void AddTotals(bool Hour, std::int64_t Unit, const FlowRecord& Key, const history::Totals& Sums);
    void AddTop(bool Hour, std::int64_t Unit, history::TopKind Kind, const TopCell& Key, const history::Totals& Sums);

  private:
    std::string Folder_;
};

// A writing connection to a history file in WAL mode, made and stamped when new; nullptr (and a
// test failure) when that fails. The caller closes it.
sqlite3* OpenForWriting(const std::string& Path, bool Summary);
// Inserts the rows and widens the minute map inside whatever transaction the caller holds.
void InsertFlows(sqlite3* Db, const std::vector<FlowRecord>& Flows);

}  // namespace historyfixture
