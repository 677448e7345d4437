#pragma once

// The flow history's writing side: every flow the CSV gets is also kept in the history folder,
// raw by day and summed by minute and hour (see HistorySchema.h), and old days go by age and by
// size. Two consumers of the collector's flows on threads of their own, so that the summaries keep
// up even where the raw store cannot; neither ever holds up the listener.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "FlowConsumer.h"
#include "FlowHandOver.h"
#include "Locations.h"

namespace history {

// Why these: a desktop disk of a few hundred GB holds a fortnight of raw flows of a busy site at
// under 20 GB (1,000 flows/s is about 7 GB a day, so there the size rule is reached first); the
// minute summaries are a few MB a day and answer any question about the last quarter; the hour
// summaries are smaller still and keep two years of trends.
struct Retention {
    int RawDays = 15;
    int MinuteDays = 90;
    int HourDays = 731;
    std::uint64_t MaxBytes = 20ULL << 30;  // the whole history folder
    double MaxShareOfFileSystem = 0.10;    // of the file system's size; the smaller bound wins
};

enum class StoreState {
    Off,  // --no-history
    Running,
    DiskFull,  // stopped until there is room again; retried every few seconds
    Refused,   // a newer program's store: left alone, history off
    Locked,    // another collector writes this folder: history off
    Failed     // the folder cannot be used at all
};

// For the status bar, the Exporters window's totals and standard error. Any thread.
struct StoreStatus {
    StoreState State = StoreState::Off;
    std::int64_t NowMs = 0;      // when this was read
    std::int64_t OldestMs = -1;  // the oldest raw flow kept; -1 without any
    int RawDays = 0;             // day files of raw flows
    std::uint64_t Bytes = 0;     // every file of the history folder, as of the last look
    std::uint64_t FlowsStored = 0;
    std::uint64_t FlowsNotStored = 0;            // raw flows lost since start
    std::uint64_t FlowsNotStoredLastMinute = 0;  // in the last whole minute
    std::uint64_t FlowsNotSummed = 0;            // flows the summaries lost since start
    std::int64_t SinceMs = 0;                    // when the state began
    int FilesSetAside = 0;                       // damaged or foreign files renamed since start
    std::string Problem;                         // what went wrong, for a tooltip; empty when running
};

// "History: 3 days, 4.2 GB", "History: off", "History: disk full since 14:02", ...
std::string StatusText(const StoreStatus& Status);
// "4.2 GB", "120 MB", "512 kB"
std::string SizeText(std::uint64_t Bytes);

struct HistoryOptions {
    bool Enabled = true;
    Retention Keep;
    // The clock (milliseconds since 1970); tests pass their own.
    std::function<std::int64_t()> NowMs;
    // Lines for standard error (episodes); the default writes them there.
    std::function<void(const std::string&)> Say;
    // Where the summaries find the countries and AS numbers of addresses; empty: they keep none.
    std::string LocationDatabase = names::kLocationDatabase;
};

// Owns the folder, its lock and both writers. Made before the collector starts; its two consumers
// are attached to the collector, which ends them before this goes.
class HistoryStore {
  public:
    // DataFolder: the collector's data folder (the history folder is made inside it).
    HistoryStore(const std::string& DataFolder, HistoryOptions Options);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Whether it took the folder and stores; otherwise Status() says why.
    bool Storing() const;
    FlowConsumer& RawConsumer();
    FlowConsumer& SummaryConsumer();
    // Each may take a whole core. The raw store pauses while the listener is behind; the summaries
    // go on at a lower priority than the listener.
    static ConsumerPacing RawPacing();
    static ConsumerPacing SummaryPacing();
    // Slots of the hand-overs: a second of version 5 flows at the raw store's target rate, also
    // for the summaries, which stop for a moment whenever they write a minute. Longer rings would
    // hold more of a burst but cost about 100 MB a second of it when the collector runs far above
    // what the store takes.
    static constexpr std::size_t kRawSlots = 16384;
    static constexpr std::size_t kSummarySlots = 16384;

    // The hand-overs that feed the two consumers: what they drop counts as not stored. They must
    // outlive every Status() call, or be replaced first (by null), which keeps what they dropped.
    void Watch(const FlowHandOver* Raw, const FlowHandOver* Summary);
    StoreStatus Status() const;
    // The history folder, absolute, with a trailing "/".
    const std::string& Folder() const;

    // Writes what is held and applies retention now, on the calling thread (tests; the consumers
    // do it on their own). Only while no consumer thread runs.
    void FlushNow();

    struct Shared;
    class RawWriter;
    class SummaryWriter;

  private:
    std::unique_ptr<Shared> Shared_;
    std::unique_ptr<RawWriter> Raw_;
    std::unique_ptr<SummaryWriter> Summary_;
};

}  // namespace history
