#include <gtest/gtest.h>
#include <sched.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "CommandLine.h"
#include "HistorySchema.h"
#include "HistoryStore.h"

namespace {

namespace fs = std::filesystem;
using history::HistoryOptions;
using history::HistoryStore;
using history::StoreState;

constexpr std::int64_t kDay = history::kDayMs;
// 2026-12-10T23:58:00Z: two minutes before a day ends, so that a run crosses into the next file.
constexpr std::int64_t kLateEvening = 1796947080000;

class HistoryStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Dir_ = fs::temp_directory_path() / ("history-store-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(Dir_);
        fs::create_directories(Dir_);
    }
    void TearDown() override { fs::remove_all(Dir_); }

    HistoryOptions Options() {
        HistoryOptions o;
        o.NowMs = [this] { return Now_; };
        o.Say = [this](const std::string& Line) { Said_.push_back(Line); };
        return o;
    }
    std::string HistoryDir() const { return (Dir_ / "history").string() + "/"; }
    bool Said(const std::string& Part) const {
        for (const std::string& line : Said_) {
            if (line.find(Part) != std::string::npos) return true;
        }
        return false;
    }

    // Everything one consumer thread would do with these batches, on this thread.
    static void Feed(HistoryStore& Store, const std::vector<FlowBatch>& Batches) {
        for (FlowConsumer* c : {&Store.RawConsumer(), &Store.SummaryConsumer()}) {
            c->BeginRun();
            for (const FlowBatch& b : Batches) c->Consume(b);
            c->EndRun();
        }
    }

    fs::path Dir_;
    std::int64_t Now_ = kLateEvening;
    std::vector<std::string> Said_;
};

FlowRecord Flow(std::int64_t ReceivedMs, const char* Source, const char* Destination, std::uint64_t Bytes,
                std::uint32_t Rate = 1) {
    FlowRecord r;
    r.ReceivedMs = r.StartMs = r.EndMs = ReceivedMs;
    r.Exporter = FlowAddress::Parse("192.0.2.1");
    r.Source = FlowAddress::Parse(Source);
    r.Destination = FlowAddress::Parse(Destination);
    r.Bytes = Bytes;
    r.Packets = 1;
    r.SamplingRate = Rate;
    r.Protocol = 6;
    r.SourcePort = 40000;
    r.DestinationPort = 443;
    r.Version = 9;
    return r;
}

