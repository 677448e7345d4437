#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "TrafficAggregator.h"

struct TalkerKeyHash {
    std::size_t operator()(const TalkerKey& Key) const noexcept;
};

// One top-talker table of the aggregator: for every second of the history, one cell per key that
// had flows in it. Keys live while any of their cells does; beyond MaxKeys the least recently
// seen key is pushed out, and beyond MaxEntries cells the oldest second is cut early, both
// counted. The owner decides which seconds exist: it retires a second before its slot is reused.
class TalkerTable {
  public:
    TalkerTable(std::size_t HistorySeconds, std::size_t MaxKeys, std::size_t MaxEntries);

    void Add(const TalkerKey& Key, std::int64_t Second, const FlowRecord& Record);
    void Retire(std::int64_t Second);
    void Clear();

    TalkerTop Top(std::int64_t From, std::int64_t To, std::size_t Rows) const;
    std::vector<TrafficTotals> KeySeries(const TalkerKey& Key, std::int64_t From, std::int64_t To) const;

    std::size_t LiveKeys() const { return Index_.size(); }
    std::size_t Entries() const { return TotalEntries_; }

  private:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    struct Entry {
        std::uint32_t Id;
        std::uint32_t Generation;  // a cell of a key that was pushed out no longer counts
        TrafficTotals Totals;
    };
    struct Bucket {
        std::int64_t Second = INT64_MIN;
        std::vector<Entry> Entries;
    };
    struct KeySlot {
        TalkerKey Key;
        std::int64_t LastSecond = INT64_MIN;
        std::int64_t CellSecond = INT64_MIN;  // the second of the key's newest cell, to add to it
        std::uint32_t CellIndex = 0;
        std::uint32_t Generation = 0;
        std::uint32_t Older = kNone;  // recency list, newest at Newest_
        std::uint32_t Newer = kNone;
        bool Live = false;
    };

    Bucket& BucketOf(std::int64_t Second);
    const Bucket* FindBucket(std::int64_t Second) const;
    std::uint32_t IdFor(const TalkerKey& Key);
    void Free(std::uint32_t Id);
    void Unlink(std::uint32_t Id);
    void LinkNewest(std::uint32_t Id);
    bool Counts(const Entry& E) const;
    // Makes room for one more cell by cutting the oldest second before Keep; false if none.
    bool CutOldest(std::int64_t Keep);

    std::size_t MaxKeys_;
    std::size_t MaxEntries_;
    std::vector<Bucket> Buckets_;
    std::vector<KeySlot> Keys_;
    std::vector<std::uint32_t> FreeIds_;
    std::unordered_map<TalkerKey, std::uint32_t, TalkerKeyHash> Index_;
    std::uint32_t Newest_ = kNone;
    std::uint32_t Oldest_ = kNone;
    std::size_t TotalEntries_ = 0;
    std::uint64_t KeysDropped_ = 0;
    std::uint64_t FlowsCut_ = 0;

    // Scratch of the sums, reused by every query.
    mutable std::vector<TrafficTotals> Sums_;
    mutable std::vector<std::uint32_t> Touched_;
};
