#include "DateTime.h"

#include <gtest/gtest.h>

#include <clocale>

#include "ProgramFacts.h"

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

TEST(DateTime, TestClockReplacesNow) {
    const TDateTime fixed = EncodeDateTime({2026, 3, 1, 23, 59, 59, 500});
    SetClockForTesting([fixed] { return fixed; });
    EXPECT_EQ(Now(), fixed);
    EXPECT_EQ(FormatYyyymmdd(Now()), "20260301");
    SetClockForTesting(nullptr);
    EXPECT_NE(Now(), fixed);
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
