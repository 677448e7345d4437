#include "HistoryStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "DataFolder.h"
#include "FlowLines.h"
#include "HistorySchema.h"
#include "StatusWords.h"

namespace history {

namespace {

using statuswords::Grouped;
using statuswords::LocalClock;
using statuswords::SayOnStandardError;
using statuswords::SystemNowMs;

std::uint64_t FileBytes(const std::string& Path) {
    struct stat info {};
    return ::stat(Path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// A day file with its companions: SQLite's write-ahead log and its index.
std::uint64_t DatabaseBytes(const std::string& Path) {
    return FileBytes(Path) + FileBytes(Path + "-wal") + FileBytes(Path + "-shm");
}

void RemoveDatabase(const std::string& Path) {
    ::unlink((Path + "-wal").c_str());
    ::unlink((Path + "-shm").c_str());
    ::unlink(Path.c_str());
}

struct DayFile {
    std::int64_t DayMs = 0;
    std::string Path;
    std::uint64_t Bytes = 0;
};

// Raw day files, oldest first, and the bytes of everything in the folder.
std::vector<DayFile> ListDays(const std::string& Folder, std::uint64_t& TotalBytes) {
    std::vector<DayFile> days;
    TotalBytes = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Folder, error)) {
        std::error_code ignored;
        if (!entry.is_regular_file(ignored)) continue;
        const std::string name = entry.path().filename().string();
        TotalBytes += FileBytes(entry.path().string());
        const std::int64_t day = DayOfFlowsFile(name);
        if (day >= 0) days.push_back({day, entry.path().string(), DatabaseBytes(entry.path().string())});
    }
    std::sort(days.begin(), days.end(), [](const DayFile& A, const DayFile& B) { return A.DayMs < B.DayMs; });
    return days;
}

bool Exec(sqlite3* Db, const char* Sql) { return sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool IsDiskFull(int Code) { return Code == SQLITE_FULL || errno == ENOSPC || errno == EDQUOT; }

// The few-valued keys of minute_totals and hour_totals. All -1 but the exporter's: the row that
// takes what passed the key bound.
struct TotalsKey {
    FlowAddress Exporter;
    std::uint32_t Domain = 0;
    std::int64_t InputIf = 0;
    std::int64_t OutputIf = 0;
    std::int64_t Protocol = 0;
    std::int64_t SourceAS = 0;
    std::int64_t DestinationAS = 0;
    friend bool operator==(const TotalsKey&, const TotalsKey&) = default;
};

struct TopKeyValue {
    FlowAddress First;
    FlowAddress Second;
    std::int64_t Number = 0;
    friend bool operator==(const TopKeyValue&, const TopKeyValue&) = default;
};

// Addresses of one network differ in few bits: every bit of the key must reach every bit of the
// hash, or the tables' chains grow long.
std::uint64_t Mix(std::uint64_t H, std::uint64_t V) {
    std::uint64_t x = H ^ (V + 0x9e3779b97f4a7c15ULL + (H << 6) + (H >> 2));
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

std::uint64_t HashAddress(std::uint64_t H, const FlowAddress& A) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::memcpy(&low, A.Bytes.data(), 8);
    std::memcpy(&high, A.Bytes.data() + 8, 8);
    return Mix(Mix(Mix(H, A.Kind), low), high);
}

struct TotalsKeyHash {
    std::size_t operator()(const TotalsKey& K) const {
        std::uint64_t h = HashAddress(K.Domain, K.Exporter);
        h = Mix(h, static_cast<std::uint64_t>(K.InputIf) << 32 ^ static_cast<std::uint64_t>(K.OutputIf));
        h = Mix(h, static_cast<std::uint64_t>(K.SourceAS) << 32 ^ static_cast<std::uint64_t>(K.DestinationAS));
        return static_cast<std::size_t>(Mix(h, static_cast<std::uint64_t>(K.Protocol)));
    }
};

struct TopKeyHash {
    std::size_t operator()(const TopKeyValue& K) const {
        return static_cast<std::size_t>(
            Mix(HashAddress(HashAddress(0, K.First), K.Second), static_cast<std::uint64_t>(K.Number)));
    }
};

// Bounds on what one minute or hour keeps in memory, so that a scan over every address of the
// internet costs megabytes, not gigabytes; what passes a bound is summed in the "other" row.
constexpr std::size_t kMinuteKeysPerKind = 50000;
constexpr std::size_t kHourKeysPerKind = 100000;
constexpr std::size_t kTotalsKeys = 100000;
constexpr std::size_t kMinuteTopRows = 100;
constexpr std::size_t kHourTopRows = 1000;
// Countries are few (about 250): a minute and an hour keep them all rather than the top rows.
constexpr std::size_t kCountryRows = 1000;

constexpr std::size_t KindIndex(TopKind Kind) { return static_cast<std::size_t>(Kind) - 1; }

// Sums by key, bounded: an index of (tag, position) pairs probed in order, eight to a cache line,
// over the entries in the order they came. Most lookups of a busy minute miss (every flow of a
// scan brings new addresses), and a miss here reads the index only, where a table of linked nodes
// would read a node or two from anywhere in memory for each.
class KeyTable {
  public:
    struct Entry {
        TopKeyValue Key;
        std::uint64_t Hash = 0;
        Totals Sums;
    };

    // Adds S to Key's sums; false when Key is new and Bound keys are held already.
    bool Add(const TopKeyValue& Key, std::uint64_t Hash, const Totals& S, std::size_t Bound) {
        if (Slots_.empty()) Resize(64);
        const std::uint32_t tag = static_cast<std::uint32_t>(Hash >> 32) | 1u;
        for (std::size_t i = Hash & Mask_;; i = (i + 1) & Mask_) {
            const Slot slot = Slots_[i];
            if (slot.Tag == 0) {
                if (Entries_.size() >= Bound) return false;
                if ((Entries_.size() + 1) * 2 > Slots_.size()) {
                    Resize(Slots_.size() * 2);
                    return Add(Key, Hash, S, Bound);
                }
                Slots_[i] = {tag, static_cast<std::uint32_t>(Entries_.size())};
                Entries_.push_back({Key, Hash, S});
                return true;
            }
            if (slot.Tag == tag && Entries_[slot.Index].Key == Key) {
                Entries_[slot.Index].Sums.Add(S);
                return true;
            }
        }
    }
    const std::vector<Entry>& Entries() const { return Entries_; }

  private:
    struct Slot {
        std::uint32_t Tag = 0;  // 0: empty
        std::uint32_t Index = 0;
    };
    void Resize(std::size_t Slots) {
        Slots_.assign(Slots, Slot{});
        Mask_ = Slots - 1;
        for (std::size_t n = 0; n < Entries_.size(); ++n) {
            std::size_t i = Entries_[n].Hash & Mask_;
            while (Slots_[i].Tag != 0) i = (i + 1) & Mask_;
            Slots_[i] = {static_cast<std::uint32_t>(Entries_[n].Hash >> 32) | 1u, static_cast<std::uint32_t>(n)};
        }
    }

    std::vector<Slot> Slots_;
    std::vector<Entry> Entries_;
    std::size_t Mask_ = 0;
};

struct Accumulator {
    std::unordered_map<TotalsKey, Totals, TotalsKeyHash> ByKey;
    std::array<KeyTable, kTopKinds> Tops;
    std::array<Totals, kTopKinds> Others;

    void AddTotals(const TotalsKey& Key, const Totals& S) {
        auto it = ByKey.find(Key);
        if (it == ByKey.end() && ByKey.size() >= kTotalsKeys) {
            TotalsKey other;
            other.Exporter = Key.Exporter;
            other.Domain = Key.Domain;
            other.InputIf = other.OutputIf = other.Protocol = other.SourceAS = other.DestinationAS = -1;
            ByKey[other].Add(S);
            return;
        }
        if (it == ByKey.end()) it = ByKey.emplace(Key, Totals{}).first;
        it->second.Add(S);
    }
    void AddTop(int Kind, const TopKeyValue& Key, std::uint64_t Hash, const Totals& S, std::size_t Bound) {
        if (!Tops[static_cast<std::size_t>(Kind)].Add(Key, Hash, S, Bound))
            Others[static_cast<std::size_t>(Kind)].Add(S);
    }
};

TotalsKey TotalsKeyOf(const FlowRecord& R) {
    TotalsKey key;
    key.Exporter = R.Exporter;
    key.Domain = R.Domain;
    key.InputIf = R.InputIf;
    key.OutputIf = R.OutputIf;
    key.Protocol = R.Protocol;
    key.SourceAS = R.SourceAS;
    key.DestinationAS = R.DestinationAS;
    return key;
}

// The keys of a flow in each top table that is summed flow by flow, in the order of TopKind.
std::array<TopKeyValue, kFlowTopKinds> TopKeysOf(const FlowRecord& R) {
    std::array<TopKeyValue, kFlowTopKinds> keys;
    keys[0].First = R.Source;
    keys[1].First = R.Destination;
    // Either direction of a conversation is the same key.
    const bool sourceFirst = R.Source <= R.Destination;
    keys[2].First = sourceFirst ? R.Source : R.Destination;
    keys[2].Second = sourceFirst ? R.Destination : R.Source;
    keys[3].Number = R.SourcePort;
    keys[4].Number = R.DestinationPort;
    return keys;
}

void BindKeyAddress(sqlite3_stmt* S, int Index, const FlowAddress& A) {
    if (A.Kind == FlowAddress::None) {
        sqlite3_bind_int64(S, Index, 0);
    } else {
        BindAddress(S, Index, A);
    }
}

}  // namespace

std::string SizeText(std::uint64_t Bytes) {
    const char* units[] = {"bytes", "kB", "MB", "GB", "TB"};
    double value = static_cast<double>(Bytes);
    int unit = 0;
    while (value >= 1000.0 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(Bytes));
    } else {
        std::snprintf(text, sizeof text, value < 10.0 ? "%.1f %s" : "%.0f %s", value, units[unit]);
    }
    return text;
}

std::string StatusText(const StoreStatus& S) {
    switch (S.State) {
        case StoreState::Off:
            return "History: off";
        case StoreState::Refused:
            return "History: off (newer store)";
        case StoreState::Locked:
            return "History: off (folder in use)";
        case StoreState::Failed:
            return "History: failed";
        case StoreState::DiskFull:
            return "History: disk full since " + LocalClock(S.SinceMs, "%H:%M");
        case StoreState::Running:
            break;
    }
    std::string held;
    if (S.OldestMs < 0) {
        held = "empty";
    } else {
        const std::int64_t span = std::max<std::int64_t>(0, S.NowMs - S.OldestMs);
        if (span < 2 * kHourMs) {
            held = std::to_string(std::max<std::int64_t>(1, span / kMinuteMs)) + " min";
        } else if (span < 2 * kDayMs) {
            held = std::to_string(span / kHourMs) + " h";
        } else {
            held = std::to_string(span / kDayMs) + " days";
        }
    }
    std::string text = "History: " + held + ", " + SizeText(S.Bytes);
    if (S.FlowsNotStoredLastMinute > 0) text += ", " + Grouped(S.FlowsNotStoredLastMinute) + " flows not stored";
    if (S.FilesSetAside > 0) text += S.FilesSetAside == 1 ? ", a bad file set aside" : ", bad files set aside";
    return text;
}

// What both writers share with the status readers.
struct HistoryStore::Shared {
    HistoryOptions Options;
    std::string Folder;
    int LockFd = -1;

