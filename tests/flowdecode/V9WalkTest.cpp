#include <gtest/gtest.h>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "flowdecode/NetflowV9.h"

using namespace netflowlib;
using namespace fixtures;
using namespace std::string_literals;

namespace {

const std::string kRecord1 = Ipv4Record(1, 1024, 443, 6, 1500, 3);
const std::string kRecord2 = Ipv4Record(2, 1025, 53, 17, 0x80000000u, 1);

class FlowsetWalk : public DecoderTest {};

}  // namespace

TEST_F(FlowsetWalk, TemplateThenDataIsLearnedAndUsedAtOnce) {
    const auto R =
        DecodeV9(V9Header(3) + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, kRecord1 + kRecord2), "198.51.100.9");
    ASSERT_EQ(R.Slots, 2);
    EXPECT_EQ(Last().TemplateID, 256);
    EXPECT_EQ(Last().FieldCount, 7);
    EXPECT_EQ(Last().Fields[6].FieldType, 2);
    EXPECT_EQ(Last().Fields[6].FieldLength, 4);
    EXPECT_EQ(Last().FlowSetID, 0);
    EXPECT_EQ(Last().FlowSetLength, 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(R.Records[i].SenderIP, "198.51.100.9");
        EXPECT_EQ(R.Records[i].HostName, "");
    }
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
    EXPECT_EQ(R.Records[1].IPV4_DST_ADDR, "192.168.1.2");
    EXPECT_EQ(R.Records[1].L4_DST_PORT, 53);
    EXPECT_EQ(R.Records[1].IN_BYTES, -2147483647 - 1);
    EXPECT_TRUE(R.Records[2].SenderIP.empty());
    EXPECT_EQ(
        R.Sink.Lines.back(),
        "*** END OF FLOWSET PROCESSING iDataFlowSet=2 iTemplateFlowSet=1 iPtr=103 [67]  iPtrCheck=61 [3D] ***\r\n");
    EXPECT_EQ(R.Sink.Finishes, 1);
}

TEST_F(FlowsetWalk, DataBeforeAnyTemplateIsSkippedByItsLengthAndCountedOnce) {
    const auto R = DecodeV9(V9Header(2) + Flowset(256, kRecord1 + "\0\0\0"s) + Flowset(7, ""));
    EXPECT_EQ(R.Slots, 0);
    for (const tNetflowV9& Slot : R.Records) EXPECT_TRUE(Slot.SenderIP.empty());
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 1);
    EXPECT_TRUE(R.Sink.HasLine("Data record but no template record [19-30] iPtr=25 [19] iFlowsetLength=28"));
    EXPECT_TRUE(R.Sink.HasLine(
        "*** END OF FLOWSET PROCESSING iDataFlowSet=1 iTemplateFlowSet=0 iPtr=49 [31]  iPtrCheck=49 [31] ***"));
    // The walk went on at the flowset after it.
    EXPECT_EQ(R.Sink.Markers, std::vector<std::string>{"iFlowSetID=7"});
}

TEST_F(FlowsetWalk, ZeroFieldTemplateWithdrawsTheTemplate) {
    DecodeV9(V9Header(1) + TemplateFlowset(256, kIpv4Pairs));
    ASSERT_EQ(Last().FieldCount, 7);
    const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, {}) + Flowset(256, kRecord1));
    EXPECT_EQ(Last().FieldCount, 0);
    EXPECT_EQ(Last().Fields[0].FieldType, 8) << "pairs are left as they were";
    EXPECT_EQ(R.Slots, 0);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 1);
    EXPECT_TRUE(R.Sink.Lines.back().find("iDataFlowSet=1 iTemplateFlowSet=1 ") != std::string::npos);
}

