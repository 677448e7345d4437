#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace brix32 {

// What AppendToTextFile reports besides open, write and close failures.
enum class AfterClose {
    CheckExists,  // also false when the file no longer exists after closing
    Skip,         // for callers that ignore the result: saves a system call per call
};

// The one writer of every CSV line, trace line and marker. Writes sText byte for byte (no line
// end of its own), replacing the file first when bAppend is false. True when the file exists after
// closing; false on any open, write, flush or close failure. Never throws. Opened as
// OpenOutputFile opens: a symbolic link, FIFO or device in place of the file fails the call and
// whatever stands behind it stays untouched.
bool AppendToTextFile(const std::string& sText, const std::string& sFileName, bool bAppend,
                      AfterClose Check = AfterClose::CheckExists);

// The write system call, as a seam: a double that fails part-way shows what a full disk does.
class FileOutput {
  public:
    virtual ~FileOutput() = default;
    // As write(2): bytes written, or -1 with errno set.
    virtual long Write(int Fd, const char* Data, std::size_t Size) = 0;
};
FileOutput& SystemFileOutput();

// Writes all Size bytes to the open file Fd, going on after interruptions and short writes.
// 0 on success, otherwise the errno of the write that failed. The one write loop of every file
// the program writes.
int WriteAll(int Fd, const char* Data, std::size_t Size, FileOutput& Output = SystemFileOutput());

// The one way every output file of the program is opened, so that nothing planted under its name
// in a folder others can write to redirects or stalls a write: the name is never followed when it
// is a symbolic link (ELOOP), and a FIFO, device or socket in its place is neither waited for nor
// written (ENXIO, the reason open(2) itself gives for a FIFO without a reader). Flags are added to
// O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC; O_TRUNC takes effect only once the file is
// known to be a regular one. Returns the descriptor, or -1 with errno set; Status, when given,
// receives the open file's status. Never throws.
int OpenOutputFile(const std::string& sFileName, int Flags, struct stat* Status = nullptr);

// strerror for the errno of a failed output file, with the refusal of OpenOutputFile in words an
// operator understands.
std::string OutputErrorText(int Errno);

// Appends sText to sFileName (created when missing, a symbolic link refused) in one open, one
// write and one close, all or nothing: when the write fails part-way (disk full, quota, I/O
// error) the file is cut back to the length it had, so it never ends in a torn line and the next
// append cannot merge with a fragment. False when nothing was appended, with errno telling why.
// Never throws.
bool AppendWhole(std::string_view sText, const std::string& sFileName, FileOutput& Output = SystemFileOutput());

// Replaces sFileName with sText through a temporary file beside it that takes the old file's place
// in one step, so a reader sees the old or the new content whole, never a mix. The temporary file
// is created exclusively under a name nobody can guess, and a symbolic link planted as sFileName
// is replaced, never followed. False when any step fails (the old file is then left as it was).
// Never throws.
bool ReplaceFileAtomically(const std::string& sFileName, const std::string& sText,
                           FileOutput& Output = SystemFileOutput());

// Removes the temporary files that ReplaceFileAtomically leaves beside these files when the
// process is killed between creating and renaming one. For start-up, before anything is written.
void RemoveLeftoverTemporaries(const std::vector<std::string>& FileNames);

// Classic 16-bytes-per-line dump: n div 16 + 1 lines, each ended by CR LF.
std::string HexDump(const std::string& sData);

}  // namespace brix32
