#include <gtest/gtest.h>

#include <string>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV9.h"
#include "support/Tones.h"

using namespace netflowlib;
using namespace fixtures;

// The faults come from the doubles, at the points where the walk meets its sink, its template store
// and its clock: each such point lies at a known milestone, which the report must carry.
namespace {

class FaultPath : public DecoderTest {
  protected:
    // The one report written so far; fails the test when there is not exactly one.
    std::string OnlyReport() {
        const auto Names = Reports();
        EXPECT_EQ(Names.size(), 1u);
        return Names.empty() ? "" : ReadFile(Dir() + Names.front());
    }
    void RemoveReports() {
        for (const std::string& sName : Reports()) std::filesystem::remove(Dir() + sName);
    }
};

const std::string kV9Packet = V9Header(3) + TemplateFlowset(256, kIpv4Pairs) +
                              Flowset(256, Ipv4Record(1, 1024, 443, 6, 1500, 3) + Ipv4Record(2, 1025, 53, 17, 9, 1));

}  // namespace

TEST_F(FaultPath, FaultWhileLearningCarriesTheWalkPosition) {
    // The first pair line comes once step 300 is set.
    NextSink.LinePrefix = "Field1 type=";
    NextSink.Message = "learning fault";
    const auto R = DecodeV9(kV9Packet);
    EXPECT_EQ(R.Slots, 0);
    EXPECT_TRUE(R.Outcome.Failed);
    EXPECT_EQ(R.Sink.Finishes, 1) << "the sink is finished before the report";
    const std::string sXml = OnlyReport();
    EXPECT_EQ(ReportElement(sXml, "Function"), "NetFlowLib.DecodeV9Packet");
    EXPECT_EQ(ReportElement(sXml, "Trace"), "300");
    EXPECT_EQ(ReportElement(sXml, "ClassName"), "std::runtime_error");
    EXPECT_EQ(ReportElement(sXml, "e.Message"), "learning fault");
    EXPECT_EQ(ReportElement(sXml, "Notes"),
              "gTemplateFlowsetFormat.FieldCount=0 Length(sPacket)=102 iPtr=21 iTemplateFlowSet=0 of 3");
    EXPECT_EQ(Last().FieldCount, 0);
    EXPECT_EQ(Rig().Tones.Tones, brix32::ReportTones()) << "the four tones, through the tone output";
}

TEST_F(FaultPath, FaultInALaterRecordKeepsTheSlotsBeforeIt) {
    // Two data flowsets; only the second template carries IN_DST_MAC and LAST_SWITCHED, so the line
    // of the latter first comes in the third record of the datagram, after IN_DST_MAC has put the
    // record position into Notes.
    DecodeV9(V9Header(1) + TemplateFlowset(257, {{8, 4}, {80, 6}, {21, 4}, {7, 2}}));
    const std::string sPacket = V9Header(4) + TemplateFlowset(256, kIpv4Pairs) +
                                Flowset(256, Ipv4Record(1, 1, 2, 6, 1, 1) + Ipv4Record(2, 1, 2, 6, 1, 1)) +
                                Flowset(257, Hex("0A 00 00 03 | 00 11 22 33 44 55 | 00 00 00 07 | 00 09"));
    NextSink.LinePrefix = "LAST_SWITCHED=";
    const auto R = DecodeV9(sPacket);
    EXPECT_EQ(R.Slots, 3);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
    EXPECT_EQ(R.Records[1].IPV4_SRC_ADDR, "10.0.0.2");
    EXPECT_EQ(R.Records[2].IPV4_SRC_ADDR, "10.0.0.3") << "the fields before the fault stay";
    EXPECT_EQ(R.Records[2].L4_SRC_PORT, 0) << "the fields after it were never reached";
    const std::string sXml = OnlyReport();
    EXPECT_EQ(ReportElement(sXml, "Trace"), "1900");
    // The record-position text: no blank between the field count and "Length(sPacket)=".
    EXPECT_EQ(ReportElement(sXml, "Notes"),
              "gTemplateFlowsetFormat.FieldCount=7Length(sPacket)=122 iPtr=111 iDataFlowSet=3");

    // The decoder returned normally and goes on with the next datagram.
    const auto Again = DecodeV9(sPacket);
    EXPECT_EQ(Again.Slots, 3);
    EXPECT_FALSE(Again.Outcome.Failed);
    EXPECT_EQ(Reports().size(), 1u);
}

