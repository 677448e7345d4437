// Times, sampling, interface names and data that waits for its template: what the decoders give
// the flow record beyond the lines.
#include <gtest/gtest.h>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "flowdecode/FlowFacts.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/PendingSets.h"

using namespace netflowlib;
using namespace fixtures;

namespace {

constexpr std::int64_t kExportMs = 1700000000LL * 1000;

// NTP time (seconds since 1900, binary fraction) of a Unix time in milliseconds.
std::string Ntp(std::int64_t UnixMs) {
    const std::uint64_t Seconds = static_cast<std::uint64_t>(UnixMs / 1000) + 2208988800ULL;
    const std::uint64_t Fraction = (static_cast<std::uint64_t>(UnixMs % 1000) << 32) / 1000 + 1;
    return U32(static_cast<std::uint32_t>(Seconds)) + U32(static_cast<std::uint32_t>(Fraction));
}

std::string U64(std::uint64_t v) {
    return U32(static_cast<std::uint32_t>(v >> 32)) + U32(static_cast<std::uint32_t>(v));
}

class FlowFacts : public DecoderTest {
  protected:
    struct tIpfixResult {
        tIpfixOutcome Outcome;
        tNetflowV9Records Records = tNetflowV9Records(kV9InitialSlots);
        tNetflowHeader Header;
    };
    tIpfixResult Ipfix(const std::string& sPacket, const std::string& sSender = "192.0.2.1") {
        tIpfixResult R;
        tDecodeServices Services = Rig().Services();
        Services.Pending = &Pending;
        DecodeHeader(sPacket, R.Header, Services);
        R.Outcome = DecodeIpfixPacket("", sSender, sPacket, R.Header, R.Records, Services, Store);
        return R;
    }
    tV9Result V9(const std::string& sPacket, bool bTrace = false) {
        tV9Result R;
        R.Records = FreshV9Slots();
        const tDecodeServices Services{R.Sink, Rig().Reporter, Rig().Templates, Rig().Clock, Rig().Bounds, &Pending};
        DecodeHeader(sPacket, R.Header, Services);
        R.Outcome = DecodeV9Packet("", "192.0.2.1", sPacket, R.Header, bTrace, R.Records, Services);
        R.Slots = R.Outcome.SlotsReached;
        return R;
    }
    static tFlowTimes TimesOf(const tNetflowV9& Record, const tNetflowHeader& Header, std::int64_t ReceivedMs) {
        const tExportClock Clock{Header.Sys_Uptime, Header.UnixSeconds, 0, Header.Version == 9};
        return ComputeFlowTimes(Record.Facts, Clock, ReceivedMs);
    }

    IpfixTemplateStore Store;
    PendingDataSets Pending;
};

}  // namespace

TEST(FlowTimes, UptimeArithmeticIsModulo32Bits) {
    // Uptime 1000 ms after a wrap; the flow started 3000 ms before the export, before the wrap.
    const tExportClock Clock{1000, 1700000000, 500'000'000, true};
    const std::int64_t Export = kExportMs + 500;
    auto T = ComputeV5FlowTimes(0xFFFFFFFFu - 1999, 0xFFFFFFFFu - 999, Clock, Export);
    EXPECT_TRUE(T.FromExporter);
    EXPECT_EQ(T.StartMs, Export - 3000);
    EXPECT_EQ(T.EndMs, Export - 2000);
    // The end wrapped after its start: First above Last in plain numbers.
    T = ComputeV5FlowTimes(0xFFFFFFFFu - 499, 500, Clock, Export);
    EXPECT_EQ(T.StartMs, Export - 1500);
    EXPECT_EQ(T.EndMs, Export - 500);
    // An end truly before its start is taken as the start.
    T = ComputeV5FlowTimes(900, 400, Clock, Export);
    EXPECT_EQ(T.EndMs, T.StartMs);
    // Two days before the arrival: implausible, the receive time stands.
    T = ComputeV5FlowTimes(900, 950, Clock, Export + 2 * kPlausibleTimeSpanMs);
    EXPECT_TRUE(T.Implausible);
    EXPECT_FALSE(T.FromExporter);
    EXPECT_EQ(T.StartMs, Export + 2 * kPlausibleTimeSpanMs);
}

