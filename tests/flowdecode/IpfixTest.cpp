#include <gtest/gtest.h>

#include "Datagrams.h"
#include "DecoderTest.h"
#include "flowdecode/Ipfix.h"
#include "flowdecode/Ipv6Text.h"
#include "flowdecode/NetflowV9.h"

using namespace netflowlib;
using namespace fixtures;
using namespace std::string_literals;

namespace {

// The IPv4 layout of Datagrams.h as IPFIX field specifiers: the same elements, the same record bytes.
std::vector<IpfixSpec> Ipv4Specs() {
    std::vector<IpfixSpec> Specs;
    for (const Pair& p : kIpv4Pairs) Specs.push_back({p.Type, p.Length});
    return Specs;
}

const std::string kRecord1 = Ipv4Record(1, 1024, 443, 6, 1500, 3);
const std::string kRecord2 = Ipv4Record(2, 1025, 53, 17, 0x80000000u, 1);

class IpfixWalkTest : public DecoderTest {
  protected:
    struct tResult {
        tIpfixOutcome Outcome;
        tNetflowV9Records Records;
        tNetflowHeader Header;
    };

    tResult Decode(const std::string& sPacket, const std::string& sSender = "192.0.2.1") {
        tResult R;
        R.Records = FreshV9Slots();
        const tDecodeServices Services = Rig().Services();
        EXPECT_TRUE(DecodeHeader(sPacket, R.Header, Services));
        EXPECT_EQ(R.Header.Version, 10);
        R.Outcome = DecodeIpfixPacket("host", sSender, sPacket, R.Header, R.Records, Services, Store);
        return R;
    }

    IpfixTemplateStore Store;
};

// Every field the memo and CSV lines read, so equal records give equal lines.
void ExpectSameFlow(const tNetflowV9& a, const tNetflowV9& b) {
    EXPECT_EQ(a.SenderIP, b.SenderIP);
    EXPECT_EQ(a.IN_BYTES, b.IN_BYTES);
    EXPECT_EQ(a.IN_PKTS, b.IN_PKTS);
    EXPECT_EQ(a.PROTOCOL, b.PROTOCOL);
    EXPECT_EQ(a.SRC_TOS, b.SRC_TOS);
    EXPECT_EQ(a.TCP_FLAGS, b.TCP_FLAGS);
    EXPECT_EQ(a.L4_SRC_PORT, b.L4_SRC_PORT);
    EXPECT_EQ(a.L4_DST_PORT, b.L4_DST_PORT);
    EXPECT_EQ(a.IPV4_SRC_ADDR, b.IPV4_SRC_ADDR);
    EXPECT_EQ(a.IPV4_DST_ADDR, b.IPV4_DST_ADDR);
    EXPECT_EQ(a.SRC_MASK, b.SRC_MASK);
    EXPECT_EQ(a.DST_MASK, b.DST_MASK);
    EXPECT_EQ(a.IPV4_NEXT_HOP, b.IPV4_NEXT_HOP);
    EXPECT_EQ(a.IPV6_SRC_ADDR, b.IPV6_SRC_ADDR);
    EXPECT_EQ(a.IPV6_DST_ADDR, b.IPV6_DST_ADDR);
    EXPECT_EQ(a.ICMP_TYPE, b.ICMP_TYPE);
    EXPECT_EQ(a.DIRECTION, b.DIRECTION);
}

}  // namespace

TEST(IpfixHeader, SixteenBytesUnderTheCaptionsOfTheSameMeaning) {
    tNetflowHeader Header;
    Header.Sys_Uptime = 99;
    DecodeHeader(IpfixMessage(Flowset(256, "\1\2\3\4\5"s), 0x01020304, 77, 500), Header);
    EXPECT_EQ(Header.Version, 10);
    EXPECT_EQ(Header.HeaderLength, kIpfixHeaderLength);
    EXPECT_EQ(Header.MessageLength, 500);
    EXPECT_EQ(Header.UnixSeconds, 1700000000u);
    EXPECT_EQ(Header.Flow_Sequence, 77u);
    EXPECT_EQ(Header.Source_ID, 0x01020304u);
    EXPECT_EQ(Header.FlowSets, 0);
    EXPECT_EQ(Header.Sys_Uptime, 0u);
}

