#include "TextFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace brix32 {
namespace {

bool FileExists(const std::string& sFileName) {
    struct stat st;
    return ::stat(sFileName.c_str(), &st) == 0;
}

bool WriteAll(int fd, const std::string& sText) {
    const char* p = sText.data();
    std::size_t left = sText.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool AppendToTextFile(const std::string& sText, const std::string& sFileName, bool bAppend) {
    if (!bAppend && FileExists(sFileName)) ::unlink(sFileName.c_str());
    if (sText.empty()) return true;

    // A replacing call whose deletion failed finds the file still there and appends to it.
    const int flags = FileExists(sFileName) ? (O_WRONLY | O_APPEND) : (O_WRONLY | O_APPEND | O_CREAT);
    const int fd = ::open(sFileName.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = WriteAll(fd, sText);
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) return false;
    return FileExists(sFileName);
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
