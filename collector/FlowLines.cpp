#include "FlowLines.h"

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
    const std::uint64_t magnitude =
        Value < 0 ? static_cast<std::uint64_t>(0) - static_cast<std::uint64_t>(Value) : static_cast<std::uint64_t>(Value);
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

void FillToColumn(std::string& Line, std::size_t Column) {
    if (Line.size() < Column) Line.append(Column - Line.size(), ' ');
}

void AppendRightAligned(std::string& Line, const std::string& Number, std::size_t EndColumn) {
    if (Number.size() < EndColumn) FillToColumn(Line, EndColumn - Number.size());
    Line += Number;
}

std::string V5DisplayLine(const netflowlib::tNetflowV5& Record, const std::string& Separator) {
    std::string line;
    line.reserve(96);
    AppendNumber(line, Record.First);
    line += ' ';
    AppendNumber(line, FirstMinusLast(Record));
    FillToColumn(line, 20);
    AppendEndpoint(line, Record.srcaddr, Record.srcport);
    FillToColumn(line, 52);
    line += "->";
    AppendEndpoint(line, Record.dstaddr, Record.dstport);
    FillToColumn(line, 76);
    line += '[';
    AppendNumber(line, static_cast<unsigned>(Record.prot));
    FillToColumn(line, 79);
    line += "] ";
    AppendRightAligned(line, FormatThousands(Record.dOctets, Separator), 88);
    return line;
}

std::string V5CsvLine(const netflowlib::tNetflowV5& Record) {
    std::string line;
    line.reserve(80);
    AppendNumber(line, Record.First);
    line += ',';
    AppendNumber(line, FirstMinusLast(Record));
    line += ',';
    line += Record.srcaddr;
    line += ',';
    AppendNumber(line, Record.srcport);
    line += ',';
    line += Record.dstaddr;
    line += ',';
    AppendNumber(line, Record.dstport);
    line += ',';
    AppendNumber(line, static_cast<unsigned>(Record.prot));
    line += ',';
    AppendNumber(line, Record.dOctets);
    line += "\r\n";
    return line;
}

std::string V9DisplayLine(const netflowlib::tNetflowV9& Record, const std::string& Separator) {
    std::string line;
    line.reserve(64);
    AppendEndpoint(line, Record.IPV4_SRC_ADDR, Record.L4_SRC_PORT);
    FillToColumn(line, 22);
    line += "->";
    AppendEndpoint(line, Record.IPV4_DST_ADDR, Record.L4_DST_PORT);
    FillToColumn(line, 46);
    line += '[';
    AppendNumber(line, Record.PROTOCOL);
    FillToColumn(line, 49);
    line += "] ";
    AppendRightAligned(line, FormatThousands(Record.IN_BYTES, Separator), 58);
    return line;
}

std::string V9CsvLine(const netflowlib::tNetflowV9& Record) {
    std::string line;
    line.reserve(72);
    line += Record.IPV4_SRC_ADDR;
    line += ',';
    AppendNumber(line, Record.L4_SRC_PORT);
    line += ',';
    line += Record.IPV4_DST_ADDR;
    line += ',';
    AppendNumber(line, Record.L4_DST_PORT);
    line += ',';
    AppendNumber(line, Record.PROTOCOL);
    line += ',';
    AppendNumber(line, Record.IN_BYTES);
    line += ',';
    AppendNumber(line, Record.IN_BYTES);
    line += "\r\n";
    return line;
}

std::string DailyFileName(brix32::TDateTime When) { return "NetFlow-" + brix32::FormatYyyymmdd(When) + ".csv"; }

}  // namespace flowlines
