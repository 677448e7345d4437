#include <gtest/gtest.h>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "TextForms.h"
#include "flowdecode/NetflowV9.h"

using namespace netflowlib;
using namespace fixtures;

namespace {

TEST(AddressTexts, EveryByteValueAndAnyCountInDecimal) {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    const ByteReader Reader(bytes);
    std::string expected;
    for (int b = 0; b < 256; ++b) expected += (b > 0 ? "." : "") + std::to_string(b);
    std::string text = "kept:";
    AppendDotted(text, Reader, 1, 256);
    EXPECT_EQ(text, "kept:" + expected);
    // Bytes past the end read as 0.
    AssignDotted(text, Reader, 254, 5);
    EXPECT_EQ(text, "253.254.255.0.0");
}

class V9Fields : public DecoderTest {
  protected:
    // The field table takes every length a template can give, short and zero ones included; which
    // templates the bounds refuse is tested with the bounds.
    void SetUp() override {
        DecoderTest::SetUp();
        Rig().Bounds.MinRecordLength = 1;
        Rig().Bounds.RefuseZeroLengthFields = false;
    }

    // One template and one record of it in one datagram; the template sits at positions 21 to
    // 28 + 4 x pairs, the data flowset follows and its record starts 4 bytes later.
    tV9Result DecodeRecord(const std::vector<Pair>& Pairs, const std::string& sRecord) {
        return DecodeV9(V9Header(2) + TemplateFlowset(256, Pairs) + Flowset(256, sRecord));
    }

    // The value line of every field in order, "" where the type writes none.
    static std::vector<std::string> ValueLines(const tV9Result& R) {
        std::vector<std::string> Out;
        const std::vector<std::string> Lines = R.Sink.Bare();
        for (std::size_t i = 0; i < Lines.size(); ++i) {
            if (Lines[i].rfind("field=", 0) != 0) continue;
            const std::string& sNext = Lines[i + 1];
            Out.push_back(sNext.rfind("*** iPtrCheck=", 0) == 0 ? "" : sNext);
        }
        return Out;
    }
};

}  // namespace

TEST_F(V9Fields, CountersKeepTheirLow32BitsAsSignedNumbers) {
    // IN_BYTES of 8 bytes: the last four are the value; with the top bit set it is negative.
    auto R = DecodeRecord({{1, 8}, {2, 4}}, Hex("00 00 00 07 80 00 00 01 | FF FF FF FE"));
    EXPECT_EQ(R.Records[0].IN_BYTES, -2147483647);
    EXPECT_EQ(R.Records[0].IN_PKTS, -2);
    EXPECT_EQ(ValueLines(R), (std::vector<std::string>{"IN_BYTES=-2147483647", "InPkts=-2 iPtr=49 255 255 255 254"}));

    // A short IN_BYTES uses its own bytes only, not the ones before it.
    R = DecodeRecord({{4, 1}, {1, 2}, {1, 1}, {1, 0}}, Hex("06 | 01 02 | 03"));
    EXPECT_EQ(R.Records[0].PROTOCOL, 6);
    EXPECT_EQ(R.Records[0].IN_BYTES, 3) << "the zero-length field that came last fills nothing";
    EXPECT_EQ(ValueLines(R)[1], "IN_BYTES=258");
    EXPECT_EQ(ValueLines(R)[2], "IN_BYTES=3");
}

TEST_F(V9Fields, PacketCountTakesTwoOrFourBytesAndItsLineAlwaysShowsFour) {
    auto R = DecodeRecord({{2, 2}, {7, 2}}, Hex("01 00 | 00 50"));
    EXPECT_EQ(R.Records[0].IN_PKTS, 256);
    EXPECT_EQ(ValueLines(R)[0], "InPkts=256 iPtr=41 1 0 0 80");
    for (unsigned Length : {1u, 3u}) {
        ForgetTemplates();
        R = DecodeRecord({{2, Length}}, std::string(Length, '\x09'));
        EXPECT_EQ(R.Records[0].IN_PKTS, 0);
        // The line's four bytes run past the datagram's end; the missing ones show as 0.
        EXPECT_EQ(ValueLines(R)[0], Length == 1 ? "InPkts=0 iPtr=37 9 0 0 0" : "InPkts=0 iPtr=37 9 9 9 0");
    }
}

