#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "TemplateStore.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/Templates.h"

using namespace netflowlib;
using namespace fixtures;

namespace {

class PerExporter : public DecoderTest {};

const std::vector<Pair> kPortsFirst = {{7, 2}, {11, 2}, {8, 4}};

// The IPv4 and IPv6 templates and options of a real exporter's first datagram, in its layout.
const std::vector<Pair> kV4 = {{8, 4}, {12, 4}, {1, 4}, {2, 4}, {7, 2}, {11, 2}, {4, 1}};
const std::vector<Pair> kV6 = {{27, 16}, {28, 16}, {1, 4}, {2, 4}, {7, 2}, {11, 2}, {4, 1}};

std::string V4Record(unsigned char Last, unsigned Port) {
    return Hex("0A 01 01") + U8(Last) + Hex("0A 02 02") + U8(Last) + U32(100) + U32(2) + U16(Port) + U16(80) + U8(6);
}
std::string V6Record(unsigned char Last) {
    return Hex("20 01 0D B8 00 01 00 00 00 00 00 00 00 00 00") + U8(Last) +
           Hex("20 01 0D B8 00 02 00 00 00 00 00 00 00 00 00 01") + U32(200) + U32(3) + U16(443) + U16(5353) + U8(17);
}

}  // namespace

TEST_F(PerExporter, TwoExportersWithDifferentTemplatesUnderOneId) {
    DecodeV9(V9Header(1) + TemplateFlowset(256, kIpv4Pairs), "192.0.2.1");
    DecodeV9(V9Header(1) + TemplateFlowset(256, kPortsFirst), "192.0.2.2");
    EXPECT_EQ(Last().FieldCount, 3) << "the store shows the last template learned";

    const auto A = DecodeV9(V9Header(1) + Flowset(256, Ipv4Record(7, 1111, 22, 6, 10, 1)), "192.0.2.1");
    const auto B = DecodeV9(V9Header(1) + Flowset(256, Hex("04 D2 00 35 AC 10 00 05")), "192.0.2.2");
    ASSERT_EQ(A.Slots, 1);
    EXPECT_EQ(A.Records[0].IPV4_SRC_ADDR, "10.0.0.7");
    EXPECT_EQ(A.Records[0].IPV4_DST_VALUE, 0xC0A80107u) << "192.168.1.7";
    EXPECT_EQ(A.Records[0].L4_SRC_PORT, 1111);
    ASSERT_EQ(B.Slots, 1);
    EXPECT_EQ(B.Records[0].IPV4_SRC_ADDR, "172.16.0.5");
    EXPECT_EQ(B.Records[0].IPV4_SRC_VALUE, 0xAC100005u) << "the number behind the text";
    EXPECT_EQ(B.Records[0].IPV4_DST_VALUE, 0u) << "no destination in this template";
    EXPECT_EQ(B.Records[0].L4_SRC_PORT, 1234);
    EXPECT_EQ(B.Records[0].L4_DST_PORT, 53);

    // A third sender has no template of its own, whatever others have taught.
    const auto C = DecodeV9(V9Header(1) + Flowset(256, Ipv4Record(7, 1111, 22, 6, 10, 1)), "192.0.2.3");
    EXPECT_EQ(C.Slots, 0);
    EXPECT_EQ(C.Sink.CountLinesStartingWith("Data record but no template record"), 1);
}