struct Db {
    explicit Db(const std::string& Path) { sqlite3_open_v2(Path.c_str(), &Handle, SQLITE_OPEN_READWRITE, nullptr); }
    ~Db() { sqlite3_close(Handle); }
    std::int64_t Number(const std::string& Sql) const {
        sqlite3_stmt* s = nullptr;
        std::int64_t v = -1;
        if (sqlite3_prepare_v2(Handle, Sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
            v = sqlite3_column_int64(s, 0);
        sqlite3_finalize(s);
        return v;
    }
    sqlite3* Handle = nullptr;
};

TEST_F(HistoryStoreTest, EveryFlowIsKeptRawByDayAndSummedByMinuteAndHour) {
    std::mt19937 random(7);
    std::vector<FlowBatch> batches;
    std::map<std::string, std::uint64_t> bytesBySource;
    std::map<std::int64_t, std::uint64_t> flowsByDay;
    std::uint64_t scaled = 0;
    std::int64_t t = kLateEvening;
    // Four minutes across midnight, ten hosts with very different volumes, some flows sampled.
    for (int b = 0; b < 240; ++b, t += 1000) {
        FlowBatch batch;
        for (int i = 0; i < 30; ++i) {
            const int host = static_cast<int>(random() % 10);
            const std::string source = "10.0.0." + std::to_string(host);
            const std::uint32_t rate = host == 3 ? 100 : 1;
            const FlowRecord r = Flow(t, source.c_str(), "2001:db8::1", 100u << host, rate);
            batch.push_back(r);
            bytesBySource[source] += r.ScaledBytes();
            scaled += r.ScaledBytes();
            ++flowsByDay[t - t % kDay];
        }
        batches.push_back(batch);
    }
    HistoryStore store(Dir_.string(), Options());
    ASSERT_TRUE(store.Storing());
    Now_ = t;
    Feed(store, batches);
    store.FlushNow();

    ASSERT_EQ(flowsByDay.size(), 2u);
    std::uint64_t raw = 0;
    for (const auto& [day, flows] : flowsByDay) {
        Db db(HistoryDir() + history::FlowsFileName(day));
        EXPECT_EQ(db.Number("SELECT count(*) FROM flows"), static_cast<std::int64_t>(flows));
        // The minute map covers every row once.
        EXPECT_EQ(db.Number("SELECT sum(last_row-first_row+1) FROM minutes"), static_cast<std::int64_t>(flows));
        EXPECT_EQ(
            db.Number(
                "SELECT count(*) FROM flows_text WHERE src LIKE '10.0.0.%' AND dst='20010db8000000000000000000000001'"),
            static_cast<std::int64_t>(flows));
        raw += static_cast<std::uint64_t>(db.Number("SELECT sum(bytes*sampling_rate) FROM flows"));
    }
    EXPECT_EQ(raw, scaled);

    Db summary(HistoryDir() + history::kSummaryFile);
    EXPECT_EQ(summary.Number("SELECT sum(scaled_bytes) FROM minute_totals"), static_cast<std::int64_t>(scaled));
    EXPECT_EQ(summary.Number("SELECT sum(flows) FROM minute_totals"), 240 * 30);
    EXPECT_EQ(summary.Number("SELECT sum(scaled_bytes) FROM hour_totals"), static_cast<std::int64_t>(scaled));
    EXPECT_EQ(summary.Number("SELECT count(DISTINCT minute) FROM minute_totals"), 4);
    // Ten sources fit in every minute's top table: each source's sum is exact, and no "other" row.
    for (const auto& [source, bytes] : bytesBySource) {
        const std::uint32_t a = FlowAddress::Parse(source).IPv4HostOrder();
        EXPECT_EQ(summary.Number("SELECT sum(scaled_bytes) FROM minute_top WHERE kind=1 AND key1=" + std::to_string(a)),
                  static_cast<std::int64_t>(bytes))
            << source;
        EXPECT_EQ(summary.Number("SELECT sum(scaled_bytes) FROM hour_top WHERE kind=1 AND key1=" + std::to_string(a)),
                  static_cast<std::int64_t>(bytes))
            << source;
    }
    EXPECT_EQ(summary.Number("SELECT count(*) FROM minute_top WHERE key1=-1"), 0);
    EXPECT_EQ(summary.Number("SELECT max(sampled_high) FROM minute_totals"), 100);
    const history::StoreStatus status = store.Status();
    EXPECT_EQ(status.FlowsStored, 240u * 30u);
    EXPECT_EQ(status.RawDays, 2);
    EXPECT_EQ(status.FlowsNotStored, 0u);
}

// Rows go into the day files ten to a statement; a datagram whose flows straddle midnight splits
// between the two files row by row, and each file's minute map holds exactly its own rows.
TEST_F(HistoryStoreTest, ADatagramAcrossMidnightSplitsBetweenTheDayFiles) {
    const std::int64_t midnight = kLateEvening + 2 * history::kMinuteMs;
    FlowBatch batch;
    for (int i = 0; i < 25; ++i) batch.push_back(Flow(midnight - 12 + i, "10.0.0.1", "10.0.0.2", 100 + i));
    HistoryStore store(Dir_.string(), Options());
    Now_ = midnight + 1000;
    Feed(store, {batch});
    store.FlushNow();
    Db before(HistoryDir() + history::FlowsFileName(midnight - 1));
    Db after(HistoryDir() + history::FlowsFileName(midnight));
    EXPECT_EQ(before.Number("SELECT count(*) FROM flows"), 12);
    EXPECT_EQ(after.Number("SELECT count(*) FROM flows"), 13);
    EXPECT_EQ(before.Number("SELECT sum(last_row-first_row+1) FROM minutes"), 12);
    EXPECT_EQ(after.Number("SELECT sum(last_row-first_row+1) FROM minutes"), 13);
    EXPECT_EQ(after.Number("SELECT min(bytes) FROM flows"), 112);
    EXPECT_EQ(store.Status().FlowsStored, 25u);
}

TEST_F(HistoryStoreTest, AMinuteWithMoreHostsThanItsTopTableKeepsTheRestInTheOtherRow) {
    FlowBatch batch;
    std::uint64_t total = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string source = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250);
        batch.push_back(Flow(kLateEvening, source.c_str(), "192.0.2.99", 1000 + static_cast<std::uint64_t>(i)));
        total += 1000 + static_cast<std::uint64_t>(i);
    }
    HistoryStore store(Dir_.string(), Options());
    Feed(store, {batch});
    store.FlushNow();
    Db summary(HistoryDir() + history::kSummaryFile);
    EXPECT_EQ(summary.Number("SELECT count(*) FROM minute_top WHERE kind=1 AND key1<>-1"), 100);
    EXPECT_EQ(summary.Number("SELECT sum(scaled_bytes) FROM minute_top WHERE kind=1"),
              static_cast<std::int64_t>(total));
    // The kept ones are the largest.
    EXPECT_EQ(summary.Number("SELECT min(scaled_bytes) FROM minute_top WHERE kind=1 AND key1<>-1"), 1200);
    // Flows that come late to a minute already written add to its rows.
    Now_ += 10 * history::kMinuteMs;
    Feed(store, {{Flow(kLateEvening, "10.1.1.49", "192.0.2.99", 5)}});
    store.FlushNow();
    EXPECT_EQ(summary.Number("SELECT sum(flows) FROM minute_totals"), 301);
    EXPECT_EQ(summary.Number("SELECT count(DISTINCT minute) FROM minute_totals"), 1);
}