TEST_F(FlowsetWalk, ShorterTemplateReplacesTheFieldCountOnly) {
    DecodeV9(V9Header(1) + TemplateFlowset(256, kIpv4Pairs));
    const auto R =
        DecodeV9(V9Header(2) + TemplateFlowset(256, {{8, 4}, {7, 2}}) + Flowset(256, Hex("0A 0B 0C 0D 00 50")));
    EXPECT_EQ(Last().FieldCount, 2);
    EXPECT_EQ(Last().Fields[1].FieldType, 7);
    EXPECT_EQ(Last().Fields[2].FieldType, 7) << "third pair of the first template";
    EXPECT_EQ(Last().Fields[6].FieldType, 2);
    ASSERT_EQ(R.Slots, 1);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.11.12.13");
    EXPECT_EQ(R.Records[0].L4_SRC_PORT, 80);
    EXPECT_EQ(R.Records[0].L4_DST_PORT, 0);
}

TEST_F(FlowsetWalk, OptionsTemplateIsSkippedWholeWithItsFourLines) {
    const std::string sOptions = Flowset(1, Hex("01 01 00 04 00 04 00 01 00 02 00 04 00 22 00 04"));
    const auto R = DecodeV9(V9Header(2) + sOptions + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, kRecord1));
    const std::vector<std::string> Bare = R.Sink.Bare();
    ASSERT_GE(Bare.size(), 4u);
    const std::vector<std::string> First(Bare.begin(), Bare.begin() + 4);
    EXPECT_EQ(First,
              (std::vector<std::string>{
                  "FlowSetID [15-16]=1 0->Template record, 1->Optional feilds, >255 -> Data record",
                  "FlowSetLength [17-18]=20 [0014]",
                  "iPtrCheck=iPrt+iFlowsetLength-4 (FlowID & FlowLength) 41=25+20-4 [29]",
                  "*** END OF FLOWSET PROCESSING iDataFlowSet=0 iTemplateFlowSet=0 iPtr=41 [29]  iPtrCheck=41 [29] ***",
              }));
    EXPECT_EQ(R.Slots, 1);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
}

TEST_F(FlowsetWalk, ReservedFlowsetIdsLeaveTheirMarkerAndAreSkippedWhole) {
    const auto R = DecodeV9(V9Header(9) + Flowset(7, Hex("00 00 00 00 00 00 00 00")) + Flowset(255, "") +
                            TemplateFlowset(256, kIpv4Pairs) + Flowset(256, kRecord1));
    EXPECT_EQ(R.Sink.Markers.front(), "iFlowSetID=7");
    EXPECT_EQ(R.Sink.Markers[1], "iFlowSetID=255");
    EXPECT_EQ(R.Slots, 1) << "the body of flowset 7 was not read as a flowset header";
    EXPECT_EQ(R.Records[0].L4_SRC_PORT, 1024);

    // Without tracing the markers are written all the same.
    const auto Quiet = DecodeV9(V9Header(1) + Flowset(7, ""), "192.0.2.1", false);
    EXPECT_TRUE(Quiet.Sink.Lines.empty());
    EXPECT_EQ(Quiet.Sink.Begins, 0);
    EXPECT_EQ(Quiet.Sink.Markers, std::vector<std::string>{"iFlowSetID=7"});
}

TEST_F(FlowsetWalk, HeaderCountDoesNotStopTheWalk) {
    // A count of 0, and a count that leaves out the template, still give every record.
    for (unsigned Count : {0u, 2u}) {
        ForgetTemplates();
        const auto R = DecodeV9(V9Header(Count) + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, kRecord1 + kRecord2));
        EXPECT_EQ(R.Slots, 2) << "count " << Count;
        EXPECT_EQ(R.Records[1].IPV4_SRC_ADDR, "10.0.0.2");
    }
}

TEST_F(FlowsetWalk, FlowsetHeaderNeedsFourBytes) {
    for (const std::string& sTail : {""s, "\x01"s, "\x01\x00"s, "\x01\x00\x00"s}) {
        const auto R = DecodeV9(V9Header(5) + Flowset(7, "") + sTail);
        EXPECT_EQ(R.Sink.CountLinesStartingWith("FlowSetID ["), 1) << sTail.size() << " bytes left";
        EXPECT_EQ(R.Sink.Lines.size(), 4u);
    }
}

