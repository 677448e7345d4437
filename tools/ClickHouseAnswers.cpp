#include "ClickHouseAnswers.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "ClickHouseSchema.h"

namespace query {
namespace chsql {
namespace {

using Bytes16 = std::array<std::uint8_t, 16>;

// The column form of addresses: IPv4 mapped into IPv6, and sixteen zero bytes for none.
constexpr Bytes16 kNoAddress{};
constexpr Bytes16 kMappedLow{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0, 0, 0, 0};
constexpr Bytes16 kMappedHigh{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr std::size_t kMappedPrefixBytes = 12;

std::string Hex(const std::uint8_t* Data, std::size_t Size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(Size * 2);
    for (std::size_t i = 0; i < Size; ++i) {
        text += kDigits[Data[i] >> 4];
        text += kDigits[Data[i] & 0x0f];
    }
    return text;
}

// Sixteen bytes as a value of the address columns' type. The text is made here from bytes, never
// from what the operator typed, and goes through the client's quoting all the same.
std::string Literal(const Bytes16& Bytes) { return "unhex(" + clickhouse::Quoted(Hex(Bytes.data(), 16)) + ")"; }

// The family of an address column, numbered as FlowAddress::Kind is (none 0, IPv4 4, IPv6 6), so
// that ordering by it and then by the bytes orders addresses as FlowAddress does.
std::string KindOfColumn(const std::string& Column) {
    return "multiIf(" + Column + " = " + Literal(kNoAddress) + ", 0, substring(" + Column + ", 1, " +
           std::to_string(kMappedPrefixBytes) + ") = unhex(" +
           clickhouse::Quoted(Hex(kMappedLow.data(), kMappedPrefixBytes)) + "), 4, 6)";
}

// Whether the column holds an address of the term's family inside its prefix: FlowFilter's InNet
// for the address as it reads back.
std::string InNet(const std::string& Column, const FlowFilter::Term& Term) {
    Bytes16 low{}, high{};
    if (Term.Net.Kind == FlowAddress::IPv4) {
        const int bits = std::clamp(Term.PrefixBits, 0, 32);
        const std::uint32_t mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
        const std::uint32_t net = Term.Net.IPv4HostOrder() & mask;
        low = high = kMappedLow;
        for (int i = 0; i < 4; ++i) {
            low[static_cast<std::size_t>(12 + i)] = static_cast<std::uint8_t>(net >> (24 - 8 * i));
            high[static_cast<std::size_t>(12 + i)] = static_cast<std::uint8_t>((net | ~mask) >> (24 - 8 * i));
        }
    } else if (Term.Net.Kind == FlowAddress::IPv6) {
        const int bits = std::clamp(Term.PrefixBits, 0, 128);
        for (std::size_t i = 0; i < 16; ++i) {
            const int kept = std::clamp(bits - static_cast<int>(i) * 8, 0, 8);
            const auto mask = static_cast<std::uint8_t>(kept == 0 ? 0 : 0xFF << (8 - kept));
            low[i] = Term.Net.Bytes[i] & mask;
            high[i] = static_cast<std::uint8_t>(low[i] | static_cast<std::uint8_t>(~mask));
        }
    } else {
        return "0";
    }
    std::string sql =
        low == high ? Column + " = " + Literal(low) : Column + " BETWEEN " + Literal(low) + " AND " + Literal(high);
    if (Term.Net.Kind == FlowAddress::IPv6) {
        // An IPv6 prefix short enough to take in the IPv4-mapped block or the all-zero address would
        // otherwise catch IPv4 flows and flows without the address, which the filter never matches.
        if (low <= kMappedHigh && high >= kMappedLow) {
            sql += " AND NOT (" + Column + " BETWEEN " + Literal(kMappedLow) + " AND " + Literal(kMappedHigh) + ")";
        }
        if (low == kNoAddress) sql += " AND " + Column + " != " + Literal(kNoAddress);
    }
    return "(" + sql + ")";
}

std::string Where(const history::Span& Range, const FlowFilter& Filter) {
    std::string sql = " FROM " + std::string(clickhouse::kFlowsTable) + " WHERE " + SpanCondition(Range);
    if (!Filter.Empty()) sql += " AND " + FilterCondition(Filter);
    return sql;
}

// The key of a top row as three answer columns, and what they are grouped and ordered by. The
// groups are the columns themselves, not their hex text, so that the server hashes 16 bytes a row.
struct KeySql {
    std::string First = "''";  // hex of an address
    std::string Second = "''";
    std::string Number = "0";
    std::vector<std::string> GroupBy;
    std::vector<std::string> OrderBy;
};

void AddressKey(KeySql& Out, const std::string& Column) {
    Out.First = "hex(" + Column + ")";
    Out.GroupBy.push_back(Column);
    Out.OrderBy.push_back(KindOfColumn(Column));
    Out.OrderBy.push_back(Column);
}

void NumberKey(KeySql& Out, const std::string& Column) {
    Out.Number = Column;
    Out.GroupBy.push_back(Column);
    Out.OrderBy.push_back(Column);
}

KeySql KeyOf(history::TopKey Key) {
    KeySql key;
    switch (Key) {
        case history::TopKey::Source:
            AddressKey(key, "src");
            break;
        case history::TopKey::Destination:
            AddressKey(key, "dst");
            break;
        case history::TopKey::Exporter:
            AddressKey(key, "exporter");
            break;
        case history::TopKey::Conversation: {
            // Either direction is one conversation: the address that FlowAddress orders first
            // comes first, whichever end of the flow it was.
            const std::string src = KindOfColumn("src"), dst = KindOfColumn("dst");
            const std::string srcFirst = "(" + src + " < " + dst + " OR (" + src + " = " + dst + " AND src <= dst))";
            key.First = "hex(if(" + srcFirst + ", src, dst) AS first_address)";
            key.Second = "hex(if(" + srcFirst + ", dst, src) AS second_address)";
            key.GroupBy = {"first_address", "second_address"};
            key.OrderBy = {KindOfColumn("first_address"), "first_address", KindOfColumn("second_address"),
                           "second_address"};
            break;
        }
        case history::TopKey::Protocol:
            NumberKey(key, "proto");
            break;
        case history::TopKey::SourcePort:
            NumberKey(key, "src_port");
            break;
        case history::TopKey::DestinationPort:
            NumberKey(key, "dst_port");
            break;
        case history::TopKey::InputIf:
            AddressKey(key, "exporter");
            NumberKey(key, "in_if");
            break;
        case history::TopKey::OutputIf:
            AddressKey(key, "exporter");
            NumberKey(key, "out_if");
            break;
        case history::TopKey::SourceAS:
            NumberKey(key, "src_as");
            break;
        case history::TopKey::DestinationAS:
            NumberKey(key, "dst_as");
            break;
        // The server knows no countries: it groups by address, and the addresses are placed here.
        case history::TopKey::SourceCountry:
        case history::TopKey::SourceAsn:
            AddressKey(key, "src");
            break;
        case history::TopKey::DestinationCountry:
        case history::TopKey::DestinationAsn:
            AddressKey(key, "dst");
            break;
    }
    return key;
}

std::string Joined(const std::vector<std::string>& Parts) {
    std::string text;
    for (const std::string& part : Parts) text += (text.empty() ? "" : ", ") + part;
    return text;
}

// The fields of one line of a TabSeparated answer. The answers hold only numbers and hex, which
// the format never escapes.
std::vector<std::string_view> Fields(std::string_view Line) {
    std::vector<std::string_view> fields;
    std::size_t from = 0;
    for (;;) {
        const std::size_t tab = Line.find('\t', from);
        fields.push_back(Line.substr(from, tab == std::string_view::npos ? std::string_view::npos : tab - from));
        if (tab == std::string_view::npos) break;
        from = tab + 1;
    }
    return fields;
}

template <typename T>
bool Number(std::string_view Text, T& Out) {
    std::uint64_t value = 0;
    const char* end = Text.data() + Text.size();
    const auto [at, error] = std::from_chars(Text.data(), end, value);
    if (Text.empty() || error != std::errc() || at != end || value > std::numeric_limits<T>::max()) return false;
    Out = static_cast<T>(value);
    return true;
}

bool Signed(std::string_view Text, std::int64_t& Out) {
    std::uint64_t value = 0;
    if (!Number(Text, value) || value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return false;
    }
    Out = static_cast<std::int64_t>(value);
    return true;
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    if (C >= 'a' && C <= 'f') return C - 'a' + 10;
    return -1;
}

// An address from hex(column); empty text is no address.
bool Address(std::string_view Text, FlowAddress& Out) {
    if (Text.empty()) {
        Out = FlowAddress{};
        return true;
    }
    if (Text.size() != 32) return false;
    std::uint8_t bytes[16];
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = HexDigit(Text[2 * i]), low = HexDigit(Text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    Out = clickhouse::AddressFromBytes(bytes);
    return true;
}

// Fields 3 to 9 of a top row: the sums.
bool Sums(const std::vector<std::string_view>& F, history::Totals& Out) {
    return Number(F[3], Out.Flows) && Number(F[4], Out.Bytes) && Number(F[5], Out.Packets) &&
           Number(F[6], Out.ScaledBytes) && Number(F[7], Out.ScaledPackets) && Number(F[8], Out.SampledLow) &&
           Number(F[9], Out.SampledHigh);
}

constexpr std::size_t kTopFields = 10;

bool TopRow(std::string_view Line, history::TopRow& Out) {
    const std::vector<std::string_view> f = Fields(Line);
    return f.size() == kTopFields && Address(f[0], Out.First) && Address(f[1], Out.Second) &&
           Number(f[2], Out.Number) && Sums(f, Out.Sums);
}

// What an answer line that is not a row says: the server's own error when it broke off with one
// after it had begun to answer, else the line's beginning.
std::string NotARow(std::string_view Line) {
    std::string text(Line.substr(0, 300));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    if (text.rfind("Code: ", 0) == 0) return "the server broke off: " + text;
    return "the server's answer is not the one asked for: \"" + text + "\"";
}

// The columns of a flow in the order the reader takes them.
constexpr const char* kFlowSelect =
    "received_ms, start_ms, end_ms, hex(exporter), domain, hex(src), hex(dst), hex(next_hop), src_port, dst_port, "
    "proto, tcp_flags, tos, in_if, out_if, src_as, dst_as, src_mask, dst_mask, bytes, packets, sampling_rate, "
    "sampler_id, version, exporter_times";
constexpr std::size_t kFlowFields = 25;

bool FlowRow(std::string_view Line, FlowRecord& R) {
    const std::vector<std::string_view> f = Fields(Line);
    if (f.size() != kFlowFields) return false;
    std::uint8_t exporterTimes = 0;
    const bool ok = Signed(f[0], R.ReceivedMs) && Signed(f[1], R.StartMs) && Signed(f[2], R.EndMs) &&
                    Address(f[3], R.Exporter) && Number(f[4], R.Domain) && Address(f[5], R.Source) &&
                    Address(f[6], R.Destination) && Address(f[7], R.NextHop) && Number(f[8], R.SourcePort) &&
                    Number(f[9], R.DestinationPort) && Number(f[10], R.Protocol) && Number(f[11], R.TcpFlags) &&
                    Number(f[12], R.Tos) && Number(f[13], R.InputIf) && Number(f[14], R.OutputIf) &&
                    Number(f[15], R.SourceAS) && Number(f[16], R.DestinationAS) && Number(f[17], R.SourceMask) &&
                    Number(f[18], R.DestinationMask) && Number(f[19], R.Bytes) && Number(f[20], R.Packets) &&
                    Number(f[21], R.SamplingRate) && Number(f[22], R.SamplerId) && Number(f[23], R.Version) &&
                    Number(f[24], exporterTimes);
    R.TimesFromExporter = exporterTimes != 0;
    return ok;
}

}  // namespace

std::string SpanCondition(const history::Span& Range) {
    if (Range.ToMs <= Range.FromMs || Range.ToMs <= 0) return "0";
    const std::int64_t from = std::max<std::int64_t>(Range.FromMs, 0);
    const std::int64_t to = Range.ToMs;
    std::string sql = "received_ms >= " + std::to_string(from) + " AND received_ms < " + std::to_string(to);
    // A flow's start is never further than this from its receive time: the collector keeps the
    // receive time instead of an exporter's start that is. One second more for the start column's
    // whole seconds.
    const std::int64_t slackSeconds = netflowlib::kPlausibleTimeSpanMs / 1000 + 1;
    const std::int64_t startFrom = from / 1000 - slackSeconds;
    const std::int64_t startTo = (to - 1) / 1000 + slackSeconds + 1;
    if (startFrom > 0) sql += " AND start >= toDateTime(" + std::to_string(startFrom) + ")";
    if (startTo <= std::numeric_limits<std::uint32_t>::max()) {
        sql += " AND start < toDateTime(" + std::to_string(startTo) + ")";
    }
    return sql;
}

std::string FilterCondition(const FlowFilter& Filter) {
    std::string sql;
    for (const FlowFilter::Term& term : Filter.Terms()) {
        std::string part;
        switch (term.What) {
            case FlowFilter::Term::Kind::Address:
                part = "(" + InNet("src", term) + " OR " + InNet("dst", term) + " OR " + InNet("exporter", term) + ")";
                break;
            case FlowFilter::Term::Kind::Exporter:
                part = InNet("exporter", term);
                break;
            case FlowFilter::Term::Kind::Port: {
                const std::string port = std::to_string(term.Port);
                part = "(src_port = " + port + " OR dst_port = " + port + ")";
                break;
            }
            case FlowFilter::Term::Kind::Protocol:
                part = "(proto = " + std::to_string(term.Protocol) + ")";
                break;
        }
        sql += (sql.empty() ? "" : " AND ") + part;
    }
    return sql.empty() ? "1" : sql;
}

std::string CountStatement(const history::Span& Range, const FlowFilter& Filter) {
    return "SELECT count()" + Where(Range, Filter) + " FORMAT TabSeparated";
}

std::string TopStatement(const history::Span& Range, const FlowFilter& Filter, history::TopKey Key, history::RankBy By,
                         std::size_t Rows) {
    const KeySql key = KeyOf(Key);
    // No alias takes a column's name: the server would read that name as the alias inside the
    // other sums.
    std::string sql = "SELECT " + key.First + " AS key_first, " + key.Second + " AS key_second, " + key.Number +
                      " AS key_number, count() AS sum_flows, sum(bytes) AS sum_bytes, sum(packets) AS sum_packets, "
                      "sum(bytes * sampling_rate) AS sum_scaled_bytes, "
                      "sum(packets * sampling_rate) AS sum_scaled_packets, "
                      "minIf(sampling_rate, sampling_rate > 1) AS sampled_low, "
                      "maxIf(sampling_rate, sampling_rate > 1) AS sampled_high" +
                      Where(Range, Filter);
    const char* rank = By == history::RankBy::Bytes     ? "sum_scaled_bytes"
                       : By == history::RankBy::Packets ? "sum_scaled_packets"
                                                        : "sum_flows";
    // The totals count every key, also those the limit leaves out, in the same reading of the table.
    sql += " GROUP BY " + Joined(key.GroupBy) + " WITH TOTALS ORDER BY " + rank + " DESC, " + Joined(key.OrderBy);
    if (Rows != 0) sql += " LIMIT " + std::to_string(Rows);
    return sql + " FORMAT TabSeparated";
}

std::string FlowsStatement(const history::Span& Range, const FlowFilter& Filter, std::uint64_t Limit) {
    std::string sql = "SELECT " + std::string(kFlowSelect) + Where(Range, Filter) + " ORDER BY received_ms, start_ms";
    if (Limit != 0 && Limit < std::numeric_limits<std::uint64_t>::max()) sql += " LIMIT " + std::to_string(Limit + 1);
    return sql + " FORMAT TabSeparated";
}

void LocateTopAnswer(history::TopKey Key, history::RankBy By, std::size_t Rows, std::size_t AddressRows,
                     const std::function<names::Place(const FlowAddress&)>& Find, history::TopResult& InOut) {
    const bool country = Key == history::TopKey::SourceCountry || Key == history::TopKey::DestinationCountry;
    std::map<std::uint32_t, history::Totals> sums;  // by number, so that ties go to the lower one
    history::Totals placed;
    for (const history::TopRow& row : InOut.Rows) {
        const names::Place place = Find(row.First);
        sums[country ? place.Country : place.Asn].Add(row.Sums);
        placed.Add(row.Sums);
    }
    std::vector<history::TopRow> rows;
    for (const auto& [number, totals] : sums) {
        history::TopRow row;
        row.Number = number;
        row.Sums = totals;
        rows.push_back(row);
    }
    auto rank = [By](const history::Totals& T) {
        return By == history::RankBy::Bytes     ? T.ScaledBytes
               : By == history::RankBy::Packets ? T.ScaledPackets
                                                : T.Flows;
    };
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const history::TopRow& A, const history::TopRow& B) { return rank(A.Sums) > rank(B.Sums); });
    if (Rows != 0 && rows.size() > Rows) rows.resize(Rows);
    const bool cut = AddressRows != 0 && InOut.Rows.size() >= AddressRows;
    if (cut && placed.Flows < InOut.Sums.Flows) {
        history::Totals rest = InOut.Sums;
        rest.Flows -= placed.Flows;
        rest.Bytes -= std::min(rest.Bytes, placed.Bytes);
        rest.Packets -= std::min(rest.Packets, placed.Packets);
        rest.ScaledBytes -= std::min(rest.ScaledBytes, placed.ScaledBytes);
        rest.ScaledPackets -= std::min(rest.ScaledPackets, placed.ScaledPackets);
        history::TopRow other;
        other.Other = true;
        other.Sums = rest;
        rows.push_back(other);
        InOut.Exact = false;
        InOut.Note = "the server was asked for the " + std::to_string(AddressRows) +
                     " addresses of most traffic and these were placed; the traffic of the others (" +
                     std::to_string(rest.Flows) + " flows) is in \"other\"";
    }
    InOut.Rows = std::move(rows);
}

bool ReadTopAnswer(const std::string& Body, history::TopResult& Out, std::string& Error) {
    // The rows, an empty line, the totals; then perhaps the extremes, which the URL's settings may
    // have asked for, after another empty line.
    enum class Part { Rows, Totals, Rest } part = Part::Rows;
    bool haveTotals = false;
    std::size_t from = 0;
    while (from < Body.size()) {
        std::size_t end = Body.find('\n', from);
        if (end == std::string::npos) end = Body.size();
        const std::string_view line(Body.data() + from, end - from);
        from = end + 1;
        if (line.empty()) {
            if (part == Part::Rows) part = Part::Totals;
            continue;
        }
        history::TopRow row;
        if (!TopRow(line, row)) {
            Error = NotARow(line);
            return false;
        }
        if (part == Part::Rows) {
            Out.Rows.push_back(row);
        } else if (part == Part::Totals) {
            Out.Sums = row.Sums;
            haveTotals = true;
            part = Part::Rest;
        }
    }
    if (!haveTotals && !Out.Rows.empty()) {
        Error = "the server's answer has no totals";
        return false;
    }
    return true;
}

bool FlowRowReader::Feed(const char* Data, std::size_t Size) {
    if (!Error_.empty()) return false;
    const char* end = Data + Size;
    for (const char* at = Data; at < end;) {
        const char* newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<std::size_t>(end - at)));
        if (newline == nullptr) {
            Pending_.append(at, end);
            break;
        }
        Pending_.append(at, newline);
        at = newline + 1;
        const std::string line = std::move(Pending_);
        Pending_.clear();
        if (!Line(line)) return false;
    }
    return true;
}