TEST_F(IpfixWalkTest, FlowGivesTheRecordOfTheSameVersion9Flow) {
    // Every element the field table stores, in the lengths version 9 exporters use.
    const std::vector<Pair> Pairs = {{1, 8},  {2, 4},  {4, 1},  {5, 1},  {6, 1},   {7, 2},   {8, 4},  {9, 1},
                                     {11, 2}, {12, 4}, {13, 1}, {15, 4}, {27, 16}, {28, 16}, {32, 2}, {61, 1}};
    std::string sRecord;
    for (unsigned i = 0; i < 8 + 4 + 1 + 1 + 1 + 2 + 4 + 1 + 2 + 4 + 1 + 4 + 16 + 16 + 2 + 1; ++i)
        sRecord += U8(0x90 + i);
    std::vector<IpfixSpec> Specs;
    for (const Pair& p : Pairs) Specs.push_back({p.Type, p.Length});

    const auto V9 = DecodeV9(V9Header(2) + TemplateFlowset(300, Pairs) + Flowset(300, sRecord), "198.51.100.7");
    const auto R = Decode(IpfixMessage(Flowset(2, IpfixTemplate(300, Specs)) + Flowset(300, sRecord)), "198.51.100.7");
    ASSERT_EQ(V9.Slots, 1);
    ASSERT_EQ(R.Outcome.SlotsReached, 1);
    ExpectSameFlow(R.Records[0], V9.Records[0]);
    EXPECT_EQ(R.Records[0].HostName, "host");
    // The low 32 bits of the 8-byte counter, signed.
    EXPECT_EQ(R.Records[0].IN_BYTES, static_cast<std::int32_t>(0x94959697u));
    EXPECT_EQ(R.Records[0].IPV6_DST_BYTES, V9.Records[0].IPV6_DST_BYTES);
    EXPECT_FALSE(R.Outcome.Malformed);
}

TEST_F(IpfixWalkTest, SeveralTemplatesInOneSetWithPaddingAndDataForEach) {
    const std::string sTemplates = IpfixTemplate(256, Ipv4Specs()) + IpfixTemplate(257, {{8, 4}, {4, 1}}) + "\0\0"s;
    const auto R = Decode(IpfixMessage(Flowset(2, sTemplates) + Flowset(256, kRecord1 + kRecord2 + "\0\0\0"s) +
                                       Flowset(257, "\x0A\x01\x02\x03\x11"s)));
    EXPECT_EQ(R.Outcome.TemplatesLearned, 2);
    ASSERT_EQ(R.Outcome.SlotsReached, 3);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.1");
    EXPECT_EQ(R.Records[1].IN_BYTES, -2147483647 - 1);
    EXPECT_EQ(R.Records[2].IPV4_SRC_ADDR, "10.1.2.3");
    EXPECT_EQ(R.Records[2].PROTOCOL, 17);
    EXPECT_TRUE(R.Records[3].SenderIP.empty());
    EXPECT_FALSE(R.Outcome.Malformed);
    ASSERT_EQ(R.Outcome.Templates.size(), 2u);
    EXPECT_EQ(R.Outcome.Templates[1].TemplateID, 257);
    EXPECT_EQ(R.Outcome.Templates[1].FieldCount, 2);
}

TEST_F(IpfixWalkTest, TemplatesBelongToSenderAndObservationDomainAndNotToVersion9) {
    Decode(IpfixMessage(Flowset(2, IpfixTemplate(256, Ipv4Specs())), 5));
    EXPECT_EQ(Decode(IpfixMessage(Flowset(256, kRecord1), 6)).Outcome.SetsWithoutTemplate, 1);
    EXPECT_EQ(Decode(IpfixMessage(Flowset(256, kRecord1), 5), "192.0.2.2").Outcome.MissingTemplateIds,
              std::vector<std::int32_t>{256});
    EXPECT_EQ(DecodeV9(V9Header(1, 5) + Flowset(256, kRecord1)).Outcome.FlowsetsWithoutTemplate, 1);
    EXPECT_EQ(Decode(IpfixMessage(Flowset(256, kRecord1), 5)).Outcome.RecordsDecoded, 1);
}

TEST_F(IpfixWalkTest, WithdrawalOfOneTemplateAndOfAllOfADomain) {
    Decode(IpfixMessage(Flowset(
        2, IpfixTemplate(256, Ipv4Specs()) + IpfixTemplate(257, Ipv4Specs()) + IpfixTemplate(258, Ipv4Specs()))));
    auto R = Decode(IpfixMessage(Flowset(2, IpfixTemplate(256, {})) + Flowset(256, kRecord1) + Flowset(257, kRecord1)));
    EXPECT_EQ(R.Outcome.TemplatesWithdrawn, 1);
    EXPECT_EQ(R.Outcome.SetsWithoutTemplate, 1);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 1);
    ASSERT_EQ(R.Outcome.Templates.size(), 1u);
    EXPECT_EQ(R.Outcome.Templates[0].FieldCount, 0);
    // Template id 2 with no fields: every template of the domain goes.
    R = Decode(IpfixMessage(Flowset(2, IpfixTemplate(2, {})) + Flowset(257, kRecord1) + Flowset(258, kRecord1)));
    EXPECT_EQ(R.Outcome.TemplatesWithdrawn, 2);
    EXPECT_EQ(R.Outcome.SetsWithoutTemplate, 2);
    EXPECT_EQ(Store.Size(), 0u);
    // Four and more bytes of zeros after the last template are padding, not a withdrawal.
    R = Decode(
        IpfixMessage(Flowset(2, IpfixTemplate(256, Ipv4Specs()) + std::string(6, '\0')) + Flowset(256, kRecord1)));
    EXPECT_EQ(R.Outcome.TemplatesWithdrawn, 0);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 1);
}