TEST_F(FlowFacts, Version9TimesFromUptimeAndAbsoluteFields) {
    const auto R = V9(V9Header(1, 0, 1, 3600000) + TemplateFlowset(256, {{8, 4}, {22, 4}, {21, 4}}) +
                      Flowset(256, Hex("0A 00 00 01") + U32(3590000) + U32(3599000)) +
                      TemplateFlowset(257, {{8, 4}, {152, 8}, {153, 8}}) +
                      Flowset(257, Hex("0A 00 00 02") + U64(kExportMs - 7000) + U64(kExportMs - 6000)));
    ASSERT_EQ(R.Slots, 2);
    auto T = TimesOf(R.Records[0], R.Header, kExportMs);
    EXPECT_EQ(T.StartMs, kExportMs - 10000);
    EXPECT_EQ(T.EndMs, kExportMs - 1000);
    T = TimesOf(R.Records[1], R.Header, kExportMs);
    EXPECT_EQ(T.StartMs, kExportMs - 7000);
    EXPECT_EQ(T.EndMs, kExportMs - 6000);
    // A record without times keeps the receive time.
    EXPECT_FALSE(ComputeFlowTimes(tFlowFacts{}, tExportClock{}, 42).FromExporter);
}

TEST_F(FlowFacts, IpfixTimesInEveryForm) {
    struct Case {
        const char* Name;
        std::vector<IpfixSpec> Specs;
        std::string Values;
        std::int64_t Start;
        std::int64_t End;
    };
    const std::int64_t S = kExportMs - 5000;
    const std::vector<Case> Cases = {
        {"seconds", {{150, 4}, {151, 4}}, U32(1699999990) + U32(1699999995), kExportMs - 10000, kExportMs - 5000},
        {"milliseconds", {{152, 8}, {153, 8}}, U64(S) + U64(S + 1234), S, S + 1234},
        {"microseconds (NTP)", {{154, 8}, {155, 8}}, Ntp(S + 250) + Ntp(S + 750), S + 250, S + 750},
        {"nanoseconds (NTP)", {{156, 8}, {157, 8}}, Ntp(S + 1) + Ntp(S + 2), S + 1, S + 2},
        {"system init and uptime", {{160, 8}, {22, 4}, {21, 4}}, U64(S - 60000) + U32(60000) + U32(61000), S, S + 1000},
        {"deltas before the export",
         {{158, 4}, {159, 4}},
         U32(4'000'000) + U32(1'500'000),
         kExportMs - 4000,
         kExportMs - 1500},
        {"start and duration", {{152, 8}, {161, 4}}, U64(S) + U32(2500), S, S + 2500},
    };
    std::uint16_t Id = 256;
    for (const Case& c : Cases) {
        SCOPED_TRACE(c.Name);
        std::vector<IpfixSpec> Specs = {{8, 4}};
        Specs.insert(Specs.end(), c.Specs.begin(), c.Specs.end());
        const auto R =
            Ipfix(IpfixMessage(Flowset(2, IpfixTemplate(Id, Specs)) + Flowset(Id, Hex("0A 00 00 01") + c.Values)));
        ++Id;
        ASSERT_EQ(R.Outcome.RecordsDecoded, 1);
        const auto T = ComputeFlowTimes(R.Records[0].Facts, tExportClock{0, R.Header.UnixSeconds, 0, false}, kExportMs);
        EXPECT_TRUE(T.FromExporter);
        EXPECT_EQ(T.StartMs, c.Start);
        EXPECT_EQ(T.EndMs, c.End);
    }
}