TEST_F(FlowsetWalk, FlowsetShorterThanItsHeaderEndsTheWalkAfterItsClosingLine) {
    for (unsigned Length : {0u, 1u, 3u}) {
        const auto R = DecodeV9(V9Header(3) + U16(7) + U16(Length) + Flowset(8, ""));
        EXPECT_EQ(R.Sink.Lines.size(), 4u) << "length " << Length;
        EXPECT_EQ(R.Sink.CountLinesStartingWith("*** END OF FLOWSET PROCESSING"), 1);
        EXPECT_TRUE(R.Sink.Markers.empty()) << "neither this flowset nor the next was handled";
    }
}

TEST_F(FlowsetWalk, DataFlowsetPaddingIsSkipped) {
    // Two records and three bytes of padding, then a second data flowset.
    const auto R = DecodeV9(V9Header(4) + TemplateFlowset(256, kIpv4Pairs) +
                            Flowset(256, kRecord1 + kRecord2 + "\0\0\0"s) + Flowset(256, Ipv4Record(3, 1, 2, 6, 7, 8)));
    ASSERT_EQ(R.Slots, 3);
    EXPECT_EQ(R.Records[2].IPV4_SRC_ADDR, "10.0.0.3");
    EXPECT_EQ(R.Records[2].IN_PKTS, 8);
    // The first data flowset closes at the next flowset's first byte, past its padding.
    EXPECT_TRUE(R.Sink.HasLine(
        "*** END OF FLOWSET PROCESSING iDataFlowSet=2 iTemplateFlowSet=1 iPtr=106 [6A]  iPtrCheck=64 [40] ***"));
}

TEST_F(FlowsetWalk, RecordPastTheDatagramEndIsNotDecodedAndEndsTheWalk) {
    // The flowset promises two records but the datagram ends ten bytes into the second.
    std::string sPacket = V9Header(3) + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, kRecord1 + kRecord2);
    sPacket.resize(sPacket.size() - 11);
    const auto R = DecodeV9(sPacket);
    EXPECT_EQ(R.Slots, 1);
    EXPECT_TRUE(R.Records[1].SenderIP.empty());
    EXPECT_EQ(R.Sink.CountLinesStartingWith("*** START FLOWSET PROCESSING"), 1);
    EXPECT_EQ(
        R.Sink.Lines.back(),
        "*** END OF FLOWSET PROCESSING iDataFlowSet=1 iTemplateFlowSet=1 iPtr=82 [52]  iPtrCheck=82 [52] ***\r\n");
}

TEST_F(FlowsetWalk, TemplateFlowsetMayCarrySeveralTemplates) {
    const std::string sBody = Template(300, {{8, 4}}) + Template(301, {{12, 4}, {7, 2}}) + "\0\0"s;  // and padding
    const auto R = DecodeV9(V9Header(9) + Flowset(0, sBody) + Flowset(300, Hex("01 02 03 04")) +
                            Flowset(301, Hex("05 06 07 08 00 16")));
    EXPECT_EQ(Last().TemplateID, 301) << "the last one stays";
    EXPECT_EQ(R.Sink.CountLinesStartingWith("TemplateID ["), 2);
    EXPECT_TRUE(
        R.Sink.HasLine("TemplateID [21-22]=301 Templates that define data record formats begin numbering at 256."));
    ASSERT_EQ(R.Slots, 2);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "1.2.3.4");
    EXPECT_EQ(R.Records[1].IPV4_DST_ADDR, "5.6.7.8");
    EXPECT_EQ(R.Records[1].L4_SRC_PORT, 22);
    EXPECT_TRUE(R.Sink.Lines[R.Sink.Lines.size() - 1].find("iTemplateFlowSet=2 ") != std::string::npos);
}