// A scan: more new sources in a minute than the minute keeps apart. The sums stay whole (what
// passed the bound is in the "other" row), and a source kept from early in the minute keeps adding.
TEST_F(HistoryStoreTest, AMinuteOfMoreKeysThanItsBoundStillAddsUpToEveryFlow) {
    FlowBatch batch;
    for (std::uint32_t i = 0; i < 70000; ++i) {
        FlowRecord r = Flow(kLateEvening, "10.0.0.1", "192.0.2.99", 10);
        r.Source = FlowAddress::FromIPv4(0x0B000000u + i);
        batch.push_back(r);
    }
    for (int i = 0; i < 50; ++i) batch.push_back(Flow(kLateEvening, "11.0.0.5", "192.0.2.99", 1000000));
    HistoryStore store(Dir_.string(), Options());
    Feed(store, {batch});
    store.FlushNow();
    Db summary(HistoryDir() + history::kSummaryFile);
    EXPECT_EQ(summary.Number("SELECT sum(flows) FROM minute_top WHERE kind=1"), 70050);
    EXPECT_EQ(summary.Number("SELECT sum(scaled_bytes) FROM minute_top WHERE kind=1"), 70000 * 10 + 50 * 1000000);
    EXPECT_GT(summary.Number("SELECT flows FROM minute_top WHERE kind=1 AND key1=-1"), 0);
    EXPECT_EQ(summary.Number("SELECT flows FROM minute_top WHERE kind=1 AND key1=" +
                             std::to_string(FlowAddress::Parse("11.0.0.5").IPv4HostOrder())),
              51);
    EXPECT_EQ(summary.Number("SELECT sum(flows) FROM hour_top WHERE kind=1"), 70050);
    // Countries and AS numbers come from the addresses kept apart; those past the bound stay "other".
    for (const int kind : {6, 8}) {
        const std::string k = std::to_string(kind);
        EXPECT_EQ(summary.Number("SELECT sum(flows) FROM minute_top WHERE kind=" + k), 70050) << kind;
        // The minute keeps 50,000 sources apart: the last 20,000 new ones are "other" in every kind.
        EXPECT_EQ(summary.Number("SELECT flows FROM minute_top WHERE kind=" + k + " AND key1=-1"), 70000 - 50000)
            << kind;
        EXPECT_EQ(summary.Number("SELECT sum(flows) FROM hour_top WHERE kind=" + k), 70050) << kind;
    }
}

