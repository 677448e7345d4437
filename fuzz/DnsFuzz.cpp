// Arbitrary bytes as the answer to a reverse lookup. The parser must never read outside the datagram,
// loop, or hand back a name that is not safe to show.
//
// Input layout: byte 0 steers the run, the rest is the answer. Bit 0 picks the question (an IPv4 or
// an IPv6 reverse name); with bit 1 set the answer's own first two bytes are taken as the id asked
// with, so that the fuzzer gets past the id check without guessing it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "DnsMessage.h"

namespace {

void Require(bool bCondition) {
    if (!bCondition) std::abort();
}

const std::string& Asked(bool bIPv6) {
    static const std::string sIPv4 = [] {
        FlowAddress Address;
        Address.Kind = FlowAddress::IPv4;
        Address.Bytes[0] = 203;
        Address.Bytes[2] = 113;
        Address.Bytes[3] = 7;
        return names::ReverseName(Address);
    }();
    static const std::string sIPv6 = [] {
        FlowAddress Address;
        Address.Kind = FlowAddress::IPv6;
        Address.Bytes[0] = 0x20;
        Address.Bytes[1] = 0x01;
        Address.Bytes[2] = 0x0d;
        Address.Bytes[3] = 0xb8;
        Address.Bytes[15] = 0x10;
        return names::ReverseName(Address);
    }();
    return bIPv6 ? sIPv6 : sIPv4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) return 0;
    const std::uint8_t Control = Data[0];
    const std::string_view Message(reinterpret_cast<const char*>(Data + 1), Size - 1);
    std::uint16_t Id = 0x1234;
    if ((Control & 2) != 0 && Message.size() >= 2)
        Id = static_cast<std::uint16_t>((static_cast<unsigned char>(Message[0]) << 8) |
                                        static_cast<unsigned char>(Message[1]));
    const std::string& sAsked = Asked((Control & 1) != 0);
    Require(!names::BuildPtrQuery(Id, sAsked).empty());

    const names::DnsAnswer Answer = names::ParsePtrAnswer(Message, Id, sAsked);
    switch (Answer.Kind) {
        case names::DnsAnswerKind::Name:
            // At most 255 octets on the wire, each shown as at most four characters.
            Require(!Answer.Name.empty() && Answer.Name.size() <= 4 * 255);
            Require(Answer.Name.back() != '.' ||
                    (Answer.Name.size() >= 2 && Answer.Name[Answer.Name.size() - 2] == '\\'));
            for (const char c : Answer.Name) Require(c > 0x20 && c < 0x7f);
            Require(Answer.TtlS >= 0 && Answer.TtlS <= 0x7fffffff);
            break;
        case names::DnsAnswerKind::NoName:
            Require(Answer.Name.empty() && Answer.TtlS >= -1 && Answer.TtlS <= 0x7fffffff);
            break;
        default:
            Require(Answer.Name.empty());
            break;
    }
    return 0;
}
