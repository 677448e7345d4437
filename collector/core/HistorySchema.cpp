#include "HistorySchema.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace history {

namespace {

// Version 1 kept the flows and the minute map; version 2 added the view with readable columns.
// Each step brings a file from the version before it to its own.
const char* const kFlowsTable =
    "CREATE TABLE flows("
    "received INTEGER NOT NULL, start INTEGER NOT NULL, end INTEGER NOT NULL,"
    "exporter, domain INTEGER, src, dst, next_hop,"
    "src_port INTEGER, dst_port INTEGER, proto INTEGER, tcp_flags INTEGER, tos INTEGER,"
    "in_if INTEGER, out_if INTEGER, src_as INTEGER, dst_as INTEGER, src_mask INTEGER, dst_mask INTEGER,"
    "bytes INTEGER, packets INTEGER, sampling_rate INTEGER, sampler_id INTEGER, version INTEGER,"
    "exporter_times INTEGER)";
// minute: the receive time divided by 60,000; the rows of a minute lie between first_row and
// last_row (row ids grow with arrival).
const char* const kMinutesTable =
    "CREATE TABLE minutes(minute INTEGER PRIMARY KEY, first_row INTEGER NOT NULL, last_row INTEGER NOT NULL)";

// An address column in text: dotted for IPv4, hex for IPv6 (SQLite has no IPv6 formatting).
#define NFC_ADDRESS_TEXT(c)                                                                       \
    "CASE typeof(" c ") WHEN 'integer' THEN ((" c ">>24)&255)||'.'||((" c ">>16)&255)||'.'||((" c \
    ">>8)&255)||'.'||(" c "&255) WHEN 'blob' THEN lower(hex(" c ")) END AS " c

const char* const kFlowsView =
    "CREATE VIEW flows_text AS SELECT "
    "strftime('%Y-%m-%dT%H:%M:%f', received/1000.0, 'unixepoch') AS received,"
    "strftime('%Y-%m-%dT%H:%M:%f', start/1000.0, 'unixepoch') AS start,"
    "strftime('%Y-%m-%dT%H:%M:%f', end/1000.0, 'unixepoch') AS end," NFC_ADDRESS_TEXT("exporter") ", domain, "
    NFC_ADDRESS_TEXT("src") ", " NFC_ADDRESS_TEXT("dst") ", " NFC_ADDRESS_TEXT("next_hop") ","
    "src_port, dst_port, proto, tcp_flags, tos, in_if, out_if, src_as, dst_as, src_mask, dst_mask,"
    "bytes, packets, sampling_rate, bytes*sampling_rate AS scaled_bytes, packets*sampling_rate AS scaled_packets,"
    "sampler_id, version, exporter_times FROM flows";

#undef NFC_ADDRESS_TEXT

// Sums over a minute or an hour (the column "minute" or "hour" counts from 1970 in that unit).
#define NFC_TOTALS_TABLE(name, unit)                                                                    \
    "CREATE TABLE " name "(" unit                                                                       \
    " INTEGER NOT NULL, exporter NOT NULL, domain INTEGER NOT NULL,"                                    \
    "in_if INTEGER NOT NULL, out_if INTEGER NOT NULL, proto INTEGER NOT NULL, src_as INTEGER NOT NULL," \
    "dst_as INTEGER NOT NULL, flows INTEGER, bytes INTEGER, packets INTEGER, scaled_bytes INTEGER,"     \
    "scaled_packets INTEGER, sampled_low INTEGER, sampled_high INTEGER,"                                \
    "PRIMARY KEY(" unit ", exporter, domain, in_if, out_if, proto, src_as, dst_as)) WITHOUT ROWID"
// kind: 1 source, 2 destination, 3 conversation (key1 the smaller address, key2 the other),
// 4 source port, 5 destination port (key1 the port), 6 source country, 7 destination country (key1
// the two letters packed, the first in the high byte), 8 source AS, 9 destination AS (key1 the AS
// number); key1 0 of kinds 6 to 9 sums the addresses the location database has no entry for, key1 -1
// is the "other" row. Kinds 6 to 9 came without a new version: older files just have none of them.
#define NFC_TOP_TABLE(name, unit)                                                                  \
    "CREATE TABLE " name "(" unit                                                                  \
    " INTEGER NOT NULL, kind INTEGER NOT NULL, key1 NOT NULL, key2 NOT NULL,"                      \
    "flows INTEGER, bytes INTEGER, packets INTEGER, scaled_bytes INTEGER, scaled_packets INTEGER," \
    "sampled_low INTEGER, sampled_high INTEGER, PRIMARY KEY(" unit ", kind, key1, key2)) WITHOUT ROWID"

const char* const kMinuteTotals = NFC_TOTALS_TABLE("minute_totals", "minute");
const char* const kHourTotals = NFC_TOTALS_TABLE("hour_totals", "hour");
const char* const kMinuteTop = NFC_TOP_TABLE("minute_top", "minute");
const char* const kHourTop = NFC_TOP_TABLE("hour_top", "hour");

#undef NFC_TOTALS_TABLE
#undef NFC_TOP_TABLE

const char* const kSummaryView =
    "CREATE VIEW hour_totals_text AS SELECT strftime('%Y-%m-%dT%H:00', hour*3600, 'unixepoch') AS hour,"
    "CASE typeof(exporter) WHEN 'integer' THEN ((exporter>>24)&255)||'.'||((exporter>>16)&255)||'.'||"
    "((exporter>>8)&255)||'.'||(exporter&255) ELSE lower(hex(exporter)) END AS exporter,"
    "domain, in_if, out_if, proto, src_as, dst_as, flows, bytes, packets, scaled_bytes, scaled_packets "
    "FROM hour_totals";

struct Step {
    int Version;  // the version the file has after the step
    std::vector<const char*> Statements;
};

const std::vector<Step>& FlowsSteps() {
    static const std::vector<Step> steps = {{1, {kFlowsTable, kMinutesTable}}, {2, {kFlowsView}}};
    return steps;
}

const std::vector<Step>& SummarySteps() {
    static const std::vector<Step> steps = {{1, {kMinuteTotals, kHourTotals, kMinuteTop, kHourTop}},
                                            {2, {kSummaryView}}};
    return steps;
}

bool Exec(sqlite3* Db, const std::string& Sql, std::string& Error) {
    char* message = nullptr;
    if (sqlite3_exec(Db, Sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return true;
    Error = message != nullptr ? message : sqlite3_errmsg(Db);
    sqlite3_free(message);
    return false;
}

std::int64_t PragmaNumber(sqlite3* Db, const char* Sql, bool& Ok) {
    sqlite3_stmt* statement = nullptr;
    std::int64_t value = 0;
    Ok = sqlite3_prepare_v2(Db, Sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW;
    if (Ok) value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

// Runs the steps above FromVersion and stamps the file, all in one transaction.
bool Migrate(sqlite3* Db, const std::vector<Step>& Steps, int FromVersion, std::int32_t ApplicationId,
             std::string& Error) {
    if (!Exec(Db, "BEGIN IMMEDIATE", Error)) return false;
    for (const Step& step : Steps) {
        if (step.Version <= FromVersion) continue;
        for (const char* sql : step.Statements) {
            if (!Exec(Db, sql, Error)) {
                std::string ignored;
                Exec(Db, "ROLLBACK", ignored);
                return false;
            }
        }
    }
    const std::string stamp = "PRAGMA application_id=" + std::to_string(ApplicationId) +
                              "; PRAGMA user_version=" + std::to_string(kSchemaVersion);
    if (!Exec(Db, stamp, Error) || !Exec(Db, "COMMIT", Error)) {
        std::string ignored;
        Exec(Db, "ROLLBACK", ignored);
        return false;
    }
    return true;
}

int FileVersion(sqlite3* Db) {
    bool ok = false;
    return static_cast<int>(PragmaNumber(Db, "PRAGMA user_version", ok));
}

}  // namespace

void Totals::Add(const FlowRecord& R) {
    ++Flows;
    Bytes += R.Bytes;
    Packets += R.Packets;
    ScaledBytes += R.ScaledBytes();
    ScaledPackets += R.ScaledPackets();
    if (R.SamplingRate > 1) {
        SampledLow = SampledLow == 0 ? R.SamplingRate : std::min(SampledLow, R.SamplingRate);
        SampledHigh = std::max(SampledHigh, R.SamplingRate);
    }
}

void Totals::Add(const Totals& T) {
    Flows += T.Flows;
    Bytes += T.Bytes;
    Packets += T.Packets;
    ScaledBytes += T.ScaledBytes;
    ScaledPackets += T.ScaledPackets;
    if (T.SampledLow != 0) SampledLow = SampledLow == 0 ? T.SampledLow : std::min(SampledLow, T.SampledLow);
    SampledHigh = std::max(SampledHigh, T.SampledHigh);
}

const char* const kAddTotalsOnConflict =
    " ON CONFLICT DO UPDATE SET flows=flows+excluded.flows, bytes=bytes+excluded.bytes,"
    " packets=packets+excluded.packets, scaled_bytes=scaled_bytes+excluded.scaled_bytes,"
    " scaled_packets=scaled_packets+excluded.scaled_packets,"
    " sampled_low=CASE WHEN sampled_low=0 THEN excluded.sampled_low WHEN excluded.sampled_low=0 THEN sampled_low"
    " ELSE min(sampled_low, excluded.sampled_low) END, sampled_high=max(sampled_high, excluded.sampled_high)";

std::string FlowsFileName(std::int64_t Ms) {
    const std::time_t seconds = static_cast<std::time_t>(Ms / 1000);
    std::tm day{};
    gmtime_r(&seconds, &day);
    char name[48];
    std::snprintf(name, sizeof name, "flows-%04d-%02d-%02d.sqlite", day.tm_year + 1900, day.tm_mon + 1, day.tm_mday);
    return name;
}

std::int64_t DayOfFlowsFile(const std::string& Name) {
    int year = 0, month = 0, mday = 0;
    char tail[16] = {};
    if (Name.size() != std::strlen("flows-2026-12-10.sqlite")) return -1;
    if (std::sscanf(Name.c_str(), "flows-%4d-%2d-%2d.%15s", &year, &month, &mday, tail) != 4) return -1;
    if (std::strcmp(tail, "sqlite") != 0 || month < 1 || month > 12 || mday < 1 || mday > 31) return -1;
    std::tm day{};
    day.tm_year = year - 1900;
    day.tm_mon = month - 1;
    day.tm_mday = mday;
    const std::time_t seconds = timegm(&day);
    if (seconds == static_cast<std::time_t>(-1)) return -1;
    const std::int64_t ms = static_cast<std::int64_t>(seconds) * 1000;
    return FlowsFileName(ms) == Name ? ms : -1;  // refuses 2026-02-31 and the like
}

const std::vector<const char*>& FlowsSchema() {
    static const std::vector<const char*> all = [] {
        std::vector<const char*> statements;
        for (const Step& step : FlowsSteps())
            statements.insert(statements.end(), step.Statements.begin(), step.Statements.end());
        return statements;
    }();
    return all;
}

const std::vector<const char*>& SummarySchema() {
    static const std::vector<const char*> all = [] {
        std::vector<const char*> statements;
        for (const Step& step : SummarySteps())
            statements.insert(statements.end(), step.Statements.begin(), step.Statements.end());
        return statements;
    }();
    return all;
}

FileCheck CheckFile(sqlite3* Db, std::int32_t ApplicationId, std::string& Error) {
    bool ok = false;
    // Reading the header is the first thing that fails on a file that is not a database at all.
    const std::int64_t id = PragmaNumber(Db, "PRAGMA application_id", ok);
    if (!ok) {
        Error = sqlite3_errmsg(Db);
        return FileCheck::Corrupt;
    }
    const std::int64_t tables = PragmaNumber(Db, "SELECT count(*) FROM sqlite_schema", ok);
    if (!ok) {
        Error = sqlite3_errmsg(Db);
        return FileCheck::Corrupt;
    }
    const int version = FileVersion(Db);
    if (id == 0 && tables == 0 && version == 0) return FileCheck::Fresh;
    if (id != ApplicationId) {
        Error = "not a flow history file (application id " + std::to_string(id) + ")";
        return FileCheck::Foreign;
    }
    sqlite3_stmt* statement = nullptr;
    std::string verdict;
    if (sqlite3_prepare_v2(Db, "PRAGMA quick_check", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        verdict = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    } else {
        verdict = sqlite3_errmsg(Db);
    }
    sqlite3_finalize(statement);
    if (verdict != "ok") {
        Error = "damaged: " + verdict;
        return FileCheck::Corrupt;
    }
    if (version > kSchemaVersion) {
        Error = "written by a newer version of this program (schema " + std::to_string(version) +
                ", this one reads up to " + std::to_string(kSchemaVersion) + ")";
        return FileCheck::Newer;
    }
    return version < kSchemaVersion ? FileCheck::Older : FileCheck::Current;
}

bool UpgradeFlows(sqlite3* Db, std::string& Error) {
    return Migrate(Db, FlowsSteps(), FileVersion(Db), kFlowsApplicationId, Error);
}

bool UpgradeSummary(sqlite3* Db, std::string& Error) {
    return Migrate(Db, SummarySteps(), FileVersion(Db), kSummaryApplicationId, Error);
}

bool CreateFlows(sqlite3* Db, std::string& Error) { return Migrate(Db, FlowsSteps(), 0, kFlowsApplicationId, Error); }

bool CreateSummary(sqlite3* Db, std::string& Error) {
    return Migrate(Db, SummarySteps(), 0, kSummaryApplicationId, Error);
}

void BindAddress(sqlite3_stmt* Statement, int Index, const FlowAddress& Address) {
    switch (Address.Kind) {
        case FlowAddress::IPv4:
            sqlite3_bind_int64(Statement, Index, Address.IPv4HostOrder());
            break;
        case FlowAddress::IPv6:
            sqlite3_bind_blob(Statement, Index, Address.Bytes.data(), 16, SQLITE_TRANSIENT);
            break;
        default:
            sqlite3_bind_null(Statement, Index);
    }
}

FlowAddress ColumnAddress(sqlite3_stmt* Statement, int Column) {
    switch (sqlite3_column_type(Statement, Column)) {
        case SQLITE_INTEGER:
            return FlowAddress::FromIPv4(static_cast<std::uint32_t>(sqlite3_column_int64(Statement, Column)));
        case SQLITE_BLOB:
            if (sqlite3_column_bytes(Statement, Column) == 16) {
                FlowAddress a;
                a.Kind = FlowAddress::IPv6;
                std::memcpy(a.Bytes.data(), sqlite3_column_blob(Statement, Column), 16);
                return a;
            }
            return {};
        default:
            return {};
    }
}

void BindFlow(sqlite3_stmt* S, const FlowRecord& R, int First) {
    sqlite3_bind_int64(S, First + kReceived, R.ReceivedMs);
    sqlite3_bind_int64(S, First + kStart, R.StartMs);
    sqlite3_bind_int64(S, First + kEnd, R.EndMs);
    BindAddress(S, First + kExporter, R.Exporter);
    sqlite3_bind_int64(S, First + kDomain, R.Domain);
    BindAddress(S, First + kSource, R.Source);
    BindAddress(S, First + kDestination, R.Destination);
    BindAddress(S, First + kNextHop, R.NextHop);
    sqlite3_bind_int(S, First + kSourcePort, R.SourcePort);
    sqlite3_bind_int(S, First + kDestinationPort, R.DestinationPort);
    sqlite3_bind_int(S, First + kProtocol, R.Protocol);
    sqlite3_bind_int(S, First + kTcpFlags, R.TcpFlags);
    sqlite3_bind_int(S, First + kTos, R.Tos);
    sqlite3_bind_int64(S, First + kInputIf, R.InputIf);
    sqlite3_bind_int64(S, First + kOutputIf, R.OutputIf);
    sqlite3_bind_int64(S, First + kSourceAS, R.SourceAS);
    sqlite3_bind_int64(S, First + kDestinationAS, R.DestinationAS);
    sqlite3_bind_int(S, First + kSourceMask, R.SourceMask);
    sqlite3_bind_int(S, First + kDestinationMask, R.DestinationMask);
    sqlite3_bind_int64(S, First + kBytes, static_cast<sqlite3_int64>(R.Bytes));
    sqlite3_bind_int64(S, First + kPackets, static_cast<sqlite3_int64>(R.Packets));
    sqlite3_bind_int64(S, First + kSamplingRate, R.SamplingRate);
    sqlite3_bind_int64(S, First + kSamplerId, static_cast<sqlite3_int64>(R.SamplerId));
    sqlite3_bind_int(S, First + kVersion, R.Version);
    sqlite3_bind_int(S, First + kExporterTimes, R.TimesFromExporter ? 1 : 0);
}

void BindTotals(sqlite3_stmt* S, int First, const Totals& T) {
    sqlite3_bind_int64(S, First, static_cast<sqlite3_int64>(T.Flows));
    sqlite3_bind_int64(S, First + 1, static_cast<sqlite3_int64>(T.Bytes));
    sqlite3_bind_int64(S, First + 2, static_cast<sqlite3_int64>(T.Packets));
    sqlite3_bind_int64(S, First + 3, static_cast<sqlite3_int64>(T.ScaledBytes));
    sqlite3_bind_int64(S, First + 4, static_cast<sqlite3_int64>(T.ScaledPackets));
    sqlite3_bind_int64(S, First + 5, T.SampledLow);
    sqlite3_bind_int64(S, First + 6, T.SampledHigh);
}

Totals ColumnTotals(sqlite3_stmt* S, int First) {
    const auto unsigned64 = [S](int Column) { return static_cast<std::uint64_t>(sqlite3_column_int64(S, Column)); };
    Totals t;
    t.Flows = unsigned64(First);
    t.Bytes = unsigned64(First + 1);
    t.Packets = unsigned64(First + 2);
    t.ScaledBytes = unsigned64(First + 3);
    t.ScaledPackets = unsigned64(First + 4);
    t.SampledLow = static_cast<std::uint32_t>(sqlite3_column_int64(S, First + 5));
    t.SampledHigh = static_cast<std::uint32_t>(sqlite3_column_int64(S, First + 6));
    return t;
}

}  // namespace history
