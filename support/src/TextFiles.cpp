#include "support/TextFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace brix32 {

namespace {

class PlainWrite : public FileOutput {
  public:
    long Write(int Fd, const char* Data, std::size_t Size) override { return ::write(Fd, Data, Size); }
};

// Temporary names end in this marker and 16 random hexadecimal digits, which nobody can guess
// in advance to plant a link under, and which start-up recognises as leftovers.
constexpr const char* kTemporaryMarker = ".tmp-";
constexpr std::size_t kTemporaryDigits = 16;

std::string TemporaryNameFor(const std::string& sFileName) {
    unsigned char random[kTemporaryDigits / 2];
    std::size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::string();
        got += static_cast<std::size_t>(n);
    }
    static const char kHex[] = "0123456789abcdef";
    std::string name = sFileName + kTemporaryMarker;
    for (unsigned char b : random) {
        name += kHex[b >> 4];
        name += kHex[b & 0x0F];
    }
    return name;
}

bool IsTemporaryOf(const std::string& sEntry, const std::string& sFileName) {
    const std::string prefix = sFileName + kTemporaryMarker;
    if (sEntry.size() != prefix.size() + kTemporaryDigits || sEntry.compare(0, prefix.size(), prefix) != 0)
        return false;
    return sEntry.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

}  // namespace

FileOutput& SystemFileOutput() {
    static PlainWrite Output;
    return Output;
}

int WriteAll(int Fd, const char* Data, std::size_t Size, FileOutput& Output) {
    while (Size > 0) {
        const long n = Output.Write(Fd, Data, Size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // A write that takes nothing would loop forever; the disk is as good as full.
        if (n == 0) return ENOSPC;
        Data += n;
        Size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int OpenOutputFile(const std::string& sFileName, int Flags, struct stat* Status) {
    // Truncating before the type is known would empty whatever the name stands for.
    const bool truncate = (Flags & O_TRUNC) != 0;
    const int fd = ::open(sFileName.c_str(), (Flags & ~O_TRUNC) | O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    struct stat st;
    int error = ::fstat(fd, &st) == 0 ? 0 : errno;
    if (error == 0 && !S_ISREG(st.st_mode)) error = ENXIO;
    if (error == 0 && truncate && st.st_size != 0) {
        if (::ftruncate(fd, 0) == 0)
            st.st_size = 0;
        else
            error = errno;
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    if (Status != nullptr) *Status = st;
    return fd;
}

std::string OutputErrorText(int Errno) {
    if (Errno == ENXIO) return "Not a regular file";
    return std::strerror(Errno);
}

bool AppendToTextFile(const std::string& sText, const std::string& sFileName, bool bAppend, AfterClose Check) {
    // unlink() on a missing file fails harmlessly, so no existence test is needed first.
    if (!bAppend) ::unlink(sFileName.c_str());
    if (sText.empty()) return true;

    // "Open at the end if it exists, create it otherwise" is one open() with O_APPEND | O_CREAT; a
    // replacing call whose deletion failed therefore adds its text at the end of the old file. This
    // runs once per CSV line, so every path lookup saved counts.
    const int fd = OpenOutputFile(sFileName, O_APPEND | O_CREAT);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, sText.data(), sText.size()) == 0;
    // "Exists after closing": the file we wrote is gone only if someone unlinked it meanwhile,
    // which its link count tells without another lookup by name.
    struct stat st;
    const bool linked = Check == AfterClose::Skip || (::fstat(fd, &st) == 0 && st.st_nlink > 0);
    const bool closed = ::close(fd) == 0;
    return written && closed && linked;
}

bool AppendWhole(std::string_view sText, const std::string& sFileName, FileOutput& Output) {
    if (sText.empty()) return true;
    // Only the listener thread appends to these files, so the length before the write is the
    // length to go back to; another program appending meanwhile would break no line of ours.
    struct stat before;
    const int fd = OpenOutputFile(sFileName, O_APPEND | O_CREAT, &before);
    if (fd < 0) return false;
    int error = WriteAll(fd, sText.data(), sText.size(), Output);
    if (error != 0) (void)!::ftruncate(fd, before.st_size);
    if (::close(fd) != 0 && error == 0) error = errno;
    // The caller tells the operator why: errno is that of the step that failed, not of the clean-up.
    errno = error;
    return error == 0;
}

bool ReplaceFileAtomically(const std::string& sFileName, const std::string& sText, FileOutput& Output) {
    const std::string temporary = TemporaryNameFor(sFileName);
    if (temporary.empty()) return false;
    // O_CREAT | O_EXCL only ever makes a new regular file and never opens what is planted under the
    // name, so the type check of OpenOutputFile would cost a call per trace for nothing.
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, sText.data(), sText.size(), Output) == 0;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    // Swapping the two names is as atomic for a reader as renaming over the old file, but ext4
    // flushes the new file's data on a rename that replaces a file, which costs a trace-sized write
    // to disk per datagram; after the swap the old content is simply unlinked. Where the old file is
    // missing or the swap is not supported, a plain rename does.
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, sFileName.c_str(), RENAME_EXCHANGE) == 0) {
        ::unlink(temporary.c_str());
        return true;
    }
    if (std::rename(temporary.c_str(), sFileName.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

void RemoveLeftoverTemporaries(const std::vector<std::string>& FileNames) {
    for (const std::string& name : FileNames) {
        // The fixed name earlier versions used.
        ::unlink((name + ".tmp").c_str());
    }
    DIR* dir = ::opendir(".");
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string entryName = entry->d_name;
        for (const std::string& name : FileNames) {
            if (name.find('/') == std::string::npos && IsTemporaryOf(entryName, name)) {
                ::unlink(entryName.c_str());
                break;
            }
        }
    }
    ::closedir(dir);
}

std::string HexDump(const std::string& sData) {
    static const char kHex[] = "0123456789ABCDEF";
    const std::size_t n = sData.size();
    const std::size_t lines = n / 16 + 1;
    std::string out;
    out.reserve(lines * 80);
    char offset[24];
    for (std::size_t k = 0; k < lines; ++k) {
        const std::size_t first = 16 * k;
        const int len = std::snprintf(offset, sizeof offset, "%04zX:", first + 1);
        out.append(offset, static_cast<std::size_t>(len));
        for (std::size_t j = 0; j < 16; ++j) {
            const std::size_t i = first + j;
            if (i < n) {
                const unsigned char b = static_cast<unsigned char>(sData[i]);
                out += ' ';
                out += kHex[b >> 4];
                out += kHex[b & 0x0F];
            } else {
                out += "   ";
            }
            if (j == 7) out += ' ';
        }
        out += "  ";
        for (std::size_t j = 0; j < 16; ++j) {
            const std::size_t i = first + j;
            if (i < n) {
                const unsigned char b = static_cast<unsigned char>(sData[i]);
                out += (b >= 32 && b <= 128) ? static_cast<char>(b) : '.';
            } else {
                out += ' ';
            }
            if (j == 7) out += ' ';
        }
        out += "\r\n";
    }
    return out;
}

}  // namespace brix32
