#include "HistoryQuery.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unordered_map>
#include <utility>

#include "HistorySchema.h"

namespace history {

namespace {

struct TopKeyText {
    TopKey Key;
    const char* Name;
};
constexpr TopKeyText kTopKeyNames[] = {
    {TopKey::Source, "src"},
    {TopKey::Destination, "dst"},
    {TopKey::Conversation, "conversation"},
    {TopKey::Protocol, "proto"},
    {TopKey::SourcePort, "sport"},
    {TopKey::DestinationPort, "dport"},
    {TopKey::Exporter, "exporter"},
    {TopKey::InputIf, "in-if"},
    {TopKey::OutputIf, "out-if"},
    {TopKey::SourceAS, "src-as"},
    {TopKey::DestinationAS, "dst-as"},
    {TopKey::SourceCountry, "src-country"},
    {TopKey::DestinationCountry, "dst-country"},
    {TopKey::SourceAsn, "src-asn"},
    {TopKey::DestinationAsn, "dst-asn"},
};

}  // namespace

bool ParseTopKey(const std::string& Name, TopKey& Out) {
    for (const TopKeyText& key : kTopKeyNames) {
        if (Name == key.Name) {
            Out = key.Key;
            return true;
        }
    }
    return false;
}

const char* TopKeyName(TopKey Key) {
    for (const TopKeyText& key : kTopKeyNames) {
        if (key.Key == Key) return key.Name;
    }
    return "?";
}

bool LocationKey(TopKey Key) {
    return Key == TopKey::SourceCountry || Key == TopKey::DestinationCountry || Key == TopKey::SourceAsn ||
           Key == TopKey::DestinationAsn;
}

namespace {

namespace fs = std::filesystem;

// Rows of a raw scan between two looks at the cancel flag and two progress reports.
constexpr std::int64_t kChunkRows = 100000;
// SQLite virtual machine steps between two looks at the cancel flag inside a single step, which
// may otherwise run through a whole chunk of rows that the filter refuses.
constexpr int kCancelOps = 10000;
// More steps than a chart could draw: a caller's slip, refused rather than allocated.
constexpr std::int64_t kMaxPoints = 10000000;

std::int64_t FloorDiv(std::int64_t A, std::int64_t B) {
    const std::int64_t q = A / B;
    return (A % B != 0 && ((A < 0) != (B < 0))) ? q - 1 : q;
}

std::int64_t CeilDiv(std::int64_t A, std::int64_t B) { return -FloorDiv(-A, B); }

class Connection {
  public:
    Connection() = default;
    ~Connection() { Close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    Connection(Connection&& Other) noexcept : Db_(std::exchange(Other.Db_, nullptr)) {}
    Connection& operator=(Connection&& Other) noexcept {
        if (this != &Other) {
            Close();
            Db_ = std::exchange(Other.Db_, nullptr);
        }
        return *this;
    }
    sqlite3* Get() const { return Db_; }
    sqlite3** Out() {
        Close();
        return &Db_;
    }
    void Close() {
        // close_v2 leaves the handle to be freed with the last statement, whichever goes first.
        if (Db_ != nullptr) sqlite3_close_v2(Db_);
        Db_ = nullptr;
    }

  private:
    sqlite3* Db_ = nullptr;
};

class Statement {
  public:
    Statement() = default;
    ~Statement() { sqlite3_finalize(Handle_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& Other) noexcept : Handle_(std::exchange(Other.Handle_, nullptr)) {}
    Statement& operator=(Statement&& Other) noexcept {
        if (this != &Other) {
            sqlite3_finalize(Handle_);
            Handle_ = std::exchange(Other.Handle_, nullptr);
        }
        return *this;
    }
    bool Prepare(sqlite3* Db, const std::string& Sql) {
        sqlite3_finalize(Handle_);
        Handle_ = nullptr;
        return sqlite3_prepare_v2(Db, Sql.c_str(), static_cast<int>(Sql.size()), &Handle_, nullptr) == SQLITE_OK;
    }
    sqlite3_stmt* Get() const { return Handle_; }

  private:
    sqlite3_stmt* Handle_ = nullptr;
};

// How a piece of a query ended.
enum class End { Done, Stopped, Cancelled, Failed };

int CancelRequested(void* Control) { return static_cast<const QueryControl*>(Control)->Cancelled() ? 1 : 0; }

// A failed step is a cancellation when the progress handler interrupted it for that reason.
End StepFailure(sqlite3* Db, int Code, const QueryControl& Control, const std::string& Name, std::string& Error) {
    if (Code == SQLITE_INTERRUPT && Control.Cancelled()) return End::Cancelled;
    Error = Name + ": " + sqlite3_errmsg(Db);
    return End::Failed;
}

struct DayFile {
    std::string Name;
    std::string Path;
    std::int64_t DayMs = 0;
};

struct Listing {
    std::vector<DayFile> Days;  // oldest first
    bool HasSummary = false;
    std::string SummaryPath;
};

std::string MissingFolder(const std::string& Folder) { return "no flow history in " + Folder; }

bool ListFolder(const std::string& Folder, Listing& Out, std::string& Error) {
    std::error_code error;
    if (!fs::is_directory(Folder, error)) {
        Error = MissingFolder(Folder);
        return false;
    }
    fs::directory_iterator entries(Folder, error);
    if (error) {
        Error = "cannot list " + Folder + ": " + error.message();
        return false;
    }
    for (const fs::directory_entry& entry : entries) {
        const std::string name = entry.path().filename().string();
        if (name == kSummaryFile) {
            Out.HasSummary = true;
            Out.SummaryPath = entry.path().string();
            continue;
        }
        const std::int64_t day = DayOfFlowsFile(name);
        if (day >= 0) Out.Days.push_back({name, entry.path().string(), day});
    }
    std::sort(Out.Days.begin(), Out.Days.end(), [](const DayFile& A, const DayFile& B) { return A.DayMs < B.DayMs; });
    return true;
}

bool Exec(sqlite3* Db, const char* Sql) { return sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

enum class Opened { Usable, Skip, Refused };

// Opens a history file for reading and looks at its stamp. Not history::CheckFile: its quick
// check reads every page, which on a day of raw flows takes far longer than the question asked;
// damage further in is reported by the query that meets it. A file that the collector has only
// just made (no tables yet) or that retention removed since the folder was listed holds nothing.
Opened OpenForReading(const std::string& Path, const std::string& Name, std::int32_t ApplicationId, const char* Table,
                      const QueryControl* Control, Connection& Db, std::string& Error) {
    if (sqlite3_open_v2(Path.c_str(), Db.Out(), SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        std::error_code ignored;
        if (!fs::exists(Path, ignored)) return Opened::Skip;
        Error = Name + ": cannot open: " + (Db.Get() != nullptr ? sqlite3_errmsg(Db.Get()) : "out of memory");
        return Opened::Refused;
    }
    // The writer's commits are short; a reader waits only while a checkpoint resets the log.
    sqlite3_busy_timeout(Db.Get(), 5000);
    if (Control != nullptr && Control->Cancel != nullptr) {
        sqlite3_progress_handler(Db.Get(), kCancelOps, CancelRequested, const_cast<QueryControl*>(Control));
    }
    std::array<std::int64_t, 3> stamp{};
    const char* const queries[] = {"PRAGMA application_id", "PRAGMA user_version",
                                   "SELECT count(*) FROM sqlite_schema WHERE type='table'"};
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        Statement s;
        const bool ok = s.Prepare(Db.Get(), queries[i]) && sqlite3_step(s.Get()) == SQLITE_ROW;
        if (!ok) {
            std::error_code ignored;
            if (!fs::exists(Path, ignored)) return Opened::Skip;
            Error = Name + ": damaged or not a database (" + sqlite3_errmsg(Db.Get()) + ")";
            return Opened::Refused;
        }
        stamp[i] = sqlite3_column_int64(s.Get(), 0);
    }
    const auto [id, version, tables] = stamp;
    if (id == 0 && version == 0 && tables == 0) return Opened::Skip;
    if (id != ApplicationId) {
        Error = Name + ": not a flow history file (application id " + std::to_string(id) + ")";
        return Opened::Refused;
    }
    if (version > kSchemaVersion) {
        Error = Name + ": written by a newer version of this program (schema " + std::to_string(version) +
                ", this one reads up to " + std::to_string(kSchemaVersion) + "); not read";
        return Opened::Refused;
    }
    Statement probe;
    if (!probe.Prepare(Db.Get(), std::string("SELECT 1 FROM ") + Table + " LIMIT 0")) {
        Error = Name + ": damaged (" + sqlite3_errmsg(Db.Get()) + ")";
        return Opened::Refused;
    }
    return Opened::Usable;
}

// --- raw flows ------------------------------------------------------------------------------------

using ColumnMask = std::uint32_t;
constexpr ColumnMask Bit(FlowColumn C) { return ColumnMask{1} << C; }
constexpr ColumnMask kEveryColumn = (ColumnMask{1} << kFlowColumns) - 1;
constexpr ColumnMask kCounterColumns = Bit(kBytes) | Bit(kPackets) | Bit(kSamplingRate);

constexpr const char* kColumnNames[kFlowColumns] = {
    "received", "start", "end",       "exporter",      "domain",     "src",     "dst",           "next_hop", "src_port",
    "dst_port", "proto", "tcp_flags", "tos",           "in_if",      "out_if",  "src_as",        "dst_as",   "src_mask",
    "dst_mask", "bytes", "packets",   "sampling_rate", "sampler_id", "version", "exporter_times"};

ColumnMask FilterColumns(const FlowFilter& Filter) {
    ColumnMask columns = 0;
    for (const FlowFilter::Term& term : Filter.Terms()) {
        switch (term.What) {
            case FlowFilter::Term::Kind::Address:
                columns |= Bit(kSource) | Bit(kDestination) | Bit(kExporter);
                break;
            case FlowFilter::Term::Kind::Exporter:
                columns |= Bit(kExporter);
                break;
            case FlowFilter::Term::Kind::Port:
                columns |= Bit(kSourcePort) | Bit(kDestinationPort);
                break;
            case FlowFilter::Term::Kind::Protocol:
                columns |= Bit(kProtocol);
                break;
        }
    }
    return columns;
}

// A value bound to a parameter of the filter's SQL.
struct Binding {
    bool Blob = false;
    std::int64_t Number = 0;
    std::array<std::uint8_t, 16> Bytes{};
};

// The lowest and the highest address of a prefix, in the form the column holds: an IPv4 address
// as an integer, an IPv6 address as a 16-byte blob. SQLite orders every integer before every blob,
// so an IPv4 range never takes in an IPv6 address nor the other way round, and NULL takes in nothing.
std::pair<Binding, Binding> PrefixRange(const FlowFilter::Term& Term) {
    Binding low, high;
    if (Term.Net.Kind == FlowAddress::IPv4) {
        const int bits = std::clamp(Term.PrefixBits, 0, 32);
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
        const std::uint32_t net = Term.Net.IPv4HostOrder() & mask;
        low.Number = net;
        high.Number = net | ~mask;
        return {low, high};
    }
    low.Blob = high.Blob = true;
    const int bits = std::clamp(Term.PrefixBits, 0, 128);
    for (int i = 0; i < 16; ++i) {
        const int kept = std::clamp(bits - i * 8, 0, 8);
        const auto mask = static_cast<std::uint8_t>(kept == 0 ? 0 : 0xFF << (8 - kept));
        const std::uint8_t byte = Term.Net.Bytes[static_cast<std::size_t>(i)];
        low.Bytes[static_cast<std::size_t>(i)] = byte & mask;
        high.Bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((byte & mask) | ~mask);
    }
    return {low, high};
}

// The filter as SQL over the flows table, parameters from ?FirstParameter on. Only narrows: each
// row it keeps is still matched by FlowFilter::Matches, which has the last word.
std::string FilterSql(const FlowFilter& Filter, int FirstParameter, std::vector<Binding>& Bindings) {
    std::string sql;
    auto parameter = [&](const Binding& B) {
        Bindings.push_back(B);
        return "?" + std::to_string(FirstParameter + static_cast<int>(Bindings.size()) - 1);
    };
    for (const FlowFilter::Term& term : Filter.Terms()) {
        sql += " AND (";
        switch (term.What) {
            case FlowFilter::Term::Kind::Address:
            case FlowFilter::Term::Kind::Exporter: {
                const auto [low, high] = PrefixRange(term);
                // A whole address is one value: an equality is cheaper per row than a range.
                const bool whole = term.PrefixBits >= (term.Net.Kind == FlowAddress::IPv4 ? 32 : 128);
                const std::string range =
                    whole ? "=" + parameter(low) : " BETWEEN " + parameter(low) + " AND " + parameter(high);
                if (term.What == FlowFilter::Term::Kind::Address) {
                    sql += "src" + range + " OR dst" + range + " OR ";
                }
                sql += "exporter" + range;
                break;
            }
            case FlowFilter::Term::Kind::Port: {
                Binding port;
                port.Number = term.Port;
                const std::string p = parameter(port);
                sql += "src_port=" + p + " OR dst_port=" + p;
                // A missing port reads as 0, and so does Matches.
                if (term.Port == 0) sql += " OR src_port IS NULL OR dst_port IS NULL";
                break;
            }
            case FlowFilter::Term::Kind::Protocol: {
                Binding proto;
                proto.Number = term.Protocol;
                sql += "proto=" + parameter(proto);
                if (term.Protocol == 0) sql += " OR proto IS NULL";
                break;
            }
        }
        sql += ")";
    }
    return sql;
}

void BindAll(sqlite3_stmt* S, int FirstParameter, const std::vector<Binding>& Bindings) {
    int index = FirstParameter;
    for (const Binding& b : Bindings) {
        if (b.Blob) {
            sqlite3_bind_blob(S, index++, b.Bytes.data(), 16, SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(S, index++, b.Number);
        }
    }
}

// Fills the fields of the columns selected; a NULL leaves the field as a fresh record has it.
void Decode(sqlite3_stmt* S, const std::vector<FlowColumn>& Columns, FlowRecord& R) {
    for (int i = 0; i < static_cast<int>(Columns.size()); ++i) {
        const FlowColumn column = Columns[static_cast<std::size_t>(i)];
        if (column == kExporter || column == kSource || column == kDestination || column == kNextHop) {
            const FlowAddress address = ColumnAddress(S, i);
            if (column == kExporter) R.Exporter = address;
            if (column == kSource) R.Source = address;
            if (column == kDestination) R.Destination = address;
            if (column == kNextHop) R.NextHop = address;
            continue;
        }
        if (sqlite3_column_type(S, i) == SQLITE_NULL) continue;
        const std::int64_t v = sqlite3_column_int64(S, i);
        switch (column) {
            case kReceived:
                R.ReceivedMs = v;
                break;
            case kStart:
                R.StartMs = v;
                break;
            case kEnd:
                R.EndMs = v;
                break;
            case kDomain:
                R.Domain = static_cast<std::uint32_t>(v);
                break;
            case kSourcePort:
                R.SourcePort = static_cast<std::uint16_t>(v);
                break;
            case kDestinationPort:
                R.DestinationPort = static_cast<std::uint16_t>(v);
                break;
            case kProtocol:
                R.Protocol = static_cast<std::uint8_t>(v);
                break;
            case kTcpFlags:
                R.TcpFlags = static_cast<std::uint8_t>(v);
                break;
            case kTos:
                R.Tos = static_cast<std::uint8_t>(v);
                break;
            case kInputIf:
                R.InputIf = static_cast<std::uint32_t>(v);
                break;
            case kOutputIf:
                R.OutputIf = static_cast<std::uint32_t>(v);
                break;
            case kSourceAS:
                R.SourceAS = static_cast<std::uint32_t>(v);
                break;
            case kDestinationAS:
                R.DestinationAS = static_cast<std::uint32_t>(v);
                break;
            case kSourceMask:
                R.SourceMask = static_cast<std::uint8_t>(v);
                break;
            case kDestinationMask:
                R.DestinationMask = static_cast<std::uint8_t>(v);
                break;
            case kBytes:
                R.Bytes = static_cast<std::uint64_t>(v);
                break;
            case kPackets:
                R.Packets = static_cast<std::uint64_t>(v);
                break;
            case kSamplingRate:
                R.SamplingRate = static_cast<std::uint32_t>(v);
                break;
            case kSamplerId:
                R.SamplerId = static_cast<std::uint64_t>(v);
                break;
            case kVersion:
                R.Version = static_cast<std::uint8_t>(v);
                break;
            case kExporterTimes:
                R.TimesFromExporter = v != 0;
                break;
            default:
                break;
        }
    }
}

// The rows of one minute of a day file.
struct MinuteRows {
    std::int64_t Minute = 0;
    std::int64_t First = 0;
    std::int64_t Last = 0;
    std::int64_t Rows() const { return Last >= First ? Last - First + 1 : 0; }
};

struct OpenDay {
    Connection Db;  // first, so that it goes last
    Statement Scan;
    std::string Name;
    std::vector<MinuteRows> Minutes;  // those that overlap the span, oldest first
};

// The raw day files that overlap a span. Each stays in one read transaction from its minute map
// to its last row, so that the map and the rows agree while the collector adds to them.
class RawReader {
  public:
    RawReader(const Span& Range, const FlowFilter& Filter, const QueryControl& Control)
        : Range_(Range), Filter_(Filter), Control_(Control) {}

    End Open(const std::vector<DayFile>& Files, std::string& Error) {
        for (const DayFile& file : Files) {
            if (file.DayMs >= Range_.ToMs || file.DayMs + kDayMs <= Range_.FromMs) continue;
            if (Control_.Cancelled()) return End::Cancelled;
            OpenDay day;
            day.Name = file.Name;
            switch (OpenForReading(file.Path, file.Name, kFlowsApplicationId, "flows", &Control_, day.Db, Error)) {
                case Opened::Skip:
                    continue;
                case Opened::Refused:
                    return End::Failed;
                case Opened::Usable:
                    break;
            }
            Statement minutes;
            if (!Exec(day.Db.Get(), "BEGIN") ||
                !minutes.Prepare(day.Db.Get(),
                                 "SELECT minute, first_row, last_row FROM minutes WHERE minute BETWEEN ?1 AND ?2 "
                                 "ORDER BY minute")) {
                Error = file.Name + ": " + sqlite3_errmsg(day.Db.Get());
                return End::Failed;
            }
            sqlite3_bind_int64(minutes.Get(), 1, FloorDiv(Range_.FromMs, kMinuteMs));
            sqlite3_bind_int64(minutes.Get(), 2, FloorDiv(Range_.ToMs - 1, kMinuteMs));
            int rc = SQLITE_OK;
            while ((rc = sqlite3_step(minutes.Get())) == SQLITE_ROW) {
                day.Minutes.push_back({sqlite3_column_int64(minutes.Get(), 0), sqlite3_column_int64(minutes.Get(), 1),
                                       sqlite3_column_int64(minutes.Get(), 2)});
            }
            if (rc != SQLITE_DONE) return StepFailure(day.Db.Get(), rc, Control_, file.Name, Error);
            if (!day.Minutes.empty()) Days_.push_back(std::move(day));
        }
        return End::Done;
    }

    std::vector<OpenDay>& Days() { return Days_; }

    // The rows of the minutes that overlap the span.
    std::uint64_t Estimate() const {
        std::uint64_t rows = 0;
        for (const OpenDay& day : Days_) {
            for (const MinuteRows& m : day.Minutes) rows += static_cast<std::uint64_t>(m.Rows());
        }
        return rows;
    }

    // Readies every file to read the given columns (with received and those of the filter).
    bool Prepare(ColumnMask Columns, std::string& Error) {
        Columns |= Bit(kReceived) | FilterColumns(Filter_);
        Columns_.clear();
        std::string sql = "SELECT ";
        for (int c = 0; c < kFlowColumns; ++c) {
            if ((Columns & Bit(static_cast<FlowColumn>(c))) == 0) continue;
            if (!Columns_.empty()) sql += ',';
            sql += '"';
            sql += kColumnNames[c];
            sql += '"';
            Columns_.push_back(static_cast<FlowColumn>(c));
        }
        // The span's edges are left to the check of each decoded row: they cut at most two minutes,
        // and two more comparisons on every row of a day cost more than those rows.
        sql += " FROM flows WHERE rowid BETWEEN ?1 AND ?2";
        std::vector<Binding> bindings;
        sql += FilterSql(Filter_, 3, bindings);
        for (OpenDay& day : Days_) {
            if (!day.Scan.Prepare(day.Db.Get(), sql)) {
                Error = day.Name + ": " + sqlite3_errmsg(day.Db.Get());
                return false;
            }
            BindAll(day.Scan.Get(), 3, bindings);
        }
        return true;
    }

    // How many rows the scans to come will read, for the share done.
    void Plan(std::uint64_t Rows) { Planned_ = Rows; }

    // Visit(record) for every row of rows First..Last of Day that lies in the span and matches;
    // Visit returns false to stop.
    template <class Visitor>
    End ScanRows(OpenDay& Day, std::int64_t First, std::int64_t Last, Visitor&& Visit, std::string& Error) {
        sqlite3_stmt* s = Day.Scan.Get();
        for (std::int64_t at = First; at <= Last;) {
            if (Control_.Cancelled()) return End::Cancelled;
            const std::int64_t end = Last - at >= kChunkRows ? at + kChunkRows - 1 : Last;
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, at);
            sqlite3_bind_int64(s, 2, end);
            int rc = SQLITE_OK;
            while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
                FlowRecord record;
                Decode(s, Columns_, record);
                if (record.ReceivedMs < Range_.FromMs || record.ReceivedMs >= Range_.ToMs) continue;
                if (!Filter_.Matches(record)) continue;
                if (!Visit(record)) {
                    sqlite3_reset(s);
                    return End::Stopped;
                }
            }
            if (rc != SQLITE_DONE) {
                const End failure = StepFailure(Day.Db.Get(), rc, Control_, Day.Name, Error);
                sqlite3_reset(s);
                return failure;
            }
            Done_ += static_cast<std::uint64_t>(end - at + 1);
            if (Done_ >= Reported_ + kChunkRows) Report();
            if (end == Last) break;
            at = end + 1;
        }
        return End::Done;
    }

    // Every row of the span, oldest file first and in arrival order within a file.
    template <class Visitor>
    End ScanAll(Visitor&& Visit, std::string& Error) {
        for (OpenDay& day : Days_) {
            std::int64_t first = day.Minutes.front().First, last = day.Minutes.front().Last;
            for (const MinuteRows& m : day.Minutes) {
                first = std::min(first, m.First);
                last = std::max(last, m.Last);
            }
            const End end = ScanRows(day, first, last, Visit, Error);
            if (end != End::Done) return end;
        }
        return End::Done;
    }

  private:
    void Report() {
        Reported_ = Done_;
        if (Control_.Progress && Planned_ > 0) {
            Control_.Progress(std::min(1.0, static_cast<double>(Done_) / static_cast<double>(Planned_)));
        }
    }

    Span Range_;
    const FlowFilter& Filter_;
    const QueryControl& Control_;
    std::vector<OpenDay> Days_;
    std::vector<FlowColumn> Columns_;
    std::uint64_t Planned_ = 0;
    std::uint64_t Done_ = 0;
    std::uint64_t Reported_ = 0;
};

void Finished(const QueryControl& Control) {
    if (Control.Progress) Control.Progress(1.0);
}

// --- summaries ------------------------------------------------------------------------------------

// A run of whole minutes or whole hours (counted from 1970 in that unit), [From, To).
struct Piece {
    bool Hours = false;
    std::int64_t From = 0;
    std::int64_t To = 0;
};

// One row of minute_totals or hour_totals. The key columns stay as stored: where a minute had
// more keys than the collector keeps, it sums the rest of an exporter under -1 in each of them.
struct TotalsRow {
    std::int64_t Unit = 0;
    FlowAddress Exporter;
    std::int64_t InputIf = 0;
    std::int64_t OutputIf = 0;
    std::int64_t Protocol = 0;
    std::int64_t SourceAS = 0;
    std::int64_t DestinationAS = 0;
    Totals Sums;
};

class SummaryReader {
  public:
    explicit SummaryReader(const QueryControl& Control) : Control_(Control) {}