TEST_F(PerExporter, SourceIdsOfOneSenderAreApart) {
    DecodeV9(V9Header(1, 1) + TemplateFlowset(256, kIpv4Pairs));
    DecodeV9(V9Header(1, 2) + TemplateFlowset(256, kPortsFirst));
    const auto One = DecodeV9(V9Header(1, 1) + Flowset(256, Ipv4Record(1, 5, 6, 17, 1, 1)));
    const auto Two = DecodeV9(V9Header(1, 2) + Flowset(256, Hex("00 05 00 06 0A 00 00 01")));
    EXPECT_EQ(One.Records[0].PROTOCOL, 17);
    EXPECT_EQ(Two.Records[0].PROTOCOL, 0);
    EXPECT_EQ(Two.Records[0].L4_DST_PORT, 6);
    EXPECT_EQ(Two.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
}

TEST_F(PerExporter, Ipv4AndIpv6TemplatesOptionsAndDataInOneDatagram) {
    // The header counts the data records only; templates and options are left out of it.
    const std::string sPacket = V9Header(3) + Flowset(0, Template(1024, kV4) + Template(2048, kV6)) +
                                Flowset(1, Hex("02 00 00 04 00 08 00 01 00 04 00 22 00 04 00 23 00 01")) +
                                Flowset(512, Hex("00 00 00 01 00 00 00 0A 02 00 00 00")) +  // options data
                                Flowset(1024, V4Record(1, 1000) + V4Record(2, 1001)) + Flowset(2048, V6Record(9));
    const auto R = DecodeV9(sPacket, "10.9.8.7");
    EXPECT_EQ(Last().TemplateID, 2048);
    // Options data is read for the tables, and traced as data without a template, as it always was.
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 1);
    EXPECT_EQ(R.Outcome.FlowsetsWithoutTemplate, 0);
    ASSERT_EQ(R.Outcome.Extras.Options.size(), 1u);
    EXPECT_EQ(R.Outcome.Extras.Options[0].Facts.SamplingInterval, 10u);
    ASSERT_EQ(R.Slots, 3);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.1.1.1");
    EXPECT_EQ(R.Records[0].IN_BYTES, 100);
    EXPECT_EQ(R.Records[1].IPV4_DST_ADDR, "10.2.2.2");
    EXPECT_EQ(R.Records[1].L4_SRC_PORT, 1001);
    EXPECT_EQ(R.Records[2].IPV4_SRC_ADDR, "") << "an IPv6 record is not read with the IPv4 template";
    EXPECT_EQ(R.Records[2].IPV6_SRC_ADDR, "32.1.13.184") << "its fifth byte is zero";
    EXPECT_EQ(R.Records[2].IPV6_DST_ADDR, "32.1.13.184.0.2.0.0.0.0.0.0.0.0.0.1");
    EXPECT_EQ(R.Records[2].PROTOCOL, 17);
    EXPECT_EQ(R.Records[2].L4_DST_PORT, 5353);

    // Later datagrams carry data only, several flowsets of different ids.
    const auto Next =
        DecodeV9(V9Header(3) + Flowset(2048, V6Record(1)) + Flowset(1024, V4Record(3, 7) + V4Record(4, 8)), "10.9.8.7");
    ASSERT_EQ(Next.Slots, 3);
    EXPECT_EQ(Next.Records[0].IPV6_DST_ADDR.empty(), false);
    EXPECT_EQ(Next.Records[1].IPV4_SRC_ADDR, "10.1.1.3");
    EXPECT_EQ(Next.Records[2].IPV4_SRC_ADDR, "10.1.1.4");
}

TEST_F(PerExporter, NoRecordIsDroppedForWantOfASlot) {
    std::string sRecords;
    for (int i = 0; i < 45; ++i) sRecords += Ipv4Record(static_cast<unsigned char>(i), 1000 + i, 80, 6, i, 1);
    const auto R = DecodeV9(V9Header(45) + TemplateFlowset(256, kIpv4Pairs) + Flowset(256, sRecords));
    ASSERT_EQ(R.Slots, 45);
    ASSERT_GE(R.Records.size(), 45u);
    for (int i = 0; i < 45; ++i) {
        EXPECT_EQ(R.Records[i].L4_SRC_PORT, 1000 + i);
        EXPECT_EQ(R.Records[i].IN_BYTES, i);
    }
    EXPECT_TRUE(R.Sink.HasLine("*** START FLOWSET PROCESSING. iDataFlowSet+iTemplateFlowSet=46 of 45 ***"));
}

TEST_F(PerExporter, DataUnderAnotherIdThanTheTemplateIsNotGuessed) {
    const auto R =
        DecodeV9(V9Header(2) + TemplateFlowset(256, kIpv4Pairs) + Flowset(300, Ipv4Record(1, 2, 3, 4, 5, 6)));
    EXPECT_EQ(R.Slots, 0);
    EXPECT_EQ(R.Sink.CountLinesStartingWith("Data record but no template record"), 1);
}