TEST_F(FlowsetWalk, TemplateOfMoreThanThirtyFieldsIsSteppedOver) {
    DecodeV9(V9Header(1) + TemplateFlowset(256, kIpv4Pairs));
    std::vector<Pair> Many(31, Pair{8, 4});
    const std::string sBody = Template(400, Many) + Template(401, {{7, 2}, {11, 2}});
    const auto R = DecodeV9(V9Header(3) + Flowset(0, sBody) + Flowset(401, Hex("00 17 00 50")) +
                            Flowset(400, std::string(124, '\1')));
    EXPECT_EQ(Last().TemplateID, 401);
    EXPECT_TRUE(R.Sink.HasLine("FieldCount [1B-1C]=31"));
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Field1 type="), 1) << "only the template after it is traced pair by pair";
    ASSERT_EQ(R.Slots, 1);
    EXPECT_EQ(R.Records[0].L4_SRC_PORT, 23);
    // Data under the oversized template's id has no template.
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 1);
    // The oversized template did not count, the one after it did.
    EXPECT_TRUE(R.Sink.HasLine(
        "*** END OF FLOWSET PROCESSING iDataFlowSet=0 iTemplateFlowSet=1 iPtr=165 [A5]  iPtrCheck=165 [A5] ***"));
}

TEST_F(FlowsetWalk, OversizedTemplateRunningPastTheDatagramEndsTheWalk) {
    // The flowset's length is short, but its 31 pairs would run past the datagram's end: nothing
    // after it is trusted, not even the flowset its length points to.
    const std::string sPacket = V9Header(2) + U16(0) + U16(8) + U16(400) + U16(31) + Flowset(7, std::string(40, '\0'));
    const auto R = DecodeV9(sPacket);
    EXPECT_TRUE(R.Sink.Markers.empty());
    EXPECT_EQ(R.Sink.CountLinesStartingWith("FlowSetID ["), 1);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("*** END OF FLOWSET PROCESSING"), 1);
}

TEST_F(FlowsetWalk, TemplateRunningPastItsFlowsetIsNotLearned) {
    // The flowset's length covers the template header and one of its two pairs.
    const std::string sTemplate = Template(256, {{8, 4}, {7, 2}});
    const std::string sPacket = V9Header(2) + U16(0) + U16(12) + sTemplate + Flowset(7, "");
    const auto R = DecodeV9(sPacket);
    EXPECT_EQ(Last().FieldCount, 0);
    EXPECT_TRUE(R.Sink.HasLine("Field1 length [1F-20]=4"));
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Field2"), 0);
    // The walk goes on at the next flowset, which is where the second pair stands.
    EXPECT_TRUE(R.Sink.HasLine("FlowSetID [21-22]=7 0->Template record, 1->Optional feilds, >255 -> Data record"));
    EXPECT_TRUE(R.Sink.HasLine(
        "*** END OF FLOWSET PROCESSING iDataFlowSet=0 iTemplateFlowSet=0 iPtr=33 [21]  iPtrCheck=33 [21] ***"));
}

TEST_F(FlowsetWalk, TemplateRunningPastTheDatagramEndsTheWalk) {
    std::string sPacket = V9Header(2) + TemplateFlowset(256, kIpv4Pairs);
    sPacket.resize(sPacket.size() - 2);  // the last pair loses its length
    const auto R = DecodeV9(sPacket);
    EXPECT_EQ(Last().FieldCount, 0);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Field6 length"), 1);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Field7"), 0);
    EXPECT_EQ(
        R.Sink.Lines.back(),
        "*** END OF FLOWSET PROCESSING iDataFlowSet=0 iTemplateFlowSet=0 iPtr=53 [35]  iPtrCheck=57 [39] ***\r\n");
}

TEST_F(FlowsetWalk, TemplateOfZeroByteRecordsIsNotLearned) {
    const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, {{8, 0}, {1, 0}}) + Flowset(256, Hex("01 02 03 04")));
    EXPECT_EQ(Last().FieldCount, 0);
    EXPECT_EQ(R.Slots, 0);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 1);
    EXPECT_TRUE(R.Sink.Lines.back().find("iDataFlowSet=1 iTemplateFlowSet=0 ") != std::string::npos);
}