    mutable std::mutex Lock;
    StoreStatus Status;  // guarded by Lock; the counters below are folded in when read
    std::atomic<std::uint64_t> Stored{0};
    std::atomic<std::uint64_t> NotStored{0};  // by the raw writer itself (disk full, failures)
    std::atomic<std::uint64_t> NotSummed{0};
    std::atomic<const FlowHandOver*> RawFeed{nullptr};
    std::atomic<const FlowHandOver*> SummaryFeed{nullptr};
    // Flows not stored by the end of the last whole minute, and in it.
    std::uint64_t NotStoredAtMinute = 0;  // guarded by Lock
    std::int64_t LastMinute = -1;         // guarded by Lock

    std::int64_t Now() const { return Options.NowMs(); }
    void Say(const std::string& Line) const { Options.Say(Line); }

    std::uint64_t TotalNotStored() const {
        const FlowHandOver* feed = RawFeed.load();
        return NotStored.load() + (feed != nullptr ? feed->RecordsDropped() : 0);
    }

    void SetState(StoreState State, std::string Problem) {
        const std::lock_guard<std::mutex> lock(Lock);
        if (Status.State != State) Status.SinceMs = Now();
        Status.State = State;
        Status.Problem = std::move(Problem);
    }
    StoreState State() const {
        const std::lock_guard<std::mutex> lock(Lock);
        return Status.State;
    }
    std::string Problem() const {
        const std::lock_guard<std::mutex> lock(Lock);
        return Status.Problem;
    }

