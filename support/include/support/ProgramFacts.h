#pragma once

#include <cstdint>
#include <string>

#include "support/DateTime.h"

namespace brix32 {

struct tMachineUpTime {
    std::string UpTimeText;
    std::int64_t TickCount = 0;
    double UpTimeDays = 0.0;
};

// File version of an executable as four numbers joined by "."; the running program for an empty
// name. Our executables carry the version as a mark embedded at build time; a file without the
// mark (or one that cannot be read) gives the empty text.
std::string GetVersionString(const std::string& sFileName);

std::string GetComputerNameText();

// The running program's directory with a trailing separator. Only the empty name is supported.
std::string GetProgramPath(const std::string& sExeName);

// GetProgramPath("") that is also made the process's current directory, so that every relative
// file name of the collector lands beside the program. A failed change is ignored.
std::string GetProgramDir();

void GetMachineUpTime(tMachineUpTime& UpTime);

// "" for 0; otherwise the short date, and unless the time is exactly midnight a blank and the
// long time.
std::string DateTimeText(TDateTime Value);

// The pure rules behind the services above, exposed for tests.
namespace facts {

// Everything up to and including the last Separator or ":", with a leading "\\?\" removed and a
// trailing Separator added when missing.
std::string DirectoryPart(const std::string& sModuleFileName, char Separator);

tMachineUpTime UpTimeFromTicks(std::uint32_t Ticks);

// Finds the embedded version mark in the bytes of an executable; "" when there is none.
std::string FindVersionMark(const std::string& sBytes);

// The mark as this build embeds it, e.g. for tools that write test executables.
const char* EmbeddedVersionMark();

}  // namespace facts
}  // namespace brix32
