#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <vector>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "flowdecode/NetflowV9.h"

using namespace netflowlib;
using namespace fixtures;

namespace {

class Bounds : public DecoderTest {
  protected:
    static std::size_t TraceBytes(const tV9Result& R) {
        return std::accumulate(R.Sink.Lines.begin(), R.Sink.Lines.end(), R.Sink.Header.size(),
                               [](std::size_t n, const std::string& s) { return n + s.size(); });
    }
};

const std::vector<Pair> kFourBytes = {{8, 4}};

std::string FourByteRecords(int Count) {
    std::string s;
    for (int i = 0; i < Count; ++i) s += U8(10) + U8(0) + U8(i / 256) + U8(i % 256);
    return V9Header(static_cast<unsigned>(Count + 1)) + TemplateFlowset(256, kFourBytes) + Flowset(256, s);
}

// The 18-field template of the usual exporter, with Count records of 45 bytes.
std::string EighteenFieldRecords(int Count) {
    const std::vector<Pair> Fields = {{8, 4}, {12, 4}, {7, 2},  {11, 2}, {4, 1},  {1, 4}, {2, 4},  {22, 4}, {21, 4},
                                      {6, 1}, {5, 1},  {10, 2}, {14, 2}, {15, 4}, {9, 1}, {13, 1}, {16, 2}, {17, 2}};
    std::string s;
    for (int i = 0; i < Count; ++i)
        s += Ipv4Record(static_cast<unsigned char>(i), 1024, 443, 6, 1500, 3) + std::string(24, '\1');
    return V9Header(static_cast<unsigned>(Count + 1)) + TemplateFlowset(256, Fields) + Flowset(256, s);
}

const std::string kRecordsCutLine =
    "*** RECORDS CUT: this datagram reached 100 records, the rest of it is not decoded ***";

}  // namespace

TEST_F(Bounds, RecordsAreCutAtTheBoundAndTheTraceSaysSoLast) {
    // By default no well-formed record is ever cut: 2,000 records of four bytes fill 8,000 bytes.
    auto R = DecodeV9(FourByteRecords(2000));
    EXPECT_EQ(R.Outcome.RecordsDecoded, 2000);
    EXPECT_FALSE(R.Outcome.RecordsCut);
    EXPECT_EQ(R.Records[1999].IPV4_SRC_ADDR, "10.0.7.207");

    ForgetTemplates();
    Rig().Bounds.MaxRecords = 100;
    R = DecodeV9(FourByteRecords(100));
    EXPECT_EQ(R.Outcome.RecordsDecoded, 100);
    EXPECT_FALSE(R.Outcome.RecordsCut) << "just at the bound nothing is cut";
    EXPECT_EQ(R.Sink.CountLinesStartingWith("*** RECORDS CUT"), 0);

    R = DecodeV9(FourByteRecords(103));
    EXPECT_EQ(R.Slots, 100);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 100);
    EXPECT_TRUE(R.Outcome.RecordsCut);
    EXPECT_EQ(R.Outcome.Extras.RecordsDropped, 3) << "every flow a bound drops is counted";
    EXPECT_FALSE(R.Outcome.TraceCut);
    ASSERT_FALSE(R.Sink.Bare().empty());
    EXPECT_EQ(R.Sink.Bare().back(), kRecordsCutLine);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("*** START FLOWSET PROCESSING"), 100);
    EXPECT_EQ(R.Records[99].IPV4_SRC_ADDR, "10.0.0.99");
}

TEST_F(Bounds, RealExportersDatagramsStayWhole) {
    // Sixty records of the usual template: the largest datagrams real exporters send.
    const auto R = DecodeV9(EighteenFieldRecords(60));
    EXPECT_EQ(R.Outcome.RecordsDecoded, 60);
    EXPECT_FALSE(R.Outcome.RecordsCut);
    EXPECT_FALSE(R.Outcome.TraceCut);
    EXPECT_LT(TraceBytes(R), tDecodeBounds{}.MaxTraceBytes / 2) << "with room to spare";
}

TEST_F(Bounds, TraceIsCutWithOneClosingLineAndDecodingGoesOn) {
    const std::string sPacket = EighteenFieldRecords(30);
    const std::size_t Whole = TraceBytes(DecodeV9(sPacket));

    // A budget of exactly the whole trace cuts nothing.
    ForgetTemplates();
    Rig().Bounds.MaxTraceBytes = Whole;
    auto R = DecodeV9(sPacket);
    EXPECT_FALSE(R.Outcome.TraceCut);
    EXPECT_EQ(TraceBytes(R), Whole);

    ForgetTemplates();
    Rig().Bounds.MaxTraceBytes = Whole - 1;
    R = DecodeV9(sPacket);
    EXPECT_TRUE(R.Outcome.TraceCut);
    EXPECT_FALSE(R.Outcome.RecordsCut);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 30) << "the records after the cut are decoded all the same";
    EXPECT_EQ(R.Records[29].L4_SRC_PORT, 1024);
    const std::string sCut = "*** TRACE CUT: the trace of this datagram reached " + std::to_string(Whole - 1) +
                             " bytes, its remaining records are decoded without trace ***";
    EXPECT_EQ(R.Sink.Bare().back(), sCut);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("*** TRACE CUT"), 1);
    EXPECT_LE(TraceBytes(R), Whole - 1 + sCut.size() + 2);
    EXPECT_FALSE(R.Sink.Markers.empty()) << "markers are not part of the budget";
}