    // Skip when the folder has no summaries (yet).
    Opened Open(const Listing& Files, std::string& Error) {
        if (!Files.HasSummary) return Opened::Skip;
        const Opened opened = OpenForReading(Files.SummaryPath, kSummaryFile, kSummaryApplicationId, "minute_totals",
                                             &Control_, Db_, Error);
        if (opened != Opened::Usable) return opened;
        static const char* const kSql[] = {
            "SELECT 1 FROM hour_totals WHERE hour=?1 LIMIT 1",
            "SELECT minute,exporter,in_if,out_if,proto,src_as,dst_as,flows,bytes,packets,scaled_bytes,"
            "scaled_packets,sampled_low,sampled_high FROM minute_totals WHERE minute>=?1 AND minute<?2",
            "SELECT hour,exporter,in_if,out_if,proto,src_as,dst_as,flows,bytes,packets,scaled_bytes,"
            "scaled_packets,sampled_low,sampled_high FROM hour_totals WHERE hour>=?1 AND hour<?2",
            "SELECT key1,key2,flows,bytes,packets,scaled_bytes,scaled_packets,sampled_low,sampled_high "
            "FROM minute_top WHERE minute>=?1 AND minute<?2 AND kind=?3",
            "SELECT key1,key2,flows,bytes,packets,scaled_bytes,scaled_packets,sampled_low,sampled_high "
            "FROM hour_top WHERE hour>=?1 AND hour<?2 AND kind=?3",
            "SELECT (SELECT 1 FROM minute_totals WHERE minute>=?1 AND minute<?2 LIMIT 1) IS NOT NULL OR "
            "(SELECT 1 FROM hour_totals WHERE hour>=?3 AND hour<?4 LIMIT 1) IS NOT NULL",
            "SELECT minute,flows,bytes,packets,scaled_bytes,scaled_packets,sampled_low,sampled_high "
            "FROM minute_totals WHERE minute>=?1 AND minute<?2",
            "SELECT hour,flows,bytes,packets,scaled_bytes,scaled_packets,sampled_low,sampled_high "
            "FROM hour_totals WHERE hour>=?1 AND hour<?2"};
        Statement* const targets[] = {&HourHasRows_, &MinuteTotals_, &HourTotals_, &MinuteTop_,
                                      &HourTop_,     &Holds_,        &MinuteSums_, &HourSums_};
        // One read transaction, so that minutes and hours come from the same moment of the file.
        if (!Exec(Db_.Get(), "BEGIN")) {
            Error = std::string(kSummaryFile) + ": " + sqlite3_errmsg(Db_.Get());
            return Opened::Refused;
        }
        for (std::size_t i = 0; i < std::size(kSql); ++i) {
            if (!targets[i]->Prepare(Db_.Get(), kSql[i])) {
                Error = std::string(kSummaryFile) + ": " + sqlite3_errmsg(Db_.Get());
                return Opened::Refused;
            }
        }
        return Opened::Usable;
    }