TEST_F(V9Fields, MasksAsDecimalByteOrDottedAddress) {
    const auto R = DecodeRecord({{9, 1}, {13, 4}, {9, 2}}, Hex("18 | FF FF FF 00 | 01 02"));
    EXPECT_EQ(R.Records[0].SRC_MASK, "24");
    EXPECT_EQ(R.Records[0].DST_MASK, "255.255.255.0");
    EXPECT_EQ(ValueLines(R), (std::vector<std::string>{"SRC_MASK=24", "DST_MASK=255.255.255.0", "SRC_MASK=24"}))
        << "a length of 2 leaves the field and still writes the line";
    EXPECT_EQ(R.Sink.Markers, std::vector<std::string>{"1600"});
}

TEST_F(V9Fields, PortsAndAddressesWithUnexpectedLengths) {
    const auto R = DecodeRecord({{7, 4}, {11, 4}, {8, 16}, {12, 4}, {32, 1}, {61, 2}},
                                Hex("00 16 00 00 | 01 BB 00 00 | 0A 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 |"
                                    "7F 00 00 01 | 03 | 01 05"));
    const tNetflowV9& Rec = R.Records[0];
    EXPECT_EQ(Rec.L4_SRC_PORT, 0) << "a source port must be 2 bytes";
    EXPECT_EQ(Rec.L4_DST_PORT, 443) << "a destination port of any length takes its first two bytes";
    EXPECT_EQ(Rec.IPV4_SRC_ADDR, "");
    EXPECT_EQ(Rec.IPV4_DST_ADDR, "127.0.0.1");
    EXPECT_EQ(Rec.ICMP_TYPE, 0x0301) << "two bytes whatever the length";
    EXPECT_EQ(Rec.DIRECTION, 1);
    EXPECT_EQ(ValueLines(R), (std::vector<std::string>{"L4_SRC_PORT=0", "L4_DST_PORT=443", "IPV4_SRC_ADDR=",
                                                       "IPV4_DST_Addr=127.0.0.1", "ICMP_TYPE=769", "DIRECTION=1"}));
    EXPECT_EQ(R.Sink.Markers, (std::vector<std::string>{"1400", "1500", "2600"}));
}

TEST_F(V9Fields, AnyLengthFieldsAtTheDatagramEndReadMissingBytesAsZero) {
    // Zero-length fields at the very end: their bytes lie beyond the datagram.
    const auto R = DecodeRecord({{4, 1}, {11, 0}, {15, 0}, {61, 0}, {17, 0}}, Hex("06"));
    const tNetflowV9& Rec = R.Records[0];
    EXPECT_EQ(Rec.L4_DST_PORT, 0);
    EXPECT_EQ(Rec.IPV4_NEXT_HOP, "");
    EXPECT_EQ(Rec.DIRECTION, 0);
    EXPECT_EQ(ValueLines(R)[4], "DST_AS [36]=0");
}

TEST_F(V9Fields, Ipv6SourceAndDestinationForms) {
    const std::string sShort = Hex("20 01 0D B8 00 00 00 00 00 00 00 00 00 00 00 01");
    const std::string sLong = Hex("20 01 0D B8 11 00 00 00 00 00 00 00 00 00 00 01");
    auto R = DecodeRecord({{27, 16}, {28, 16}}, sShort + sShort);
    EXPECT_EQ(R.Records[0].IPV6_SRC_ADDR, "32.1.13.184");
    EXPECT_EQ(R.Records[0].IPV6_DST_ADDR, "32.1.13.184.0.0.0.0.0.0.0.0.0.0.0.1");
    EXPECT_EQ(ValueLines(R)[1], "IPV6_DST_ADDR=32.1.13.184.0.0.0.0.0.0.0.0.0.0.0.1");

    ForgetTemplates();
    R = DecodeRecord({{27, 16}, {28, 4}}, sLong + Hex("01 02 03 04"));
    EXPECT_EQ(R.Records[0].IPV6_SRC_ADDR, "32.1.13.184.17.0.0.0.0.0.0.0.0.0.0.1");
    EXPECT_EQ(R.Records[0].IPV6_DST_ADDR, "");
    EXPECT_EQ(ValueLines(R)[1], "IPV6_DST_ADDR=");
}