TEST_F(IpfixWalkTest, EnterpriseFieldsAreSkippedByTheirLengthAndStoreNothing) {
    // Enterprise element 1 must not be taken for the octet count; element 8 after it lands right.
    const auto R = Decode(IpfixMessage(Flowset(2, IpfixTemplate(256, {{1, 4, 9}, {8, 4}, {12, 4, 29305}, {1, 4}})) +
                                       Flowset(256, U32(1000) + "\x0A\x00\x00\x09"s + "\xC0\x00\x02\x01"s + U32(77))));
    ASSERT_EQ(R.Outcome.SlotsReached, 1);
    EXPECT_EQ(R.Records[0].IN_BYTES, 77);
    EXPECT_EQ(R.Records[0].IPV4_SRC_ADDR, "10.0.0.9");
    EXPECT_EQ(R.Records[0].IPV4_DST_ADDR, "");
}

TEST_F(IpfixWalkTest, VariableLengthFieldsInBothForms) {
    // An interface name in the short form, a long string in the three-byte form, and a counter of
    // variable length that still gives its low word.
    const std::string sRecord = VariableValue("eth0") + VariableValue(std::string(300, 'x')) + "\x0A\x00\x00\x05"s +
                                VariableValue(U32(1) + U32(0x00001234)) + VariableValue("ab", true) + U8(6);
    const auto R = Decode(IpfixMessage(
        Flowset(2, IpfixTemplate(256, {{82, 65535}, {83, 65535}, {8, 4}, {1, 65535}, {84, 65535}, {4, 1}})) +
        Flowset(256, sRecord + sRecord)));
    ASSERT_EQ(R.Outcome.SlotsReached, 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(R.Records[i].IPV4_SRC_ADDR, "10.0.0.5");
        EXPECT_EQ(R.Records[i].IN_BYTES, 0x1234);
        EXPECT_EQ(R.Records[i].PROTOCOL, 6);
    }
    EXPECT_FALSE(R.Outcome.Malformed);
}

TEST_F(IpfixWalkTest, VariableLengthClaimingMoreThanItsSetIsMalformed) {
    const auto R = Decode(IpfixMessage(Flowset(2, IpfixTemplate(256, {{8, 4}, {82, 65535}})) +
                                       Flowset(256, "\x0A\x00\x00\x01\x02xy"s + "\x0A\x00\x00\x02\x09xy"s)));
    EXPECT_EQ(R.Outcome.RecordsDecoded, 1);
    EXPECT_TRUE(R.Outcome.Malformed);
}

TEST_F(IpfixWalkTest, MessageCutShortKeepsItsWholeRecords) {
    const std::string sWhole =
        IpfixMessage(Flowset(2, IpfixTemplate(256, Ipv4Specs())) + Flowset(256, kRecord1 + kRecord2 + kRecord1));
    const auto R = Decode(sWhole.substr(0, sWhole.size() - 5));
    EXPECT_TRUE(R.Outcome.Malformed);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 2);
    EXPECT_EQ(R.Records[1].IPV4_SRC_ADDR, "10.0.0.2");
}

TEST_F(IpfixWalkTest, LengthFieldShorterThanTheDatagramEndsTheMessageThere) {
    const std::string sSets = Flowset(2, IpfixTemplate(256, Ipv4Specs())) + Flowset(256, kRecord1);
    const auto R = Decode(IpfixMessage(sSets, 0, 1, static_cast<int>(16 + sSets.size())) + Flowset(256, kRecord2));
    EXPECT_TRUE(R.Outcome.Malformed);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 1);
}

TEST_F(IpfixWalkTest, SetLongerThanTheMessageIsReadUpToTheMessageEnd) {
    Decode(IpfixMessage(Flowset(2, IpfixTemplate(256, Ipv4Specs()))));
    const std::string sSet = U16(256) + U16(400) + kRecord1 + kRecord2;
    const auto R = Decode(IpfixMessage(sSet));
    EXPECT_TRUE(R.Outcome.Malformed);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 2);
    // A set length below its own header ends the walk.
    const auto Short = Decode(IpfixMessage(U16(256) + U16(2) + Flowset(256, kRecord1)));
    EXPECT_TRUE(Short.Outcome.Malformed);
    EXPECT_EQ(Short.Outcome.RecordsDecoded, 0);
}

