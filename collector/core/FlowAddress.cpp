#include "FlowAddress.h"

#include <arpa/inet.h>

FlowAddress FlowAddress::FromIPv4(std::uint32_t HostOrder) {
    FlowAddress a;
    a.Kind = IPv4;
    a.Bytes[0] = static_cast<std::uint8_t>(HostOrder >> 24);
    a.Bytes[1] = static_cast<std::uint8_t>(HostOrder >> 16);
    a.Bytes[2] = static_cast<std::uint8_t>(HostOrder >> 8);
    a.Bytes[3] = static_cast<std::uint8_t>(HostOrder);
    return a;
}

FlowAddress FlowAddress::Parse(const std::string& Text) {
    FlowAddress a;
    if (Text.empty()) return a;
    if (::inet_pton(AF_INET, Text.c_str(), a.Bytes.data()) == 1) {
        a.Kind = IPv4;
    } else if (::inet_pton(AF_INET6, Text.c_str(), a.Bytes.data()) == 1) {
        a.Kind = IPv6;
    } else {
        a.Bytes.fill(0);
    }
    return a;
}

std::uint32_t FlowAddress::IPv4HostOrder() const {
    return (std::uint32_t{Bytes[0]} << 24) | (std::uint32_t{Bytes[1]} << 16) | (std::uint32_t{Bytes[2]} << 8) |
           std::uint32_t{Bytes[3]};
}

std::string FlowAddress::ToString() const {
    std::string text;
    AppendText(text);
    return text;
}

void FlowAddress::AppendText(std::string& Out) const {
    if (Kind == IPv4) {
        // Once per datagram on the listener thread: digits by hand rather than through the library.
        for (int i = 0; i < 4; ++i) {
            if (i > 0) Out += '.';
            const unsigned octet = Bytes[static_cast<std::size_t>(i)];
            if (octet >= 100) Out += static_cast<char>('0' + octet / 100);
            if (octet >= 10) Out += static_cast<char>('0' + octet / 10 % 10);
            Out += static_cast<char>('0' + octet % 10);
        }
    } else if (Kind == IPv6) {
        char text[INET6_ADDRSTRLEN] = {};
        if (::inet_ntop(AF_INET6, Bytes.data(), text, sizeof text) != nullptr) Out += text;
    }
}
