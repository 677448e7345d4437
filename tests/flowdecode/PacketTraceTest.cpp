#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "TextForms.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"

using namespace netflowlib;
using namespace fixtures;

namespace {

class PacketTrace : public DecoderTest {
  protected:
    // Decodes through the real file sink, the way the collector does.
    int DecodeToFiles(const std::string& sPacket, bool bTrace = true) {
        tNetflowHeader Header;
        DecodeHeader(sPacket, Header);
        tNetflowV9Records Records = FreshV9Slots();
        return DecodeV9Packet("", "192.0.2.1", sPacket, Header, bTrace, Records);
    }

    static std::vector<std::string> SplitCrLf(const std::string& sText) {
        std::vector<std::string> Lines;
        std::size_t iStart = 0;
        for (std::size_t i; (i = sText.find("\r\n", iStart)) != std::string::npos; iStart = i + 2) {
            Lines.push_back(sText.substr(iStart, i - iStart));
        }
        if (iStart < sText.size()) Lines.push_back(sText.substr(iStart) + "<no CR LF>");
        return Lines;
    }
};

// Everything after the first line of the trace of data/template-and-two-records.hex.
const std::vector<std::string> kGoldenAfterFirstLine = {
    "Length(sPacket)=102 [66]",
    "0001: 00 09 00 03 00 36 EE 80  65 53 F1 00 00 00 00 2A  .....6.\x80 eS.....*",
    "0011: 00 00 00 01 00 00 00 24  01 00 00 07 00 08 00 04  .......$ ........",
    "0021: 00 0C 00 04 00 07 00 02  00 0B 00 02 00 04 00 01  ........ ........",
    "0031: 00 01 00 04 00 02 00 04  01 00 00 2E 0A 00 00 01  ........ ........",
    "0041: C0 A8 01 0A 04 00 01 BB  06 00 00 05 DC 00 00 00  ........ ........",
    "0051: 03 0A 00 00 02 C0 A8 01  0B 04 01 00 35 11 80 00  ........ ....5.\x80.",
    "0061: 00 00 00 00 00 01                                 ......           ",
    "",
    "iPtr=21 [15]",
    "Header.Version [01-02]=9",
    "Header.FlowSets [03-04]=3",
    "Header.Sys_Uptime [05-08]=3600000",
    "Header.UnixSeconds [09-0C]=1700000000",
    "Header.Flow_Sequence [0D-10]=42 (Incremental sequence No)",
    "Header.Source_ID [11-14]=1 (This the flow ID)",
    "FlowSetID [15-16]=0 0->Template record, 1->Optional feilds, >255 -> Data record",
    "FlowSetLength [17-18]=36 [0024]",
    "iPtrCheck=iPrt+iFlowsetLength-4 (FlowID & FlowLength) 57=25+36-4 [39]",
    "TemplateID [19-1A]=256 Templates that define data record formats begin numbering at 256.",
    "FieldCount [1B-1C]=7",
    "Field1 type=8 [1D-1E]",
    "Field1 length [1F-20]=4",
    "Field2 type=12 [21-22]",
    "Field2 length [23-24]=4",
    "Field3 type=7 [25-26]",
    "Field3 length [27-28]=2",
    "Field4 type=11 [29-2A]",
    "Field4 length [2B-2C]=2",
    "Field5 type=4 [2D-2E]",
    "Field5 length [2F-30]=1",
    "Field6 type=1 [31-32]",
    "Field6 length [33-34]=4",
    "Field7 type=2 [35-36]",
    "Field7 length [37-38]=4",
    "*** END OF FLOWSET PROCESSING iDataFlowSet=0 iTemplateFlowSet=1 iPtr=57 [39]  iPtrCheck=57 [39] ***",
    "FlowSetID [39-3A]=256 0->Template record, 1->Optional feilds, >255 -> Data record",
    "FlowSetLength [3B-3C]=46 [002E]",
    "iPtrCheck=iPrt+iFlowsetLength-4 (FlowID & FlowLength) 103=61+46-4 [67]",
    "*** START FLOWSET PROCESSING. iDataFlowSet+iTemplateFlowSet=2 of 3 ***",
    "field=1 of 7 iPtr=3D type=8 length=4 [3D-40] TotalLength=4",
    "IPV4_SRC_ADDR=10.0.0.1",
    "*** iPtrCheck=99",
    "field=2 of 7 iPtr=41 type=12 length=4 [41-44] TotalLength=8",
    "IPV4_DST_Addr=192.168.1.10",
    "*** iPtrCheck=95",
    "field=3 of 7 iPtr=45 type=7 length=2 [45-46] TotalLength=10",
    "L4_SRC_PORT=1024",
    "*** iPtrCheck=93",
    "field=4 of 7 iPtr=47 type=11 length=2 [47-48] TotalLength=12",
    "L4_DST_PORT=443",
    "*** iPtrCheck=91",
    "field=5 of 7 iPtr=49 type=4 length=1 [49-49] TotalLength=13",
    "PROTOCOL:=6",
    "*** iPtrCheck=90",
    "field=6 of 7 iPtr=4A type=1 length=4 [4A-4D] TotalLength=17",
    "IN_BYTES=1500",
    "*** iPtrCheck=86",
    "field=7 of 7 iPtr=4E type=2 length=4 [4E-51] TotalLength=21",
    "InPkts=3 iPtr=78 0 0 0 3",
    "*** iPtrCheck=82",
    "*** END iDataFlowSet=1 iFlowsetLength=46 iPTR=82 [52] iPTRCheck=82 [52]",
    "*** START FLOWSET PROCESSING. iDataFlowSet+iTemplateFlowSet=3 of 3 ***",
    "field=1 of 7 iPtr=52 type=8 length=4 [52-55] TotalLength=25",
    "IPV4_SRC_ADDR=10.0.0.2",
    "*** iPtrCheck=78",
    "field=2 of 7 iPtr=56 type=12 length=4 [56-59] TotalLength=29",
    "IPV4_DST_Addr=192.168.1.11",
    "*** iPtrCheck=74",
    "field=3 of 7 iPtr=5A type=7 length=2 [5A-5B] TotalLength=31",
    "L4_SRC_PORT=1025",
    "*** iPtrCheck=72",
    "field=4 of 7 iPtr=5C type=11 length=2 [5C-5D] TotalLength=33",
    "L4_DST_PORT=53",
    "*** iPtrCheck=70",
    "field=5 of 7 iPtr=5E type=4 length=1 [5E-5E] TotalLength=34",
    "PROTOCOL:=17",
    "*** iPtrCheck=69",
    "field=6 of 7 iPtr=5F type=1 length=4 [5F-62] TotalLength=38",
    "IN_BYTES=-2147483648",
    "*** iPtrCheck=65",
    "field=7 of 7 iPtr=63 type=2 length=4 [63-66] TotalLength=42",
    "InPkts=1 iPtr=99 0 0 0 1",
    "*** iPtrCheck=61",
    "*** END iDataFlowSet=2 iFlowsetLength=46 iPTR=103 [67] iPTRCheck=61 [3D]",
    "*** END OF FLOWSET PROCESSING iDataFlowSet=2 iTemplateFlowSet=1 iPtr=103 [67]  iPtrCheck=61 [3D] ***",
};

}  // namespace