TEST_F(Bounds, TemplatesThatCannotCarryAFlowAreRefused) {
    struct Case {
        std::vector<Pair> Pairs;
        std::string sLine;
    };
    // Fields of no bytes are refused only when asked to.
    Rig().Bounds.RefuseZeroLengthFields = true;
    for (const Case& c :
         {Case{{{1, 0}, {4, 1}, {8, 4}}, "*** TEMPLATE REFUSED: TemplateID=256 has a field of length 0 ***"},
          Case{{{4, 1}, {7, 2}},
               "*** TEMPLATE REFUSED: TemplateID=256 describes records of 3 bytes, too short for a flow ***"}}) {
        SCOPED_TRACE(c.sLine);
        ForgetTemplates();
        const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, c.Pairs) + Flowset(256, std::string(40, '\6')));
        EXPECT_EQ(R.Outcome.TemplatesRefused, 1);
        EXPECT_EQ(R.Outcome.TemplatesLearned, 0);
        EXPECT_TRUE(R.Sink.HasLine(c.sLine));
        EXPECT_EQ(R.Slots, 0);
        EXPECT_EQ(R.Outcome.FlowsetsWithoutTemplate, 1) << "its data is skipped as having no template";
        EXPECT_EQ(Last().FieldCount, 0);
    }
    // Four bytes are enough; a refused template leaves the one learned before under its id.
    ForgetTemplates();
    DecodeV9(V9Header(1) + TemplateFlowset(256, {{7, 2}, {11, 2}}));
    const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, {{1, 0}}) + Flowset(256, Hex("00 17 00 50")));
    EXPECT_EQ(R.Outcome.TemplatesRefused, 1);
    ASSERT_EQ(R.Slots, 1);
    EXPECT_EQ(R.Records[0].L4_DST_PORT, 80);
}

TEST_F(Bounds, TheOutcomeCountsTemplatesAndNamesTheMissingOnes) {
    std::string sMissing;
    for (unsigned Id = 300; Id < 320; ++Id) sMissing += Flowset(Id, Hex("01 02 03 04"));
    const auto R =
        DecodeV9(V9Header(0) + Flowset(0, Template(256, kFourBytes) + Template(257, kFourBytes)) +
                 Flowset(0, Template(257, {})) + Flowset(300, "") + sMissing + Flowset(256, Hex("0A 00 00 01")));
    EXPECT_EQ(R.Outcome.TemplatesLearned, 2);
    EXPECT_EQ(R.Outcome.TemplatesWithdrawn, 1);
    EXPECT_EQ(R.Outcome.FlowsetsWithoutTemplate, 21);
    std::vector<std::int32_t> Expected;
    for (std::int32_t Id = 300; Id < 316; ++Id) Expected.push_back(Id);
    EXPECT_EQ(R.Outcome.MissingTemplateIds, Expected) << "distinct, in order, the first 16";
    EXPECT_EQ(R.Outcome.RecordsDecoded, 1);
    EXPECT_EQ(R.Slots, 1) << "flowsets without template take no slot";
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 21);
    EXPECT_FALSE(R.Outcome.Failed);
}

TEST_F(Bounds, ZeroLengthFieldsAreAcceptedAndFillNothing) {
    const auto R = DecodeV9(V9Header(2) + TemplateFlowset(256, {{1, 0}, {4, 1}, {8, 4}, {15, 0}}) +
                            Flowset(256, Hex("06 0A 00 00 01 11 0A 00 00 02")));
    EXPECT_EQ(R.Outcome.TemplatesRefused, 0);
    ASSERT_EQ(R.Outcome.RecordsDecoded, 2);
    EXPECT_EQ(R.Records[0].PROTOCOL, 6);
    EXPECT_EQ(R.Records[1].PROTOCOL, 17);
    EXPECT_EQ(R.Records[1].IPV4_SRC_ADDR, "10.0.0.2");
    EXPECT_EQ(R.Records[1].IN_BYTES, 0);
    EXPECT_EQ(R.Records[1].IPV4_NEXT_HOP, "") << "a field of no bytes fills nothing";
    EXPECT_FALSE(R.Records[1].Facts.HasAny(tFlowFacts::kBytes | tFlowFacts::kNextHopV4));
    EXPECT_EQ(R.Sink.CountLinesStartingWith("IN_BYTES="), 2) << "traced all the same";
}

TEST_F(Bounds, TheSignatureWithoutServicesUsesTheProcessStore) {
    const std::string sPacket = FourByteRecords(2);
    tNetflowHeader Header;
    DecodeHeader(sPacket, Header);
    tNetflowV9Records Records(kV9InitialSlots);
    RecordingSink Sink;
    EXPECT_EQ(DecodeV9Packet("", "192.0.2.1", sPacket, Header, true, Records, Sink), 2);
    EXPECT_EQ(gTemplateFlowsetFormat.TemplateID, 256);
    EXPECT_EQ(gTemplateFlowsetFormat.FieldCount, 1);
    EXPECT_EQ(Last().FieldCount, 0) << "the test's own store is another one";
    ResetTemplateStore();
    EXPECT_EQ(gTemplateFlowsetFormat.FieldCount, 0);
}