    // A file that is no store of this program, or a damaged one, goes aside under a name of its
    // own; nothing is ever written over.
    void SetAside(const std::string& Path, const std::string& Why) {
        const std::string aside = Path + ".bad-" + LocalClock(Now(), "%Y%m%dT%H%M%S");
        std::string target = aside;
        for (int n = 2; ::access(target.c_str(), F_OK) == 0; ++n) target = aside + "-" + std::to_string(n);
        const bool moved = ::rename(Path.c_str(), target.c_str()) == 0;
        for (const char* companion : {"-wal", "-shm"}) {
            const std::string from = Path + companion;
            if (::access(from.c_str(), F_OK) == 0) (void)::rename(from.c_str(), (target + companion).c_str());
        }
        const std::string line = "History: " + Path + " " + Why +
                                 (moved ? "; renamed to " + target : "; could not be renamed") +
                                 " and a fresh store begun";
        Say(line);
        const std::lock_guard<std::mutex> lock(Lock);
        Status.Problem = line;
        ++Status.FilesSetAside;
    }

    // Opens (making, upgrading or setting aside as needed) one file of the store. Null when it
    // cannot be used; Refused is set when it is a newer program's.
    sqlite3* Open(const std::string& Path, std::int32_t ApplicationId, bool Summary, bool& Refused) {
        Refused = false;
        for (int attempt = 0; attempt < 2; ++attempt) {
            sqlite3* db = nullptr;
            if (sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                nullptr) != SQLITE_OK) {
                const std::string error = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
                sqlite3_close(db);
                SetState(StoreState::Failed, "History: cannot open " + Path + ": " + error);
                return nullptr;
            }
            sqlite3_busy_timeout(db, 2000);
            std::string error;
            const FileCheck check = CheckFile(db, ApplicationId, error);
            bool ok = true;
            switch (check) {
                case FileCheck::Fresh:
                    // Larger pages: fewer of them to fill and link for the same rows.
                    ok = Exec(db, "PRAGMA page_size=8192") && Exec(db, "PRAGMA journal_mode=WAL") &&
                         (Summary ? CreateSummary(db, error) : CreateFlows(db, error));
                    break;
                case FileCheck::Older:
                    ok = Summary ? UpgradeSummary(db, error) : UpgradeFlows(db, error);
                    if (ok) Say("History: " + Path + " upgraded to schema " + std::to_string(kSchemaVersion));
                    break;
                case FileCheck::Current:
                    break;
                case FileCheck::Newer:
                    sqlite3_close(db);
                    Refused = true;
                    SetState(StoreState::Refused, "History: " + Path + " " + error + "; history is off");
                    return nullptr;
                case FileCheck::Foreign:
                case FileCheck::Corrupt:
                    sqlite3_close(db);
                    SetAside(Path, "is " + error);
                    continue;
            }
            if (!ok) {
                sqlite3_close(db);
                SetState(StoreState::Failed, "History: cannot set up " + Path + ": " + error);
                return nullptr;
            }
            // Written by one thread; a crash loses at most the transaction of the last second.
            Exec(db, "PRAGMA journal_mode=WAL");
            Exec(db, "PRAGMA synchronous=NORMAL");
            Exec(db, "PRAGMA journal_size_limit=67108864");
            return db;
        }
        SetState(StoreState::Failed, "History: " + Path + " cannot be replaced");
        return nullptr;
    }
};

// The raw flows: one transaction a second, one day file at a time, and the minute map beside them.
class HistoryStore::RawWriter : public FlowConsumer {
  public:
    explicit RawWriter(Shared& S) : S_(S) {}
    ~RawWriter() override {
        Commit();
        Close();
    }

    void BeginRun() override {}

    void Consume(const FlowBatch& Batch) override {
        if (Batch.empty()) return;
        const std::int64_t now = S_.Now();
        if (S_.State() != StoreState::Running && !Retry(now)) {
            S_.NotStored += Batch.size();
            return;
        }
        for (std::size_t i = 0; i < Batch.size();) {
            const std::size_t count = RowsOfOneDay(Batch, i);
            if (!Insert(&Batch[i], count, now)) {
                // The rows that failed are counted with their transaction.
                S_.NotStored += Batch.size() - i - count;
                return;
            }
            i += count;
        }
    }

    void EndRun() override {
        const std::int64_t now = S_.Now();
        if (InTransaction_ && now - TransactionStartMs_ >= 1000) Commit();
        if (now - LastLookMs_ >= kLookEveryMs || now < LastLookMs_) {
            LastLookMs_ = now;
            ApplyRetention(now);
        }
        NoteMinute(now);
    }

    void FlushNow() {
        Commit();
        ApplyRetention(S_.Now());
        NoteMinute(S_.Now());
    }

    // At start: what is there already, for the status.
    void Survey() { ApplyRetention(S_.Now()); }