TEST_F(PacketTrace, GoldenTraceOfTemplateAndTwoRecords) {
    WriteFile("debug-v9-packet.txt", "the trace of an earlier datagram\r\n");
    EXPECT_EQ(DecodeToFiles(HexFile("template-and-two-records.hex")), 2);

    const std::string sTrace = ReadFile("debug-v9-packet.txt");
    std::string sExpected;
    for (const std::string& s : kGoldenAfterFirstLine) sExpected += s + "\r\n";
    const std::size_t iFirstLineEnd = sTrace.find("\r\n");
    ASSERT_NE(iFirstLineEnd, std::string::npos);
    const std::string sFirst = sTrace.substr(0, iFirstLineEnd);
    EXPECT_EQ(sFirst.rfind("kFunction=NetFlowLib.DecodeV9Packet (", 0), 0u) << sFirst;
    EXPECT_EQ(sFirst.back(), ')');
    EXPECT_GT(sFirst.size(), std::string("kFunction=NetFlowLib.DecodeV9Packet ()").size())
        << "a date-time stands between";
    EXPECT_EQ(sTrace.substr(iFirstLineEnd + 2), sExpected);

    // The last marker of the second record was its destination port.
    EXPECT_EQ(ReadFile("debug.txt"), "1400");
}

TEST_F(PacketTrace, LongDatagramHeaderLines) {
    // 1464 bytes: the header, then one flowset with id 7 and length 72, then filler.
    const std::string sPacket = V9Header(0) + U16(7) + U16(72) + std::string(1440, '\0');
    ASSERT_EQ(sPacket.size(), 1464u);
    const auto R = DecodeV9(sPacket);
    const std::vector<std::string> Header = SplitCrLf(R.Sink.Header);
    ASSERT_EQ(Header.size(), 2u + 1464 / 16 + 1 + 1 + 7);
    EXPECT_EQ(Header[1], "Length(sPacket)=1464 [5B8]");
    EXPECT_EQ(Header[2 + 1464 / 16 + 1], "");
    EXPECT_EQ(Header[2 + 1464 / 16 + 2], "iPtr=21 [15]");
    EXPECT_EQ(R.Sink.Bare()[1], "FlowSetLength [17-18]=72 [0048]");
}