TEST_F(FlowsetWalk, FlowsetClaimingMoreThanTheDatagramEndsTheWalk) {
    for (unsigned Id : {1u, 7u, 999u}) {
        const auto R = DecodeV9(V9Header(2) + U16(Id) + U16(400) + std::string(20, '\0'));
        EXPECT_EQ(R.Sink.Lines.size(), Id == 999u ? 5u : 4u) << Id;
        EXPECT_EQ(R.Slots, 0);
    }
    // A template flowset that claims more than there is: its template is read, then nothing more.
    const auto R = DecodeV9(V9Header(2) + U16(0) + U16(400) + Template(256, {{8, 4}}) + "\0\0"s);
    EXPECT_EQ(Last().FieldCount, 1);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("TemplateID"), 1);
}

TEST_F(FlowsetWalk, DataFlowsetWithTheTemplateButNoWholeRecord) {
    const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, "") +
                            Flowset(256, std::string(20, '\1')) + Flowset(256, kRecord1));
    ASSERT_EQ(R.Slots, 1);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
}

// Length 65535 in a template is the IPFIX variable-length encoding: the record carries each value's
// length in front of it, in one byte or in 255 and two bytes.
TEST_F(FlowsetWalk, VariableLengthFieldIsReadWithItsOwnLength) {
    const std::vector<Pair> Pairs = {{82, 65535}, {8, 4}, {83, 65535}, {12, 4}, {1, 4}};
    const std::string sRecord1 =
        U8(4) + "eth0"s + "\x0A\x00\x00\x01"s + U8(255) + U16(2) + "ab"s + "\xC0\xA8\x01\x01"s + U32(1500);
    const std::string sRecord2 = U8(0) + "\x0A\x00\x00\x02"s + U8(1) + "z"s + "\xC0\xA8\x01\x02"s + U32(40);
    const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, Pairs) + Flowset(256, sRecord1 + sRecord2));
    ASSERT_EQ(R.Slots, 2);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
    EXPECT_EQ(R.Records[0].IPV4_DST_ADDR, "192.168.1.1");
    EXPECT_EQ(R.Records[0].IN_BYTES, 1500);
    EXPECT_EQ(R.Records[1].IPV4_SRC_ADDR, "10.0.0.2");
    EXPECT_EQ(R.Records[1].IN_BYTES, 40);
    // The template still shows what it said; the record lines show the lengths read, at the value.
    // The first record starts at 35 with the one-byte prefix of "eth0".
    EXPECT_TRUE(R.Sink.HasLine("Field1 length [1F-20]=65535"));
    EXPECT_TRUE(R.Sink.HasLine("field=1 of 5 iPtr=36 type=82 length=4 [36-39] TotalLength=5"));
    EXPECT_TRUE(R.Sink.HasLine("field=3 of 5 iPtr=41 type=83 length=2 [41-42] TotalLength=14"));
    EXPECT_TRUE(R.Sink.HasLine("field=1 of 5 iPtr=4C type=82 length=0 [4C-4B] TotalLength=23"));
    EXPECT_TRUE(R.Sink.HasLine("*** END iDataFlowSet=2 iFlowsetLength=41 iPTR=90 [5A] iPTRCheck=53 [35]"));
    EXPECT_FALSE(R.Outcome.RecordsCut);
}

TEST_F(FlowsetWalk, VariableLengthRunningPastTheFlowsetIsPadding) {
    const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, {{8, 4}, {82, 65535}}) +
                            Flowset(256, "\x0A\x00\x00\x01\x01x"s + "\x0A\x00\x00\x02\x30x"s) +
                            Flowset(256, "\x0A\x00\x00\x03\x00"s));
    ASSERT_EQ(R.Slots, 2);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
    EXPECT_EQ(R.Records[1].IPV4_SRC_ADDR, "10.0.0.3");
}