  private:
    static constexpr std::int64_t kLookEveryMs = 10000;
    // Rows per INSERT: a statement of ten rows costs SQLite a fifth less per row than ten of one.
    static constexpr std::size_t kRowsPerInsert = 10;
    static constexpr std::int64_t kRetryEveryMs = 5000;

    bool OpenDay(std::int64_t DayMs) {
        Close();
        bool refused = false;
        Db_ = S_.Open(S_.Folder + FlowsFileName(DayMs), kFlowsApplicationId, false, refused);
        if (Db_ == nullptr) return false;
        std::string columns;
        for (int i = 0; i < kFlowColumns; ++i) columns += i == 0 ? "?" : ",?";
        std::string many = "INSERT INTO flows VALUES(" + columns + ")";
        for (std::size_t k = 1; k < kRowsPerInsert; ++k) many += ",(" + columns + ")";
        if (sqlite3_prepare_v3(Db_, ("INSERT INTO flows VALUES(" + columns + ")").c_str(), -1,
                               SQLITE_PREPARE_PERSISTENT, &Insert_, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v3(Db_, many.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &InsertMany_, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v3(
                Db_,
                "INSERT INTO minutes VALUES(?,?,?) ON CONFLICT(minute) DO UPDATE SET "
                "first_row=min(first_row, excluded.first_row), last_row=max(last_row, excluded.last_row)",
                -1, SQLITE_PREPARE_PERSISTENT, &Minute_, nullptr) != SQLITE_OK) {
            S_.SetState(StoreState::Failed, std::string("History: cannot prepare statements: ") + sqlite3_errmsg(Db_));
            Close();
            return false;
        }
        DayMs_ = DayMs;
        return true;
    }

    void Close() {
        sqlite3_finalize(Insert_);
        sqlite3_finalize(InsertMany_);
        sqlite3_finalize(Minute_);
        Insert_ = InsertMany_ = Minute_ = nullptr;
        sqlite3_close(Db_);
        Db_ = nullptr;
        DayMs_ = -1;
    }

    static std::int64_t DayOf(std::int64_t Ms) { return Ms - ((Ms % kDayMs) + kDayMs) % kDayMs; }

    // How many rows from First on go into one statement: a whole group where they fall on one day.
    static std::size_t RowsOfOneDay(const FlowBatch& Batch, std::size_t First) {
        if (Batch.size() - First < kRowsPerInsert) return 1;
        const std::int64_t day = DayOf(Batch[First].ReceivedMs);
        for (std::size_t i = First + 1; i < First + kRowsPerInsert; ++i) {
            if (DayOf(Batch[i].ReceivedMs) != day) return 1;
        }
        return kRowsPerInsert;
    }

    // Count rows of one day in one statement (1 or kRowsPerInsert).
    bool Insert(const FlowRecord* Rows, std::size_t Count, std::int64_t Now) {
        const std::int64_t day = DayOf(Rows[0].ReceivedMs);
        if (day != DayMs_) {
            if (!Commit()) return false;
            if (!OpenDay(day)) {
                S_.NotStored += Count;
                RetryAtMs_ = Now + kRetryEveryMs;
                if (!SaidOpenFailure_) S_.Say(S_.Problem());
                SaidOpenFailure_ = true;
                return false;
            }
            SaidOpenFailure_ = false;
        }
        if (!InTransaction_) {
            const int rc = sqlite3_exec(Db_, "BEGIN", nullptr, nullptr, nullptr);
            if (rc != SQLITE_OK) return Failed(rc, Count);
            InTransaction_ = true;
            TransactionStartMs_ = Now;
            Pending_ = 0;
        }
        sqlite3_stmt* s = Count == 1 ? Insert_ : InsertMany_;
        for (std::size_t k = 0; k < Count; ++k) BindFlow(s, Rows[k], static_cast<int>(k) * kFlowColumns + 1);
        const int rc = sqlite3_step(s);
        sqlite3_reset(s);
        if (rc != SQLITE_DONE) return Failed(rc, Count);
        Pending_ += Count;
        // The rows of one statement take consecutive ids, in their order.
        const std::int64_t first = sqlite3_last_insert_rowid(Db_) - static_cast<std::int64_t>(Count) + 1;
        for (std::size_t k = 0; k < Count; ++k) {
            const std::int64_t row = first + static_cast<std::int64_t>(k);
            const std::int64_t minute = Rows[k].ReceivedMs / kMinuteMs;
            if (minute != LastMinute_ || Minutes_.empty()) {
                LastMinute_ = minute;
                auto [it, added] = Minutes_.try_emplace(minute, row, row);
                if (!added) it->second.second = std::max(it->second.second, row);
            } else {
                Minutes_[minute].second = row;
            }
            if (Oldest_ < 0 || Rows[k].ReceivedMs < Oldest_) Oldest_ = Rows[k].ReceivedMs;
        }
        return true;
    }

    bool Commit() {
        if (!InTransaction_) return true;
        for (const auto& [minute, rows] : Minutes_) {
            sqlite3_bind_int64(Minute_, 1, minute);
            sqlite3_bind_int64(Minute_, 2, rows.first);
            sqlite3_bind_int64(Minute_, 3, rows.second);
            const int rc = sqlite3_step(Minute_);
            sqlite3_reset(Minute_);
            if (rc != SQLITE_DONE) return Failed(rc, 0);
        }
        const int rc = sqlite3_exec(Db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) return Failed(rc, 0);
        InTransaction_ = false;
        Minutes_.clear();
        S_.Stored += Pending_;
        Pending_ = 0;
        {
            const std::lock_guard<std::mutex> lock(S_.Lock);
            if (S_.Status.OldestMs < 0 || (Oldest_ >= 0 && Oldest_ < S_.Status.OldestMs)) S_.Status.OldestMs = Oldest_;
        }
        return true;
    }

    // Rolls back what the transaction held (counted as not stored, with Extra more) and stops
    // until the retry; a full disk is an episode of its own.
    bool Failed(int Code, std::uint64_t Extra) {
        const bool full = IsDiskFull(Code);
        const std::string why = Db_ != nullptr ? sqlite3_errmsg(Db_) : sqlite3_errstr(Code);
        if (InTransaction_) sqlite3_exec(Db_, "ROLLBACK", nullptr, nullptr, nullptr);
        InTransaction_ = false;
        Minutes_.clear();
        S_.NotStored += Pending_ + Extra;
        Pending_ = 0;
        Close();
        RetryAtMs_ = S_.Now() + kRetryEveryMs;
        if (S_.State() == StoreState::Running) {
            FailedAtNotStored_ = S_.TotalNotStored();
            if (full) {
                S_.Say("History: the disk is full; flows are not stored until there is room again (the CSV goes on)");
                S_.SetState(StoreState::DiskFull, "The disk holding " + S_.Folder + " is full: " + why);
            } else {
                S_.Say("History: writing failed (" + why + "); flows are not stored until it works again");
                S_.SetState(StoreState::Failed, "Writing " + S_.Folder + " failed: " + why);
            }
        }
        return false;
    }

    bool Retry(std::int64_t Now) {
        const StoreState state = S_.State();
        if (state != StoreState::DiskFull && state != StoreState::Failed) return false;
        if (Now < RetryAtMs_) return false;
        RetryAtMs_ = Now + kRetryEveryMs;
        // Some room first (a few transactions' worth, less on a small disk): without it every retry
        // would fail on the first page.
        struct statvfs fs {};
        if (::statvfs(S_.Folder.c_str(), &fs) == 0) {
            const std::uint64_t size = static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize;
            if (static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize < std::min<std::uint64_t>(8ULL << 20, size / 8)) {
                return false;
            }
        }
        S_.SetState(StoreState::Running, "");
        S_.Say("History: storing again; " + Grouped(S_.TotalNotStored() - FailedAtNotStored_) +
               " flows were not stored");
        return true;
    }

    void ApplyRetention(std::int64_t Now) {
        std::uint64_t total = 0;
        std::vector<DayFile> days = ListDays(S_.Folder, total);
        const Retention& keep = S_.Options.Keep;
        const std::int64_t today = DayOf(Now);
        const std::int64_t firstKept = today - static_cast<std::int64_t>(std::max(keep.RawDays, 1) - 1) * kDayMs;
        std::uint64_t limit = keep.MaxBytes;
        struct statvfs fs {};
        if (::statvfs(S_.Folder.c_str(), &fs) == 0 && keep.MaxShareOfFileSystem > 0) {
            const double size = static_cast<double>(fs.f_blocks) * static_cast<double>(fs.f_frsize);
            limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(size * keep.MaxShareOfFileSystem));
        }
        std::size_t dropped = 0;
        for (const DayFile& day : days) {
            const bool tooOld = day.DayMs < firstKept;
            const bool tooBig = total > limit && day.DayMs != DayMs_ && day.DayMs < today;
            if (!tooOld && !tooBig) break;
            RemoveDatabase(day.Path);
            total -= std::min(total, day.Bytes);
            ++dropped;
            S_.Say("History: dropped the raw flows of " + std::filesystem::path(day.Path).filename().string() +
                   (tooOld ? " (older than " + std::to_string(keep.RawDays) + " days)"
                           : " (the history is above " + SizeText(limit) + ")"));
        }
        days.erase(days.begin(), days.begin() + static_cast<std::ptrdiff_t>(dropped));
        const std::lock_guard<std::mutex> lock(S_.Lock);
        S_.Status.Bytes = total;
        S_.Status.RawDays = static_cast<int>(days.size());
        if (dropped > 0 || S_.Status.OldestMs < 0) {
            S_.Status.OldestMs = days.empty() ? -1 : OldestIn(days.front().Path);
            Oldest_ = S_.Status.OldestMs;
        }
    }

    std::int64_t OldestIn(const std::string& Path) {
        if (Db_ != nullptr && Path == S_.Folder + FlowsFileName(DayMs_) && InTransaction_) return Oldest_;
        sqlite3* db = nullptr;
        std::int64_t oldest = -1;
        if (sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, "SELECT min(minute) FROM minutes", -1, &s, nullptr) == SQLITE_OK &&
                sqlite3_step(s) == SQLITE_ROW && sqlite3_column_type(s, 0) != SQLITE_NULL) {
                oldest = sqlite3_column_int64(s, 0) * kMinuteMs;
            }
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
        return oldest;
    }