TEST_F(PacketTrace, DatagramWithoutFlowsetsGivesTheHeaderAlone) {
    DecodeToFiles(V9Header(4) + Hex("00 00 01"));
    const std::vector<std::string> Lines = SplitCrLf(ReadFile("debug-v9-packet.txt"));
    ASSERT_EQ(Lines.size(), 12u);
    EXPECT_EQ(Lines.back(), "Header.Source_ID [11-14]=0 (This the flow ID)");
    EXPECT_FALSE(Exists("debug.txt"));
}

TEST_F(PacketTrace, WithTracingOffOnlyTheMarkersAreWritten) {
    WriteFile("debug-v9-packet.txt", "kept\r\n");
    WriteFile("debug.txt", "old");
    DecodeToFiles(HexFile("template-and-two-records.hex") + Flowset(9, ""), false);
    EXPECT_EQ(ReadFile("debug-v9-packet.txt"), "kept\r\n");
    EXPECT_EQ(ReadFile("debug.txt"), "iFlowSetID=9");
}

TEST_F(PacketTrace, ReservedIdMarkerHasNoLineEnd) {
    DecodeToFiles(V9Header(1) + Flowset(7, Hex("01 02 03 04")));
    EXPECT_EQ(ReadFile("debug.txt"), "iFlowSetID=7");
}

TEST_F(PacketTrace, DirectionLeavesItsStepAsTheLastMarker) {
    DecodeToFiles(V9Header(2) + TemplateFlowset(300, {{11, 2}, {8, 4}, {61, 1}, {4, 1}}) +
                  Flowset(300, Hex("00 50 0A 00 00 01 01 06")));
    EXPECT_EQ(ReadFile("debug.txt"), "2600");
}

TEST_F(PacketTrace, NumberForms) {
    std::string s;
    AppendHex2(s, 21);
    s += ' ';
    AppendHex2(s, 300);
    s += ' ';
    AppendHex4(s, 72);
    s += ' ';
    AppendHex2(s, 5);
    s += ' ';
    AppendHex2(s, -1);
    s += ' ';
    AppendHex4(s, 0x12345);
    s += ' ';
    AppendDec(s, -2147483648LL);
    EXPECT_EQ(s, "15 12C 0048 05 FFFFFFFF 12345 -2147483648");
}