    // Whether any minute or hour of [FromMs, ToMs) has sums.
    End Holds(std::int64_t FromMs, std::int64_t ToMs, bool& Out, std::string& Error) {
        sqlite3_stmt* s = Holds_.Get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, FloorDiv(FromMs, kMinuteMs));
        sqlite3_bind_int64(s, 2, CeilDiv(ToMs, kMinuteMs));
        sqlite3_bind_int64(s, 3, FloorDiv(FromMs, kHourMs));
        sqlite3_bind_int64(s, 4, CeilDiv(ToMs, kHourMs));
        const int rc = sqlite3_step(s);
        if (rc != SQLITE_ROW) return StepFailure(Db_.Get(), rc, Control_, kSummaryFile, Error);
        Out = sqlite3_column_int(s, 0) != 0;
        sqlite3_reset(s);
        return End::Done;
    }

    // Minutes [FromMinute, ToMinute) as runs of whole hours where the hour summaries have the hour,
    // and of minutes elsewhere: at the edges, and for an hour that the hour summaries do not have
    // (yet: the collector may sum an hour only once it is over).
    End Pieces(std::int64_t FromMinute, std::int64_t ToMinute, std::vector<Piece>& Out, std::string& Error) {
        auto add = [&Out](bool Hours, std::int64_t From, std::int64_t To) {
            if (From >= To) return;
            if (!Out.empty() && Out.back().Hours == Hours && Out.back().To == From) {
                Out.back().To = To;
            } else {
                Out.push_back({Hours, From, To});
            }
        };
        const std::int64_t firstHour = CeilDiv(FromMinute, 60), endHour = FloorDiv(ToMinute, 60);
        if (firstHour >= endHour) {
            add(false, FromMinute, ToMinute);
            return End::Done;
        }
        add(false, FromMinute, firstHour * 60);
        sqlite3_stmt* s = HourHasRows_.Get();
        for (std::int64_t hour = firstHour; hour < endHour; ++hour) {
            sqlite3_reset(s);
            sqlite3_bind_int64(s, 1, hour);
            const int rc = sqlite3_step(s);
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) return StepFailure(Db_.Get(), rc, Control_, kSummaryFile, Error);
            if (rc == SQLITE_ROW) {
                add(true, hour, hour + 1);
            } else {
                add(false, hour * 60, hour * 60 + 60);
            }
        }
        sqlite3_reset(s);
        add(false, endHour * 60, ToMinute);
        return End::Done;
    }