bool FlowRowReader::Finish() {
    if (!Error_.empty()) return false;
    if (Pending_.empty()) return true;
    Error_ = NotARow(Pending_);
    return false;
}

bool FlowRowReader::Line(const std::string& Text) {
    FlowRecord record;
    if (!FlowRow(Text, record)) {
        Error_ = NotARow(Text);
        return false;
    }
    return Each_(record);
}

}  // namespace chsql

namespace {
constexpr long kReadyTimeoutMs = 30000;
}  // namespace

ClickHouseAnswers::ClickHouseAnswers(const clickhouse::Endpoint& Server)
    // No bound on a whole request: a question over months may take long, and the operator can stop it.
    : Client_(std::make_unique<clickhouse::Client>(Server, 0)) {}

ClickHouseAnswers::~ClickHouseAnswers() = default;

std::string ClickHouseAnswers::Failed(const clickhouse::Response& Answer) const {
    const std::string where = "ClickHouse at " + Client_->Server().Display();
    switch (Answer.Fault) {
        case clickhouse::Failure::Unreachable:
            return where + " is unreachable (" + Answer.Error() + ")";
        case clickhouse::Failure::Credentials:
            return where + " refused: wrong user or password (" + Answer.Error() + ")";
        case clickhouse::Failure::Database:
            return where + " refused: unknown database (" + Answer.Error() + ")";
        case clickhouse::Failure::Refused:
        case clickhouse::Failure::None:
            break;
    }
    return where + " refused: " + Answer.Error();
}

