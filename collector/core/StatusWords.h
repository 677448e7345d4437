#pragma once

// How the collector's background parts word what they say on standard error and in the status
// bar: the same clock, the same grouping of counts, the same way of saying a time of day.

#include <cstdint>
#include <string>

namespace statuswords {

// The wall clock, milliseconds since 1970.
std::int64_t SystemNowMs();
// One line on standard error, flushed at once (episodes must not wait in a buffer).
void SayOnStandardError(const std::string& Line);
// Ms in local time, through strftime's Format ("%H:%M").
std::string LocalClock(std::int64_t Ms, const char* Format);
// Counts of flows, as the status bar and standard error show every count: grouped by threes.
std::string Grouped(std::uint64_t Value);

}  // namespace statuswords