    template <class Visitor>
    End ReadTotals(const Piece& P, Visitor&& Visit, std::string& Error) {
        sqlite3_stmt* s = (P.Hours ? HourTotals_ : MinuteTotals_).Get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, P.From);
        sqlite3_bind_int64(s, 2, P.To);
        int rc = SQLITE_OK;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
            TotalsRow row;
            row.Unit = sqlite3_column_int64(s, 0);
            row.Exporter = ColumnAddress(s, 1);
            row.InputIf = sqlite3_column_int64(s, 2);
            row.OutputIf = sqlite3_column_int64(s, 3);
            row.Protocol = sqlite3_column_int64(s, 4);
            row.SourceAS = sqlite3_column_int64(s, 5);
            row.DestinationAS = sqlite3_column_int64(s, 6);
            row.Sums = ColumnTotals(s, 7);
            Visit(row);
        }
        sqlite3_reset(s);
        return rc == SQLITE_DONE ? End::Done : StepFailure(Db_.Get(), rc, Control_, kSummaryFile, Error);
    }

    // Visit(unit, sums) for every totals row of P, without its key: a day of minutes may hold
    // millions of rows, and the keys would double the time to read them.
    template <class Visitor>
    End ReadSums(const Piece& P, Visitor&& Visit, std::string& Error) {
        sqlite3_stmt* s = (P.Hours ? HourSums_ : MinuteSums_).Get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, P.From);
        sqlite3_bind_int64(s, 2, P.To);
        int rc = SQLITE_OK;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) Visit(sqlite3_column_int64(s, 0), ColumnTotals(s, 1));
        sqlite3_reset(s);
        return rc == SQLITE_DONE ? End::Done : StepFailure(Db_.Get(), rc, Control_, kSummaryFile, Error);
    }

    // Visit(statement) for each row of the top table of Kind in the units of P: key1, key2, then
    // the sums from column 2. A range rather than a look-up per unit, so that the cost follows the
    // rows kept, not the length of the span.
    template <class Visitor>
    End ReadTop(const Piece& P, TopKind Kind, Visitor&& Visit, std::string& Error) {
        sqlite3_stmt* s = (P.Hours ? HourTop_ : MinuteTop_).Get();
        sqlite3_reset(s);
        sqlite3_bind_int64(s, 1, P.From);
        sqlite3_bind_int64(s, 2, P.To);
        sqlite3_bind_int(s, 3, static_cast<int>(Kind));
        int rc = SQLITE_OK;
        while ((rc = sqlite3_step(s)) == SQLITE_ROW) Visit(s);
        sqlite3_reset(s);
        return rc == SQLITE_DONE ? End::Done : StepFailure(Db_.Get(), rc, Control_, kSummaryFile, Error);
    }

  private:
    const QueryControl& Control_;
    Connection Db_;  // before the statements, so that it goes after them
    Statement HourHasRows_, MinuteTotals_, HourTotals_, MinuteTop_, HourTop_, Holds_, MinuteSums_, HourSums_;
};

