#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "support/DateTime.h"

// The fixed-column display lines of the window's memo and the CSV lines of the daily file. Pure
// text building: no widgets, no files. Display lines carry no line end; CSV lines end with CR LF.
namespace flowlines {

// "#,##0": digits grouped by threes with Separator, a minus sign for negative values.
std::string FormatThousands(std::int64_t Value, const std::string& Separator);

// True when the C library's current locale encodes its texts, the thousands separator among
// them, as UTF-8.
bool LocaleCodesetIsUtf8();

// Characters of Text as the locale counts them: the columns of a display line are characters,
// and a separator such as U+202F is three bytes in a UTF-8 locale but one character on screen.
// Pure ASCII is counted by bytes without asking the locale.
std::size_t CharacterCount(std::string_view Text);

// Appends spaces while Line is shorter than Column characters; never cuts.
void FillToColumn(std::string& Line, std::size_t Column);

// Appends Number so that its last character is in EndColumn, or directly when the line is already
// too long.
void AppendRightAligned(std::string& Line, const std::string& Number, std::size_t EndColumn);

// A flow's memo line before it is text: the values the line shows, the addresses as the record
// spells them. At full speed the listener hands the window far more lines than anyone can read;
// kept in this form they cost it a copy of 64 bytes each, and only the lines somebody looks at are
// ever made text.
struct DisplayFlow {
    static constexpr std::size_t kAddressCapacity = 15;  // "255.255.255.255"

    std::uint8_t Version = 5;  // 5: the version 5 layout; anything else: version 9's
    std::uint8_t SrcLength = 0;
    std::uint8_t DstLength = 0;
    char Src[kAddressCapacity] = {};
    char Dst[kAddressCapacity] = {};
    std::uint32_t First = 0;           // version 5 only
    std::uint32_t FirstMinusLast = 0;  // version 5 only: First - Last modulo 2^32, not the duration
    std::int32_t SrcPort = 0;
    std::int32_t DstPort = 0;
    std::int32_t Protocol = 0;
    std::int64_t Bytes = 0;

    std::string_view SrcText() const { return {Src, SrcLength}; }
    std::string_view DstText() const { return {Dst, DstLength}; }
};

// False, with Flow undefined, when an address text is longer than an IPv4 address can be; the
// decoders never give one.
bool MakeDisplayFlow(const netflowlib::tNetflowV5& Record, DisplayFlow& Flow);
bool MakeDisplayFlow(const netflowlib::tNetflowV9& Record, DisplayFlow& Flow);
// The flow's memo line built into Line, replacing what it held.
void BuildDisplayLine(std::string& Line, const DisplayFlow& Flow, const std::string& Separator);
// Characters of the flow's line when none of its columns overflows: the fewest it can have.
std::size_t LeastDisplayWidth(const DisplayFlow& Flow);

std::string V5DisplayLine(const netflowlib::tNetflowV5& Record, const std::string& Separator);
std::string V5CsvLine(const netflowlib::tNetflowV5& Record);
std::string V9DisplayLine(const netflowlib::tNetflowV9& Record, const std::string& Separator);
std::string V9CsvLine(const netflowlib::tNetflowV9& Record);

// The same lines built into Line, replacing what it held: a caller that keeps one buffer for
// every record allocates nothing per line.
void BuildV5DisplayLine(std::string& Line, const netflowlib::tNetflowV5& Record, const std::string& Separator);
void BuildV5CsvLine(std::string& Line, const netflowlib::tNetflowV5& Record);
void BuildV9DisplayLine(std::string& Line, const netflowlib::tNetflowV9& Record, const std::string& Separator);
void BuildV9CsvLine(std::string& Line, const netflowlib::tNetflowV9& Record);

// "NetFlow-yyyymmdd.csv" for the local day of When.
std::string DailyFileName(brix32::TDateTime When);

}  // namespace flowlines