TEST_F(IpfixWalkTest, OptionsTemplatesAreLearnedReservedSetsSkippedAndRefusalsCounted) {
    const std::string sOptions = U16(400) + U16(2) + U16(1) + U16(149) + U16(4) + U16(41) + U16(8);
    const auto R =
        Decode(IpfixMessage(Flowset(3, sOptions) + Flowset(7, "abcd") +
                            Flowset(2, IpfixTemplate(260, {{8, 0}, {12, 4}}) + IpfixTemplate(261, {{4, 1}})) +
                            Flowset(2, IpfixTemplate(256, Ipv4Specs())) + Flowset(256, kRecord1)));
    EXPECT_EQ(R.Outcome.OptionsTemplateSets, 1);
    // A field of no bytes is accepted; a record of one byte cannot carry a flow.
    EXPECT_EQ(R.Outcome.TemplatesRefused, 1);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 1);
    EXPECT_EQ(R.Outcome.Extras.OptionsTemplatesLearned, 1);
    ASSERT_NE(Store.Find("192.0.2.1", 0, 400), nullptr);
    EXPECT_TRUE(Store.Find("192.0.2.1", 0, 400)->Options);
    EXPECT_FALSE(R.Outcome.Malformed);
}

TEST_F(IpfixWalkTest, BoundOnRecordsCountsOnlyDecodedRecords) {
    Rig().Bounds.MaxRecords = 3;
    std::string sUnknown;
    for (int Id = 900; Id < 910; ++Id) sUnknown += Flowset(Id, "abcd");
    const auto R = Decode(
        IpfixMessage(sUnknown + Flowset(2, IpfixTemplate(256, Ipv4Specs())) + Flowset(256, Repeat(kRecord1, 5))));
    EXPECT_TRUE(R.Outcome.RecordsCut);
    EXPECT_EQ(R.Outcome.RecordsDecoded, 3);
    EXPECT_EQ(R.Outcome.Extras.RecordsDropped, 2);
    // Past the first 30 slots the array grows.
    Rig().Bounds.MaxRecords = 100;
    EXPECT_EQ(Decode(IpfixMessage(Flowset(256, Repeat(kRecord2, 45)))).Outcome.SlotsReached, 45);
}

TEST(IpfixStore, BoundedLeastRecentlyUsedFirstOut) {
    IpfixTemplateStore Store(2);
    for (std::uint16_t Id : {256, 257}) Store.Store("a", 0, tIpfixTemplate{Id, {}, 4, 0, {}, false, 0});
    ASSERT_NE(Store.Find("a", 0, 256), nullptr);
    Store.Store("a", 0, tIpfixTemplate{258, {}, 4, 0, {}, false, 0});
    EXPECT_EQ(Store.Size(), 2u);
    EXPECT_EQ(Store.Find("a", 0, 257), nullptr);
    EXPECT_NE(Store.Find("a", 0, 256), nullptr);
    EXPECT_EQ(Store.WithdrawAll("a", 1), 0);
    EXPECT_EQ(Store.WithdrawAll("a", 0), 2);
}

TEST(Ipv6Text, StandardNotation) {
    const auto Text = [](std::initializer_list<unsigned> Groups) {
        std::array<std::uint8_t, 16> Bytes{};
        std::size_t i = 0;
        for (unsigned g : Groups) {
            Bytes[i++] = static_cast<std::uint8_t>(g >> 8);
            Bytes[i++] = static_cast<std::uint8_t>(g);
        }
        return FormatIpv6(Bytes);
    };
    EXPECT_EQ(Text({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "2001:db8::1");
    EXPECT_EQ(Text({0, 0, 0, 0, 0, 0, 0, 0}), "::");
    EXPECT_EQ(Text({0, 0, 0, 0, 0, 0, 0, 1}), "::1");
    EXPECT_EQ(Text({0xfe80, 0, 0, 0, 0, 0, 0, 0}), "fe80::");
    // One zero group stays; of two equal runs the first is shortened; leading zeros go.
    EXPECT_EQ(Text({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1");
    EXPECT_EQ(Text({0x2001, 0, 0, 1, 0, 0, 1, 0xABCD}), "2001::1:0:0:1:abcd");
    EXPECT_EQ(Text({0x2001, 0xdb8, 0, 0, 1, 0, 0, 0}), "2001:db8:0:0:1::");
    EXPECT_EQ(Text({0, 0, 0, 0, 0, 0xffff, 0xc000, 0x0201}), "::ffff:192.0.2.1");
}