TEST_F(FaultPath, FaultBeforeTheMacFieldStillCarriesTheFlowsetPosition) {
    DecodeV9(V9Header(1) + TemplateFlowset(257, {{80, 6}}));
    NextSink.LinePrefix = "field=1 of 1";
    const auto R = DecodeV9(V9Header(1) + Flowset(257, Hex("00 11 22 33 44 55")));
    EXPECT_EQ(R.Slots, 1);
    const std::string sXml = OnlyReport();
    EXPECT_EQ(ReportElement(sXml, "Trace"), "400");
    EXPECT_EQ(ReportElement(sXml, "Notes"),
              "gTemplateFlowsetFormat.FieldCount=1 Length(sPacket)=30 iPtr=21 iTemplateFlowSet=0 of 1");
}

TEST_F(FaultPath, StepsThatOnlyAReportShows) {
    struct Case {
        int Step;
        std::vector<Pair> Pairs;
        std::string sRecord;
        std::string sLinePrefix;
        std::string sMarker;
    };
    // Next hop is at 1810 once stored, when its line comes; every field has moved on to 5100 when
    // its "*** iPtrCheck=" line comes; the destination port marker comes at 1400.
    for (const Case& c : {Case{1810, {{15, 4}}, Hex("01 02 03 04"), "IPV4_NEXT_HOP [", ""},
                          Case{5100, {{15, 4}}, Hex("01 02 03 04"), "*** iPtrCheck=", ""},
                          Case{1400, {{11, 2}, {7, 2}}, Hex("00 50 00 01"), "", "1400"}}) {
        SCOPED_TRACE(c.Step);
        ForgetTemplates();
        RemoveReports();
        NextSink.LinePrefix = c.sLinePrefix;
        NextSink.MarkerText = c.sMarker;
        const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, c.Pairs) + Flowset(256, c.sRecord));
        EXPECT_EQ(ReportElement(OnlyReport(), "Trace"), std::to_string(c.Step));
        if (c.Step == 5100) {
            EXPECT_EQ(R.Records[0].IPV4_NEXT_HOP, "1.2.3.4");
        }
        if (c.Step == 1810) {
            EXPECT_EQ(R.Sink.CountLinesStartingWith("IPV4_NEXT_HOP"), 0);
        }
        if (c.Step == 1400) {
            EXPECT_EQ(R.Records[0].L4_DST_PORT, 80) << "the marker comes after the value is stored";
        }
    }
}

TEST_F(FaultPath, FaultsOfTheClockAndTheTemplateStore) {
    // The trace header reads the clock while step 120 is in force.
    Rig().Clock.ThrowOnReading = 1;
    auto R = DecodeV9(kV9Packet);
    EXPECT_EQ(ReportElement(OnlyReport(), "Trace"), "120");
    EXPECT_EQ(R.Sink.Begins, 0);
    EXPECT_TRUE(R.Outcome.Failed);

    // Storing the learned template comes at step 300; looking one up for data at 210.
    RemoveReports();
    Rig().Clock.ThrowOnReading = 0;
    Rig().Templates.ThrowOnStore = 1;
    R = DecodeV9(kV9Packet);
    EXPECT_EQ(ReportElement(OnlyReport(), "Trace"), "300");
    EXPECT_EQ(R.Slots, 0);

    RemoveReports();
    Rig().Templates.ThrowOnFind = 1;
    R = DecodeV9(kV9Packet);
    EXPECT_EQ(ReportElement(OnlyReport(), "Trace"), "210");
    EXPECT_EQ(R.Outcome.TemplatesLearned, 1) << "what came before the fault is told";
    EXPECT_EQ(Last().TemplateID, 256) << "the store keeps what was written into it";
}

TEST_F(FaultPath, HeaderWithoutAFaultReportsNothing) {
    // The header decoder meets no side effect that could fail; its report path is that of every
    // traced operation (tests/support).
    tNetflowHeader H;
    EXPECT_TRUE(DecodeHeader(kV9Packet, H, Rig().Services()));
    EXPECT_EQ(H.Version, 9);
    EXPECT_TRUE(Rig().Reporter.Records.empty());
}
