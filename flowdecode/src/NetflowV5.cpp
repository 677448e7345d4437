#include "flowdecode/NetflowV5.h"

#include <algorithm>

#include "ByteReader.h"
#include "TextForms.h"

namespace netflowlib {

int V5RecordCount(const std::string& sPacket, const tNetflowHeader& Header) {
    // The header's count is not trusted: a count above 30 or a datagram shorter than its records
    // yields the records that lie wholly inside the datagram, never more than the 30 slots.
    const std::int64_t Body = static_cast<std::int64_t>(sPacket.size()) - Header.HeaderLength;
    const std::int64_t Whole = Body > 0 ? Body / kV5RecordLength : 0;
    return static_cast<int>(std::min<std::int64_t>({Whole, Header.FlowSets, kMaxV5Records}));
}

void DecodeV5Packet(const std::string& sHostName, const std::string& sSenderIP, const std::string& sPacket,
                    tNetflowHeader Header, tNetflowV5Records& Records) {
    const ByteReader Reader(sPacket);
    const int Count = V5RecordCount(sPacket, Header);
    // p is the 1-based position of the record's first byte; record offset k is at p + k.
    std::int64_t p = std::int64_t{Header.HeaderLength} + 1;
    for (int i = 0; i < Count; ++i, p += kV5RecordLength) {
        tNetflowV5& R = Records[static_cast<std::size_t>(i)];
        R.HostName = sHostName;
        R.SenderIP = sSenderIP;
        AssignDotted(R.srcaddr, Reader, p, 4);
        AssignDotted(R.dstaddr, Reader, p + 4, 4);
        R.srcaddr_value = Reader.U32Or0(p);
        R.dstaddr_value = Reader.U32Or0(p + 4);
        R.nexthop_value = Reader.U32Or0(p + 8);
        AssignDotted(R.nexthop, Reader, p + 8, 4);
        R.input = Reader.U16Or0(p + 12);
        R.output = Reader.U16Or0(p + 14);
        R.dPkts = Reader.U32Or0(p + 16);
        R.dOctets = Reader.U32Or0(p + 20);
        R.First = Reader.U32Or0(p + 24);
        R.Last = Reader.U32Or0(p + 28);
        R.srcport = Reader.U16Or0(p + 32);
        R.dstport = Reader.U16Or0(p + 34);
        R.pad1 = Reader.ByteOr0(p + 36);
        R.tcp_flags = Reader.ByteOr0(p + 37);
        R.prot = Reader.ByteOr0(p + 38);
        R.tos = Reader.ByteOr0(p + 39);
        R.src_as = Reader.U16Or0(p + 40);
        R.dst_as = Reader.U16Or0(p + 42);
        R.src_mask = Reader.ByteOr0(p + 44);
        R.dst_mask = Reader.ByteOr0(p + 45);
        R.pad2 = Reader.U16Or0(p + 46);
    }
}

}  // namespace netflowlib
