#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

// UDP over loopback for the tests that talk to a real listener.
namespace loopback {

// True when nothing holds Port on any local address.
inline bool PortIsFree(std::uint16_t Port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(Port);
    const bool free = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return free;
}

// One datagram to 127.0.0.1:Port.
inline void Send(const std::string& Bytes, std::uint16_t Port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(Port);
    sendto(fd, Bytes.data(), Bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    close(fd);
}

}  // namespace loopback