TEST_F(PerExporter, AFloodOfTemplateIdsIsBoundedPerSender) {
    // 2,000 distinct templates from two senders, 100 to a datagram.
    for (unsigned Batch = 0; Batch < 20; ++Batch) {
        std::string sBody;
        for (unsigned i = 0; i < 100; ++i) sBody += Template(256 + Batch * 100 + i, {{8, 4}});
        DecodeV9(V9Header(0) + Flowset(0, sBody), Batch % 2 ? "192.0.2.1" : "192.0.2.2", false);
        ASSERT_LE(Rig().Templates.Size(), 2 * kTemplatesPerExporter);
    }
    EXPECT_EQ(Rig().Templates.Size(), 2 * kTemplatesPerExporter);
    EXPECT_EQ(Rig().Templates.Evicted(), 2000 - 2 * kTemplatesPerExporter);
    // The newest templates are there, the oldest are gone.
    EXPECT_EQ(DecodeV9(V9Header(1) + Flowset(2255, Hex("01 02 03 04")), "192.0.2.1").Slots, 1);
    EXPECT_EQ(DecodeV9(V9Header(1) + Flowset(256, Hex("01 02 03 04")), "192.0.2.2").Slots, 0);
}

TEST_F(PerExporter, OneSenderFloodingKeepsTheOthersTemplates) {
    DecodeV9(V9Header(0) + TemplateFlowset(256, kIpv4Pairs), "192.0.2.1");
    DecodeV9(V9Header(0) + TemplateFlowset(256, kPortsFirst), "192.0.2.2");
    for (unsigned Datagram = 0; Datagram < 4; ++Datagram) {
        std::string sBody;
        for (unsigned i = 0; i < 200; ++i) sBody += Template(300 + Datagram * 200 + i, {{8, 4}});
        DecodeV9(V9Header(0) + Flowset(0, sBody), "192.0.2.9", false);
    }
    EXPECT_EQ(DecodeV9(V9Header(1) + Flowset(256, Ipv4Record(7, 1111, 22, 6, 10, 1)), "192.0.2.1").Slots, 1);
    EXPECT_EQ(DecodeV9(V9Header(1) + Flowset(256, Hex("04 D2 00 35 AC 10 00 05")), "192.0.2.2").Slots, 1);
    EXPECT_EQ(Rig().Templates.Evicted(), 800 - kTemplatesPerExporter);
}