TEST_F(FlowFacts, Version9OptionsCarrySamplersAndInterfaceNames) {
    // Scope: system (4 bytes). Options: sampler id 48/1, mode 49/1, random interval 50/4.
    const std::string sSampler =
        U16(300) + U16(4) + U16(12) + U16(1) + U16(4) + U16(48) + U16(1) + U16(49) + U16(1) + U16(50) + U16(4);
    // Scope: interface (type 2). Options: name 82/16, description 83/16.
    const std::string sIf = U16(301) + U16(4) + U16(8) + U16(2) + U16(4) + U16(82) + U16(16) + U16(83) + U16(16);
    auto Name = [](std::string s) {
        s.resize(16, '\0');
        return s;
    };
    const auto R =
        V9(V9Header(0, 7) + Flowset(1, sSampler + sIf) +
               Flowset(300, U32(0) + U8(1) + U8(2) + U32(1000) + U32(0) + U8(2) + U8(2) + U32(0) + Hex("00 00")) +
               Flowset(301, U32(3) + Name("Gi0/0/1") + Name("uplink")),
           true);
    EXPECT_EQ(R.Outcome.Extras.OptionsTemplatesLearned, 2);
    ASSERT_EQ(R.Outcome.Extras.Options.size(), 3u);
    const tOptionsRecord& One = R.Outcome.Extras.Options[0];
    EXPECT_EQ(One.Domain, 7u);
    EXPECT_EQ(One.Facts.SamplerId, 1u);
    EXPECT_EQ(SamplingRateOf(One.Facts), 1000u);
    EXPECT_EQ(SamplingRateOf(R.Outcome.Extras.Options[1].Facts), 0u) << "a rate of 0 states none";
    const tOptionsRecord& If = R.Outcome.Extras.Options[2];
    EXPECT_TRUE(If.HasInterface);
    EXPECT_EQ(If.Interface, 3u);
    EXPECT_EQ(If.InterfaceName, "Gi0/0/1");
    EXPECT_EQ(If.InterfaceDescription, "uplink");
    // The trace shows options data as it always did: data without a template.
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 2);
    EXPECT_EQ(R.Outcome.FlowsetsWithoutTemplate, 0);
    EXPECT_EQ(Last().FieldCount, 0) << "options templates are not the last template";
}

TEST_F(FlowFacts, MalformedOptionsTemplatesAreCountedAndIgnored) {
    const std::string sNoScope = U16(300) + U16(0) + U16(4) + U16(34) + U16(4);
    const std::string sOdd = U16(301) + U16(3) + U16(4) + U16(1) + U16(4) + U16(34) + U16(4);
    const auto R = V9(V9Header(0) + Flowset(1, sNoScope) + Flowset(1, sOdd) + Flowset(300, U32(100)));
    EXPECT_EQ(R.Outcome.Extras.OptionsTemplatesLearned, 0);
    EXPECT_EQ(R.Outcome.Extras.OptionsIgnored, 2);
    EXPECT_TRUE(R.Outcome.Extras.Options.empty());
}

