#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Counters.h"
#include "support/Seams.h"
#include "support/TextFiles.h"

// Gathers the CSV lines of one or more datagrams and appends those of each local day to that
// day's file in one open, one write and one close, in record order. The day is looked up for every
// line, so a datagram handled across midnight still splits between the two files. Nothing is held
// open between writes. A failed append leaves the file as it was; the datagrams in it are then
// appended one by one, so a disk that runs full keeps every datagram that still fits and counts
// the lines of the others as lost, exactly as one append per datagram would.
class DailyCsvWriter {
  public:
    DailyCsvWriter(brix32::Clock& Clock, CollectorCounters& Counters,
                   brix32::FileOutput& Output = brix32::SystemFileOutput());

    // Line ends with CR LF. The clock is read for a datagram's first line, and for every line
    // within a second of midnight.
    void Add(const std::string& Line);
    // The lines added since the last call are one datagram's.
    void EndDatagram();
    // Writes what Add gathered. Call once the datagram's records are done, also after a failure
    // part-way through them: the lines of the records before it are kept.
    void Flush();
    // Whether lines wait for Flush.
    bool Pending() const { return PendingLines_ > 0; }

  private:
    // Where a datagram's lines end in Pending_.
    struct Piece {
        std::size_t End;
        std::uint64_t Lines;
    };

    // Appends Text, counting Lines as written or lost.
    bool Append(const char* Text, std::size_t Size, std::uint64_t Lines);

    brix32::Clock& Clock_;
    CollectorCounters& Counters_;
    brix32::FileOutput& Output_;
    std::int64_t Day_ = 0;
    double DayStartMs_ = 0;  // Day_'s first moment, in milliseconds as DayNumber rounds them
    bool DayKnown_ = false;  // for the rest of this datagram, more than a second before midnight
    std::string FileName_;
    std::string Pending_;
    std::uint64_t PendingLines_ = 0;
    std::vector<Piece> Pieces_;
    std::uint64_t PieceLines_ = 0;  // lines added since the last piece ended
};
