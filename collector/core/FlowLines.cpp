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

// Builds a line in a buffer of its own and hands it over in a few appends: a CSV line has a
// dozen pieces, and a capacity check per piece cost more than making the digits.
class PieceWriter {
  public:
    explicit PieceWriter(std::string& Line) : Line_(Line) { Line_.clear(); }
    ~PieceWriter() { Line_.append(Buffer_, Used_); }
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    template <typename T>
    void Number(T Value) {
        Room(kNumberRoom);
        Used_ = static_cast<std::size_t>(std::to_chars(Buffer_ + Used_, Buffer_ + sizeof Buffer_, Value).ptr - Buffer_);
    }
    void Char(char C) {
        Room(1);
        Buffer_[Used_++] = C;
    }
    void Text(std::string_view Piece) {
        if (Piece.size() > sizeof Buffer_ - Used_) {
            Line_.append(Buffer_, Used_);
            Used_ = 0;
            if (Piece.size() > sizeof Buffer_) {
                Line_.append(Piece);
                return;
            }
        }
        Piece.copy(Buffer_ + Used_, Piece.size());
        Used_ += Piece.size();
    }

  private:
    static constexpr std::size_t kNumberRoom = 24;

    void Room(std::size_t Size) {
        if (Used_ + Size <= sizeof Buffer_) return;
        Line_.append(Buffer_, Used_);
        Used_ = 0;
    }

    std::string& Line_;
    char Buffer_[128];
    std::size_t Used_ = 0;
};

// "address(port)", the endpoint piece of both display lines.
template <typename Port>
void AppendEndpoint(std::string& Line, std::string_view Address, Port PortNumber) {
    Line += Address;
    Line += '(';
    AppendNumber(Line, PortNumber);
    Line += ')';
}

bool CopyAddress(const std::string& Text, char (&To)[DisplayFlow::kAddressCapacity], std::uint8_t& Length) {
    if (Text.size() > DisplayFlow::kAddressCapacity) return false;
    Text.copy(To, Text.size());
    Length = static_cast<std::uint8_t>(Text.size());
    return true;
}

// Where the pieces of a display line end: version 9 lines have no time piece in front and start
// their columns further left.
struct DisplayColumns {
    std::size_t AfterSource;
    std::size_t AfterDestination;
    std::size_t AfterProtocol;
    std::size_t BytesEnd;
};
constexpr DisplayColumns kV5Columns{52, 76, 79, 88};
constexpr DisplayColumns kV9Columns{22, 46, 49, 58};

// The numbers of Flow with the two address texts given apart, so that a record whose texts do not
// fit a DisplayFlow still gets its line from the same code.
void AppendDisplayLine(std::string& Line, const DisplayFlow& Flow, std::string_view Src, std::string_view Dst,
                       const std::string& Separator) {
    const bool v5 = Flow.Version == 5;
    if (v5) {
        AppendNumber(Line, Flow.First);
        Line += ' ';
        AppendNumber(Line, Flow.FirstMinusLast);
        FillToColumn(Line, 20);
    }
    const DisplayColumns& columns = v5 ? kV5Columns : kV9Columns;
    AppendEndpoint(Line, Src, Flow.SrcPort);
    FillToColumn(Line, columns.AfterSource);
    Line += "->";
    AppendEndpoint(Line, Dst, Flow.DstPort);
    FillToColumn(Line, columns.AfterDestination);
    Line += '[';
    AppendNumber(Line, Flow.Protocol);
    FillToColumn(Line, columns.AfterProtocol);
    Line += "] ";
    AppendRightAligned(Line, FormatThousands(Flow.Bytes, Separator), columns.BytesEnd);
}

void FillNumbers(const netflowlib::tNetflowV5& Record, DisplayFlow& Flow) {
    Flow.Version = 5;
    Flow.First = Record.First;
    // The version 5 time pair: First, then First - Last taken modulo 2^32 (not the duration).
    Flow.FirstMinusLast = static_cast<std::uint32_t>(Record.First - Record.Last);
    Flow.SrcPort = Record.srcport;
    Flow.DstPort = Record.dstport;
    Flow.Protocol = Record.prot;
    Flow.Bytes = Record.dOctets;
}

void FillNumbers(const netflowlib::tNetflowV9& Record, DisplayFlow& Flow) {
    Flow.Version = 9;
    Flow.First = 0;
    Flow.FirstMinusLast = 0;
    Flow.SrcPort = Record.L4_SRC_PORT;
    Flow.DstPort = Record.L4_DST_PORT;
    Flow.Protocol = Record.PROTOCOL;
    Flow.Bytes = Record.IN_BYTES;
}

