#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace brix32 {

// Date-time values are days since 30 December 1899, the time of day being the fraction; 0 means
// "no date". Reports, trace headers and file names all take their local time from Now().
using TDateTime = double;

struct tDateTimeParts {
    int Year = 1899;
    int Month = 12;
    int Day = 30;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
    int MilliSecond = 0;
};

TDateTime EncodeDateTime(const tDateTimeParts& Parts);
tDateTimeParts DecodeDateTime(TDateTime Value);
// The calendar day Value falls on, as DecodeDateTime reads it: equal for two date-times exactly
// when their dates are equal.
std::int64_t DayNumber(TDateTime Value);

// Local wall-clock time, or the test clock while one is installed.
TDateTime Now();

// The user's regional formats, taken from the C library's locale (LC_TIME and LC_NUMERIC).
std::string FormatShortDate(TDateTime Value);
std::string FormatLongTime(TDateTime Value);
// "yyyymmdd", the day part of daily file names.
std::string FormatYyyymmdd(TDateTime Value);
// The locale's thousands separator; a comma where the locale has none. Read once and cached,
// since it is needed for every flow line; call RefreshLocaleFormats() after setlocale().
const std::string& ThousandsSeparator();
void RefreshLocaleFormats();

}  // namespace brix32
