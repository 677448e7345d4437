// The display lines under real locales: the separator is the locale's, the columns are counted in
// characters also when it is a multi-byte one, and the CSV line never changes.
#include <gtest/gtest.h>

#include <string>

#include "FlowLines.h"
#include "ScopedLocale.h"
#include "support/DateTime.h"

namespace {

netflowlib::tNetflowV5 V5(std::uint32_t Octets) {
    netflowlib::tNetflowV5 r;
    r.First = 1000;
    r.Last = 5000;
    r.srcaddr = "10.0.0.1";
    r.srcport = 1234;
    r.dstaddr = "192.168.1.20";
    r.dstport = 80;
    r.prot = 6;
    r.dOctets = Octets;
    return r;
}

netflowlib::tNetflowV9 V9(std::int32_t Bytes) {
    netflowlib::tNetflowV9 r;
    r.IPV4_SRC_ADDR = "10.0.0.1";
    r.L4_SRC_PORT = 1234;
    r.IPV4_DST_ADDR = "192.168.1.20";
    r.L4_DST_PORT = 80;
    r.PROTOCOL = 17;
    r.IN_BYTES = Bytes;
    return r;
}

struct Expected {
    const char* Locale;
    const char* Separator;
};

class FlowLinesLocale : public ::testing::TestWithParam<Expected> {};

TEST_P(FlowLinesLocale, SeparatorIsTheLocalesAndColumnsCountCharacters) {
    const ScopedLocale locale(GetParam().Locale);
    if (!locale.Available()) GTEST_SKIP() << GetParam().Locale << " is not generated on this machine";
    const std::string sep = GetParam().Separator;
    ASSERT_EQ(brix32::ThousandsSeparator(), sep);

    // Counts of up to seven characters end in the byte column, 88 or 58, whatever the separator's
    // bytes; longer ones follow "] " directly.
    const std::string v5 = flowlines::V5DisplayLine(V5(123456), sep);
    EXPECT_EQ(flowlines::CharacterCount(v5), 88u) << v5;
    EXPECT_EQ(v5.substr(0, 81), flowlines::V5DisplayLine(V5(123456), ",").substr(0, 81));
    EXPECT_EQ(v5.substr(81), "123" + sep + "456");
    const std::string v5max = flowlines::V5DisplayLine(V5(4294967295u), sep);
    EXPECT_EQ(flowlines::CharacterCount(v5max), 94u) << v5max;
    EXPECT_EQ(v5max.substr(81), "4" + sep + "294" + sep + "967" + sep + "295");

    const std::string v9 = flowlines::V9DisplayLine(V9(1500), sep);
    EXPECT_EQ(flowlines::CharacterCount(v9), 58u) << v9;
    EXPECT_EQ(v9.substr(49), "] " + std::string(2, ' ') + "1" + sep + "500");
    EXPECT_EQ(flowlines::CharacterCount(flowlines::V9DisplayLine(V9(123456), sep)), 58u);
    const std::string v9min = flowlines::V9DisplayLine(V9(-2147483647 - 1), sep);
    EXPECT_EQ(flowlines::CharacterCount(v9min), 65u) << v9min;
    EXPECT_EQ(v9min.substr(51), "-2" + sep + "147" + sep + "483" + sep + "648");

    EXPECT_EQ(flowlines::V5CsvLine(V5(4294967295u)), "1000,4294963296,10.0.0.1,1234,192.168.1.20,80,6,4294967295\r\n");
    EXPECT_EQ(flowlines::V9CsvLine(V9(1500)), "10.0.0.1,1234,192.168.1.20,80,17,1500,1500\r\n");
}

INSTANTIATE_TEST_SUITE_P(Locales, FlowLinesLocale,
                         ::testing::Values(Expected{"C", ","}, Expected{"en_US.UTF-8", ","},
                                           Expected{"de_DE.UTF-8", "."}, Expected{"fr_FR.UTF-8", "\u202f"}),
                         [](const ::testing::TestParamInfo<Expected>& Info) {
                             std::string name = Info.param.Locale;
                             for (char& c : name) {
                                 if (c == '.' || c == '-') c = '_';
                             }
                             return name;
                         });

// Bytes a UTF-8 sequence would continue with are single characters in a single-byte codeset.
TEST(FlowLinesCharacters, CountCodePointsOnlyInAUtf8Locale) {
    const std::string nbsp = "\xc2\xa0";
    {
        const ScopedLocale c("C");
        EXPECT_FALSE(flowlines::LocaleCodesetIsUtf8());
        EXPECT_EQ(flowlines::CharacterCount("1" + nbsp + "000"), 6u);
    }
    const ScopedLocale utf8("C.UTF-8");
    if (!utf8.Available()) GTEST_SKIP() << "C.UTF-8 is missing";
    EXPECT_TRUE(flowlines::LocaleCodesetIsUtf8());
    EXPECT_EQ(flowlines::CharacterCount("1" + nbsp + "000"), 5u);
    EXPECT_EQ(flowlines::CharacterCount("1\u202f000\u202f000"), 9u);
    std::string line = "ab\u202f";
    flowlines::FillToColumn(line, 5);
    EXPECT_EQ(line, "ab\u202f  ");
    flowlines::AppendRightAligned(line, "1\u202f000", 12);
    EXPECT_EQ(line, "ab\u202f  " + std::string(2, ' ') + "1\u202f000");
}

}  // namespace