    // Counts the flows not stored in each whole minute, and says so once a minute while it lasts.
    void NoteMinute(std::int64_t Now) {
        const std::int64_t minute = Now / kMinuteMs;
        const std::uint64_t notStored = S_.TotalNotStored();
        std::uint64_t inMinute = 0;
        {
            const std::lock_guard<std::mutex> lock(S_.Lock);
            if (S_.LastMinute == minute) return;
            if (S_.LastMinute >= 0) {
                inMinute = notStored - S_.NotStoredAtMinute;
                S_.Status.FlowsNotStoredLastMinute = inMinute;
            }
            S_.LastMinute = minute;
            S_.NotStoredAtMinute = notStored;
        }
        if (inMinute > 0) {
            S_.Say("History: " + Grouped(inMinute) + " flows not stored in the minute to " +
                   LocalClock(minute * kMinuteMs, "%H:%M"));
        }
    }

    Shared& S_;
    sqlite3* Db_ = nullptr;
    sqlite3_stmt* Insert_ = nullptr;
    sqlite3_stmt* InsertMany_ = nullptr;
    sqlite3_stmt* Minute_ = nullptr;
    std::int64_t DayMs_ = -1;
    bool InTransaction_ = false;
    std::int64_t TransactionStartMs_ = 0;
    std::uint64_t Pending_ = 0;
    std::map<std::int64_t, std::pair<std::int64_t, std::int64_t>> Minutes_;  // of the open transaction
    std::int64_t LastMinute_ = -1;
    std::int64_t Oldest_ = -1;
    std::int64_t LastLookMs_ = 0;
    std::int64_t RetryAtMs_ = 0;
    std::uint64_t FailedAtNotStored_ = 0;
    bool SaidOpenFailure_ = false;
};