TEST_F(FlowFacts, IpfixSamplingEncodingsAndSeveralSamplersInOneDomain) {
    // Scope selectorId (302/8); packet interval and space (305/306): 1 selected, N - 1 skipped.
    const std::string sSpace = U16(400) + U16(3) + U16(1) + U16(302) + U16(8) + U16(305) + U16(4) + U16(306) + U16(4);
    // Scope selectorId; sampling size and population (309/310).
    const std::string sSize = U16(401) + U16(3) + U16(1) + U16(302) + U16(8) + U16(309) + U16(4) + U16(310) + U16(4);
    // Scope observation domain (149); sampling interval (34) for flows that name no sampler.
    const std::string sInterval = U16(402) + U16(2) + U16(1) + U16(149) + U16(4) + U16(34) + U16(4);
    const auto R = Ipfix(IpfixMessage(Flowset(3, sSpace + sSize + sInterval) +
                                      Flowset(400, U64(1) + U32(1) + U32(99) + U64(2) + U32(1) + U32(511)) +
                                      Flowset(401, U64(3) + U32(10) + U32(10000)) + Flowset(402, U32(0) + U32(64))));
    EXPECT_EQ(R.Outcome.Extras.OptionsTemplatesLearned, 3);
    ASSERT_EQ(R.Outcome.Extras.Options.size(), 4u);
    const auto& O = R.Outcome.Extras.Options;
    EXPECT_EQ(O[0].Facts.SamplerId, 1u);
    EXPECT_EQ(SamplingRateOf(O[0].Facts), 100u);
    EXPECT_EQ(O[1].Facts.SamplerId, 2u);
    EXPECT_EQ(SamplingRateOf(O[1].Facts), 512u);
    EXPECT_EQ(SamplingRateOf(O[2].Facts), 1000u);
    EXPECT_FALSE(O[3].Facts.Has(tFlowFacts::kSamplerId));
    EXPECT_EQ(SamplingRateOf(O[3].Facts), 64u);
    // A flow's own sampler id reaches its facts.
    const auto F = Ipfix(
        IpfixMessage(Flowset(2, IpfixTemplate(256, {{8, 4}, {302, 8}})) + Flowset(256, Hex("0A 00 00 01") + U64(2))));
    ASSERT_EQ(F.Outcome.RecordsDecoded, 1);
    EXPECT_EQ(F.Records[0].Facts.SamplerId, 2u);
}

TEST_F(FlowFacts, IpfixInterfaceNamesUnderAnInterfaceScope) {
    const std::string sIf = U16(410) + U16(3) + U16(1) + U16(10) + U16(4) + U16(82) + U16(65535) + U16(83) + U16(65535);
    const auto R = Ipfix(IpfixMessage(Flowset(3, sIf) + Flowset(410, U32(7) + VariableValue("xe-0/0/1") +
                                                                         VariableValue(std::string(400, 'd'), true))));
    ASSERT_EQ(R.Outcome.Extras.Options.size(), 1u);
    EXPECT_EQ(R.Outcome.Extras.Options[0].Interface, 7u);
    EXPECT_EQ(R.Outcome.Extras.Options[0].InterfaceName, "xe-0/0/1");
    EXPECT_EQ(R.Outcome.Extras.Options[0].InterfaceDescription.size(), 255u) << "huge names are cut";
}

TEST_F(FlowFacts, DataBeforeItsTemplateIsHeldAndDecodedWhenItComes) {
    const std::string sData = Flowset(256, Ipv4Record(1, 1024, 80, 6, 1500, 3) + Ipv4Record(2, 1025, 443, 6, 900, 2));
    auto R = V9(V9Header(2, 0, 1, 3600000) + sData, true);
    EXPECT_EQ(R.Outcome.Extras.SetsHeld, 1);
    EXPECT_EQ(R.Slots, 0);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 1) << "the trace is as it was";
    EXPECT_EQ(Pending.Sets(), 1u);

    Rig().Clock.Advance(30);
    R = V9(V9Header(1, 0, 2, 3630000) + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, Ipv4Record(3, 1, 2, 17, 1, 1)));
    EXPECT_EQ(R.Outcome.Extras.SetsDecodedLate, 1);
    EXPECT_EQ(R.Slots, 1) << "the late records are not the datagram's own";
    ASSERT_EQ(Pending.Late.size(), 1u);
    EXPECT_EQ(Pending.Late[0].Set.Clock.SysUptimeMs, 3600000u) << "the held set keeps its own datagram's clock";
    tNetflowV9Records Slots;
    ASSERT_EQ(DecodeLateSet(Pending.Late[0], "", "192.0.2.1", Slots), 2);
    EXPECT_EQ(Slots[0].IPV4_SRC_ADDR, "10.0.0.1");
    EXPECT_EQ(Slots[1].L4_DST_PORT, 443);
    EXPECT_EQ(Slots[1].Facts.Bytes, 900u);
    EXPECT_TRUE(Pending.Empty());
}

