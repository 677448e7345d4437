#pragma once

#include <cstddef>
#include <cstdint>
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

    void Add(const TalkerKey& Key, std::int64_t Second, const FlowRecord& Record) {
        Add(Key, HashOf(Key), Second, Record);
    }
    // The same with the key's hash from HashOf, which Prefetch took first.
    void Add(const TalkerKey& Key, std::uint32_t Hash, std::int64_t Second, const FlowRecord& Record);
    static std::uint32_t HashOf(const TalkerKey& Key) { return static_cast<std::uint32_t>(TalkerKeyHash{}(Key)); }
    // Asks the processor for the index slot where the key's search starts. A batch's keys are
    // hashed and their slots asked for first, so that the cache misses of many keys overlap
    // instead of coming one after another.
    void Prefetch(std::uint32_t Hash) const { __builtin_prefetch(&Index_[Hash & (Index_.size() - 1)]); }
    void Retire(std::int64_t Second);
    void Clear();

    TalkerTop Top(std::int64_t From, std::int64_t To, std::size_t Rows) const;
    std::vector<TrafficTotals> KeySeries(const TalkerKey& Key, std::int64_t From, std::int64_t To) const;

    std::size_t LiveKeys() const { return IndexUsed_; }
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
        std::uint32_t Hash = 0;  // the low half of the key's hash, as the index places it
        std::int64_t LastSecond = INT64_MIN;
        std::int64_t CellSecond = INT64_MIN;  // the second of the key's newest cell, to add to it
        std::uint32_t CellIndex = 0;
        std::uint32_t Generation = 0;
        std::uint32_t Older = kNone;  // recency list, newest at Newest_
        std::uint32_t Newer = kNone;
        bool Live = false;
    };

    // A slot of the key index: open addressing with linear probing over key ids. The slot keeps
    // the id's hash, so that neither a probe past other keys nor a deletion's shift has to look
    // at a key: at millions of flows a second over a hundred thousand keys, every look at a key is
    // a cache miss.
    struct IndexSlot {
        std::uint32_t Id = kNone;
        std::uint32_t Hash = 0;
    };

    std::uint32_t Find(const TalkerKey& Key, std::uint32_t Hash) const;
    void IndexInsert(std::uint32_t Id, std::uint32_t Hash);
    void IndexErase(std::uint32_t Id);
    void IndexGrow();

    Bucket& BucketOf(std::int64_t Second);
    const Bucket* FindBucket(std::int64_t Second) const;
    std::uint32_t IdFor(const TalkerKey& Key, std::uint32_t Hash);
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
    std::vector<IndexSlot> Index_;  // a power of two long, at most half full
    std::size_t IndexUsed_ = 0;
    std::uint32_t Newest_ = kNone;
    std::uint32_t Oldest_ = kNone;
    std::size_t TotalEntries_ = 0;
    // No cell is of an earlier second than this, so that a cut finds the oldest second without
    // looking at the whole hour: under a flood of new keys the entry bound is met at every flow.
    std::int64_t OldestCell_ = INT64_MAX;
    std::uint64_t KeysDropped_ = 0;
    std::uint64_t FlowsCut_ = 0;

    // Scratch of the sums, reused by every query.
    mutable std::vector<TrafficTotals> Sums_;
    mutable std::vector<std::uint32_t> Touched_;
};
