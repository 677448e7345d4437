#include "TalkerTable.h"

#include <algorithm>
#include <cstring>

namespace {

// Cells of a second beyond this many are handed back when the second is retired, so that one
// busy second does not keep its memory for the rest of the run.
constexpr std::size_t kRetainedCells = 4096;

constexpr std::size_t kFirstIndexSize = 1024;

std::size_t Slot(std::int64_t Second, std::size_t Count) {
    const auto n = static_cast<std::int64_t>(Count);
    return static_cast<std::size_t>(((Second % n) + n) % n);
}

}  // namespace

std::size_t TalkerKeyHash::operator()(const TalkerKey& Key) const noexcept {
    // Eight bytes at a time with a multiply-and-fold mix: a key is hashed eight times per flow.
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (std::size_t at = 0; at + 8 <= Key.Bytes.size(); at += 8) {
        std::uint64_t word;
        std::memcpy(&word, Key.Bytes.data() + at, sizeof word);
        h = (h ^ word) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    h = (h ^ (std::uint64_t{Key.Bytes[32]} << 8 | Key.Bytes[33])) * 0x94D049BB133111EBull;
    return static_cast<std::size_t>(h ^ (h >> 29));
}

TalkerTable::TalkerTable(std::size_t HistorySeconds, std::size_t MaxKeys, std::size_t MaxEntries)
    : MaxKeys_(std::max<std::size_t>(1, MaxKeys)),
      MaxEntries_(std::max<std::size_t>(1, MaxEntries)),
      Buckets_(std::max<std::size_t>(1, HistorySeconds)),
      Index_(kFirstIndexSize) {}

std::uint32_t TalkerTable::Find(const TalkerKey& Key, std::uint32_t Hash) const {
    const std::size_t mask = Index_.size() - 1;
    for (std::size_t i = Hash & mask;; i = (i + 1) & mask) {
        const IndexSlot& slot = Index_[i];
        if (slot.Id == kNone) return kNone;
        if (slot.Hash == Hash && Keys_[slot.Id].Key == Key) return slot.Id;
    }
}

void TalkerTable::IndexInsert(std::uint32_t Id, std::uint32_t Hash) {
    if ((IndexUsed_ + 1) * 2 > Index_.size()) IndexGrow();
    const std::size_t mask = Index_.size() - 1;
    std::size_t i = Hash & mask;
    while (Index_[i].Id != kNone) i = (i + 1) & mask;
    Index_[i] = {Id, Hash};
    ++IndexUsed_;
}

void TalkerTable::IndexErase(std::uint32_t Id) {
    const std::size_t mask = Index_.size() - 1;
    std::size_t hole = Keys_[Id].Hash & mask;
    while (Index_[hole].Id != Id) hole = (hole + 1) & mask;
    // Later slots of the same run move up into the hole unless their home lies after it, so that
    // every key stays reachable from its home without gaps and nothing marks a deleted slot.
    for (std::size_t next = (hole + 1) & mask; Index_[next].Id != kNone; next = (next + 1) & mask) {
        const std::size_t home = Index_[next].Hash & mask;
        const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
        if (stays) continue;
        Index_[hole] = Index_[next];
        hole = next;
    }
    Index_[hole] = {};
    --IndexUsed_;
}

void TalkerTable::IndexGrow() {
    std::vector<IndexSlot> old(Index_.size() * 2);
    old.swap(Index_);
    const std::size_t mask = Index_.size() - 1;
    for (const IndexSlot& slot : old) {
        if (slot.Id == kNone) continue;
        std::size_t i = slot.Hash & mask;
        while (Index_[i].Id != kNone) i = (i + 1) & mask;
        Index_[i] = slot;
    }
}

TalkerTable::Bucket& TalkerTable::BucketOf(std::int64_t Second) {
    Bucket& b = Buckets_[Slot(Second, Buckets_.size())];
    if (b.Second != Second) b.Second = Second;  // the owner retired whatever was there
    return b;
}

const TalkerTable::Bucket* TalkerTable::FindBucket(std::int64_t Second) const {
    const Bucket& b = Buckets_[Slot(Second, Buckets_.size())];
    return b.Second == Second ? &b : nullptr;
}

void TalkerTable::Unlink(std::uint32_t Id) {
    KeySlot& k = Keys_[Id];
    if (k.Older != kNone) Keys_[k.Older].Newer = k.Newer;
    if (k.Newer != kNone) Keys_[k.Newer].Older = k.Older;
    if (Newest_ == Id) Newest_ = k.Older;
    if (Oldest_ == Id) Oldest_ = k.Newer;
    k.Older = k.Newer = kNone;
}

void TalkerTable::LinkNewest(std::uint32_t Id) {
    KeySlot& k = Keys_[Id];
    k.Older = Newest_;
    k.Newer = kNone;
    if (Newest_ != kNone) Keys_[Newest_].Newer = Id;
    Newest_ = Id;
    if (Oldest_ == kNone) Oldest_ = Id;
}

void TalkerTable::Free(std::uint32_t Id) {
    KeySlot& k = Keys_[Id];
    Unlink(Id);
    IndexErase(Id);
    k.Live = false;
    ++k.Generation;
    k.LastSecond = k.CellSecond = INT64_MIN;
    FreeIds_.push_back(Id);
}

std::uint32_t TalkerTable::IdFor(const TalkerKey& Key, std::uint32_t Hash) {
    if (const std::uint32_t found = Find(Key, Hash); found != kNone) return found;
    if (IndexUsed_ >= MaxKeys_ && Oldest_ != kNone) {
        Free(Oldest_);
        ++KeysDropped_;
    }
    std::uint32_t id;
    if (!FreeIds_.empty()) {
        id = FreeIds_.back();
        FreeIds_.pop_back();
    } else {
        id = static_cast<std::uint32_t>(Keys_.size());
        Keys_.emplace_back();
    }
    KeySlot& k = Keys_[id];
    k.Key = Key;
    k.Hash = Hash;
    k.Live = true;
    IndexInsert(id, Hash);
    LinkNewest(id);
    return id;
}

bool TalkerTable::Counts(const Entry& E) const {
    const KeySlot& k = Keys_[E.Id];
    return k.Live && k.Generation == E.Generation;
}

void TalkerTable::Add(const TalkerKey& Key, std::uint32_t Hash, std::int64_t Second, const FlowRecord& Record) {
    const std::uint32_t id = IdFor(Key, Hash);
    {
        // Recency counts by the second: a key moves to the front once per second it is seen in,
        // not once per flow, which spares the list's neighbours a visit for every flow.
        KeySlot& k = Keys_[id];
        if (Second > k.LastSecond) {
            k.LastSecond = Second;
            if (Newest_ != id) {
                Unlink(id);
                LinkNewest(id);
            }
        }
    }
    Bucket& bucket = BucketOf(Second);
    KeySlot& k = Keys_[id];
    if (k.CellSecond == Second && k.CellIndex < bucket.Entries.size() && bucket.Entries[k.CellIndex].Id == id) {
        bucket.Entries[k.CellIndex].Totals.Add(Record);
        return;
    }
    if (TotalEntries_ >= MaxEntries_ && !CutOldest(Second)) {
        ++FlowsCut_;  // every cell is of this very second: the flow cannot be kept
        return;
    }
    KeySlot& kept = Keys_[id];
    kept.CellSecond = Second;
    kept.CellIndex = static_cast<std::uint32_t>(bucket.Entries.size());
    OldestCell_ = std::min(OldestCell_, Second);
    Entry cell{id, kept.Generation, {}};
    cell.Totals.Add(Record);
    bucket.Entries.push_back(cell);
    ++TotalEntries_;
}

bool TalkerTable::CutOldest(std::int64_t Keep) {
    const auto history = static_cast<std::int64_t>(Buckets_.size());
    for (std::int64_t s = std::max(OldestCell_, Keep - history); s < Keep; ++s) {
        const Bucket* b = FindBucket(s);
        if (b == nullptr || b->Entries.empty()) continue;
        for (const Entry& e : b->Entries) {
            if (Counts(e)) FlowsCut_ += e.Totals.Flows;
        }
        Retire(s);
        OldestCell_ = s + 1;
        return true;
    }
    OldestCell_ = std::max(OldestCell_, Keep);
    return false;
}

void TalkerTable::Retire(std::int64_t Second) {
    Bucket& b = Buckets_[Slot(Second, Buckets_.size())];
    if (b.Second != Second) return;
    for (const Entry& e : b.Entries) {
        // A key whose newest cell goes now has nothing left in the history.
        if (Counts(e) && Keys_[e.Id].LastSecond <= Second) Free(e.Id);
    }
    TotalEntries_ -= b.Entries.size();
    b.Entries.clear();
    if (b.Entries.capacity() > kRetainedCells) std::vector<Entry>().swap(b.Entries);
    b.Second = INT64_MIN;
}

void TalkerTable::Clear() {
    for (Bucket& b : Buckets_) {
        std::vector<Entry>().swap(b.Entries);
        b.Second = INT64_MIN;
    }
    for (std::uint32_t id = 0; id < Keys_.size(); ++id) {
        if (Keys_[id].Live) Free(id);
    }
    TotalEntries_ = 0;
    OldestCell_ = INT64_MAX;
}

TalkerTop TalkerTable::Top(std::int64_t From, std::int64_t To, std::size_t Rows) const {
    Sums_.resize(Keys_.size());
    Touched_.clear();
    for (std::int64_t s = From; s <= To; ++s) {
        const Bucket* b = FindBucket(s);
        if (b == nullptr) continue;
        for (const Entry& e : b->Entries) {
            if (!Counts(e)) continue;
            if (Sums_[e.Id].Flows == 0) Touched_.push_back(e.Id);
            Sums_[e.Id].Add(e.Totals);
        }
    }
    TalkerTop top;
    top.Keys = Touched_.size();
    top.KeysDropped = KeysDropped_;
    top.FlowsCut = FlowsCut_;
    for (std::uint32_t id : Touched_) top.Totals.Add(Sums_[id]);
    // Most bytes first; equal bytes in key order, so the same traffic always ranks the same.
    auto before = [this](std::uint32_t a, std::uint32_t b) {
        if (Sums_[a].Bytes != Sums_[b].Bytes) return Sums_[a].Bytes > Sums_[b].Bytes;
        return Keys_[a].Key < Keys_[b].Key;
    };
    const std::size_t n = std::min(Rows, Touched_.size());
    std::partial_sort(Touched_.begin(), Touched_.begin() + static_cast<std::ptrdiff_t>(n), Touched_.end(), before);
    for (std::size_t i = 0; i < n; ++i) top.Rows.push_back({Keys_[Touched_[i]].Key, Sums_[Touched_[i]]});
    for (std::uint32_t id : Touched_) Sums_[id] = {};
    return top;
}

std::vector<TrafficTotals> TalkerTable::KeySeries(const TalkerKey& Key, std::int64_t From, std::int64_t To) const {
    std::vector<TrafficTotals> series(static_cast<std::size_t>(std::max<std::int64_t>(0, To - From + 1)));
    const std::uint32_t found = Find(Key, HashOf(Key));
    if (found == kNone) return series;
    for (std::int64_t s = From; s <= To; ++s) {
        const Bucket* b = FindBucket(s);
        if (b == nullptr) continue;
        for (const Entry& e : b->Entries) {
            if (e.Id == found && Counts(e)) series[static_cast<std::size_t>(s - From)].Add(e.Totals);
        }
    }
    return series;
}