// --- top keys ---------------------------------------------------------------------------------------

struct KeyOf {
    FlowAddress First;
    FlowAddress Second;
    std::uint32_t Number = 0;
    friend bool operator==(const KeyOf&, const KeyOf&) = default;
    friend auto operator<=>(const KeyOf&, const KeyOf&) = default;
};

struct KeyHash {
    static std::uint64_t Mix(std::uint64_t H, const FlowAddress& A) {
        std::uint64_t words[2];
        std::memcpy(words, A.Bytes.data(), sizeof words);
        H = (H ^ A.Kind) * 0x100000001B3ULL;
        H = (H ^ words[0]) * 0x9E3779B97F4A7C15ULL;
        H = (H ^ words[1]) * 0x9E3779B97F4A7C15ULL;
        return H ^ (H >> 29);
    }
    std::size_t operator()(const KeyOf& K) const {
        std::uint64_t h = Mix(Mix(0xCBF29CE484222325ULL, K.First), K.Second);
        // The last steps of splitmix64: every bit of the key reaches every bit of the bucket number.
        h ^= K.Number;
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
        return static_cast<std::size_t>(h ^ (h >> 31));
    }
};

using KeySums = std::unordered_map<KeyOf, Totals, KeyHash>;

ColumnMask KeyColumns(TopKey Key) {
    switch (Key) {
        case TopKey::Source:
            return Bit(kSource);
        case TopKey::Destination:
            return Bit(kDestination);
        case TopKey::Conversation:
            return Bit(kSource) | Bit(kDestination);
        case TopKey::Protocol:
            return Bit(kProtocol);
        case TopKey::SourcePort:
            return Bit(kSourcePort);
        case TopKey::DestinationPort:
            return Bit(kDestinationPort);
        case TopKey::Exporter:
            return Bit(kExporter);
        case TopKey::InputIf:
            return Bit(kExporter) | Bit(kInputIf);
        case TopKey::OutputIf:
            return Bit(kExporter) | Bit(kOutputIf);
        case TopKey::SourceAS:
            return Bit(kSourceAS);
        case TopKey::DestinationAS:
            return Bit(kDestinationAS);
        case TopKey::SourceCountry:
        case TopKey::SourceAsn:
            return Bit(kSource);
        case TopKey::DestinationCountry:
        case TopKey::DestinationAsn:
            return Bit(kDestination);
    }
    return 0;
}

