#include "support/ProgramFacts.h"

#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "VersionMark.h"

namespace brix32 {
namespace {

// The key is split so that this translation unit's own search literal never forms a whole mark.
#define NFC_VERSION_KEY \
    "NFC-FILE-VERSION"  \
    "="

// Kept in every executable that links the version service, whether or not it is called.
extern "C" __attribute__((used)) const char kNfcFileVersionMark[] = NFC_VERSION_KEY NFC_FILE_VERSION;

std::string RunningExecutable() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool ParseVersionNumber(const std::string& s, std::size_t& pos, unsigned& value) {
    const std::size_t start = pos;
    value = 0;
    while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos])) && pos - start < 5) {
        value = value * 10 + static_cast<unsigned>(s[pos] - '0');
        ++pos;
    }
    return pos > start && value <= 0xFFFF;
}

}  // namespace

namespace facts {

std::string DirectoryPart(const std::string& sModuleFileName, char Separator) {
    std::string dir;
    const std::size_t last = sModuleFileName.find_last_of(std::string{Separator, ':'});
    if (last != std::string::npos) dir = sModuleFileName.substr(0, last + 1);
    static const std::string kLongPathPrefix = "\\\\?\\";
    if (dir.compare(0, kLongPathPrefix.size(), kLongPathPrefix) == 0) dir.erase(0, kLongPathPrefix.size());
    if (dir.empty() || dir.back() != Separator) dir += Separator;
    return dir;
}

tMachineUpTime UpTimeFromTicks(std::uint32_t Ticks) {
    constexpr std::uint32_t kWeek = 604800000, kDay = 86400000, kHour = 3600000, kMinute = 60000;
    std::uint32_t rest = Ticks;
    const std::uint32_t w = rest / kWeek;
    rest -= w * kWeek;
    const std::uint32_t d = rest / kDay;
    rest -= d * kDay;
    const std::uint32_t h = rest / kHour;
    rest -= h * kHour;
    const std::uint32_t m = rest / kMinute;
    rest -= m * kMinute;
    const std::uint32_t s = rest / 1000;

    tMachineUpTime up;
    up.UpTimeText = std::to_string(w) + "w" + std::to_string(d) + "d" + std::to_string(h) + "h" + std::to_string(m) +
                    "m" + std::to_string(s) + "s";
    up.TickCount = Ticks;
    up.UpTimeDays = (7.0 * w + d) + h / 24.0 + m / 1440.0 + s / 86400.0;
    return up;
}

std::string FindVersionMark(const std::string& sBytes) {
    static const std::string kKey = NFC_VERSION_KEY;
    for (std::size_t at = sBytes.find(kKey); at != std::string::npos; at = sBytes.find(kKey, at + 1)) {
        std::size_t pos = at + kKey.size();
        unsigned parts[4];
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) {
            ok = ParseVersionNumber(sBytes, pos, parts[i]);
            if (ok && i < 3) ok = pos < sBytes.size() && sBytes[pos++] == '.';
        }
        if (ok && (pos == sBytes.size() || sBytes[pos] == '\0')) {
            return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
                   std::to_string(parts[3]);
        }
    }
    return {};
}

const char* EmbeddedVersionMark() { return kNfcFileVersionMark; }

}  // namespace facts

std::string GetVersionString(const std::string& sFileName) {
    const std::string path = sFileName.empty() ? RunningExecutable() : sFileName;
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return facts::FindVersionMark(bytes);
}

std::string GetComputerNameText() {
    char buffer[256] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0) return {};
    return buffer;
}

std::string GetProgramPath(const std::string& sExeName) {
    // Looking other programs up by name is a service nothing here uses.
    if (!sExeName.empty()) return {};
    const std::string exe = RunningExecutable();
    if (exe.empty()) return {};
    return facts::DirectoryPart(exe, '/');
}

std::string GetProgramDir() {
    const std::string dir = GetProgramPath("");
    if (!dir.empty() && chdir(dir.c_str()) != 0) {
        // Relative names then land in the directory that was current at launch.
    }
    return dir;
}

void GetMachineUpTime(tMachineUpTime& UpTime) {
    struct timespec ts = {};
    clock_gettime(CLOCK_BOOTTIME, &ts);
    const std::uint64_t ms =
        static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    UpTime = facts::UpTimeFromTicks(static_cast<std::uint32_t>(ms & 0xFFFFFFFFu));
}

std::string DateTimeText(TDateTime Value) {
    if (Value == 0) return {};
    const tDateTimeParts p = DecodeDateTime(Value);
    std::string text = FormatShortDate(Value);
    if (p.Hour != 0 || p.Minute != 0 || p.Second != 0 || p.MilliSecond != 0) {
        text += ' ';
        text += FormatLongTime(Value);
    }
    return text;
}

}  // namespace brix32
