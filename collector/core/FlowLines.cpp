#include "FlowLines.h"

#include <langinfo.h>
#include <strings.h>

#include <algorithm>
#include <charconv>

namespace flowlines {
namespace {

template <typename T>
void AppendNumber(std::string& Line, T Value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, Value);
    Line.append(buffer, result.ptr);
}

// "address(port)", the endpoint piece of both display lines.
template <typename Port>
void AppendEndpoint(std::string& Line, const std::string& Address, Port PortNumber) {
    Line += Address;
    Line += '(';
    AppendNumber(Line, PortNumber);
    Line += ')';
}

// The version 5 time pair: First, then First - Last taken modulo 2^32 (not the duration).
std::uint32_t FirstMinusLast(const netflowlib::tNetflowV5& Record) {
    return static_cast<std::uint32_t>(Record.First - Record.Last);
}

}  // namespace

std::string FormatThousands(std::int64_t Value, const std::string& Separator) {
    char digits[24];
    const std::uint64_t magnitude = Value < 0 ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(Value)
                                              : static_cast<std::uint64_t>(Value);
    const auto end = std::to_chars(digits, digits + sizeof digits, magnitude).ptr;
    const std::size_t count = static_cast<std::size_t>(end - digits);

    std::string text;
    text.reserve(count + (count / 3) * Separator.size() + 1);
    if (Value < 0) text += '-';
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0 && (count - i) % 3 == 0) text += Separator;
        text += digits[i];
    }
    return text;
}

bool LocaleCodesetIsUtf8() {
    const char* codeset = nl_langinfo(CODESET);
    return codeset != nullptr && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "UTF8") == 0);
}

std::size_t CharacterCount(std::string_view Text) {
    const auto continuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    const auto high = [](char c) { return (static_cast<unsigned char>(c) & 0x80) != 0; };
    if (std::none_of(Text.begin(), Text.end(), high) || !LocaleCodesetIsUtf8()) return Text.size();
    return Text.size() - static_cast<std::size_t>(std::count_if(Text.begin(), Text.end(), continuation));
}

void FillToColumn(std::string& Line, std::size_t Column) {
    const std::size_t length = CharacterCount(Line);
    if (length < Column) Line.append(Column - length, ' ');
}

void AppendRightAligned(std::string& Line, const std::string& Number, std::size_t EndColumn) {
    const std::size_t width = CharacterCount(Number);
    if (width < EndColumn) FillToColumn(Line, EndColumn - width);
    Line += Number;
}

void BuildV5DisplayLine(std::string& Line, const netflowlib::tNetflowV5& Record, const std::string& Separator) {
    Line.clear();
    AppendNumber(Line, Record.First);
    Line += ' ';
    AppendNumber(Line, FirstMinusLast(Record));
    FillToColumn(Line, 20);
    AppendEndpoint(Line, Record.srcaddr, Record.srcport);
    FillToColumn(Line, 52);
    Line += "->";
    AppendEndpoint(Line, Record.dstaddr, Record.dstport);
    FillToColumn(Line, 76);
    Line += '[';
    AppendNumber(Line, static_cast<unsigned>(Record.prot));
    FillToColumn(Line, 79);
    Line += "] ";
    AppendRightAligned(Line, FormatThousands(Record.dOctets, Separator), 88);
}

std::string V5DisplayLine(const netflowlib::tNetflowV5& Record, const std::string& Separator) {
    std::string line;
    line.reserve(96);
    BuildV5DisplayLine(line, Record, Separator);
    return line;
}

void BuildV5CsvLine(std::string& Line, const netflowlib::tNetflowV5& Record) {
    Line.clear();
    AppendNumber(Line, Record.First);
    Line += ',';
    AppendNumber(Line, FirstMinusLast(Record));
    Line += ',';
    Line += Record.srcaddr;
    Line += ',';
    AppendNumber(Line, Record.srcport);
    Line += ',';
    Line += Record.dstaddr;
    Line += ',';
    AppendNumber(Line, Record.dstport);
    Line += ',';
    AppendNumber(Line, static_cast<unsigned>(Record.prot));
    Line += ',';
    AppendNumber(Line, Record.dOctets);
    Line += "\r\n";
}

std::string V5CsvLine(const netflowlib::tNetflowV5& Record) {
    std::string line;
    line.reserve(80);
    BuildV5CsvLine(line, Record);
    return line;
}

void BuildV9DisplayLine(std::string& Line, const netflowlib::tNetflowV9& Record, const std::string& Separator) {
    Line.clear();
    AppendEndpoint(Line, Record.IPV4_SRC_ADDR, Record.L4_SRC_PORT);
    FillToColumn(Line, 22);
    Line += "->";
    AppendEndpoint(Line, Record.IPV4_DST_ADDR, Record.L4_DST_PORT);
    FillToColumn(Line, 46);
    Line += '[';
    AppendNumber(Line, Record.PROTOCOL);
    FillToColumn(Line, 49);
    Line += "] ";
    AppendRightAligned(Line, FormatThousands(Record.IN_BYTES, Separator), 58);
}

std::string V9DisplayLine(const netflowlib::tNetflowV9& Record, const std::string& Separator) {
    std::string line;
    line.reserve(64);
    BuildV9DisplayLine(line, Record, Separator);
    return line;
}

void BuildV9CsvLine(std::string& Line, const netflowlib::tNetflowV9& Record) {
    Line.clear();
    Line += Record.IPV4_SRC_ADDR;
    Line += ',';
    AppendNumber(Line, Record.L4_SRC_PORT);
    Line += ',';
    Line += Record.IPV4_DST_ADDR;
    Line += ',';
    AppendNumber(Line, Record.L4_DST_PORT);
    Line += ',';
    AppendNumber(Line, Record.PROTOCOL);
    Line += ',';
    AppendNumber(Line, Record.IN_BYTES);
    Line += ',';
    AppendNumber(Line, Record.IN_BYTES);
    Line += "\r\n";
}

std::string V9CsvLine(const netflowlib::tNetflowV9& Record) {
    std::string line;
    line.reserve(72);
    BuildV9CsvLine(line, Record);
    return line;
}

std::string DailyFileName(brix32::TDateTime When) { return "NetFlow-" + brix32::FormatYyyymmdd(When) + ".csv"; }

}  // namespace flowlines