// The minute and hour summaries: added up in memory, written when a minute is over.
class HistoryStore::SummaryWriter : public FlowConsumer {
  public:
    explicit SummaryWriter(Shared& S) : S_(S) {}
    ~SummaryWriter() override {
        Flush(INT64_MAX, INT64_MAX);
        Close();
    }

    bool Open() {
        bool refused = false;
        Db_ = S_.Open(S_.Folder + kSummaryFile, kSummaryApplicationId, true, refused);
        if (Db_ != nullptr && !S_.Options.LocationDatabase.empty()) {
            std::string why;
            Locator_ = names::Locator::Open(S_.Options.LocationDatabase, &why);
            if (!Locator_) S_.Say("History: the summaries keep no countries or AS numbers (" + why + ")");
        }
        return Db_ != nullptr;
    }

    void Consume(const FlowBatch& Batch) override {
        for (const FlowRecord& r : Batch) {
            const std::int64_t minute = r.ReceivedMs / kMinuteMs;
            if (minute != CurrentMinute_ || Current_ == nullptr) {
                Current_ = &Minutes_.try_emplace(minute).first->second;
                CurrentMinute_ = minute;
            }
            Newest_ = std::max(Newest_, minute);
            Accumulator& acc = *Current_;
            Totals one;
            one.Add(r);
            acc.AddTotals(TotalsKeyOf(r), one);
            const auto keys = TopKeysOf(r);
            for (int kind = 0; kind < kFlowTopKinds; ++kind)
                acc.AddTop(kind, keys[static_cast<std::size_t>(kind)],
                           TopKeyHash{}(keys[static_cast<std::size_t>(kind)]), one, kMinuteKeysPerKind);
        }
    }

    void EndRun() override {
        const std::int64_t now = S_.Now();
        // A minute is written once the next but one has begun, or its end lies 5 s behind: flows
        // of a minute arrive a little out of order across exporters and late data sets.
        Flush(std::max(Newest_ - 1, (now - 5000) / kMinuteMs), now);
        if (now - LastTrimMs_ >= kHourMs || now < LastTrimMs_) {
            LastTrimMs_ = now;
            Trim(now);
        }
    }

    void FlushNow() {
        Flush(INT64_MAX, INT64_MAX);
        Trim(S_.Now());
    }

  private:
    // Statements first: a connection with a statement left open does not close, and leaks.
    void Close() {
        for (auto& [table, statement] : Statements_) sqlite3_finalize(statement);
        Statements_.clear();
        sqlite3_close(Db_);
        Db_ = nullptr;
    }

    // Writes every minute before Before, folds them into their hours, and writes every hour none
    // of whose minutes is still open once a later hour has begun (by the flows or by the clock).
    void Flush(std::int64_t Before, std::int64_t Now) {
        std::vector<std::pair<std::int64_t, Accumulator>> done;
        Current_ = nullptr;
        for (auto it = Minutes_.begin(); it != Minutes_.end() && it->first < Before;) {
            done.emplace_back(it->first, std::move(it->second));
            it = Minutes_.erase(it);
        }
        if (done.empty() && (Before != INT64_MAX || Hours_.empty())) return;
        for (auto& [minute, acc] : done) {
            Locate(acc);
            Accumulator& hour = Hours_[minute / 60];
            for (const auto& [key, sums] : acc.ByKey) hour.AddTotals(key, sums);
            for (int kind = 0; kind < kTopKinds; ++kind) {
                for (const KeyTable::Entry& e : acc.Tops[static_cast<std::size_t>(kind)].Entries())
                    hour.AddTop(kind, e.Key, e.Hash, e.Sums, kHourKeysPerKind);
                hour.Others[static_cast<std::size_t>(kind)].Add(acc.Others[static_cast<std::size_t>(kind)]);
            }
        }
        const std::int64_t openHour = Minutes_.empty() ? INT64_MAX : Minutes_.begin()->first / 60;
        const std::int64_t newestHour = Now == INT64_MAX ? INT64_MAX : std::max(Newest_ / 60, (Now - 10000) / kHourMs);
        std::vector<std::pair<std::int64_t, Accumulator>> hours;
        for (auto it = Hours_.begin(); it != Hours_.end();) {
            if (it->first < openHour && it->first < newestHour) {
                hours.emplace_back(it->first, std::move(it->second));
                it = Hours_.erase(it);
            } else {
                ++it;
            }
        }
        if (Db_ == nullptr) {
            for (const auto& [minute, acc] : done) S_.NotSummed += Flows(acc);
            return;
        }
        bool ok = Exec(Db_, "BEGIN");
        for (const auto& [minute, acc] : done) ok = ok && Write("minute", minute, acc, kMinuteTopRows);
        for (const auto& [hour, acc] : hours) ok = ok && Write("hour", hour, acc, kHourTopRows);
        ok = ok && Exec(Db_, "COMMIT");
        if (!ok) {
            const std::string why = sqlite3_errmsg(Db_);
            Exec(Db_, "ROLLBACK");
            for (const auto& [minute, acc] : done) S_.NotSummed += Flows(acc);
            if (!Failing_) S_.Say("History: the minute summaries could not be written (" + why + ")");
            Failing_ = true;
        } else {
            Failing_ = false;
        }
    }

