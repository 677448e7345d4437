#pragma once

#include <cstdint>
#include <string>

#include "Counters.h"
#include "support/Seams.h"
#include "support/TextFiles.h"

// Gathers the CSV lines of one datagram and appends those of each local day to that day's file in
// one open, one write and one close, in record order. The day is looked up for every line, so a
// datagram handled across midnight still splits between the two files. Nothing is held open
// between datagrams. A failed append leaves the file as it was and counts its lines as lost.
class DailyCsvWriter {
  public:
    DailyCsvWriter(brix32::Clock& Clock, CollectorCounters& Counters,
                   brix32::FileOutput& Output = brix32::SystemFileOutput());

    // Line ends with CR LF.
    void Add(const std::string& Line);
    // Writes what Add gathered. Call once the datagram's records are done, also after a failure
    // part-way through them: the lines of the records before it are kept.
    void Flush();

  private:
    brix32::Clock& Clock_;
    CollectorCounters& Counters_;
    brix32::FileOutput& Output_;
    std::int64_t Day_ = 0;
    std::string FileName_;
    std::string Pending_;
    std::uint64_t PendingLines_ = 0;
};
