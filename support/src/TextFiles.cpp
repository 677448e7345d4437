#include "support/TextFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "WriteAll.h"

namespace brix32 {

int WriteAll(int Fd, const char* Data, std::size_t Size) {
    while (Size > 0) {
        const ssize_t n = ::write(Fd, Data, Size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        Data += n;
        Size -= static_cast<std::size_t>(n);
    }
    return 0;
}

bool AppendToTextFile(const std::string& sText, const std::string& sFileName, bool bAppend, AfterClose Check) {
    // unlink() on a missing file fails harmlessly, so no existence test is needed first.
    if (!bAppend) ::unlink(sFileName.c_str());
    if (sText.empty()) return true;

    // "Open at the end if it exists, create it otherwise" is one open() with O_APPEND | O_CREAT; a
    // replacing call whose deletion failed therefore adds its text at the end of the old file. This
    // runs once per CSV line, so every path lookup saved counts.
    const int fd = ::open(sFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, sText.data(), sText.size()) == 0;
    // "Exists after closing": the file we wrote is gone only if someone unlinked it meanwhile,
    // which its link count tells without another lookup by name.
    struct stat st;
    const bool linked = Check == AfterClose::Skip || (::fstat(fd, &st) == 0 && st.st_nlink > 0);
    const bool closed = ::close(fd) == 0;
    return written && closed && linked;
}

bool ReplaceFileAtomically(const std::string& sFileName, const std::string& sText) {
    const std::string temporary = sFileName + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, sText.data(), sText.size()) == 0;
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