TEST_F(FlowFacts, HeldDataExpiresAndStaysWithinItsBounds) {
    const std::string sData = Flowset(256, Ipv4Record(1, 1024, 80, 6, 1500, 3));
    V9(V9Header(1) + sData);
    Rig().Clock.Advance(11 * 60);
    auto R = V9(V9Header(1) + TemplateFlowset(256, kIpv4Pairs));
    EXPECT_EQ(R.Outcome.Extras.SetsExpired, 1);
    EXPECT_EQ(R.Outcome.Extras.SetsDecodedLate, 0);
    EXPECT_TRUE(Pending.Late.empty());

    // Per exporter: past its bound on sets, further sets are refused and counted.
    PendingDataSets Small(tPendingLimits{2, 1u << 20, 600000, 1u << 20});
    int Expired = 0;
    tHeldSet Set;
    Set.TemplateID = 300;
    Set.Body = std::string(100, 'x');
    EXPECT_TRUE(Small.Hold("a", 9, 0, Set, 0, Expired));
    EXPECT_TRUE(Small.Hold("a", 9, 0, Set, 0, Expired));
    EXPECT_FALSE(Small.Hold("a", 9, 0, Set, 0, Expired));
    EXPECT_TRUE(Small.Hold("b", 9, 0, Set, 0, Expired)) << "another exporter has a bound of its own";
    // In bytes: a set larger than the total never waits.
    Set.Body = std::string(2u << 20, 'x');
    EXPECT_FALSE(Small.Hold("c", 9, 0, Set, 0, Expired));
    EXPECT_LE(Small.Bytes(), 1u << 20);
}

TEST_F(FlowFacts, AVariableLengthRecordCutByTheDatagramEndsTheWalkThere) {
    // The flowset claims 20 bytes; the datagram ends after the first record, before the second's
    // length byte.
    const std::string sTemplate = TemplateFlowset(256, {{8, 4}, {82, 65535}});
    const std::string sRecord = Hex("0A 00 00 01") + VariableValue("ab");
    const std::string sPacket = V9Header(2) + sTemplate + U16(256) + U16(20) + sRecord;
    const auto R = V9(sPacket, true);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 1);
    // The closing line names the position of the cut record, not the flowset's end.
    const std::string sEnd = R.Sink.Bare().back();
    EXPECT_NE(sEnd.find("iPtr=" + std::to_string(sPacket.size() + 1)), std::string::npos) << sEnd;
}

TEST_F(FlowFacts, AResetRecordEqualsAFreshOne) {
    const auto R = V9(
        V9Header(1) +
        TemplateFlowset(256, {{8, 4},
                              {12, 4},
                              {9, 1},
                              {13, 4},
                              {15, 4},
                              {27, 16},
                              {28, 16},
                              {1, 8},
                              {2, 4},
                              {4, 1},
                              {5, 1},
                              {6, 1},
                              {7, 2},
                              {11, 2},
                              {32, 2},
                              {61, 1},
                              {10, 4},
                              {16, 4},
                              {152, 8}}) +
        Flowset(256, std::string(4 + 4 + 1 + 4 + 4 + 16 + 16 + 8 + 4 + 1 + 1 + 1 + 2 + 2 + 2 + 1 + 4 + 4 + 8, '\x7F')));
    ASSERT_EQ(R.Slots, 1);
    tNetflowV9 Record = R.Records[0];
    Record.HostName = "a host name longer than any short string buffer";
    ASSERT_FALSE(Record == tNetflowV9{});
    Record.Reset();
    EXPECT_TRUE(Record == tNetflowV9{});
}
