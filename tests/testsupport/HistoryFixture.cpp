#include "HistoryFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <tuple>
#include <utility>

namespace historyfixture {

namespace {

bool Exec(sqlite3* Db, const std::string& Sql) {
    char* message = nullptr;
    if (sqlite3_exec(Db, Sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    ADD_FAILURE() << Sql << ": " << (message != nullptr ? message : sqlite3_errmsg(Db));
    sqlite3_free(message);
    return false;
}

sqlite3_stmt* Prepare(sqlite3* Db, const std::string& Sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(Db, Sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << Sql << ": " << sqlite3_errmsg(Db);
    }
    return s;
}

void Step(sqlite3* Db, sqlite3_stmt* S) {
    if (sqlite3_step(S) != SQLITE_DONE) ADD_FAILURE() << sqlite3_errmsg(Db);
    sqlite3_reset(S);
}

// Key columns of the summaries hold 0 where a flow had no address, as the collector writes them.
void BindKey(sqlite3_stmt* S, int Index, const FlowAddress& A) {
    if (A.Kind == FlowAddress::None) {
        sqlite3_bind_int64(S, Index, 0);
    } else {
        history::BindAddress(S, Index, A);
    }
}

using TotalsKey =
    std::tuple<FlowAddress, std::uint32_t, std::uint32_t, std::uint32_t, std::uint8_t, std::uint32_t, std::uint32_t>;
using TopKey = std::tuple<FlowAddress, FlowAddress, std::int64_t>;

struct Unit {
    std::map<TotalsKey, history::Totals> Totals;
    std::array<std::map<TopKey, history::Totals>, history::kTopKinds> Tops;
};

FlowRecord TotalsRecord(const TotalsKey& K) {
    FlowRecord r;
    std::tie(r.Exporter, r.Domain, r.InputIf, r.OutputIf, r.Protocol, r.SourceAS, r.DestinationAS) = K;
    return r;
}

}  // namespace

sqlite3* OpenForWriting(const std::string& Path, bool Summary) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(Path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << Path << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 5000);
    std::string error;
    const std::int32_t id = Summary ? history::kSummaryApplicationId : history::kFlowsApplicationId;
    const history::FileCheck check = history::CheckFile(db, id, error);
    bool ok = check != history::FileCheck::Fresh ||
              (Summary ? history::CreateSummary(db, error) : history::CreateFlows(db, error));
    ok = ok && Exec(db, "PRAGMA journal_mode=WAL");
    if (!ok) {
        ADD_FAILURE() << Path << ": " << error;
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

void InsertFlows(sqlite3* Db, const std::vector<FlowRecord>& Flows) {
    std::string marks;
    for (int i = 0; i < history::kFlowColumns; ++i) marks += i == 0 ? "?" : ",?";
    sqlite3_stmt* insert = Prepare(Db, "INSERT INTO flows VALUES(" + marks + ")");
    sqlite3_stmt* minute = Prepare(Db,
                                   "INSERT INTO minutes VALUES(?,?,?) ON CONFLICT(minute) DO UPDATE SET "
                                   "first_row=min(first_row, excluded.first_row), "
                                   "last_row=max(last_row, excluded.last_row)");
    for (const FlowRecord& r : Flows) {
        using namespace history;
        BindFlow(insert, r);
        Step(Db, insert);
        const std::int64_t row = sqlite3_last_insert_rowid(Db);
        sqlite3_bind_int64(minute, 1, r.ReceivedMs / kMinuteMs);
        sqlite3_bind_int64(minute, 2, row);
        sqlite3_bind_int64(minute, 3, row);
        Step(Db, minute);
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(minute);
}

HistoryFolder::HistoryFolder(std::string Folder) : Folder_(std::move(Folder)) {
    if (!Folder_.empty() && Folder_.back() != '/') Folder_ += '/';
    std::error_code error;
    std::filesystem::create_directories(Folder_, error);
    if (error) ADD_FAILURE() << Folder_ << ": " << error.message();
}

std::string HistoryFolder::DayPath(std::int64_t Ms) const { return Folder_ + history::FlowsFileName(Ms); }

std::string HistoryFolder::SummaryPath() const { return Folder_ + history::kSummaryFile; }

void HistoryFolder::AddFlows(const std::vector<FlowRecord>& Flows) {
    for (std::size_t at = 0; at < Flows.size();) {
        const std::string path = DayPath(Flows[at].ReceivedMs);
        std::size_t end = at;
        while (end < Flows.size() && DayPath(Flows[end].ReceivedMs) == path) ++end;
        sqlite3* db = OpenForWriting(path, false);
        if (db == nullptr) return;
        Exec(db, "BEGIN");
        InsertFlows(db, std::vector<FlowRecord>(Flows.begin() + static_cast<std::ptrdiff_t>(at),
                                                Flows.begin() + static_cast<std::ptrdiff_t>(end)));
        Exec(db, "COMMIT");
        sqlite3_close(db);
        at = end;
    }
}

void HistoryFolder::AddTotals(bool Hour, std::int64_t Unit, const FlowRecord& Key, const history::Totals& Sums) {
    sqlite3* db = OpenForWriting(SummaryPath(), true);
    if (db == nullptr) return;
    const std::string unit = Hour ? "hour" : "minute";
    sqlite3_stmt* s = Prepare(
        db, "INSERT INTO " + unit + "_totals VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)" + history::kAddTotalsOnConflict);
    sqlite3_bind_int64(s, 1, Unit);
    BindKey(s, 2, Key.Exporter);
    sqlite3_bind_int64(s, 3, Key.Domain);
    sqlite3_bind_int64(s, 4, Key.InputIf);
    sqlite3_bind_int64(s, 5, Key.OutputIf);
    sqlite3_bind_int64(s, 6, Key.Protocol);
    sqlite3_bind_int64(s, 7, Key.SourceAS);
    sqlite3_bind_int64(s, 8, Key.DestinationAS);
    history::BindTotals(s, 9, Sums);
    Step(db, s);
    sqlite3_finalize(s);
    sqlite3_close(db);
}

void HistoryFolder::AddTop(bool Hour, std::int64_t Unit, history::TopKind Kind, const TopCell& Key,
                           const history::Totals& Sums) {
    sqlite3* db = OpenForWriting(SummaryPath(), true);
    if (db == nullptr) return;
    const std::string unit = Hour ? "hour" : "minute";
    sqlite3_stmt* s =
        Prepare(db, "INSERT INTO " + unit + "_top VALUES(?,?,?,?,?,?,?,?,?,?,?)" + history::kAddTotalsOnConflict);
    sqlite3_bind_int64(s, 1, Unit);
    sqlite3_bind_int(s, 2, static_cast<int>(Kind));
    if (Key.Other) {
        sqlite3_bind_int64(s, 3, history::kOtherKey);
        sqlite3_bind_int64(s, 4, 0);
    } else if (history::NumberKind(Kind)) {
        sqlite3_bind_int64(s, 3, Key.Number);
        sqlite3_bind_int64(s, 4, 0);
    } else {
        BindKey(s, 3, Key.First);
        BindKey(s, 4, Key.Second);
    }
    history::BindTotals(s, 5, Sums);
    Step(db, s);
    sqlite3_finalize(s);
    sqlite3_close(db);
}

void HistoryFolder::Summarize(const std::vector<FlowRecord>& Flows, std::size_t KeepTop, std::int64_t HoursBeforeMs,
                              const std::string& LocationDatabase) {
    std::unique_ptr<names::Locator> where;
    if (!LocationDatabase.empty()) {
        std::string error;
        where = names::Locator::Open(LocationDatabase, &error);
        if (!where) ADD_FAILURE() << error;
    }
    std::map<std::int64_t, Unit> minutes, hours;
    for (const FlowRecord& r : Flows) {
        std::vector<Unit*> units{&minutes[r.ReceivedMs / history::kMinuteMs]};
        const std::int64_t hour = r.ReceivedMs / history::kHourMs;
        if (hour * history::kHourMs < HoursBeforeMs) units.push_back(&hours[hour]);
        const FlowAddress low = std::min(r.Source, r.Destination), high = std::max(r.Source, r.Destination);
        std::vector<TopKey> keys = {TopKey{r.Source, {}, 0}, TopKey{r.Destination, {}, 0}, TopKey{low, high, 0},
                                    TopKey{{}, {}, r.SourcePort}, TopKey{{}, {}, r.DestinationPort}};
        if (where) {
            const names::Place source = where->Find(r.Source), destination = where->Find(r.Destination);
            keys.insert(keys.end(), {TopKey{{}, {}, source.Country}, TopKey{{}, {}, destination.Country},
                                     TopKey{{}, {}, source.Asn}, TopKey{{}, {}, destination.Asn}});
        }
        for (Unit* u : units) {
            u->Totals[{r.Exporter, r.Domain, r.InputIf, r.OutputIf, r.Protocol, r.SourceAS, r.DestinationAS}].Add(r);
            for (std::size_t k = 0; k < keys.size(); ++k) u->Tops[k][keys[k]].Add(r);
        }
    }
    sqlite3* db = OpenForWriting(SummaryPath(), true);
    if (db == nullptr) return;
    Exec(db, "BEGIN");
    for (const bool hour : {false, true}) {
        const std::string unit = hour ? "hour" : "minute";
        sqlite3_stmt* totals = Prepare(db, "INSERT INTO " + unit + "_totals VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)" +
                                               history::kAddTotalsOnConflict);
        sqlite3_stmt* top =
            Prepare(db, "INSERT INTO " + unit + "_top VALUES(?,?,?,?,?,?,?,?,?,?,?)" + history::kAddTotalsOnConflict);
        for (const auto& [when, u] : hour ? hours : minutes) {
            for (const auto& [key, sums] : u.Totals) {
                const FlowRecord k = TotalsRecord(key);
                sqlite3_bind_int64(totals, 1, when);
                BindKey(totals, 2, k.Exporter);
                sqlite3_bind_int64(totals, 3, k.Domain);
                sqlite3_bind_int64(totals, 4, k.InputIf);
                sqlite3_bind_int64(totals, 5, k.OutputIf);
                sqlite3_bind_int64(totals, 6, k.Protocol);
                sqlite3_bind_int64(totals, 7, k.SourceAS);
                sqlite3_bind_int64(totals, 8, k.DestinationAS);
                history::BindTotals(totals, 9, sums);
                Step(db, totals);
            }
            for (int kind = 0; kind < history::kTopKinds; ++kind) {
                std::vector<std::pair<TopKey, history::Totals>> rows(u.Tops[static_cast<std::size_t>(kind)].begin(),
                                                                     u.Tops[static_cast<std::size_t>(kind)].end());
                std::stable_sort(rows.begin(), rows.end(), [](const auto& A, const auto& B) {
                    return A.second.ScaledBytes > B.second.ScaledBytes;
                });
                history::Totals other;
                for (std::size_t i = 0; i < rows.size(); ++i) {
                    if (i >= KeepTop) {
                        other.Add(rows[i].second);
                        continue;
                    }
                    const auto& [first, second, number] = rows[i].first;
                    sqlite3_bind_int64(top, 1, when);
                    sqlite3_bind_int(top, 2, kind + 1);
                    if (history::NumberKind(static_cast<history::TopKind>(kind + 1))) {
                        sqlite3_bind_int64(top, 3, number);
                        sqlite3_bind_int64(top, 4, 0);
                    } else {
                        BindKey(top, 3, first);
                        BindKey(top, 4, second);
                    }
                    history::BindTotals(top, 5, rows[i].second);
                    Step(db, top);
                }
                if (other.Flows == 0) continue;
                sqlite3_bind_int64(top, 1, when);
                sqlite3_bind_int(top, 2, kind + 1);
                sqlite3_bind_int64(top, 3, history::kOtherKey);
                sqlite3_bind_int64(top, 4, 0);
                history::BindTotals(top, 5, other);
                Step(db, top);
            }
        }
        sqlite3_finalize(totals);
        sqlite3_finalize(top);
    }
    Exec(db, "COMMIT");
    sqlite3_close(db);
}

}  // namespace historyfixture
