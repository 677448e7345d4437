#include "StatusWords.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>

#include "FlowLines.h"

namespace statuswords {

std::int64_t SystemNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SayOnStandardError(const std::string& Line) {
    std::fprintf(stderr, "%s\n", Line.c_str());
    std::fflush(stderr);
}

std::string LocalClock(std::int64_t Ms, const char* Format) {
    const std::time_t seconds = static_cast<std::time_t>(Ms / 1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::strftime(text, sizeof text, Format, &local);
    return text;
}

std::string Grouped(std::uint64_t Value) {
    return flowlines::FormatThousands(static_cast<std::int64_t>(std::min<std::uint64_t>(Value, INT64_MAX)), ",");
}

}  // namespace statuswords
