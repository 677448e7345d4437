#include "support/DateTime.h"

#include <langinfo.h>
#include <time.h>

#include <cmath>
#include <cstdio>
#include <ctime>

namespace brix32 {
namespace {

constexpr std::int64_t kMsPerDay = 86400000;

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

const std::int64_t kEpochOffsetDays = DaysFromCivil(1899, 12, 30);

struct tm ToTm(TDateTime Value) {
    const tDateTimeParts p = DecodeDateTime(Value);
    struct tm t = {};
    t.tm_year = p.Year - 1900;
    t.tm_mon = p.Month - 1;
    t.tm_mday = p.Day;
    t.tm_hour = p.Hour;
    t.tm_min = p.Minute;
    t.tm_sec = p.Second;
    t.tm_isdst = -1;
    // strftime's %a/%A need the weekday; days since 1970-01-01 was a Thursday.
    const std::int64_t days = DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day));
    t.tm_wday = static_cast<int>(((days % 7) + 11) % 7);
    return t;
}

std::string Strftime(const char* format, const struct tm& t) {
    char buffer[128];
    const std::size_t n = std::strftime(buffer, sizeof buffer, format, &t);
    return std::string(buffer, n);
}

std::string ReadThousandsSeparator() {
    const char* sep = nl_langinfo(THOUSEP);
    if (sep == nullptr || *sep == '\0') return ",";
    return sep;
}

std::string& CachedSeparator() {
    static std::string separator = ReadThousandsSeparator();
    return separator;
}

}  // namespace

TDateTime EncodeDateTime(const tDateTimeParts& Parts) {
    const std::int64_t days =
        DaysFromCivil(Parts.Year, static_cast<unsigned>(Parts.Month), static_cast<unsigned>(Parts.Day)) -
        kEpochOffsetDays;
    const std::int64_t ms =
        ((static_cast<std::int64_t>(Parts.Hour) * 60 + Parts.Minute) * 60 + Parts.Second) * 1000 + Parts.MilliSecond;
    return static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
}

namespace {

struct tDaySplit {
    std::int64_t Days;
    std::int64_t Ms;
};

tDaySplit SplitDays(TDateTime Value) {
    // Round to the millisecond first, so 0.999999 days do not print as 23:59:59.
    const std::int64_t totalMs = std::llround(Value * kMsPerDay);
    std::int64_t days = totalMs / kMsPerDay;
    std::int64_t ms = totalMs % kMsPerDay;
    if (ms < 0) {
        ms += kMsPerDay;
        days -= 1;
    }
    return {days, ms};
}

}  // namespace

std::int64_t DayNumber(TDateTime Value) { return SplitDays(Value).Days; }

tDateTimeParts DecodeDateTime(TDateTime Value) {
    const auto [days, ms] = SplitDays(Value);
    tDateTimeParts p;
    CivilFromDays(days + kEpochOffsetDays, p.Year, p.Month, p.Day);
    p.Hour = static_cast<int>(ms / 3600000);
    p.Minute = static_cast<int>(ms / 60000 % 60);
    p.Second = static_cast<int>(ms / 1000 % 60);
    p.MilliSecond = static_cast<int>(ms % 1000);
    return p;
}

TDateTime Now() {
    struct timespec ts = {};
    clock_gettime(CLOCK_REALTIME, &ts);
    // The collector asks for the time once per flow; the local date and time of a whole second are
    // the same for all its calls, so the time zone is consulted once per second and thread.
    thread_local time_t cachedSecond = -1;
    thread_local tDateTimeParts p;
    if (ts.tv_sec != cachedSecond) {
        struct tm local = {};
        localtime_r(&ts.tv_sec, &local);
        p.Year = local.tm_year + 1900;
        p.Month = local.tm_mon + 1;
        p.Day = local.tm_mday;
        p.Hour = local.tm_hour;
        p.Minute = local.tm_min;
        p.Second = local.tm_sec;
        cachedSecond = ts.tv_sec;
    }
    p.MilliSecond = static_cast<int>(ts.tv_nsec / 1000000);
    return EncodeDateTime(p);
}

std::string FormatShortDate(TDateTime Value) { return Strftime("%x", ToTm(Value)); }

std::string FormatLongTime(TDateTime Value) { return Strftime("%X", ToTm(Value)); }

std::string FormatYyyymmdd(TDateTime Value) {
    const tDateTimeParts p = DecodeDateTime(Value);
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", p.Year, p.Month, p.Day);
    return buffer;
}

const std::string& ThousandsSeparator() { return CachedSeparator(); }

void RefreshLocaleFormats() { CachedSeparator() = ReadThousandsSeparator(); }

}  // namespace brix32