KeyOf RecordKey(TopKey Key, const FlowRecord& R) {
    KeyOf k;
    switch (Key) {
        case TopKey::Source:
            k.First = R.Source;
            break;
        case TopKey::Destination:
            k.First = R.Destination;
            break;
        case TopKey::Conversation:
            k.First = std::min(R.Source, R.Destination);
            k.Second = std::max(R.Source, R.Destination);
            break;
        case TopKey::Protocol:
            k.Number = R.Protocol;
            break;
        case TopKey::SourcePort:
            k.Number = R.SourcePort;
            break;
        case TopKey::DestinationPort:
            k.Number = R.DestinationPort;
            break;
        case TopKey::Exporter:
            k.First = R.Exporter;
            break;
        case TopKey::InputIf:
            k.First = R.Exporter;
            k.Number = R.InputIf;
            break;
        case TopKey::OutputIf:
            k.First = R.Exporter;
            k.Number = R.OutputIf;
            break;
        case TopKey::SourceAS:
            k.Number = R.SourceAS;
            break;
        case TopKey::DestinationAS:
            k.Number = R.DestinationAS;
            break;
        case TopKey::SourceCountry:
        case TopKey::DestinationCountry:
        case TopKey::SourceAsn:
        case TopKey::DestinationAsn:
            break;  // looked up by the caller, which holds the database
    }
    return k;
}

// The key of a flow for a location key.
KeyOf LocatedKey(TopKey Key, const FlowRecord& R, names::Locator& Where) {
    const bool source = Key == TopKey::SourceCountry || Key == TopKey::SourceAsn;
    const names::Place place = Where.Find(source ? R.Source : R.Destination);
    KeyOf k;
    k.Number = Key == TopKey::SourceCountry || Key == TopKey::DestinationCountry ? place.Country : place.Asn;
    return k;
}

// The keys that the totals tables hold in full; the others are in the top tables.
bool FromTotals(TopKey Key, TopKind& Kind) {
    switch (Key) {
        case TopKey::Source:
            Kind = TopKind::Source;
            return false;
        case TopKey::Destination:
            Kind = TopKind::Destination;
            return false;
        case TopKey::Conversation:
            Kind = TopKind::Conversation;
            return false;
        case TopKey::SourcePort:
            Kind = TopKind::SourcePort;
            return false;
        case TopKey::DestinationPort:
            Kind = TopKind::DestinationPort;
            return false;
        case TopKey::SourceCountry:
            Kind = TopKind::SourceCountry;
            return false;
        case TopKey::DestinationCountry:
            Kind = TopKind::DestinationCountry;
            return false;
        case TopKey::SourceAsn:
            Kind = TopKind::SourceAsn;
            return false;
        case TopKey::DestinationAsn:
            Kind = TopKind::DestinationAsn;
            return false;
        default:
            return true;
    }
}

// The key of a totals row; false for the row that sums the keys the collector did not keep.
bool TotalsKey(TopKey Key, const TotalsRow& Row, KeyOf& Out) {
    std::int64_t number = 0;
    switch (Key) {
        case TopKey::Protocol:
            number = Row.Protocol;
            break;
        case TopKey::Exporter:
            Out.First = Row.Exporter;
            return true;
        case TopKey::InputIf:
            Out.First = Row.Exporter;
            number = Row.InputIf;
            break;
        case TopKey::OutputIf:
            Out.First = Row.Exporter;
            number = Row.OutputIf;
            break;
        case TopKey::SourceAS:
            number = Row.SourceAS;
            break;
        case TopKey::DestinationAS:
            number = Row.DestinationAS;
            break;
        default:
            break;
    }
    if (number == kOtherKey) return false;
    Out.Number = static_cast<std::uint32_t>(number);
    return true;
}

std::uint64_t RankValue(const Totals& T, RankBy By) {
    switch (By) {
        case RankBy::Bytes:
            return T.ScaledBytes;
        case RankBy::Packets:
            return T.ScaledPackets;
        case RankBy::Flows:
            return T.Flows;
    }
    return 0;
}

std::vector<TopRow> Ranked(const KeySums& Sums, RankBy By, std::size_t Rows) {
    std::vector<std::pair<KeyOf, Totals>> all(Sums.begin(), Sums.end());
    auto before = [By](const std::pair<KeyOf, Totals>& A, const std::pair<KeyOf, Totals>& B) {
        const std::uint64_t a = RankValue(A.second, By), b = RankValue(B.second, By);
        if (a != b) return a > b;
        return A.first < B.first;
    };
    const std::size_t kept = Rows == 0 ? all.size() : std::min(Rows, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(kept), all.end(), before);
    std::vector<TopRow> out;
    out.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) {
        TopRow row;
        row.First = all[i].first.First;
        row.Second = all[i].first.Second;
        row.Number = all[i].first.Number;
        row.Sums = all[i].second;
        out.push_back(row);
    }
    return out;
}

bool Empty(const Span& Range) { return Range.ToMs <= Range.FromMs; }

// Whether the raw day files reach back to the span's start. Retention keeps the summaries far
// longer than the raw flows, so a span older than the oldest day file has to be answered from the
// summaries even when the raw store holds few of its flows.
End RawReachesBack(const Listing& Files, const Span& Range, SummaryReader& Summary, bool SummaryUsable, bool& Out,
                   std::string& Error) {
    Out = true;
    if (!SummaryUsable) return End::Done;
    const std::int64_t rawFrom = Files.Days.empty() ? Range.ToMs : Files.Days.front().DayMs;
    if (rawFrom <= Range.FromMs) return End::Done;
    bool older = false;
    const End end = Summary.Holds(Range.FromMs, std::min(rawFrom, Range.ToMs), older, Error);
    Out = !older;
    return end;
}

// Fills a result's Cancelled and Error from how the query ended.
template <class Result>
void Conclude(End How, const QueryControl& Control, Result& Out) {
    if (How == End::Cancelled) {
        Out.Cancelled = true;
    } else if (How != End::Failed) {
        Finished(Control);
    }
}

}  // namespace

HistoryQuery::HistoryQuery(std::string HistoryFolder) : Folder_(std::move(HistoryFolder)) {}

bool HistoryQuery::Readable(std::string& Error) const {
    Listing files;
    if (!ListFolder(Folder_, files, Error)) return false;
    for (const DayFile& day : files.Days) {
        Connection db;
        if (OpenForReading(day.Path, day.Name, kFlowsApplicationId, "minutes", nullptr, db, Error) == Opened::Refused) {
            return false;
        }
    }
    if (files.HasSummary) {
        Connection db;
        if (OpenForReading(files.SummaryPath, kSummaryFile, kSummaryApplicationId, "hour_top", nullptr, db, Error) ==
            Opened::Refused) {
            return false;
        }
    }
    Error.clear();
    return true;
}