    // The countries and AS numbers of a closing minute, from its distinct addresses: one lookup an
    // address, however many flows it had. Addresses that the key bound already sent to the "other"
    // row stay there: their countries are not known.
    void Locate(Accumulator& Acc) {
        if (!Locator_) return;
        constexpr std::pair<TopKind, std::array<TopKind, 2>> kSides[] = {
            {TopKind::Source, {TopKind::SourceCountry, TopKind::SourceAsn}},
            {TopKind::Destination, {TopKind::DestinationCountry, TopKind::DestinationAsn}}};
        for (const auto& [side, kinds] : kSides) {
            KeyTable& countries = Acc.Tops[KindIndex(kinds[0])];
            KeyTable& asns = Acc.Tops[KindIndex(kinds[1])];
            for (const KeyTable::Entry& e : Acc.Tops[KindIndex(side)].Entries()) {
                const names::Place place = Locator_->Find(e.Key.First);
                TopKeyValue country, asn;
                country.Number = place.Country;
                asn.Number = place.Asn;
                // No bound is reached: there are never more of these than addresses.
                countries.Add(country, TopKeyHash{}(country), e.Sums, kHourKeysPerKind);
                asns.Add(asn, TopKeyHash{}(asn), e.Sums, kHourKeysPerKind);
            }
            for (const TopKind kind : kinds) Acc.Others[KindIndex(kind)].Add(Acc.Others[KindIndex(side)]);
        }
    }

    static std::uint64_t Flows(const Accumulator& Acc) {
        std::uint64_t flows = 0;
        for (const auto& [key, sums] : Acc.ByKey) flows += sums.Flows;
        return flows;
    }

    bool Write(const std::string& Unit, std::int64_t When, const Accumulator& Acc, std::size_t TopRows) {
        sqlite3_stmt* totals =
            Statement(Unit + "_totals", Unit + ",exporter,domain,in_if,out_if,proto,src_as,dst_as", 8);
        sqlite3_stmt* top = Statement(Unit + "_top", Unit + ",kind,key1,key2", 4);
        if (totals == nullptr || top == nullptr) return false;
        for (const auto& [key, sums] : Acc.ByKey) {
            sqlite3_bind_int64(totals, 1, When);
            BindKeyAddress(totals, 2, key.Exporter);
            sqlite3_bind_int64(totals, 3, key.Domain);
            sqlite3_bind_int64(totals, 4, key.InputIf);
            sqlite3_bind_int64(totals, 5, key.OutputIf);
            sqlite3_bind_int64(totals, 6, key.Protocol);
            sqlite3_bind_int64(totals, 7, key.SourceAS);
            sqlite3_bind_int64(totals, 8, key.DestinationAS);
            BindTotals(totals, 9, sums);
            const int rc = sqlite3_step(totals);
            sqlite3_reset(totals);
            if (rc != SQLITE_DONE) return false;
        }
        for (int kind = 0; kind < kTopKinds; ++kind) {
            const auto& entries = Acc.Tops[static_cast<std::size_t>(kind)].Entries();
            std::vector<std::pair<TopKeyValue, Totals>> rows;
            rows.reserve(entries.size());
            for (const KeyTable::Entry& e : entries) rows.emplace_back(e.Key, e.Sums);
            const bool countries = kind == static_cast<int>(KindIndex(TopKind::SourceCountry)) ||
                                   kind == static_cast<int>(KindIndex(TopKind::DestinationCountry));
            const std::size_t kept = std::min(countries ? kCountryRows : TopRows, rows.size());
            std::partial_sort(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(kept), rows.end(),
                              [](const auto& A, const auto& B) { return A.second.ScaledBytes > B.second.ScaledBytes; });
            Totals other = Acc.Others[static_cast<std::size_t>(kind)];
            for (std::size_t i = kept; i < rows.size(); ++i) other.Add(rows[i].second);
            rows.resize(kept);
            for (const auto& [key, sums] : rows) {
                if (!WriteTop(top, When, kind, &key, sums)) return false;
            }
            if (other.Flows > 0 && !WriteTop(top, When, kind, nullptr, other)) return false;
        }
        return true;
    }

    static bool WriteTop(sqlite3_stmt* Top, std::int64_t When, int Kind, const TopKeyValue* Key, const Totals& S) {
        sqlite3_bind_int64(Top, 1, When);
        sqlite3_bind_int(Top, 2, Kind + 1);
        if (Key == nullptr) {
            sqlite3_bind_int64(Top, 3, kOtherKey);
            sqlite3_bind_int64(Top, 4, 0);
        } else if (NumberKind(static_cast<TopKind>(Kind + 1))) {
            sqlite3_bind_int64(Top, 3, Key->Number);
            sqlite3_bind_int64(Top, 4, 0);
        } else {
            BindKeyAddress(Top, 3, Key->First);
            BindKeyAddress(Top, 4, Key->Second);
        }
        BindTotals(Top, 5, S);
        const int rc = sqlite3_step(Top);
        sqlite3_reset(Top);
        return rc == SQLITE_DONE;
    }