TEST_F(HistoryStoreTest, WithoutTheLocationDatabaseTheSummariesKeepNoCountries) {
    HistoryOptions options = Options();
    options.LocationDatabase = (Dir_ / "missing.db").string();
    HistoryStore store(Dir_.string(), options);
    Feed(store, {{Flow(kLateEvening, "8.8.8.8", "1.1.1.1", 100)}});
    store.FlushNow();
    EXPECT_TRUE(Said("missing.db")) << ::testing::PrintToString(Said_);
    Db summary(HistoryDir() + history::kSummaryFile);
    EXPECT_EQ(summary.Number("SELECT count(*) FROM minute_top WHERE kind>=6"), 0);
    EXPECT_EQ(summary.Number("SELECT count(*) FROM hour_top WHERE kind>=6"), 0);
    EXPECT_EQ(summary.Number("SELECT sum(flows) FROM minute_top WHERE kind=1"), 1);
}

// A collector that ends in the middle of a minute: the minute is written as the store goes, and the
// store closes its files whole (under the address sanitizer, also without leaking a connection).
TEST_F(HistoryStoreTest, TheMinuteStillOpenIsWrittenWhenTheStoreEnds) {
    {
        HistoryStore store(Dir_.string(), Options());
        Feed(store, {{Flow(kLateEvening, "10.0.0.1", "10.0.0.2", 10), Flow(kLateEvening, "10.0.0.3", "10.0.0.2", 20)}});
    }
    Db summary(HistoryDir() + history::kSummaryFile);
    EXPECT_EQ(summary.Number("SELECT sum(flows) FROM minute_totals"), 2);
    EXPECT_EQ(summary.Number("SELECT sum(bytes) FROM hour_top WHERE kind=1"), 30);
    Db day(HistoryDir() + history::FlowsFileName(kLateEvening));
    EXPECT_EQ(day.Number("SELECT count(*) FROM flows"), 2);
}

TEST_F(HistoryStoreTest, OldDaysGoByAgeAndTheOldestBySizeButNeverToday) {
    {
        HistoryOptions o = Options();
        o.Keep.RawDays = 3;
        HistoryStore store(Dir_.string(), o);
        for (int day = 6; day >= 0; --day) {
            Now_ = kLateEvening - day * kDay;
            Feed(store, {{Flow(Now_, "10.0.0.1", "10.0.0.2", 10)}});
        }
        store.FlushNow();
        std::set<std::string> left;
        for (const auto& e : fs::directory_iterator(HistoryDir()))
            if (history::DayOfFlowsFile(e.path().filename().string()) >= 0) left.insert(e.path().filename().string());
        EXPECT_EQ(left, (std::set<std::string>{history::FlowsFileName(kLateEvening - 2 * kDay),
                                               history::FlowsFileName(kLateEvening - kDay),
                                               history::FlowsFileName(kLateEvening)}));
        EXPECT_TRUE(Said("older than 3 days"));
        EXPECT_EQ(store.Status().RawDays, 3);
    }
    HistoryOptions o = Options();
    o.Keep.MaxBytes = 1;  // below anything: every day but today goes
    HistoryStore store(Dir_.string(), o);
    store.FlushNow();
    EXPECT_EQ(store.Status().RawDays, 1);
    EXPECT_TRUE(fs::exists(HistoryDir() + history::FlowsFileName(kLateEvening)));
    EXPECT_TRUE(Said("the history is above"));
}