CountResult HistoryQuery::Count(const Span& Range, const FlowFilter& Filter, const QueryControl& Control) const {
    CountResult result;
    Listing files;
    if (!ListFolder(Folder_, files, result.Error)) return result;
    if (Empty(Range)) {
        Finished(Control);
        return result;
    }
    RawReader raw(Range, Filter, Control);
    End end = raw.Open(files.Days, result.Error);
    if (end == End::Done && !raw.Prepare(0, result.Error)) end = End::Failed;
    auto count = [&result](const FlowRecord&) {
        ++result.Flows;
        return true;
    };
    if (end == End::Done && !Filter.Empty()) {
        raw.Plan(raw.Estimate());
        end = raw.ScanAll(count, result.Error);
    } else if (end == End::Done) {
        // Whole minutes are counted by their rows; only the minutes the span cuts are read.
        std::vector<std::pair<OpenDay*, MinuteRows>> cut;
        std::uint64_t planned = 0;
        for (OpenDay& day : raw.Days()) {
            for (const MinuteRows& m : day.Minutes) {
                if (m.Minute * kMinuteMs >= Range.FromMs && (m.Minute + 1) * kMinuteMs <= Range.ToMs) {
                    result.Flows += static_cast<std::uint64_t>(m.Rows());
                } else {
                    cut.emplace_back(&day, m);
                    planned += static_cast<std::uint64_t>(m.Rows());
                }
            }
        }
        raw.Plan(planned);
        for (auto& [day, m] : cut) {
            end = raw.ScanRows(*day, m.First, m.Last, count, result.Error);
            if (end != End::Done) break;
        }
    }
    Conclude(end, Control, result);
    return result;
}

TopResult HistoryQuery::Top(const Span& Range, TopKey Key, RankBy By, std::size_t Rows, const FlowFilter& Filter,
                            const QueryControl& Control) const {
    TopResult result;
    Listing files;
    if (!ListFolder(Folder_, files, result.Error)) return result;
    // Refused whichever way it would be answered: the caller needs the database for the names too,
    // and an answer that depended on the span's age would puzzle.
    std::unique_ptr<names::Locator> where;
    if (LocationKey(Key)) {
        std::string why;
        where = LocationDatabase_.empty() ? nullptr : names::Locator::Open(LocationDatabase_, &why);
        if (!where) {
            result.Error = "countries and AS numbers need the location database (" +
                           (LocationDatabase_.empty() ? std::string("none given") : why) + ")";
            return result;
        }
    }
    if (Empty(Range)) {
        Finished(Control);
        return result;
    }
    RawReader raw(Range, Filter, Control);
    End end = raw.Open(files.Days, result.Error);
    if (end != End::Done) {
        Conclude(end, Control, result);
        return result;
    }

    SummaryReader summary(Control);
    bool useSummary = false;
    const std::uint64_t estimate = raw.Estimate();
    const bool beforeRaw = files.Days.empty() || files.Days.front().DayMs > Range.FromMs;
    if (Filter.Empty() && (estimate > RawScanLimit_ || beforeRaw)) {
        const Opened opened = summary.Open(files, result.Error);
        if (opened == Opened::Refused) return result;
        bool reachesBack = true;
        end = RawReachesBack(files, Range, summary, opened == Opened::Usable, reachesBack, result.Error);
        if (end != End::Done) {
            Conclude(end, Control, result);
            return result;
        }
        useSummary = opened == Opened::Usable && (estimate > RawScanLimit_ || !reachesBack);
    }

    KeySums sums;
    if (!useSummary) {
        end = raw.Prepare(KeyColumns(Key) | kCounterColumns, result.Error) ? End::Done : End::Failed;
        raw.Plan(raw.Estimate());
        if (end == End::Done) {
            end = raw.ScanAll(
                [&](const FlowRecord& r) {
                    sums[where ? LocatedKey(Key, r, *where) : RecordKey(Key, r)].Add(r);
                    result.Sums.Add(r);
                    return true;
                },
                result.Error);
        }
        result.Rows = Ranked(sums, By, Rows);
        Conclude(end, Control, result);
        return result;
    }

    // From the summaries: the span grows to whole minutes.
    result.Exact = false;
    std::vector<Piece> pieces;
    end = summary.Pieces(FloorDiv(Range.FromMs, kMinuteMs), CeilDiv(Range.ToMs, kMinuteMs), pieces, result.Error);
    TopKind kind = TopKind::Source;
    const bool fromTotals = FromTotals(Key, kind);
    Totals other;
    for (const Piece& piece : pieces) {
        if (end != End::Done) break;
        if (fromTotals) {
            end = summary.ReadTotals(
                piece,
                [&](const TotalsRow& row) {
                    result.Sums.Add(row.Sums);
                    KeyOf k;
                    if (TotalsKey(Key, row, k)) {
                        sums[k].Add(row.Sums);
                    } else {
                        other.Add(row.Sums);
                    }
                },
                result.Error);
            continue;
        }
        end = summary.ReadSums(
            piece, [&](std::int64_t, const Totals& Sums) { result.Sums.Add(Sums); }, result.Error);
        if (end != End::Done) continue;
        end = summary.ReadTop(
            piece, kind,
            [&](sqlite3_stmt* s) {
                const Totals t = ColumnTotals(s, 2);
                if (sqlite3_column_type(s, 0) == SQLITE_INTEGER && sqlite3_column_int64(s, 0) == kOtherKey) {
                    other.Add(t);
                    return;
                }
                KeyOf k;
                if (NumberKind(kind)) {
                    k.Number = static_cast<std::uint32_t>(sqlite3_column_int64(s, 0));
                } else {
                    k.First = ColumnAddress(s, 0);
                    if (kind == TopKind::Conversation) k.Second = ColumnAddress(s, 1);
                }
                sums[k].Add(t);
            },
            result.Error);
    }
    if (where && end == End::Done) {
        // Minutes summed before the store kept countries and AS numbers, or by a collector without
        // the database, have sums but no rows of these kinds: their flows go to "other", so that the
        // rows still add up to the total, and the answer says so.
        Totals located = other;
        for (const auto& [k, t] : sums) located.Add(t);
        if (located.Flows < result.Sums.Flows) {
            Totals missing = result.Sums;
            missing.Flows -= located.Flows;
            missing.Bytes -= std::min(missing.Bytes, located.Bytes);
            missing.Packets -= std::min(missing.Packets, located.Packets);
            missing.ScaledBytes -= std::min(missing.ScaledBytes, located.ScaledBytes);
            missing.ScaledPackets -= std::min(missing.ScaledPackets, located.ScaledPackets);
            other.Add(missing);
            result.Note =
                "answered from the minute and hour summaries, which keep only the leading keys of each "
                "minute and hour; " +
                std::to_string(missing.Flows) + " of " + std::to_string(result.Sums.Flows) +
                " flows are in \"other\" as their summaries keep no countries or AS numbers (written "
                "before the collector kept them, or without the location database)";
        }
    }
    result.Rows = Ranked(sums, By, Rows);
    if (other.Flows != 0 || other.Bytes != 0 || other.Packets != 0) {
        TopRow row;
        row.Other = true;
        row.Sums = other;
        result.Rows.push_back(row);
    }
    Conclude(end, Control, result);
    return result;
}

