#include <gtest/gtest.h>

#include "Datagrams.h"
#include "flowdecode/NetflowV5.h"

using namespace netflowlib;
using fixtures::Hex;
using fixtures::U16;
using testdatagrams::V5Header;

namespace {

// Record i carries i in its last source address byte, its input interface and its pad2, so a record
// read from the wrong offset shows.
std::string V5Record(unsigned i) {
    return Hex("0A 00 00") + fixtures::U8(i) +                             // srcaddr
           Hex("C0 A8 00 FF | 00 00 00 00") +                              // dstaddr, nexthop
           U16(i) + U16(2) +                                               // input, output
           Hex("00 00 00 05 | 80 00 00 00 | 00 00 03 E8 | 00 00 07 D0") +  // dPkts, dOctets, First, Last
           Hex("FF FF | 00 35 | 12 1B 11 22 | 00 64 | FD E8 | 18 10") +    // ports, pad1, flags, prot, tos, AS, masks
           U16(i);                                                         // pad2
}

std::string V5Datagram(unsigned Count, int Records) {
    std::string s = V5Header(Count);
    for (int i = 0; i < Records; ++i) s += V5Record(static_cast<unsigned>(i));
    return s;
}

tNetflowHeader HeaderFor(unsigned Count) {
    tNetflowHeader H;
    H.Version = 5;
    H.FlowSets = static_cast<std::uint16_t>(Count);
    H.HeaderLength = 24;
    return H;
}

}  // namespace

TEST(DecodeV5Packet, EveryFieldFromItsOffset) {
    tNetflowV5Records Records{};
    DecodeV5Packet("host", "192.0.2.7", V5Datagram(1, 1), HeaderFor(1), Records);
    const tNetflowV5& R = Records[0];
    EXPECT_EQ(R.HostName, "host");
    EXPECT_EQ(R.SenderIP, "192.0.2.7");
    EXPECT_EQ(R.srcaddr, "10.0.0.0");
    EXPECT_EQ(R.dstaddr, "192.168.0.255");
    EXPECT_EQ(R.srcaddr_value, 0x0A000000u);
    EXPECT_EQ(R.dstaddr_value, 0xC0A800FFu);
    EXPECT_EQ(R.nexthop, "0.0.0.0");
    EXPECT_EQ(R.input, 0);
    EXPECT_EQ(R.output, 2);
    EXPECT_EQ(R.dPkts, 5u);
    EXPECT_EQ(R.dOctets, 2147483648u) << "not a negative number";
    EXPECT_EQ(R.First, 1000u);
    EXPECT_EQ(R.Last, 2000u);
    EXPECT_EQ(R.srcport, 65535);
    EXPECT_EQ(R.dstport, 53);
    EXPECT_EQ(R.pad1, 0x12);
    EXPECT_EQ(R.tcp_flags, 0x1B);
    EXPECT_EQ(R.prot, 0x11);
    EXPECT_EQ(R.tos, 0x22);
    EXPECT_EQ(R.src_as, 100);
    EXPECT_EQ(R.dst_as, 65000);
    EXPECT_EQ(R.src_mask, 24);
    EXPECT_EQ(R.dst_mask, 16);
    EXPECT_EQ(R.pad2, 0);
}

TEST(DecodeV5Packet, ThirtyRecordsFillEverySlotAndNonZeroPadsAreKept) {
    std::string sPacket = V5Datagram(30, 30);
    ASSERT_EQ(sPacket.size(), 1464u);
    sPacket[1416] = static_cast<char>(255);  // record 29 starts at offset 1416 ...
    sPacket.replace(1462, 2, Hex("12 34"));  // ... and ends at 1463
    tNetflowV5Records Records{};
    ASSERT_EQ(V5RecordCount(sPacket, HeaderFor(30)), 30);
    DecodeV5Packet("", "10.1.1.1", sPacket, HeaderFor(30), Records);
    for (unsigned i = 0; i < 29; ++i) {
        EXPECT_EQ(Records[i].input, i);
        EXPECT_EQ(Records[i].pad2, static_cast<int>(i));
        EXPECT_EQ(Records[i].SenderIP, "10.1.1.1");
    }
    EXPECT_EQ(Records[29].srcaddr, "255.0.0.29");
    EXPECT_EQ(Records[29].input, 29);
    EXPECT_EQ(Records[29].pad2, 4660);
}

TEST(DecodeV5Packet, NoRecordsLeavesEverySlotEmpty) {
    tNetflowV5Records Records{};
    DecodeV5Packet("h", "s", V5Datagram(0, 2), HeaderFor(0), Records);
    for (const tNetflowV5& R : Records) {
        EXPECT_TRUE(R.HostName.empty());
        EXPECT_TRUE(R.srcaddr.empty());
        EXPECT_EQ(R.dOctets, 0u);
    }
}

TEST(DecodeV5Packet, DecodesOnlyWholeRecordsWithinThirtySlots) {
    struct Case {
        unsigned Count;
        int RecordsPresent;
        std::size_t ExtraBytes;
        int Expected;
    };
    for (const Case& c :
         {Case{3, 3, 0, 3},                             // the usual datagram
          Case{5, 2, 0, 2},                             // count above the records present
          Case{3, 2, 47, 2},                            // third record cut off one byte short
          Case{31, 31, 0, 30},                          // more than the protocol's 30
          Case{65535, 40, 0, 30}, Case{2, 5, 0, 2}}) {  // trailing bytes beyond the count are not records
        const std::string sPacket = V5Datagram(c.Count, c.RecordsPresent) + std::string(c.ExtraBytes, '\x01');
        SCOPED_TRACE(testing::Message() << "count " << c.Count << ", records " << c.RecordsPresent);
        EXPECT_EQ(V5RecordCount(sPacket, HeaderFor(c.Count)), c.Expected);
        tNetflowV5Records Records{};
        DecodeV5Packet("h", "s", sPacket, HeaderFor(c.Count), Records);
        for (int i = 0; i < kMaxV5Records; ++i) {
            EXPECT_EQ(Records[static_cast<std::size_t>(i)].SenderIP.empty(), i >= c.Expected) << "slot " << i;
        }
    }
}

TEST(DecodeV5Packet, ShortVersion5HeaderGivesNoRecords) {
    const std::string sPacket = V5Header(1).substr(0, 22);
    EXPECT_EQ(V5RecordCount(sPacket, HeaderFor(1)), 0);
    tNetflowV5Records Records{};
    DecodeV5Packet("h", "s", sPacket, HeaderFor(1), Records);
    EXPECT_TRUE(Records[0].SenderIP.empty());
}
