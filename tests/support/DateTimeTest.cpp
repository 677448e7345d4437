#include <gtest/gtest.h>

#include <clocale>
#include <ctime>

#include "support/DateTime.h"
#include "support/ProgramFacts.h"

namespace brix32 {
namespace {

TEST(DateTime, EncodeAndDecodeRoundTrip) {
    EXPECT_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
    EXPECT_EQ(EncodeDateTime({1900, 1, 1, 0, 0, 0, 0}), 2.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime({2026, 1, 6, 12, 0, 0, 0}), 46028.5);

    const tDateTimeParts in{2026, 1, 6, 14, 3, 4, 5};
    const tDateTimeParts out = DecodeDateTime(EncodeDateTime(in));
    EXPECT_EQ(out.Year, 2026);
    EXPECT_EQ(out.Month, 1);
    EXPECT_EQ(out.Day, 6);
    EXPECT_EQ(out.Hour, 14);
    EXPECT_EQ(out.Minute, 3);
    EXPECT_EQ(out.Second, 4);
    EXPECT_EQ(out.MilliSecond, 5);

    // A leap day and the last millisecond of a day survive the trip through a double.
    const tDateTimeParts edge = DecodeDateTime(EncodeDateTime({2024, 2, 29, 23, 59, 59, 999}));
    EXPECT_EQ(edge.Month, 2);
    EXPECT_EQ(edge.Day, 29);
    EXPECT_EQ(edge.Hour, 23);
    EXPECT_EQ(edge.MilliSecond, 999);
}

TEST(DateTime, DayNumberChangesExactlyWithTheDate) {
    const auto dayOf = [](const tDateTimeParts& Parts) { return DayNumber(EncodeDateTime(Parts)); };
    EXPECT_EQ(dayOf({1899, 12, 30, 0, 0, 0, 0}), 0);
    EXPECT_EQ(dayOf({2026, 3, 1, 23, 59, 59, 999}), dayOf({2026, 3, 1, 0, 0, 0, 0}));
    EXPECT_EQ(dayOf({2026, 3, 2, 0, 0, 0, 0}), dayOf({2026, 3, 1, 23, 59, 59, 999}) + 1);
    // Half a millisecond before midnight reads as midnight, for the date as for the day number.
    const TDateTime almost = EncodeDateTime({2026, 3, 2, 0, 0, 0, 0}) - 0.4 / 86400000.0;
    EXPECT_EQ(DecodeDateTime(almost).Day, 2);
    EXPECT_EQ(DayNumber(almost), dayOf({2026, 3, 2, 0, 0, 0, 0}));
    // Before 1899-12-30 the time of day still counts forward from the day's start.
    EXPECT_EQ(dayOf({1899, 12, 29, 18, 0, 0, 0}), -1);
    EXPECT_EQ(DecodeDateTime(-0.75).Day, 29);
    EXPECT_EQ(DayNumber(-0.75), -1);
}

TEST(DateTime, NowIsTheLocalTimeOfTheSystemClock) {
    // Several calls in a row, so that the ones served from the same second are compared too.
    for (int i = 0; i < 3; ++i) {
        const std::time_t before = std::time(nullptr);
        const TDateTime now = Now();
        const std::time_t after = std::time(nullptr);
        std::tm local{};
        localtime_r(&before, &local);
        const TDateTime low = EncodeDateTime(
            {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, 0});
        localtime_r(&after, &local);
        const TDateTime high = EncodeDateTime(
            {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, 999});
        EXPECT_GE(now, low);
        EXPECT_LE(now, high);
    }
}

TEST(DateTime, TextInTheCLocale) {
    std::setlocale(LC_ALL, "C");
    RefreshLocaleFormats();
    const TDateTime noon = EncodeDateTime({2026, 1, 6, 14, 3, 4, 5});
    EXPECT_EQ(FormatShortDate(noon), "01/06/26");
    EXPECT_EQ(FormatLongTime(noon), "14:03:04");
    EXPECT_EQ(DateTimeText(noon), "01/06/26 14:03:04");
    // At exactly midnight the time is left out; 0 means no date at all.
    EXPECT_EQ(DateTimeText(EncodeDateTime({2026, 1, 6, 0, 0, 0, 0})), "01/06/26");
    EXPECT_EQ(DateTimeText(0), "");
}

TEST(DateTime, ThousandsSeparatorFallsBackToComma) {
    std::setlocale(LC_ALL, "C");
    RefreshLocaleFormats();
    EXPECT_EQ(ThousandsSeparator(), ",");
}

}  // namespace
}  // namespace brix32
