#pragma once

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