bool ClickHouseAnswers::Ready(std::string& Error) const {
    // A bound here, unlike for the questions: something that takes the connection and never
    // answers is no server to wait for.
    clickhouse::Client probe(Client_->Server(), kReadyTimeoutMs);
    const clickhouse::Response answer = probe.Execute(clickhouse::DescribeStatement());
    if (!answer.Ok()) {
        Error = Failed(answer);
        return false;
    }
    bool exists = false;
    const std::string wrong = clickhouse::Mismatch(answer.Body, exists);
    const std::string where = "ClickHouse at " + Client_->Server().Display();
    if (!exists) {
        Error = where + ": no table " + clickhouse::kFlowsTable + " in database " + Client_->Server().Database +
                " (a collector makes it when it first sends flows there)";
        return false;
    }
    if (!wrong.empty()) {
        Error = where + ": the table " + clickhouse::kFlowsTable + " does not match (" + wrong + ")";
        return false;
    }
    return true;
}

history::CountResult ClickHouseAnswers::Count(const Options& Ask) const {
    history::CountResult result;
    if (Ask.Range.ToMs <= Ask.Range.FromMs) return result;
    const clickhouse::Response answer = Client_->Execute(chsql::CountStatement(Ask.Range, Ask.Filter));
    if (!answer.Ok()) {
        result.Error = Failed(answer);
        return result;
    }
    std::string_view body(answer.Body);
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    const auto [at, error] = std::from_chars(body.data(), body.data() + body.size(), result.Flows);
    if (body.empty() || error != std::errc() || at != body.data() + body.size()) result.Error = chsql::NotARow(body);
    return result;
}