TEST(TemplateBounds, ThousandsOfExportersInterleavedAllKeepTheirTemplates) {
    ExporterTemplateStore V9;
    IpfixTemplateStore Ipfix;
    const auto Sender = [](int i) { return "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256); };
    tLearnedTemplate T;
    tIpfixTemplate I;
    for (int Pass = 0; Pass < 2; ++Pass) {
        for (std::uint16_t Id : {256, 257}) {
            T.TemplateID = I.TemplateID = Id;
            for (int i = 0; i < 5000; ++i) {
                if (Pass == 0) {
                    V9.Store(Sender(i), 0, T);
                    Ipfix.Store(Sender(i), 0, I);
                } else {
                    ASSERT_NE(V9.Find(Sender(i), 0, Id), nullptr) << Sender(i);
                    ASSERT_NE(Ipfix.Find(Sender(i), 0, Id), nullptr) << Sender(i);
                }
            }
        }
    }
    EXPECT_EQ(V9.Evicted() + Ipfix.Evicted(), 0u);
}

TEST(TemplateBounds, TheTotalTakesFromTheLeastRecentlyActiveSender) {
    TemplateCache Cache(4, 3);
    tLearnedTemplate T;
    const auto Store = [&](const char* Sender, int Id) {
        T.TemplateID = Id;
        Cache.Store(Sender, 0, T);
    };
    Store("a", 1);
    Store("a", 2);
    Store("b", 1);
    Store("b", 2);
    // a is the least recently active sender until it stores: storing is activity too.
    Store("a", 3);
    EXPECT_EQ(Cache.Find("b", 0, 1), nullptr);
    ASSERT_NE(Cache.Find("b", 0, 2), nullptr);  // and so is a hit: a is the least active now
    Store("c", 1);
    EXPECT_EQ(Cache.Find("a", 0, 1), nullptr);
    ASSERT_NE(Cache.Find("b", 0, 2), nullptr);
    Store("d", 1);
    EXPECT_EQ(Cache.Find("a", 0, 2), nullptr);
    EXPECT_NE(Cache.Find("a", 0, 3), nullptr);
    EXPECT_EQ(Cache.Size(), 4u);
    EXPECT_EQ(Cache.Evicted(), 3u);

    // Senders emptied by the bound go with their last template, however many pass through.
    TemplateCache Small(2, 1);
    for (int i = 0; i < 100; ++i) Small.Store(std::to_string(i), 0, T);
    EXPECT_EQ(Small.Size(), 2u);
    EXPECT_NE(Small.Find("98", 0, T.TemplateID), nullptr);
    EXPECT_NE(Small.Find("99", 0, T.TemplateID), nullptr);
    EXPECT_EQ(Small.Evicted(), 98u);
}

TEST(TemplateBounds, WithdrawAllTakesExactlyOneScope) {
    TemplateCache Cache(10, 3);
    tLearnedTemplate T;
    for (int Id : {256, 257, 258}) {
        T.TemplateID = Id;
        Cache.Store("a", 0, T);
        Cache.Store("b", 0, T);
    }
    Cache.Store("a", 1, T);  // pushes out a's scope 0 template 256
    Cache.Withdraw("a", 0, 257);
    EXPECT_EQ(Cache.WithdrawAll("a", 0), 1);
    EXPECT_EQ(Cache.WithdrawAll("a", 0), 0);
    EXPECT_EQ(Cache.WithdrawAll("c", 0), 0);
    EXPECT_NE(Cache.Find("a", 1, 258), nullptr);
    for (int Id : {256, 257, 258}) EXPECT_NE(Cache.Find("b", 0, Id), nullptr);
    EXPECT_EQ(Cache.Size(), 4u);

    // A withdrawn scope learns again; the last of a sender's scopes takes the sender along.
    Cache.Store("a", 0, T);
    EXPECT_EQ(Cache.WithdrawAll("a", 1), 1);
    EXPECT_EQ(Cache.WithdrawAll("a", 0), 1);
    EXPECT_EQ(Cache.Size(), 3u);
}

TEST(TemplateBounds, AFoundTemplateStaysPutWhileOthersAreLookedUp) {
    TemplateCache Cache(10, 5);
    tLearnedTemplate T;
    for (const char* Sender : {"a", "b"}) {
        for (int Id : {256, 257}) {
            T.TemplateID = Id;
            T.FieldCount = Id - 250;
            Cache.Store(Sender, 0, T);
        }
    }
    const tLearnedTemplate* Kept = Cache.Find("a", 0, 256);
    for (const char* Sender : {"b", "a", "c"}) {
        for (int Id : {257, 256, 999}) Cache.Find(Sender, 0, Id);
    }
    ASSERT_EQ(Cache.Find("a", 0, 256), Kept);
    EXPECT_EQ(Kept->FieldCount, 6);
}

TEST_F(PerExporter, LeastRecentlyUsedGoesFirst) {
    // Three per sender; the idle sender is the least recently active throughout, yet keeps its own.
    TemplateCache Cache(10, 3);
    tLearnedTemplate T;
    T.TemplateID = 256;
    Cache.Store("idle", 0, T);
    for (int Id : {256, 257, 258}) {
        T.TemplateID = Id;
        Cache.Store("s", 0, T);
    }
    ASSERT_NE(Cache.Find("s", 0, 256), nullptr);  // 257 is now the least recently used
    T.TemplateID = 259;
    Cache.Store("s", 0, T);
    EXPECT_EQ(Cache.Size(), 4u);
    EXPECT_NE(Cache.Find("s", 0, 256), nullptr);
    EXPECT_EQ(Cache.Find("s", 0, 257), nullptr);
    EXPECT_NE(Cache.Find("s", 0, 258), nullptr);
    EXPECT_NE(Cache.Find("s", 0, 259), nullptr);
    EXPECT_EQ(Cache.Find("t", 0, 259), nullptr);
    EXPECT_EQ(Cache.Find("s", 1, 259), nullptr);

    // Relearning a kept template replaces it, evicts nothing and counts as its latest use.
    T.TemplateID = 256;
    T.FieldCount = 9;
    Cache.Store("s", 0, T);
    EXPECT_EQ(Cache.Size(), 4u);
    T.TemplateID = 260;
    Cache.Store("s", 0, T);
    ASSERT_NE(Cache.Find("s", 0, 256), nullptr);
    EXPECT_EQ(Cache.Find("s", 0, 256)->FieldCount, 9);
    EXPECT_EQ(Cache.Find("s", 0, 258), nullptr);
    Cache.Withdraw("s", 0, 256);
    EXPECT_EQ(Cache.Find("s", 0, 256), nullptr);
    EXPECT_EQ(Cache.Size(), 3u);
    EXPECT_NE(Cache.Find("idle", 0, 256), nullptr);
    EXPECT_EQ(Cache.Evicted(), 2u);
}
