// Arbitrary bytes through DecodeHeader and the matching record decoder.
//
// Input layout: byte 0 steers the run, the rest is the datagram. Bits 0-1 pick the sender of a first
// pass and bits 2-3 the sender of a second pass over the same datagram, so templates learned in the
// first pass meet data in the second either from the same exporter or from another one; bit 4 turns
// the packet trace off. Each input starts with no template known, so every finding replays alone.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "flowdecode/NetflowHeader.h"
#include "flowdecode/NetflowV5.h"
#include "flowdecode/NetflowV9.h"
#include "flowdecode/PacketTrace.h"

namespace {

const std::string kSenders[4] = {"192.0.2.1", "192.0.2.2", "198.51.100.200", "203.0.113.17"};

void Require(bool bCondition) {
    if (!bCondition) std::abort();
}

void DecodeOnce(const std::string& sPacket, const std::string& sSender, bool bTrace) {
    netflowlib::tNetflowHeader Header;
    netflowlib::DecodeHeader(sPacket, Header);
    if (Header.Version == 5) {
        netflowlib::tNetflowV5Records Records{};
        const int Count = netflowlib::V5RecordCount(sPacket, Header);
        Require(Count >= 0 && Count <= netflowlib::kMaxV5Records);
        netflowlib::DecodeV5Packet("", sSender, sPacket, Header, Records);
        for (int i = 0; i < netflowlib::kMaxV5Records; ++i) Require(Records[i].SenderIP.empty() == (i >= Count));
    } else if (Header.Version == 9) {
        netflowlib::tNetflowV9Records Records(netflowlib::kV9InitialSlots);
        netflowlib::DiscardTraceSink Sink;
        const int Slots = netflowlib::DecodeV9Packet("", sSender, sPacket, Header, bTrace, Records, Sink);
        Require(Slots >= 0 && static_cast<std::size_t>(Slots) <= Records.size());
        // Every record needs at least one byte of the datagram.
        Require(static_cast<std::size_t>(Slots) <= sPacket.size());
        Require(netflowlib::gTemplateFlowsetFormat.FieldCount >= 0 &&
                netflowlib::gTemplateFlowsetFormat.FieldCount <= netflowlib::kMaxTemplateFields);
    } else {
        Require(Header.Version == 0 && Header.HeaderLength == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) return 0;
    const std::uint8_t Control = Data[0];
    const std::string sPacket(reinterpret_cast<const char*>(Data + 1), Size - 1);
    const bool bTrace = (Control & 0x10) == 0;
    netflowlib::ResetTemplateStore();
    DecodeOnce(sPacket, kSenders[Control & 3], bTrace);
    DecodeOnce(sPacket, kSenders[(Control >> 2) & 3], bTrace);
    return 0;
}