TEST_F(V9Fields, LabelOnlyPositionAndUnlistedTypes) {
    // Every type here stores nothing; each still advances by its length.
    const auto R =
        DecodeRecord({{10, 2},
                      {14, 2},
                      {15, 4},
                      {16, 2},
                      {17, 2},
                      {21, 4},
                      {22, 4},
                      {48, 1},
                      {51, 1},
                      {80, 6},
                      {3, 3},
                      {153, 1},
                      {56702, 1},
                      {8, 4}},
                     Hex("00 01 | 00 02 | C0 00 02 01 | 01 F4 | 02 58 | 00 00 00 01 | 00 00 00 02 | 05 | 06 |"
                         "00 11 22 33 44 55 | AA BB CC | 07 | 08 | 0A 0A 0A 0A"));
    EXPECT_EQ(ValueLines(R),
              (std::vector<std::string>{
                  "INPUT_SNMP=", "OUTPUT_SNMP=", "IPV4_NEXT_HOP [5D]=192.0.2.1", "SRC_AS [61]=244", "DST_AS [63]=88",
                  "LAST_SWITCHED=", "FIRST_SWITCHED=", "FLOW_SAMPLER_ID=", "*Vendor Proprietary*=", "IN_DST_MAC=",
                  "Unprocessed Field type=3", "153=", "56702?=", "IPV4_SRC_ADDR=10.10.10.10"}));
    EXPECT_EQ(R.Records[0].IPV4_NEXT_HOP, "192.0.2.1");
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.10.10.10") << "every field moved the position by its length";
    EXPECT_EQ(R.Sink.Markers,
              (std::vector<std::string>{"1700", "1800", "2000", "2400", "2700", "5000", "2900", "3800"}));
}

TEST_F(V9Fields, EveryListedVendorTypeHasItsLineAndMarker) {
    const std::vector<std::pair<unsigned, std::string>> Types = {
        {148, "148?="}, {227, "227?="},     {228, "228?="}, {233, "233?="},
        {256, "256?="}, {281, "281?="},     {282, "282?="}, {346, "346?="},
        {364, "364?="}, {56701, "56701?="}, {0, ""},        {65535, "Unprocessed Field type=65535"}};
    std::vector<Pair> Pairs;
    for (const auto& t : Types) Pairs.push_back({t.first, 1});
    const auto R = DecodeRecord(Pairs, std::string(Types.size(), '\0'));
    std::vector<std::string> Expected;
    for (const auto& t : Types) Expected.push_back(t.second);
    EXPECT_EQ(ValueLines(R), Expected);
    EXPECT_EQ(R.Sink.Markers, (std::vector<std::string>{"2800", "3000", "3100", "3200", "3300", "3400", "3400", "3500",
                                                        "3600", "3700", "5000"}));
}

TEST_F(V9Fields, OnlyTheTemplatesFieldsAreFilled) {
    const auto R = DecodeRecord(kIpv4Pairs, Ipv4Record(9, 5000, 80, 6, 1234, 5));
    const tNetflowV9& Rec = R.Records[0];
    EXPECT_EQ(Rec.IN_BYTES, 1234);
    EXPECT_EQ(Rec.IN_PKTS, 5);
    EXPECT_EQ(Rec.IPV4_SRC_ADDR, "10.0.0.9");
    EXPECT_EQ(Rec.IPV4_DST_ADDR, "192.168.1.9");
    EXPECT_EQ(Rec.L4_SRC_PORT, 5000);
    EXPECT_EQ(Rec.L4_DST_PORT, 80);
    EXPECT_EQ(Rec.PROTOCOL, 6);
    tNetflowV9 Fresh;
    EXPECT_EQ(Rec.SRC_TOS, Fresh.SRC_TOS);
    EXPECT_EQ(Rec.TCP_FLAGS, 0);
    EXPECT_EQ(Rec.ICMP_TYPE, 0);
    EXPECT_EQ(Rec.DIRECTION, 0);
    EXPECT_TRUE(Rec.SRC_MASK.empty() && Rec.DST_MASK.empty() && Rec.IPV4_NEXT_HOP.empty() &&
                Rec.IPV6_SRC_ADDR.empty() && Rec.IPV6_DST_ADDR.empty());
}