SeriesResult HistoryQuery::Series(const Span& Range, const FlowFilter& Filter, std::int64_t StepMs,
                                  const QueryControl& Control) const {
    SeriesResult result;
    Listing files;
    if (!ListFolder(Folder_, files, result.Error)) return result;
    if (StepMs < 0) {
        result.Error = "a step must be positive";
        return result;
    }
    if (Empty(Range)) {
        result.StepMs = StepMs != 0 ? StepMs : 1000;
        Finished(Control);
        return result;
    }
    const std::int64_t length = Range.ToMs - Range.FromMs;
    const bool chosen = StepMs == 0;
    if (chosen) StepMs = length <= kHourMs ? 1000 : length <= 2 * kDayMs ? kMinuteMs : kHourMs;

    RawReader raw(Range, Filter, Control);
    End end = raw.Open(files.Days, result.Error);
    if (end != End::Done) {
        Conclude(end, Control, result);
        return result;
    }
    SummaryReader summary(Control);
    bool useSummary = false;
    // Too many flows for seconds: minutes from the summaries instead, where there are any.
    const bool coarser = chosen && StepMs < kMinuteMs && raw.Estimate() > RawScanLimit_;
    if (Filter.Empty() && (StepMs % kMinuteMs == 0 || coarser)) {
        const Opened opened = summary.Open(files, result.Error);
        if (opened == Opened::Refused) return result;
        if (opened == Opened::Usable) {
            if (coarser) StepMs = kMinuteMs;
            useSummary = true;
        }
    }
    result.StepMs = StepMs;

    const std::int64_t start = FloorDiv(Range.FromMs, StepMs) * StepMs;
    const std::int64_t points = CeilDiv(Range.ToMs, StepMs) - FloorDiv(Range.FromMs, StepMs);
    if (points > kMaxPoints) {
        result.Error = "too many steps: " + std::to_string(points) + " of " + std::to_string(StepMs) + " ms";
        return result;
    }
    result.Points.resize(static_cast<std::size_t>(points));
    for (std::int64_t i = 0; i < points; ++i) result.Points[static_cast<std::size_t>(i)].StartMs = start + i * StepMs;
    auto pointAt = [&](std::int64_t Ms) -> Totals* {
        const std::int64_t i = FloorDiv(Ms - start, StepMs);
        return i >= 0 && i < points ? &result.Points[static_cast<std::size_t>(i)].Sums : nullptr;
    };

    if (!useSummary) {
        end = raw.Prepare(kCounterColumns, result.Error) ? End::Done : End::Failed;
        raw.Plan(raw.Estimate());
        if (end == End::Done) {
            end = raw.ScanAll(
                [&](const FlowRecord& r) {
                    if (Totals* point = pointAt(r.ReceivedMs)) point->Add(r);
                    return true;
                },
                result.Error);
        }
        Conclude(end, Control, result);
        return result;
    }

    // Whole steps from the summaries: hours where the steps are whole hours and the hour is summed.
    const std::int64_t fromMinute = start / kMinuteMs, toMinute = (start + points * StepMs) / kMinuteMs;
    std::vector<Piece> pieces;
    if (StepMs % kHourMs == 0) {
        end = summary.Pieces(fromMinute, toMinute, pieces, result.Error);
    } else {
        pieces.push_back({false, fromMinute, toMinute});
    }
    for (const Piece& piece : pieces) {
        if (end != End::Done) break;
        const std::int64_t unitMs = piece.Hours ? kHourMs : kMinuteMs;
        end = summary.ReadSums(
            piece,
            [&](std::int64_t Unit, const Totals& Sums) {
                if (Totals* point = pointAt(Unit * unitMs)) point->Add(Sums);
            },
            result.Error);
    }
    Conclude(end, Control, result);
    return result;
}

FlowsResult HistoryQuery::Flows(const Span& Range, const FlowFilter& Filter, std::uint64_t Limit,
                                const std::function<bool(const FlowRecord&)>& Each, const QueryControl& Control) const {
    FlowsResult result;
    Listing files;
    if (!ListFolder(Folder_, files, result.Error)) return result;
    if (Empty(Range)) {
        Finished(Control);
        return result;
    }
    RawReader raw(Range, Filter, Control);
    End end = raw.Open(files.Days, result.Error);
    if (end == End::Done && !raw.Prepare(kEveryColumn, result.Error)) end = End::Failed;
    if (end == End::Done) {
        raw.Plan(raw.Estimate());
        end = raw.ScanAll(
            [&](const FlowRecord& r) {
                if (Limit != 0 && result.Listed >= Limit) {
                    result.Truncated = true;  // one more matched: the limit cut the list short
                    return false;
                }
                ++result.Listed;
                return !Each || Each(r);
            },
            result.Error);
    }
    Conclude(end, Control, result);
    return result;
}

HoldingsResult HistoryQuery::Holdings() const {
    HoldingsResult result;
    Listing files;
    if (!ListFolder(Folder_, files, result.Error)) return result;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(Folder_, error)) {
        std::error_code ignored;
        if (entry.is_regular_file(ignored)) {
            const std::uintmax_t size = entry.file_size(ignored);
            if (!ignored) result.Bytes += size;
        }
    }
    result.RawDays = static_cast<int>(files.Days.size());

    // The first row of the oldest minute and the last of the newest, in the oldest and newest day
    // files that hold any.
    auto edge = [](const DayFile& File, bool Oldest) -> std::int64_t {
        Connection db;
        std::string ignored;
        if (OpenForReading(File.Path, File.Name, kFlowsApplicationId, "minutes", nullptr, db, ignored) !=
            Opened::Usable) {
            return -1;
        }
        const std::string sql = std::string("SELECT ") + (Oldest ? "min" : "max") +
                                "(received) FROM flows WHERE rowid BETWEEN (SELECT first_row FROM minutes ORDER BY "
                                "minute " +
                                (Oldest ? "ASC" : "DESC") +
                                " LIMIT 1) AND (SELECT last_row FROM minutes "
                                "ORDER BY minute " +
                                (Oldest ? "ASC" : "DESC") + " LIMIT 1)";
        Statement s;
        if (!s.Prepare(db.Get(), sql) || sqlite3_step(s.Get()) != SQLITE_ROW ||
            sqlite3_column_type(s.Get(), 0) == SQLITE_NULL) {
            return -1;
        }
        return sqlite3_column_int64(s.Get(), 0);
    };
    for (auto it = files.Days.begin(); it != files.Days.end() && result.OldestMs < 0; ++it) {
        result.OldestMs = edge(*it, true);
    }
    for (auto it = files.Days.rbegin(); it != files.Days.rend() && result.NewestMs < 0; ++it) {
        result.NewestMs = edge(*it, false);
    }
    return result;
}

}  // namespace history
