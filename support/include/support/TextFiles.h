#pragma once

#include <string>

namespace brix32 {

// What AppendToTextFile reports besides open, write and close failures.
enum class AfterClose {
    CheckExists,  // also false when the file no longer exists after closing
    Skip,         // for callers that ignore the result: saves a system call per call
};

// The one writer of every CSV line, trace line and marker. Writes sText byte for byte (no line
// end of its own), replacing the file first when bAppend is false. True when the file exists after
// closing; false on any open, write, flush or close failure. Never throws.
bool AppendToTextFile(const std::string& sText, const std::string& sFileName, bool bAppend,
                      AfterClose Check = AfterClose::CheckExists);

// Replaces sFileName with sText through a temporary file beside it that takes the old file's place
// in one step, so a reader sees the old or the new content whole, never a mix. False when any step
// fails (the old file is then left as it was). Never throws.
bool ReplaceFileAtomically(const std::string& sFileName, const std::string& sText);

// Classic 16-bytes-per-line dump: n div 16 + 1 lines, each ended by CR LF.
std::string HexDump(const std::string& sData);

}  // namespace brix32
