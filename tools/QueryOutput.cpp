#include "QueryOutput.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

#include "TrafficNames.h"

namespace query {
namespace {

// A value of a CSV or JSON row. Machine formats share one description of each row, so that the
// CSV header and the JSON names can never drift apart.
struct Field {
    enum class Kind { Text, Number, Null, Bool };
    std::string Name;
    std::string Value;
    Kind What = Kind::Text;
};
using Row = std::vector<Field>;

Field Text(std::string Name, std::string Value) { return {std::move(Name), std::move(Value), Field::Kind::Text}; }
Field Number(std::string Name, std::uint64_t Value) {
    return {std::move(Name), std::to_string(Value), Field::Kind::Number};
}
Field Null(std::string Name) { return {std::move(Name), {}, Field::Kind::Null}; }
Field Address(std::string Name, const FlowAddress& A) {
    return A.Kind == FlowAddress::None ? Null(std::move(Name)) : Text(std::move(Name), A.ToString());
}
Field OptionalText(std::string Name, std::string Value) {
    return Value.empty() ? Null(std::move(Name)) : Text(std::move(Name), std::move(Value));
}

std::string CsvHeader(const Row& R) {
    std::string line;
    for (const Field& f : R) {
        if (!line.empty()) line += ',';
        line += CsvField(f.Name);
    }
    return line + "\n";
}

std::string CsvLine(const Row& R) {
    std::string line;
    bool first = true;
    for (const Field& f : R) {
        if (!first) line += ',';
        first = false;
        if (f.What == Field::Kind::Bool) {
            line += f.Value == "true" ? "1" : "0";
        } else if (f.What != Field::Kind::Null) {
            line += CsvField(f.Value);
        }
    }
    return line + "\n";
}

std::string JsonLine(const Row& R) {
    std::string line = "{";
    for (const Field& f : R) {
        if (line.size() > 1) line += ',';
        line += JsonString(f.Name);
        line += ':';
        switch (f.What) {
            case Field::Kind::Text:
                line += JsonString(f.Value);
                break;
            case Field::Kind::Number:
            case Field::Kind::Bool:
                line += f.Value;
                break;
            case Field::Kind::Null:
                line += "null";
                break;
        }
    }
    return line + "}\n";
}

std::string MachineLine(Format Output, const Row& R) { return Output == Format::Csv ? CsvLine(R) : JsonLine(R); }

void Pad(std::string& Line, const std::string& Value, std::size_t Width, bool Right) {
    if (Right && Value.size() < Width) Line.append(Width - Value.size(), ' ');
    Line += Value;
    if (!Right && Value.size() < Width) Line.append(Width - Value.size(), ' ');
}

std::string WithPort(const FlowAddress& A, std::uint16_t Port) {
    if (A.Kind == FlowAddress::None) return "-:" + std::to_string(Port);
    // Appended rather than "[" + text: GCC 12 at -O3 sees an overlapping copy in that (-Wrestrict).
    std::string text;
    if (A.Kind == FlowAddress::IPv6) text += '[';
    A.AppendText(text);
    if (A.Kind == FlowAddress::IPv6) text += ']';
    return text + ":" + std::to_string(Port);
}

std::string AddressText(const FlowAddress& A) { return A.Kind == FlowAddress::None ? "-" : A.ToString(); }

std::string HostNameOf(const Labels& Names, const FlowAddress& A) {
    return Names.HostName && A.Kind != FlowAddress::None ? Names.HostName(A) : std::string();
}

// "8.8.8.8 (dns.google)" where the name is known.
std::string Named(const Labels& Names, const FlowAddress& A, std::string Text) {
    const std::string name = HostNameOf(Names, A);
    return name.empty() ? Text : Text + " (" + name + ")";
}

std::string AsNameOf(const Labels& Names, std::uint32_t Asn) {
    return Names.AsName && Asn != 0 ? Names.AsName(Asn) : std::string();
}

// The row of the addresses that the location database has no entry for.
constexpr const char* kUnknownPlace = "unknown";

// "estimated from sampled data, 1 in 100 to 1 in 1000", as the Traffic window says it.
std::string EstimateNote(const history::Totals& T) {
    if (!T.Estimated()) return {};
    std::string note = "estimated from sampled data, " + trafficnames::SamplingText(T.SampledLow);
    if (T.SampledHigh != T.SampledLow) note += " to " + trafficnames::SamplingText(T.SampledHigh);
    return note;
}

// ---------------------------------------------------------------------------------------------
// Top tables

// The machine columns of a key; Row null for the "other" and "total" rows, which have no key. The
// location keys give 0 (no entry) as null too, told apart from those by the row field.
void AddKeyFields(Row& R, history::TopKey Key, const history::TopRow* T, const Labels& Names) {
    using history::TopKey;
    auto address = [&](const char* Name, const FlowAddress& A) {
        R.push_back(T != nullptr ? Address(Name, A) : Null(Name));
        if (Names.HostName) R.push_back(OptionalText(std::string(Name) + "_name", HostNameOf(Names, A)));
    };
    auto number = [&](const char* Name) { R.push_back(T != nullptr ? Number(Name, T->Number) : Null(Name)); };
    const std::uint32_t located = T != nullptr ? T->Number : 0;
    auto country = [&](const std::string& Name) {
        R.push_back(OptionalText(Name, names::CountryCode(static_cast<std::uint16_t>(located))));
        const std::uint16_t packed = static_cast<std::uint16_t>(located);
        R.push_back(OptionalText(Name + "_name", Names.CountryName && packed != 0 ? Names.CountryName(packed) : ""));
    };
    auto asn = [&](const std::string& Prefix) {
        R.push_back(located != 0 ? Number(Prefix + "_asn", located) : Null(Prefix + "_asn"));
        R.push_back(OptionalText(Prefix + "_as_name", AsNameOf(Names, located)));
    };
    const FlowAddress none;
    switch (Key) {
        case TopKey::Source:
            address("src", T ? T->First : none);
            break;
        case TopKey::Destination:
            address("dst", T ? T->First : none);
            break;
        case TopKey::Exporter:
            address("exporter", T ? T->First : none);
            break;
        case TopKey::Conversation:
            address("addr_a", T ? T->First : none);
            address("addr_b", T ? T->Second : none);
            break;
        case TopKey::SourceCountry:
            country("src_country");
            break;
        case TopKey::DestinationCountry:
            country("dst_country");
            break;
        case TopKey::SourceAsn:
            asn("src");
            break;
        case TopKey::DestinationAsn:
            asn("dst");
            break;
        case TopKey::Protocol:
            number("proto");
            break;
        case TopKey::SourcePort:
            number("sport");
            break;
        case TopKey::DestinationPort:
            number("dport");
            break;
        case TopKey::InputIf:
            address("exporter", T ? T->First : none);
            number("in_if");
            break;
        case TopKey::OutputIf:
            address("exporter", T ? T->First : none);
            number("out_if");
            break;
        case TopKey::SourceAS:
            number("src_as");
            break;
        case TopKey::DestinationAS:
            number("dst_as");
            break;
    }
}

void AddTotals(Row& R, const history::Totals& T) {
    R.push_back(Number("flows", T.Flows));
    R.push_back(Number("bytes", T.Bytes));
    R.push_back(Number("packets", T.Packets));
    R.push_back(Number("scaled_bytes", T.ScaledBytes));
    R.push_back(Number("scaled_packets", T.ScaledPackets));
}

Row TopMachineRow(history::TopKey Key, const char* Kind, std::size_t Rank, const history::TopRow* T,
                  const history::Totals& Sums, const Labels& Names) {
    Row r;
    r.push_back(Text("row", Kind));
    r.push_back(Rank > 0 ? Number("rank", Rank) : Null("rank"));
    AddKeyFields(r, Key, T, Names);
    AddTotals(r, Sums);
    return r;
}

std::string KeyLabel(history::TopKey Key, const history::TopRow& T, const Labels& Names) {
    using history::TopKey;
    switch (Key) {
        case TopKey::Source:
        case TopKey::Destination:
        case TopKey::Exporter:
            return Named(Names, T.First, AddressText(T.First));
        case TopKey::Conversation:
            return Named(Names, T.First, AddressText(T.First)) + " <-> " +
                   Named(Names, T.Second, AddressText(T.Second));
        case TopKey::SourceCountry:
        case TopKey::DestinationCountry:
            return T.Number == 0 ? kUnknownPlace : names::CountryCode(static_cast<std::uint16_t>(T.Number));
        case TopKey::SourceAsn:
        case TopKey::DestinationAsn:
            return T.Number == 0 ? kUnknownPlace : names::AsLabel(T.Number, AsNameOf(Names, T.Number));
        case TopKey::Protocol: {
            const auto number = static_cast<std::uint8_t>(T.Number);
            const std::string name = trafficnames::ProtocolName(number);
            return name == std::to_string(number) ? name : name + " (" + std::to_string(number) + ")";
        }
        case TopKey::SourcePort:
        case TopKey::DestinationPort: {
            const std::string& service = trafficnames::ServiceName(static_cast<std::uint16_t>(T.Number));
            return std::to_string(T.Number) + (service.empty() ? "" : " (" + service + ")");
        }
        case TopKey::InputIf:
        case TopKey::OutputIf:
            return Named(Names, T.First, AddressText(T.First)) + " if " + std::to_string(T.Number);
        case TopKey::SourceAS:
        case TopKey::DestinationAS:
            return "AS" + std::to_string(T.Number);
    }
    return {};
}

const char* KeyTitle(history::TopKey Key) {
    using history::TopKey;
    switch (Key) {
        case TopKey::Source:
            return "SOURCE";
        case TopKey::Destination:
            return "DESTINATION";
        case TopKey::Conversation:
            return "CONVERSATION";
        case TopKey::Protocol:
            return "PROTOCOL";
        case TopKey::SourcePort:
            return "SOURCE PORT";
        case TopKey::DestinationPort:
            return "DESTINATION PORT";
        case TopKey::Exporter:
            return "EXPORTER";
        case TopKey::InputIf:
            return "INPUT INTERFACE";
        case TopKey::OutputIf:
            return "OUTPUT INTERFACE";
        case TopKey::SourceAS:
            return "SOURCE AS";
        case TopKey::DestinationAS:
            return "DESTINATION AS";
        case TopKey::SourceCountry:
            return "SOURCE COUNTRY";
        case TopKey::DestinationCountry:
            return "DESTINATION COUNTRY";
        case TopKey::SourceAsn:
            return "SOURCE ASN";
        case TopKey::DestinationAsn:
            return "DESTINATION ASN";
    }
    return "KEY";
}

std::uint64_t Measure(history::RankBy By, const history::Totals& T) {
    switch (By) {
        case history::RankBy::Bytes:
            return T.ScaledBytes;
        case history::RankBy::Packets:
            return T.ScaledPackets;
        case history::RankBy::Flows:
            return T.Flows;
    }
    return 0;
}

const char* MeasureName(history::RankBy By) {
    switch (By) {
        case history::RankBy::Bytes:
            return "bytes";
        case history::RankBy::Packets:
            return "packets";
        case history::RankBy::Flows:
            return "flows";
    }
    return "";
}

std::string TopTable(history::TopKey Key, history::RankBy By, const history::Span& Range,
                     const history::TopResult& Result, const Labels& Names) {
    struct Line {
        std::string Rank, Label;
        const history::Totals* Sums;
    };
    std::vector<Line> lines;
    std::size_t rank = 0;
    for (const history::TopRow& row : Result.Rows) {
        lines.push_back(row.Other ? Line{"", "other", &row.Sums}
                                  : Line{std::to_string(++rank), KeyLabel(Key, row, Names), &row.Sums});
    }
    lines.push_back({"", "total", &Result.Sums});
    std::size_t labelWidth = std::string(KeyTitle(Key)).size();
    for (const Line& l : lines) labelWidth = std::max(labelWidth, l.Label.size());

    std::string out = "top " + std::to_string(rank) + " by " + MeasureName(By) + ", " + FormatTime(Range.FromMs) +
                      " to " + FormatTime(Range.ToMs) + "\n";
    auto add = [&](const std::string& Rank, const std::string& Label, const std::string& Flows,
                   const std::string& Bytes, const std::string& Packets, const std::string& Share) {
        std::string l;
        Pad(l, Rank, 5, true);
        l += "  ";
        Pad(l, Label, labelWidth, false);
        Pad(l, Flows, 14, true);
        Pad(l, Bytes, 12, true);
        Pad(l, Packets, 16, true);
        Pad(l, Share, 9, true);
        while (!l.empty() && l.back() == ' ') l.pop_back();
        out += l + "\n";
    };
    add("RANK", KeyTitle(Key), "FLOWS", "BYTES", "PACKETS", "SHARE");
    const std::uint64_t whole = Measure(By, Result.Sums);
    for (const Line& l : lines) {
        add(l.Rank, l.Label, std::to_string(l.Sums->Flows), trafficnames::FormatBytes(l.Sums->ScaledBytes),
            std::to_string(l.Sums->ScaledPackets), trafficnames::FormatShare(Measure(By, *l.Sums), whole));
    }
    if (const std::string note = EstimateNote(Result.Sums); !note.empty()) {
        out += "bytes and packets " + note + "\n";
    }
    if (!Result.Exact) out += "note: " + SummaryNoteOf(Result) + "\n";
    return out;
}

// ---------------------------------------------------------------------------------------------
// Flow lists

names::Place PlaceOf(const Labels& Names, const FlowAddress& A) {
    return Names.Place && A.Kind != FlowAddress::None ? Names.Place(A) : names::Place{};
}

Row FlowRow(const FlowRecord& R, const Labels& Names) {
    const names::Place source = PlaceOf(Names, R.Source), destination = PlaceOf(Names, R.Destination);
    auto asn = [](const char* Name, std::uint32_t Asn) { return Asn != 0 ? Number(Name, Asn) : Null(Name); };
    Row row = {
        Text("received", FormatTime(R.ReceivedMs)),
        Text("start", FormatTime(R.StartMs)),
        Text("end", FormatTime(R.EndMs)),
        Address("exporter", R.Exporter),
        Number("domain", R.Domain),
        Number("version", R.Version),
        Address("src", R.Source),
        Number("sport", R.SourcePort),
        Address("dst", R.Destination),
        Number("dport", R.DestinationPort),
        Number("proto", R.Protocol),
        Number("tcp_flags", R.TcpFlags),
        Number("tos", R.Tos),
        Number("src_mask", R.SourceMask),
        Number("dst_mask", R.DestinationMask),
        Address("next_hop", R.NextHop),
        Number("in_if", R.InputIf),
        Number("out_if", R.OutputIf),
        Number("src_as", R.SourceAS),
        Number("dst_as", R.DestinationAS),
        // Beside the exporter's own AS fields: where the location database puts each address.
        OptionalText("src_country", names::CountryCode(source.Country)),
        asn("src_asn", source.Asn),
        OptionalText("src_as_name", AsNameOf(Names, source.Asn)),
        OptionalText("dst_country", names::CountryCode(destination.Country)),
        asn("dst_asn", destination.Asn),
        OptionalText("dst_as_name", AsNameOf(Names, destination.Asn)),
        Number("bytes", R.Bytes),
        Number("packets", R.Packets),
        Number("scaled_bytes", ScaledCount(R.Bytes, R.SamplingRate)),
        Number("scaled_packets", ScaledCount(R.Packets, R.SamplingRate)),
        Number("sampling_rate", R.SamplingRate),
    };
    if (Names.HostName) {
        // Each name right after its address.
        for (const auto& side : {std::pair{"src", &R.Source}, std::pair{"dst", &R.Destination}}) {
            const char* field = side.first;
            const auto at = std::find_if(row.begin(), row.end(), [&](const Field& F) { return F.Name == field; });
            row.insert(at + 1, OptionalText(std::string(field) + "_name", HostNameOf(Names, *side.second)));
        }
    }
    return row;
}

// The table's cell of where an address belongs: "AS15169 GOOGLE", with the exporter's own AS
// number beside it where the exporter sent one that differs.
std::string AsCell(const Labels& Names, const names::Place& Where, std::uint32_t ExporterAs) {
    std::string text = Where.Asn != 0 ? names::AsLabel(Where.Asn, AsNameOf(Names, Where.Asn)) : "-";
    if (ExporterAs != 0 && ExporterAs != Where.Asn) text += " (exporter: AS" + std::to_string(ExporterAs) + ")";
    return text;
}

std::string CountryCell(const names::Place& Where) {
    return Where.Country != 0 ? names::CountryCode(Where.Country) : "-";
}

// Columns of the flow table: title, width, right-aligned. Addresses get the width of the longest
// IPv4 form with a port; an IPv6 address runs over and shifts the rest of its line.
struct Column {
    const char* Title;
    std::size_t Width;
    bool Right;
};
constexpr Column kFlowColumns[] = {
    {"RECEIVED", 29, false},    {"DURATION", 10, true},       {"PROTO", 7, false},     {"SOURCE", 22, false},
    {"DESTINATION", 22, false}, {"BYTES", 12, true},          {"PACKETS", 10, true},   {"RATE", 6, true},
    {"SCALED_BYTES", 14, true}, {"SCALED_PACKETS", 15, true}, {"EXPORTER", 16, false}, {"IN", 6, true},
    {"OUT", 6, true},           {"SRC_CC", 6, false},         {"SRC_AS", 24, false},   {"DST_CC", 6, false},
    {"DST_AS", 24, false},
};

std::string TableLine(const std::vector<std::string>& Values) {
    std::string line;
    for (std::size_t i = 0; i < Values.size(); ++i) {
        const Column& c = kFlowColumns[i];
        if (i > 0) line += ' ';
        Pad(line, Values[i], c.Width, c.Right);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line + "\n";
}

std::string Seconds(std::int64_t Ms) {
    const std::string text = trafficnames::FormatDuration(Ms);  // "12.345 s"
    return text.substr(0, text.size() - 2);
}

}  // namespace

const char* const kSummaryNote =
    "answered from the minute and hour summaries, which keep only the leading keys of each minute "
    "and hour: a key that never led may be missing or counted short (its rest is in \"other\")";

std::string SummaryNoteOf(const history::TopResult& Result) {
    return Result.Note.empty() ? std::string(kSummaryNote) : Result.Note;
}

std::string FormatTime(std::int64_t Ms) {
    // Floor division, so that a moment before 1970 still gets its own second and milliseconds.
    std::int64_t seconds = Ms / 1000;
    std::int64_t ms = Ms % 1000;
    if (ms < 0) {
        ms += 1000;
        --seconds;
    }
    const auto clock = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (localtime_r(&clock, &local) == nullptr) return std::to_string(Ms);
    const long offset = local.tm_gmtoff;
    const long magnitude = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02ld:%02ld", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms),
                  offset < 0 ? '-' : '+', magnitude / 3600, magnitude % 3600 / 60);
    return text;
}

std::string CsvField(std::string_view Text) {
    if (Text.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(Text);
    std::string out = "\"";
    for (const char c : Text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string JsonString(std::string_view Text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < Text.size();) {
        const auto c = static_cast<unsigned char>(Text[i]);
        if (c < 0x80) {
            switch (c) {
                case '"':
                    out += "\\\"";
                    break;
                case '\\':
                    out += "\\\\";
                    break;
                case '\b':
                    out += "\\b";
                    break;
                case '\f':
                    out += "\\f";
                    break;
                case '\n':
                    out += "\\n";
                    break;
                case '\r':
                    out += "\\r";
                    break;
                case '\t':
                    out += "\\t";
                    break;
                default:
                    if (c < 0x20) {
                        char escaped[8];
                        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                        out += escaped;
                    } else {
                        out += static_cast<char>(c);
                    }
            }
            ++i;
            continue;
        }
        // A whole UTF-8 sequence passes as it is: the right lead byte, its continuation bytes, no
        // overlong form, no surrogate, nothing above U+10FFFF.
        std::size_t length = 0;
        std::uint32_t point = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            point = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            point = c & 0x07;
        }
        bool whole = length > 0 && i + length <= Text.size();
        for (std::size_t k = 1; whole && k < length; ++k) {
            const auto next = static_cast<unsigned char>(Text[i + k]);
            whole = (next & 0xC0) == 0x80;
            point = (point << 6) | (next & 0x3F);
        }
        if (whole && length == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) whole = false;
        if (whole && length == 4 && (point < 0x10000 || point > 0x10FFFF)) whole = false;
        if (whole) {
            out.append(Text.substr(i, length));
            i += length;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out + "\"";
}

std::uint64_t ScaledCount(std::uint64_t Count, std::uint32_t Rate) {
    std::uint64_t scaled = 0;
    return __builtin_mul_overflow(Count, std::uint64_t{Rate}, &scaled) ? UINT64_MAX : scaled;
}

std::string CountText(Format Output, const history::Span& Range, std::uint64_t Flows) {
    if (Output == Format::Table) return std::to_string(Flows) + "\n";
    const Row r{Text("from", FormatTime(Range.FromMs)), Text("to", FormatTime(Range.ToMs)), Number("flows", Flows)};
    return Output == Format::Csv ? CsvHeader(r) + CsvLine(r) : JsonLine(r);
}

std::string TopText(Format Output, history::TopKey Key, history::RankBy By, const history::Span& Range,
                    const history::TopResult& Result, const Labels& Names) {
    if (Output == Format::Table) return TopTable(Key, By, Range, Result, Names);
    std::string out;
    if (Output == Format::Csv) out = CsvHeader(TopMachineRow(Key, "total", 0, nullptr, Result.Sums, Names));
    std::size_t rank = 0;
    for (const history::TopRow& row : Result.Rows) {
        out += MachineLine(Output, row.Other ? TopMachineRow(Key, "other", 0, nullptr, row.Sums, Names)
                                             : TopMachineRow(Key, "top", ++rank, &row, row.Sums, Names));
    }
    return out + MachineLine(Output, TopMachineRow(Key, "total", 0, nullptr, Result.Sums, Names));
}

std::string FlowListWriter::Header() const {
    switch (Output_) {
        case Format::Table: {
            std::vector<std::string> titles;
            for (const Column& c : kFlowColumns) titles.emplace_back(c.Title);
            return TableLine(titles);
        }
        case Format::Csv:
            return CsvHeader(FlowRow(FlowRecord{}, Names_));
        case Format::Json:
            break;
    }
    return {};
}

std::string FlowListWriter::Line(const FlowRecord& R) const {
    if (Output_ != Format::Table) return MachineLine(Output_, FlowRow(R, Names_));
    const names::Place source = PlaceOf(Names_, R.Source), destination = PlaceOf(Names_, R.Destination);
    return TableLine({
        FormatTime(R.ReceivedMs),
        Seconds(R.EndMs - R.StartMs),
        trafficnames::ProtocolName(R.Protocol),
        Named(Names_, R.Source, WithPort(R.Source, R.SourcePort)),
        Named(Names_, R.Destination, WithPort(R.Destination, R.DestinationPort)),
        std::to_string(R.Bytes),
        std::to_string(R.Packets),
        std::to_string(R.SamplingRate),
        std::to_string(ScaledCount(R.Bytes, R.SamplingRate)),
        std::to_string(ScaledCount(R.Packets, R.SamplingRate)),
        AddressText(R.Exporter),
        std::to_string(R.InputIf),
        std::to_string(R.OutputIf),
        CountryCell(source),
        AsCell(Names_, source, R.SourceAS),
        CountryCell(destination),
        AsCell(Names_, destination, R.DestinationAS),
    });
}

}  // namespace query
