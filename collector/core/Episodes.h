#pragma once

// Losses reported as episodes: once when a run of them starts and once when it ends, never once
// per lost line. Driven from counter readings on the window's timer, so the listener never pays
// for it. No Qt.

#include <cstdint>
#include <string>
#include <vector>

// What one tick of the timer read.
struct tProblemSample {
    std::int64_t NowMs = 0;  // any steady clock
    std::uint64_t CsvLinesWritten = 0;
    std::uint64_t CsvLinesLost = 0;
    int CsvErrno = 0;  // of the latest failed write
    std::string CsvFileName;
    std::uint64_t KernelDrops = 0;
    std::uint64_t BoundCuts = 0;
    std::uint64_t OversizeDropped = 0;
    std::uint64_t FlowsDroppedByBounds = 0;
    std::uint64_t LateDataLost = 0;  // data sets that waited for their template in vain
};

class Episodes {
  public:
    // Kernel drops, cuts and oversize datagrams come in bursts: a burst has ended when none came for this long.
    static constexpr std::int64_t kBurstQuietMs = 5'000;
    // A failing CSV file ends when a line is written again, or when nothing more was lost for this
    // long (no traffic: nothing is being lost any more).
    static constexpr std::int64_t kCsvQuietMs = 60'000;

    explicit Episodes(std::string ThousandsSeparator = ",");

    // Appends to Reports the lines of the episodes that started or ended since the last sample.
    void Update(const tProblemSample& Sample, std::vector<std::string>& Reports);
    // The problem that lasts now, the latest started first, in plain words; empty when none.
    std::string Current() const;

  private:
    struct Run {
        bool Open = false;
        std::uint64_t AtStart = 0;  // the counter before the run's first loss
        std::uint64_t Latest = 0;
        std::int64_t LastRiseMs = 0;
        std::uint64_t Order = 0;  // when it started, for Current()
    };

    enum class Change { None, Started, Ended };
    Change Follow(Run& Episode, std::uint64_t Value, std::int64_t NowMs, std::int64_t QuietMs, bool EndsNow);
    std::string Number(std::uint64_t Value) const;
    std::string CsvReason() const;

    std::string Separator_;
    std::uint64_t Started_ = 0;
    std::uint64_t LastWritten_ = 0;
    int CsvErrno_ = 0;
    std::string CsvFileName_;
    Run Csv_;
    Run Kernel_;
    Run Cuts_;
    Run Oversize_;
    Run LateLost_;
    std::uint64_t FlowsDroppedAtCutStart_ = 0;
    std::uint64_t FlowsDropped_ = 0;
};