history::TopResult ClickHouseAnswers::Top(const Options& Ask) const {
    history::TopResult result;
    std::unique_ptr<names::Locator> where;
    if (history::LocationKey(Ask.Key)) {
        std::string why;
        where = names::Locator::Open(Ask.LocationDatabase, &why);
        if (!where) {
            result.Error = "countries and AS numbers need the location database (" + why + ")";
            return result;
        }
    }
    if (Ask.Range.ToMs <= Ask.Range.FromMs) return result;
    const std::size_t rows = where ? chsql::kLocatedAddresses : Ask.TopRows;
    const clickhouse::Response answer =
        Client_->Execute(chsql::TopStatement(Ask.Range, Ask.Filter, Ask.Key, Ask.By, rows));
    if (!answer.Ok()) {
        result.Error = Failed(answer);
        return result;
    }
    if (!chsql::ReadTopAnswer(answer.Body, result, result.Error)) {
        result.Rows.clear();
        return result;
    }
    if (where) {
        chsql::LocateTopAnswer(
            Ask.Key, Ask.By, Ask.TopRows, rows, [&where](const FlowAddress& A) { return where->Find(A); }, result);
    }
    return result;
}

history::FlowsResult ClickHouseAnswers::Flows(const Options& Ask,
                                              const std::function<bool(const FlowRecord&)>& Each) const {
    history::FlowsResult result;
    if (Ask.Range.ToMs <= Ask.Range.FromMs) return result;
    const std::uint64_t limit = Ask.FlowLimit;
    chsql::FlowRowReader reader([&](const FlowRecord& Record) {
        if (limit != 0 && result.Listed >= limit) {
            result.Truncated = true;  // the one row beyond the limit: more flows match
            return false;
        }
        ++result.Listed;
        return !Each || Each(Record);
    });
    bool stopped = false;
    const clickhouse::Response answer =
        Client_->Stream(chsql::FlowsStatement(Ask.Range, Ask.Filter, limit), [&](const char* Data, std::size_t Size) {
            stopped = !reader.Feed(Data, Size);
            return !stopped;
        });
    if (stopped) {
        if (reader.Failed()) result.Error = "ClickHouse at " + Client_->Server().Display() + ": " + reader.Error();
        return result;
    }
    if (!answer.Ok()) {
        result.Error = Failed(answer);
    } else if (!reader.Finish()) {
        result.Error = "ClickHouse at " + Client_->Server().Display() + ": " + reader.Error();
    }
    return result;
}

}  // namespace query
