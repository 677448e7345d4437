#include <gtest/gtest.h>

#include "FlowLines.h"

namespace {

using netflowlib::tNetflowV5;
using netflowlib::tNetflowV9;

tNetflowV5 V5(std::uint32_t first, std::uint32_t last, std::string src, std::uint16_t sport, std::string dst,
              std::uint16_t dport, std::uint8_t prot, std::uint32_t octets) {
    tNetflowV5 r;
    r.First = first;
    r.Last = last;
    r.srcaddr = std::move(src);
    r.srcport = sport;
    r.dstaddr = std::move(dst);
    r.dstport = dport;
    r.prot = prot;
    r.dOctets = octets;
    return r;
}

tNetflowV9 V9(std::string src, int sport, std::string dst, int dport, int proto, std::int32_t bytes) {
    tNetflowV9 r;
    r.IPV4_SRC_ADDR = std::move(src);
    r.L4_SRC_PORT = sport;
    r.IPV4_DST_ADDR = std::move(dst);
    r.L4_DST_PORT = dport;
    r.PROTOCOL = proto;
    r.IN_BYTES = bytes;
    return r;
}

TEST(FlowLines, WorkedExampleVersion5) {
    const tNetflowV5 r = V5(1000, 5000, "10.0.0.1", 1234, "192.168.1.20", 80, 6, 123456);
    const std::string line = flowlines::V5DisplayLine(r, ",");
    EXPECT_EQ(line, "1000 4294963296" + std::string(5, ' ') + "10.0.0.1(1234)" + std::string(18, ' ') +
                        "->192.168.1.20(80)" + std::string(6, ' ') + "[6 ] 123,456");
    ASSERT_EQ(line.size(), 88u);
    EXPECT_EQ(line.substr(20, 14), "10.0.0.1(1234)");
    EXPECT_EQ(line.substr(52, 18), "->192.168.1.20(80)");
    EXPECT_EQ(line.substr(76, 2), "[6");
    EXPECT_EQ(flowlines::V5CsvLine(r), "1000,4294963296,10.0.0.1,1234,192.168.1.20,80,6,123456\r\n");
}

TEST(FlowLines, WorkedExampleVersion9) {
    const tNetflowV9 r = V9("10.0.0.1", 1234, "192.168.1.20", 80, 17, 1500);
    const std::string line = flowlines::V9DisplayLine(r, ",");
    EXPECT_EQ(line, "10.0.0.1(1234)        ->192.168.1.20(80)      [17]   1,500");
    EXPECT_EQ(line.size(), 58u);
    EXPECT_EQ(flowlines::V9CsvLine(r), "10.0.0.1,1234,192.168.1.20,80,17,1500,1500\r\n");
}

TEST(FlowLines, Version5ColumnsAtTheirLimits) {
    // Two ten-digit numbers make a 21-character first piece: nothing is cut, the address follows.
    const tNetflowV5 longTimes = V5(4000000000u, 1000, "10.0.0.1", 1, "10.0.0.2", 2, 6, 1);
    EXPECT_EQ(flowlines::V5DisplayLine(longTimes, ",").substr(0, 30), "4000000000 399999900010.0.0.1(");

    // Fifteen-character addresses with five-digit ports fill their columns exactly.
    const tNetflowV5 wide = V5(1, 1, "255.255.255.255", 65535, "255.255.255.254", 65534, 255, 4294967295u);
    const std::string line = flowlines::V5DisplayLine(wide, ",");
    EXPECT_EQ(line.substr(20, 22), "255.255.255.255(65535)");
    EXPECT_EQ(line.substr(52, 24), "->255.255.255.254(65534)");
    EXPECT_EQ(line[76], '[');
    EXPECT_EQ(line.substr(76, 6), "[255] ");
    // The widest byte count still ends at column 88, shown unsigned with separators.
    EXPECT_EQ(line.substr(line.size() - 13), "4,294,967,295");
    EXPECT_EQ(line.size(), 95u);
    EXPECT_EQ(flowlines::V5CsvLine(wide), "1,0,255.255.255.255,65535,255.255.255.254,65534,255,4294967295\r\n");

    // First - Last is taken modulo 2^32: equal gives 0, Last one higher gives 4294967295.
    EXPECT_EQ(flowlines::V5CsvLine(V5(7, 7, "a", 0, "b", 0, 0, 0)).substr(0, 4), "7,0,");
    EXPECT_EQ(flowlines::V5CsvLine(V5(7, 8, "a", 0, "b", 0, 0, 0)).substr(0, 13), "7,4294967295,");
}

TEST(FlowLines, Version9ColumnsAtTheirLimits) {
    const tNetflowV9 wide = V9("255.255.255.255", 65535, "255.255.255.254", 65534, 255, 12);
    const std::string line = flowlines::V9DisplayLine(wide, ",");
    EXPECT_EQ(line.substr(0, 22), "255.255.255.255(65535)");
    EXPECT_EQ(line.substr(22, 24), "->255.255.255.254(65534)");
    // A three-digit protocol ends at column 50, one past 49, and "] " follows directly.
    EXPECT_EQ(line.substr(46, 6), "[255] ");
    EXPECT_EQ(line.substr(52), "    12");

    // Byte counts of 2^31 and more are held negative and shown with their minus sign.
    const tNetflowV9 negative = V9("10.0.0.1", 1, "10.0.0.2", 2, 6, INT32_MIN);
    EXPECT_EQ(flowlines::V9DisplayLine(negative, ",").substr(51), "-2,147,483,648");
    EXPECT_EQ(flowlines::V9CsvLine(negative), "10.0.0.1,1,10.0.0.2,2,6,-2147483648,-2147483648\r\n");
}

TEST(FlowLines, ReusedBuffersHoldOnlyTheNewLine) {
    const tNetflowV5 wide = V5(4294967295u, 0, "255.255.255.255", 65535, "255.255.255.255", 65535, 255, 4294967295u);
    const tNetflowV5 narrow = V5(0, 0, "1.2.3.4", 1, "5.6.7.8", 2, 6, 0);
    std::string display;
    std::string csv;
    for (const tNetflowV5* r : {&wide, &narrow}) {
        flowlines::BuildV5DisplayLine(display, *r, ",");
        flowlines::BuildV5CsvLine(csv, *r);
        EXPECT_EQ(display, flowlines::V5DisplayLine(*r, ","));
        EXPECT_EQ(csv, flowlines::V5CsvLine(*r));
    }
    const tNetflowV9 wide9 = V9("255.255.255.255", 65535, "255.255.255.255", 65535, 255, -2147483647 - 1);
    const tNetflowV9 narrow9 = V9("1.2.3.4", 1, "5.6.7.8", 2, 17, 1);
    for (const tNetflowV9* r : {&wide9, &narrow9}) {
        flowlines::BuildV9DisplayLine(display, *r, ".");
        flowlines::BuildV9CsvLine(csv, *r);
        EXPECT_EQ(display, flowlines::V9DisplayLine(*r, "."));
        EXPECT_EQ(csv, flowlines::V9CsvLine(*r));
    }
}

TEST(FlowLines, ThousandsGrouping) {
    EXPECT_EQ(flowlines::FormatThousands(0, ","), "0");
    EXPECT_EQ(flowlines::FormatThousands(999, ","), "999");
    EXPECT_EQ(flowlines::FormatThousands(1000, ","), "1,000");
    EXPECT_EQ(flowlines::FormatThousands(-1000, ","), "-1,000");
    EXPECT_EQ(flowlines::FormatThousands(-100, ","), "-100");
    EXPECT_EQ(flowlines::FormatThousands(1234567, "."), "1.234.567");
    // A multi-byte separator (a narrow no-break space in some locales) is kept whole.
    EXPECT_EQ(flowlines::FormatThousands(1234567, "\xE2\x80\xAF"),
              "1\xE2\x80\xAF"
              "234\xE2\x80\xAF"
              "567");
}

TEST(FlowLines, DailyFileNameFollowsTheLocalDay) {
    EXPECT_EQ(flowlines::DailyFileName(brix32::EncodeDateTime({2026, 3, 1, 0, 0, 0, 0})), "NetFlow-20260301.csv");
    EXPECT_EQ(flowlines::DailyFileName(brix32::EncodeDateTime({2026, 12, 31, 23, 59, 59, 999})),
              "NetFlow-20261231.csv");
}

TEST(FlowLines, TheFlowFormGivesTheRecordsLinesAndLongTextsStayWhole) {
    const tNetflowV5 v5 = V5(4294967295u, 1, "255.255.255.255", 65535, "0.0.0.0", 0, 255, 4294967295u);
    const tNetflowV9 v9 = V9("10.0.0.1", -1, "10.0.0.2", 70000, 300, INT32_MIN);
    flowlines::DisplayFlow flow;
    std::string line;
    ASSERT_TRUE(flowlines::MakeDisplayFlow(v5, flow));
    flowlines::BuildDisplayLine(line, flow, "\xE2\x80\xAF");
    EXPECT_EQ(line, flowlines::V5DisplayLine(v5, "\xE2\x80\xAF"));
    EXPECT_LE(flowlines::LeastDisplayWidth(flow), line.size());
    ASSERT_TRUE(flowlines::MakeDisplayFlow(v9, flow));
    flowlines::BuildDisplayLine(line, flow, ".");
    EXPECT_EQ(line, flowlines::V9DisplayLine(v9, "."));
    EXPECT_EQ(flowlines::LeastDisplayWidth(flow), 58u);

    // A hand-made record may hold any text: it has no flow form, and its lines keep it whole.
    const std::string longText(300, '7');
    const tNetflowV9 odd = V9(longText, 1, "10.0.0.2", 2, 6, 5);
    EXPECT_FALSE(flowlines::MakeDisplayFlow(odd, flow));
    EXPECT_EQ(flowlines::V9CsvLine(odd), longText + ",1,10.0.0.2,2,6,5,5\r\n");
    EXPECT_EQ(flowlines::V9DisplayLine(odd, ",").substr(0, 303), longText + "(1)");
    const tNetflowV5 odd5 = V5(1, 1, "1.2.3.4", 1, longText, 2, 6, 5);
    EXPECT_EQ(flowlines::V5CsvLine(odd5), "1,0,1.2.3.4,1," + longText + ",2,6,5\r\n");
}

}  // namespace