template <typename Record>
void BuildRecordLine(std::string& Line, const Record& R, const std::string& Src, const std::string& Dst,
                     const std::string& Separator) {
    DisplayFlow flow;
    FillNumbers(R, flow);
    Line.clear();
    AppendDisplayLine(Line, flow, Src, Dst, Separator);
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

bool MakeDisplayFlow(const netflowlib::tNetflowV5& Record, DisplayFlow& Flow) {
    FillNumbers(Record, Flow);
    return CopyAddress(Record.srcaddr, Flow.Src, Flow.SrcLength) &&
           CopyAddress(Record.dstaddr, Flow.Dst, Flow.DstLength);
}

bool MakeDisplayFlow(const netflowlib::tNetflowV9& Record, DisplayFlow& Flow) {
    FillNumbers(Record, Flow);
    return CopyAddress(Record.IPV4_SRC_ADDR, Flow.Src, Flow.SrcLength) &&
           CopyAddress(Record.IPV4_DST_ADDR, Flow.Dst, Flow.DstLength);
}

void BuildDisplayLine(std::string& Line, const DisplayFlow& Flow, const std::string& Separator) {
    Line.clear();
    AppendDisplayLine(Line, Flow, Flow.SrcText(), Flow.DstText(), Separator);
}

std::size_t LeastDisplayWidth(const DisplayFlow& Flow) {
    return (Flow.Version == 5 ? kV5Columns : kV9Columns).BytesEnd;
}

void BuildV5DisplayLine(std::string& Line, const netflowlib::tNetflowV5& Record, const std::string& Separator) {
    BuildRecordLine(Line, Record, Record.srcaddr, Record.dstaddr, Separator);
}

std::string V5DisplayLine(const netflowlib::tNetflowV5& Record, const std::string& Separator) {
    std::string line;
    line.reserve(96);
    BuildV5DisplayLine(line, Record, Separator);
    return line;
}

void BuildV5CsvLine(std::string& Line, const netflowlib::tNetflowV5& Record) {
    PieceWriter w(Line);
    w.Number(Record.First);
    w.Char(',');
    w.Number(static_cast<std::uint32_t>(Record.First - Record.Last));
    w.Char(',');
    w.Text(Record.srcaddr);
    w.Char(',');
    w.Number(Record.srcport);
    w.Char(',');
    w.Text(Record.dstaddr);
    w.Char(',');
    w.Number(Record.dstport);
    w.Char(',');
    w.Number(static_cast<unsigned>(Record.prot));
    w.Char(',');
    w.Number(Record.dOctets);
    w.Text("\r\n");
}

std::string V5CsvLine(const netflowlib::tNetflowV5& Record) {
    std::string line;
    line.reserve(80);
    BuildV5CsvLine(line, Record);
    return line;
}

void BuildV9DisplayLine(std::string& Line, const netflowlib::tNetflowV9& Record, const std::string& Separator) {
    BuildRecordLine(Line, Record, Record.IPV4_SRC_ADDR, Record.IPV4_DST_ADDR, Separator);
}

std::string V9DisplayLine(const netflowlib::tNetflowV9& Record, const std::string& Separator) {
    std::string line;
    line.reserve(64);
    BuildV9DisplayLine(line, Record, Separator);
    return line;
}

void BuildV9CsvLine(std::string& Line, const netflowlib::tNetflowV9& Record) {
    PieceWriter w(Line);
    w.Text(Record.IPV4_SRC_ADDR);
    w.Char(',');
    w.Number(Record.L4_SRC_PORT);
    w.Char(',');
    w.Text(Record.IPV4_DST_ADDR);
    w.Char(',');
    w.Number(Record.L4_DST_PORT);
    w.Char(',');
    w.Number(Record.PROTOCOL);
    w.Char(',');
    w.Number(Record.IN_BYTES);
    w.Char(',');
    w.Number(Record.IN_BYTES);
    w.Text("\r\n");
}

std::string V9CsvLine(const netflowlib::tNetflowV9& Record) {
    std::string line;
    line.reserve(72);
    BuildV9CsvLine(line, Record);
    return line;
}

std::string DailyFileName(brix32::TDateTime When) { return "NetFlow-" + brix32::FormatYyyymmdd(When) + ".csv"; }

}  // namespace flowlines
