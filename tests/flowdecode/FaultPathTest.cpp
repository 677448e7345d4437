#include <gtest/gtest.h>

#include <string>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "support/ExceptionReport.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV9.h"

using namespace netflowlib;
using namespace fixtures;

namespace {

class FaultPath : public DecoderTest {
protected:
    // The one report written so far; fails the test when there is not exactly one.
    std::string OnlyReport() {
        const auto Names = Reports();
        EXPECT_EQ(Names.size(), 1u);
        return Names.empty() ? "" : ReadFile(Dir() + Names.front());
    }
};

const std::string kV9Packet = V9Header(3) + TemplateFlowset(256, kIpv4Pairs) +
                              Flowset(256, Ipv4Record(1, 1024, 443, 6, 1500, 3) + Ipv4Record(2, 1025, 53, 17, 9, 1));

}  // namespace

TEST_F(FaultPath, HeaderReportsItsStepAndKeepsWhatWasFilled) {
    brix32::testing::ArmStepFault("NetFlowLib.DecodeHeader", 320, "header fault");
    tNetflowHeader H;
    DecodeHeader(kV9Packet, H);
    EXPECT_EQ(H.Version, 9);
    EXPECT_EQ(H.HeaderLength, 20);
    const std::string sXml = OnlyReport();
    EXPECT_EQ(ReportElement(sXml, "Function"), "NetFlowLib.DecodeHeader");
    EXPECT_EQ(ReportElement(sXml, "Trace"), "320");
    EXPECT_EQ(ReportElement(sXml, "ClassName"), "std::runtime_error");
    EXPECT_EQ(ReportElement(sXml, "e.Message"), "header fault");
    EXPECT_EQ(ReportElement(sXml, "Notes"), "");
}

TEST_F(FaultPath, HeaderFaultBeforeTheVersionTest) {
    brix32::testing::ArmStepFault("NetFlowLib.DecodeHeader", 200);
    tNetflowHeader H;
    H.Version = 5;
    DecodeHeader(kV9Packet, H);
    EXPECT_EQ(H.Version, 0) << "cleared before the fault";
    EXPECT_EQ(ReportElement(OnlyReport(), "Trace"), "200");
}

TEST_F(FaultPath, FaultWhileLearningCarriesTheWalkPosition) {
    brix32::testing::ArmStepFault("NetFlowLib.DecodeV9Packet", 300);
    const auto R = DecodeV9(kV9Packet);
    EXPECT_EQ(R.Slots, 0);
    EXPECT_EQ(R.Sink.Finishes, 1) << "the sink is finished before the report";
    const std::string sXml = OnlyReport();
    EXPECT_EQ(ReportElement(sXml, "Function"), "NetFlowLib.DecodeV9Packet");
    EXPECT_EQ(ReportElement(sXml, "Trace"), "300");
    EXPECT_EQ(ReportElement(sXml, "Notes"),
              "gTemplateFlowsetFormat.FieldCount=0 Length(sPacket)=102 iPtr=21 iTemplateFlowSet=0 of 3");
    EXPECT_EQ(gTemplateFlowsetFormat.FieldCount, 0);
}

TEST_F(FaultPath, FaultInALaterRecordKeepsTheSlotsBeforeIt) {
    // Two data flowsets; only the second template carries IN_DST_MAC and LAST_SWITCHED, so the step
    // of the latter is first reached in the third record of the datagram, after IN_DST_MAC has put
    // the record position into Notes.
    DecodeV9(V9Header(1) + TemplateFlowset(257, {{8, 4}, {80, 6}, {21, 4}, {7, 2}}));
    const std::string sPacket = V9Header(4) + TemplateFlowset(256, kIpv4Pairs) +
                                Flowset(256, Ipv4Record(1, 1, 2, 6, 1, 1) + Ipv4Record(2, 1, 2, 6, 1, 1)) +
                                Flowset(257, Hex("0A 00 00 03 | 00 11 22 33 44 55 | 00 00 00 07 | 00 09"));
    brix32::testing::ArmStepFault("NetFlowLib.DecodeV9Packet", 1910);
    const auto R = DecodeV9(sPacket);
    EXPECT_EQ(R.Slots, 3);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
    EXPECT_EQ(R.Records[1].IPV4_SRC_ADDR, "10.0.0.2");
    EXPECT_EQ(R.Records[2].IPV4_SRC_ADDR, "10.0.0.3") << "the fields before the fault stay";
    EXPECT_EQ(R.Records[2].L4_SRC_PORT, 0) << "the fields after it were never reached";
    const std::string sXml = OnlyReport();
    EXPECT_EQ(ReportElement(sXml, "Trace"), "1910");
    // The record-position text: no blank between the field count and "Length(sPacket)=".
    EXPECT_EQ(ReportElement(sXml, "Notes"), "gTemplateFlowsetFormat.FieldCount=7Length(sPacket)=122 iPtr=111 iDataFlowSet=3");

    // The decoder returned normally and goes on with the next datagram.
    brix32::testing::DisarmStepFault();
    EXPECT_EQ(DecodeV9(sPacket).Slots, 3);
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(FaultPath, FaultAtTheMacStepStillCarriesTheFlowsetPosition) {
    DecodeV9(V9Header(1) + TemplateFlowset(257, {{80, 6}}));
    brix32::testing::ArmStepFault("NetFlowLib.DecodeV9Packet", 2700);
    const auto R = DecodeV9(V9Header(1) + Flowset(257, Hex("00 11 22 33 44 55")));
    EXPECT_EQ(R.Slots, 1);
    EXPECT_EQ(ReportElement(OnlyReport(), "Notes"),
              "gTemplateFlowsetFormat.FieldCount=1 Length(sPacket)=30 iPtr=21 iTemplateFlowSet=0 of 1");
}

TEST_F(FaultPath, StepsThatOnlyAReportShows) {
    struct Case {
        int Step;
        std::vector<Pair> Pairs;
        std::string sRecord;
    };
    // Next hop moves on to 1810 once stored and 1820 after its line; LAST_SWITCHED to 1910.
    // A fault at 120 comes while the trace header is written.
    for (const Case& c : {Case{1810, {{15, 4}}, Hex("01 02 03 04")}, Case{1820, {{15, 4}}, Hex("01 02 03 04")},
                          Case{1910, {{21, 4}}, Hex("00 00 00 01")}, Case{120, {{8, 4}}, Hex("01 02 03 04")}}) {
        SCOPED_TRACE(c.Step);
        ResetTemplateStore();
        for (const std::string& sName : Reports()) std::filesystem::remove(Dir() + sName);
        brix32::testing::ArmStepFault("NetFlowLib.DecodeV9Packet", c.Step);
        const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, c.Pairs) + Flowset(256, c.sRecord));
        EXPECT_EQ(ReportElement(OnlyReport(), "Trace"), std::to_string(c.Step));
        if (c.Step == 1820) {
            EXPECT_EQ(R.Records[0].IPV4_NEXT_HOP, "1.2.3.4");
        }
        if (c.Step == 1810) {
            EXPECT_EQ(R.Sink.CountLinesStartingWith("IPV4_NEXT_HOP"), 0);
        }
    }
}