TEST_F(HistoryStoreTest, DamagedAndForeignFilesAreSetAsideAndAFreshStoreBegins) {
    fs::create_directories(HistoryDir());
    const std::string today = HistoryDir() + history::FlowsFileName(kLateEvening);
    std::ofstream(today) << std::string(8192, 'x');
    {
        sqlite3* db = nullptr;
        sqlite3_open((HistoryDir() + history::kSummaryFile).c_str(), &db);
        sqlite3_exec(db, "CREATE TABLE photos(name TEXT); INSERT INTO photos VALUES('cat')", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    HistoryStore store(Dir_.string(), Options());
    ASSERT_TRUE(store.Storing());
    Feed(store, {{Flow(kLateEvening, "10.0.0.1", "10.0.0.2", 10)}});
    store.FlushNow();
    int aside = 0;
    for (const auto& e : fs::directory_iterator(HistoryDir()))
        aside += e.path().filename().string().find(".bad-") != std::string::npos;
    EXPECT_EQ(aside, 2);
    EXPECT_TRUE(Said("renamed to"));
    EXPECT_FALSE(store.Status().Problem.empty());
    EXPECT_NE(history::StatusText(store.Status()).find(", bad files set aside"), std::string::npos);
    EXPECT_EQ(Db(today).Number("SELECT count(*) FROM flows"), 1);
}

TEST_F(HistoryStoreTest, ANewerStoreIsLeftAloneAndAnOlderOneUpgraded) {
    fs::create_directories(HistoryDir());
    const std::string today = HistoryDir() + history::FlowsFileName(kLateEvening);
    {
        // What the first version of the store wrote: the tables without the readable view.
        Db db(today);
        sqlite3_close(db.Handle);
        sqlite3_open(today.c_str(), &db.Handle);
        ASSERT_EQ(sqlite3_exec(db.Handle, history::FlowsSchema()[0], nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db.Handle, history::FlowsSchema()[1], nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_exec(db.Handle,
                     ("PRAGMA application_id=" + std::to_string(history::kFlowsApplicationId) +
                      "; PRAGMA user_version=1; INSERT INTO flows(received,start,end,bytes) VALUES(1,1,1,77)")
                         .c_str(),
                     nullptr, nullptr, nullptr);
    }
    {
        HistoryStore store(Dir_.string(), Options());
        EXPECT_TRUE(store.Storing());
        EXPECT_TRUE(Said("upgraded to schema 2"));
        Db db(today);
        EXPECT_EQ(db.Number("PRAGMA user_version"), 2);
        EXPECT_EQ(db.Number("SELECT bytes FROM flows_text"), 77);
    }
    Db(today).Number("PRAGMA user_version=99");
    const auto before = fs::file_size(today);
    HistoryStore store(Dir_.string(), Options());
    EXPECT_FALSE(store.Storing());
    EXPECT_EQ(store.Status().State, StoreState::Refused);
    EXPECT_NE(store.Status().Problem.find("newer version"), std::string::npos);
    EXPECT_EQ(fs::file_size(today), before);
    EXPECT_EQ(history::StatusText(store.Status()), "History: off (newer store)");
}

TEST_F(HistoryStoreTest, ASecondWriterOfTheSameFolderRunsWithoutHistory) {
    HistoryStore first(Dir_.string(), Options());
    HistoryStore second(Dir_.string(), Options());
    EXPECT_TRUE(first.Storing());
    EXPECT_FALSE(second.Storing());
    EXPECT_EQ(second.Status().State, StoreState::Locked);
    EXPECT_TRUE(Said("another collector writes to"));
}

// A real full disk: a small tmpfs in a mount namespace of a child, as the CSV's own test does.
int FillDiskInChild(const std::string& Directory) {
    if (::unshare(CLONE_NEWNS) != 0) return 77;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (::mount("tmpfs", Directory.c_str(), "tmpfs", 0, "size=1m") != 0) return 77;
    std::int64_t now = kLateEvening;
    std::vector<std::string> said;
    HistoryOptions o;
    o.NowMs = [&now] { return now; };
    o.Say = [&said](const std::string& Line) { said.push_back(Line); };
    o.Keep.MaxShareOfFileSystem = 0;
    HistoryStore store(Directory, o);
    if (!store.Storing()) return 2;
    FlowBatch batch(500, Flow(now, "10.0.0.1", "10.0.0.2", 1000));
    int rounds = 0;
    while (store.Status().State == StoreState::Running) {
        if (++rounds > 1000) return 3;  // never filled
        store.RawConsumer().Consume(batch);
        now += 1000;
        store.RawConsumer().EndRun();
    }
    if (store.Status().State != StoreState::DiskFull) return 4;
    if (history::StatusText(store.Status()).find("disk full since") == std::string::npos) return 5;
    bool episode = false;
    for (const std::string& line : said) episode |= line.find("the disk is full") != std::string::npos;
    if (!episode) return 6;
    // Nothing is taken while full, and everything is counted.
    const std::uint64_t lost = store.Status().FlowsNotStored;
    store.RawConsumer().Consume(batch);
    if (store.Status().FlowsNotStored != lost + batch.size()) return 7;
    // Room again (the day file goes, as retention would): storing resumes after the retry wait.
    for (const auto& e : fs::directory_iterator(Directory + "/history"))
        if (e.path().filename().string().rfind("flows-", 0) == 0) fs::remove(e.path());
    now += 6000;
    store.RawConsumer().Consume({Flow(now, "10.0.0.1", "10.0.0.2", 5)});
    if (store.Status().State != StoreState::Running) return 8;
    store.FlushNow();
    Db db(Directory + "/history/" + history::FlowsFileName(now));
    if (db.Number("SELECT count(*) FROM flows") != 1) return 9;
    return 0;
}

TEST_F(HistoryStoreTest, AFullDiskStopsStoringVisiblyAndItResumesWithRoom) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(FillDiskInChild(Dir_.string()));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "mounting a tmpfs is not allowed here (needs root)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "step that failed, see FillDiskInChild";
}

TEST(HistoryStatusText, SaysWhatIsHeldInTheLargestFittingUnit) {
    history::StoreStatus s;
    s.State = StoreState::Running;
    s.NowMs = kLateEvening;
    s.OldestMs = kLateEvening - 3 * kDay - 5 * history::kHourMs;
    s.Bytes = 4'200'000'000;
    EXPECT_EQ(history::StatusText(s), "History: 3 days, 4.2 GB");
    s.OldestMs = kLateEvening - 5 * history::kHourMs;
    s.Bytes = 120'400'000;
    s.FlowsNotStoredLastMinute = 12345;
    EXPECT_EQ(history::StatusText(s), "History: 5 h, 120 MB, 12,345 flows not stored");
    s.OldestMs = -1;
    s.FlowsNotStoredLastMinute = 0;
    EXPECT_EQ(history::StatusText(s), "History: empty, 120 MB");
    s.State = StoreState::Locked;
    EXPECT_EQ(history::StatusText(s), "History: off (folder in use)");
}

TEST(HistoryOptionsParsing, DaysSizesAndTheSwitchAreReadAndMistakesNamed) {
    CollectorOptions o;
    std::string error;
    ASSERT_TRUE(ParseCollectorOptions({"--history-days", "30", "--history-max-size=500M", "--no-history"}, o, error));
    EXPECT_EQ(o.HistoryDays, 30);
    EXPECT_EQ(o.HistoryMaxBytes, 500ULL << 20);
    EXPECT_FALSE(o.History);
    std::uint64_t bytes = 0;
    EXPECT_TRUE(ParseSize("1.5G", bytes));
    EXPECT_EQ(bytes, 3ULL << 29);
    EXPECT_TRUE(ParseSize("20GiB", bytes));
    EXPECT_EQ(bytes, 20ULL << 30);
    for (const char* bad : {"", "G", "-1G", "5X", "0", "1e30"}) EXPECT_FALSE(ParseSize(bad, bytes)) << bad;
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--history-days", "0"}, {"--history-days", "x"}, {"--history-days"}, {"--history-max-size", "lots"}}) {
        CollectorOptions fresh;
        EXPECT_FALSE(ParseCollectorOptions(bad, fresh, error));
        EXPECT_NE(error.find(bad[0]), std::string::npos) << error;
    }
}

}  // namespace