    sqlite3_stmt* Statement(const std::string& Table, const std::string& Keys, int KeyCount) {
        auto it = Statements_.find(Table);
        if (it != Statements_.end()) return it->second;
        std::string marks;
        for (int i = 0; i < KeyCount + 7; ++i) marks += i == 0 ? "?" : ",?";
        const std::string sql = "INSERT INTO " + Table + "(" + Keys +
                                ",flows,bytes,packets,scaled_bytes,scaled_packets,sampled_low,sampled_high) VALUES(" +
                                marks + ")" + kAddTotalsOnConflict;
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(Db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
            return nullptr;
        Statements_[Table] = s;
        return s;
    }

    // Summaries go by age row by row: they are one file, and small.
    void Trim(std::int64_t Now) {
        if (Db_ == nullptr) return;
        const Retention& keep = S_.Options.Keep;
        const std::int64_t minute = (Now - static_cast<std::int64_t>(keep.MinuteDays) * kDayMs) / kMinuteMs;
        const std::int64_t hour = (Now - static_cast<std::int64_t>(keep.HourDays) * kDayMs) / kHourMs;
        const std::string m = std::to_string(minute);
        const std::string h = std::to_string(hour);
        Exec(Db_, ("DELETE FROM minute_totals WHERE minute < " + m + "; DELETE FROM minute_top WHERE minute < " + m +
                   "; DELETE FROM hour_totals WHERE hour < " + h + "; DELETE FROM hour_top WHERE hour < " + h)
                      .c_str());
    }

    Shared& S_;
    sqlite3* Db_ = nullptr;
    std::unique_ptr<names::Locator> Locator_;  // none: no countries or AS numbers are summed
    std::map<std::string, sqlite3_stmt*> Statements_;
    std::map<std::int64_t, Accumulator> Minutes_;
    std::map<std::int64_t, Accumulator> Hours_;
    Accumulator* Current_ = nullptr;  // the minute of the last flow, in Minutes_
    std::int64_t CurrentMinute_ = 0;
    std::int64_t Newest_ = INT64_MIN + 1;
    std::int64_t LastTrimMs_ = 0;
    bool Failing_ = false;
};

HistoryStore::HistoryStore(const std::string& DataFolder, HistoryOptions Options)
    : Shared_(std::make_unique<Shared>()) {
    Shared& s = *Shared_;
    s.Options = std::move(Options);
    // Longer raw history asks for summaries at least as long.
    s.Options.Keep.MinuteDays = std::max(s.Options.Keep.MinuteDays, s.Options.Keep.RawDays);
    s.Options.Keep.HourDays = std::max(s.Options.Keep.HourDays, s.Options.Keep.MinuteDays);
    if (!s.Options.NowMs) s.Options.NowMs = SystemNowMs;
    if (!s.Options.Say) s.Options.Say = SayOnStandardError;
    std::string base = DataFolder.empty() ? std::string(".") : DataFolder;
    std::error_code error;
    base = std::filesystem::absolute(base, error).lexically_normal().string();
    if (base.empty() || base.back() != '/') base += '/';
    s.Folder = base + kFolderName + "/";
    if (!s.Options.Enabled) {
        s.SetState(StoreState::Off, "--no-history");
        return;
    }
    std::string why;
    if (!datafolder::MakeFolder(s.Folder, why)) {
        s.Say("History: cannot make " + s.Folder + ": " + why + "; running without history");
        s.SetState(StoreState::Failed, why);
        return;
    }
    s.LockFd = ::open((s.Folder + kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (s.LockFd < 0 || ::flock(s.LockFd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = s.LockFd >= 0 && errno == EWOULDBLOCK;
        const std::string reason = held ? "another collector writes to " + s.Folder : std::strerror(errno);
        s.Say("History: " + reason + "; this one runs without history");
        s.SetState(held ? StoreState::Locked : StoreState::Failed, reason);
        return;
    }
    s.SetState(StoreState::Running, "");
    // Every file is checked before anything is written: a newer program's store is left whole.
    std::uint64_t total = 0;
    for (const DayFile& day : ListDays(s.Folder, total)) {
        bool refused = false;
        sqlite3* db = s.Open(day.Path, kFlowsApplicationId, false, refused);
        sqlite3_close(db);
        if (refused) break;
    }
    if (s.State() == StoreState::Refused) {
        s.Say(s.Problem());
        return;
    }
    Summary_ = std::make_unique<SummaryWriter>(s);
    if (!Summary_->Open()) {
        const StoreState state = s.State();
        if (state == StoreState::Refused || state == StoreState::Failed) s.Say(s.Problem());
        Summary_.reset();
        if (state == StoreState::Refused) return;
    }
    Raw_ = std::make_unique<RawWriter>(s);
    Raw_->Survey();
}

HistoryStore::~HistoryStore() {
    Raw_.reset();
    Summary_.reset();
    if (Shared_->LockFd >= 0) ::close(Shared_->LockFd);
}

bool HistoryStore::Storing() const { return Raw_ != nullptr && Shared_->State() == StoreState::Running; }

FlowConsumer& HistoryStore::RawConsumer() { return *Raw_; }

FlowConsumer& HistoryStore::SummaryConsumer() { return *Summary_; }

ConsumerPacing HistoryStore::RawPacing() {
    ConsumerPacing pacing;
    pacing.PeriodMs = 20;
    pacing.BatchesPerRun = 256;  // about 8 ms of work: it looks at the listener that often
    pacing.CoreShare = 1.0;
    pacing.IdlePriority = false;
    // Nothing while the listener is behind: the files come first, and what the store cannot take
    // then is counted, not taken from the CSV.
    pacing.YieldToListener = true;
    pacing.DrainAtStop = true;
    return pacing;
}

ConsumerPacing HistoryStore::SummaryPacing() {
    ConsumerPacing pacing;
    pacing.PeriodMs = 50;
    pacing.BatchesPerRun = 256;
    pacing.CoreShare = 1.0;
    // The summaries go on while the listener is behind, at a lower priority: they cost a third of
    // what the raw flows do and answer every question about the past but single flows, so they
    // are what a busy collector keeps.
    pacing.Nice = 5;
    pacing.DrainAtStop = true;
    return pacing;
}

void HistoryStore::Watch(const FlowHandOver* Raw, const FlowHandOver* Summary) {
    // What a feed let go of stays counted after it is gone.
    if (const FlowHandOver* old = Shared_->RawFeed.exchange(Raw); old != nullptr) {
        Shared_->NotStored += old->RecordsDropped();
    }
    if (const FlowHandOver* old = Shared_->SummaryFeed.exchange(Summary); old != nullptr) {
        Shared_->NotSummed += old->RecordsDropped();
    }
}

StoreStatus HistoryStore::Status() const {
    const Shared& s = *Shared_;
    StoreStatus status;
    {
        const std::lock_guard<std::mutex> lock(s.Lock);
        status = s.Status;
    }
    status.NowMs = s.Now();
    status.FlowsStored = s.Stored.load();
    status.FlowsNotStored = s.TotalNotStored();
    const FlowHandOver* summary = s.SummaryFeed.load();
    status.FlowsNotSummed = s.NotSummed.load() + (summary != nullptr ? summary->RecordsDropped() : 0);
    return status;
}

const std::string& HistoryStore::Folder() const { return Shared_->Folder; }

void HistoryStore::FlushNow() {
    if (Raw_) Raw_->FlushNow();
    if (Summary_) Summary_->FlushNow();
}

}  // namespace history
